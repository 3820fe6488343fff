#ifndef QZ_SMC_CONTROLLER_HPP
#define QZ_SMC_CONTROLLER_HPP

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/tuple/tuple.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/device_options.hpp"
#include "zkutility/completion_notifier.hpp"
#include "zkutility/controller_base.hpp"
#include "zkutility/logger.hpp"

namespace qz {
namespace smc {

namespace device {

// Step-generator limits: sub-steps per microstep, speed and acceleration limits.
struct stepFSMLimits {
    std::uint32_t path;
    std::uint32_t speed;
    std::uint32_t accel;
};

// The board's settings block; 68 bytes of little-endian words on the wire.
struct deviceSettings {
    stepFSMLimits limits;
    std::uint32_t motor_dir_polarity;
    std::uint32_t pressure_level;
    std::uint32_t diag_mask[6];
    std::uint32_t diag_polar[6];
};

constexpr std::size_t deviceSettingsSize = 68;
static_assert(sizeof(deviceSettings) == deviceSettingsSize, "settings block is 68 bytes");

// One record of a board program: {opcode, arg1, arg2, arg3, value}. An arg3 of 25 marks an
// immediate value; another arg3 names a device variable.
struct instruction {
    std::uint8_t opcode;
    std::uint8_t arg1 = 0;
    std::uint8_t arg2 = 0;
    std::uint8_t arg3 = 25;
    std::int32_t value = 0;
};
static_assert(sizeof(instruction) == 8, "a program record is 8 bytes");

// Opcodes of the records the controller writes.
namespace opcode {
constexpr std::uint8_t nop = 0;
constexpr std::uint8_t setVariable = 1;
constexpr std::uint8_t setBits = 2;
constexpr std::uint8_t clearBits = 3;
constexpr std::uint8_t branch = 4;  // arg1: one of the conditions below
constexpr std::uint8_t subtract = 0x11;
constexpr std::uint8_t test = 0x12;
constexpr std::uint8_t wait = 0x20;
constexpr std::uint8_t stop = 0x30;
constexpr std::uint8_t phase = 0x32;
}  // namespace opcode

// Branch conditions: on the subject of the last subtract, or of the last bit test.
namespace condition {
constexpr std::uint8_t negative = 1;
constexpr std::uint8_t nonZero = 2;
constexpr std::uint8_t positive = 4;
constexpr std::uint8_t zero = 5;
}  // namespace condition

// Device variables the programs and the controller use, by id.
namespace variable {
constexpr std::uint8_t position = 2;
constexpr std::uint8_t speed = 4;  // the generator's live speed
constexpr std::uint8_t settle = 6;
constexpr std::uint8_t inputs = 0x0b;
constexpr std::uint8_t outputs = 0x0c;
constexpr std::uint8_t limitSetup = 0x0f;
constexpr std::uint8_t limitHandler = 0x10;  // the handler's slot, bit 31 arms it
constexpr std::uint8_t scanCount = 0x13;
constexpr std::uint8_t scanRepetitions = 0x14;  // a scan's loop counter...
constexpr std::uint8_t latchedPosition = 0x14;  // ...and where the limit handler latches the position
constexpr std::uint8_t cruiseCount = 0x15;
constexpr std::uint8_t moveDone = 0x18;  // 1 at a move's end, 2 when the limit handler ran
}  // namespace variable

// Clears the running bit: the last record of every move, scan and limit program.
extern const instruction programEndInstruction;


}  // namespace device

using deviceSettings = device::deviceSettings;

// The motor-controller board: the device link plus the board's driver model,
// register image, settings block and command lock.
class controller : public zk::hw::controller_base<device_options> {
public:
    using base = zk::hw::controller_base<device_options>;

    struct errorNoSolution : deviceError {};
    struct errorZeroSpeed : deviceError {};
    struct errorZeroAcceleration : deviceError {};
    struct errorProgramAddress : deviceError {};  // carries zk::hw::sizeInfo
    struct errorLimitSwitchSticky : deviceError {};
    struct errorDeviceHung : deviceError {};
    struct errorLimitSwitchUnreachable : deviceError {};
    // The driver's MRES is above 8: no phase cycle. Carries resolutionInfo.
    struct errorMicrostepResolution : deviceError {};
    using resolutionInfo = boost::error_info<struct tagResolutionInfo, std::uint32_t>;
    // The board refused a command: its reply carried the error flag. Carries commandInfo.
    struct errorCommandRefused : deviceError {};
    using commandInfo = boost::error_info<struct tagCommandInfo, int>;
    // A program whose wait gave up or was cancelled still runs on the board: no other is loaded
    // over its records.
    struct errorProgramRunning : deviceError {};
    // The board restarted under the connection since init: its position reference is gone, and
    // nothing moves until init runs again.
    struct errorBoardRestarted : deviceError {};

    // A named bit field of one driver register word.
    struct driverField {
        std::int32_t reg;
        std::int32_t shift;
        std::int32_t width;
    };
    static const std::map<std::string, driverField> driverFieldTableA;  // five-register model (0)
    static const std::map<std::string, driverField> driverFieldTableB;  // six-register model (1)
    static const std::vector<std::uint32_t> defaultRegistersA;
    static const std::vector<std::uint32_t> defaultRegistersB;

    // The device variables init writes, in order.
    static const std::vector<std::pair<signed char, std::uint32_t>> initVariableTable;

    controller(const std::string& deviceId, const char* deviceAddress, const std::array<unsigned char, 20>& hwId);
    ~controller() override;

    const boost::optional<std::int32_t>& model() const { return model_; }

    using program = std::deque<device::instruction>;
    static constexpr std::size_t programSlots = 256;

    // Appends {opcode, arg1, arg2, arg3, value}.
    static void emplaceInstruction(program& p, std::uint8_t opcode, std::int32_t value = 0, std::uint8_t arg2 = 0,
                                   std::uint8_t arg3 = 25, std::uint8_t arg1 = 0);
    static void appendProgramEnd(program& p);
    // Writes the records to the slots from address on; nothing is sent when they do not fit.
    void loadProgram(const program& p, unsigned int address);
    // Starts the program at address; a watcher thread completes the notifier when it ends.
    boost::shared_ptr<zk::completionNotifier> execProgram(unsigned int address);

    // Phase ticks (acceleration, cruise, deceleration), the speed reached and the
    // position where deceleration begins.
    using moveTimes = boost::tuples::tuple<std::uint64_t, std::uint64_t, std::uint64_t, int, int>;

    // The board's step generator as the planner models it, tick by tick.
    struct _moveState {
        std::int32_t position;     // microsteps
        std::int32_t speed;        // sub-steps per tick, applied at the next tick
        std::int32_t accel;        // pending, added to the speed at the next tick
        std::int64_t accumulator;  // sub-step remainder of the position

        // Runs up to ticks ticks; newAccel first acts on the second tick. Returns the ticks run.
        std::uint64_t step(const device::stepFSMLimits& limits, std::uint64_t ticks, int newAccel,
                           bool stopAtPosition, int stopPosition);
    };

    // One move segment for the move-time solver: the start state, then the segment's goal.
    struct _moveParameters {
        std::int32_t position;
        std::int32_t speed;
        std::int32_t accel;
        std::int64_t accumulator;
        std::int32_t target;
        std::int32_t endSpeed;
        std::int32_t decel;
        std::int32_t maxSpeed;  // only its magnitude counts

        moveTimes getTimes(const device::stepFSMLimits& limits, int a) const;
    };

    // Solves a segment with acc and dec oriented toward the target (written back with the
    // signs used); retries once with both reversed when there is no solution.
    moveTimes calcMoveTimes(const _moveState& state, int target, int endSpeed, int maxSpeed, int& acc, int& dec);

    // Plans one segment from state to target into p and leaves state where the model ends;
    // maxTime bounds the ticks (all ones: none). totalTime, if given, receives the planned microseconds.
    void partialPath(program& p, _moveState& state, int target, int endSpeed, int maxSpeed, int acc, int dec,
                     std::uint64_t maxTime, bool correcting, std::uint64_t* totalTime);
    // A move from rest to rest, bracketed by stop records; empty when from == to.
    program makePath(int from, int to, int maxSpeed, int acc, int dec, std::uint64_t* totalTime);
    // Slowing down from above the maximum speed: not supported.
    void makePathAcc(program& p, int target, int maxSpeed, _moveState& state, std::uint64_t maxTime);

    // Plans, loads and starts a move to an absolute position; returns without waiting.
    boost::shared_ptr<zk::completionNotifier> moveTo(int position, int speed, int accel);

    // One receiver scan: count repetitions of step move, settling, exposure. Times in microseconds.
    struct scanParameters {
        bool reflect;
        bool handshake;
        int count;
        int calm;
        int pulse;
        int exposure;
        int step;
        int speed;
        int accel;
        int decel;
    };
    // Builds the whole scan as one program, loads and starts it; returns without waiting.
    boost::shared_ptr<zk::completionNotifier> scanMove(const scanParameters& p);

    // moveTo and scanMove, waited for until they end: errorDeviceHung, the watcher told to stop,
    // when a move or a scan without the handshake outlasts the time limit of its plan, or when the
    // watcher's reads go unanswered for a while during a scan that waits on its receiver, which
    // may take as long as it needs.
    void finishMove(int position, int speed, int accel);
    void finishScan(const scanParameters& p);

    // Homing. The search program latches the position where the switch trips and brakes;
    // duration receives the planned search time in microseconds.
    boost::shared_ptr<zk::completionNotifier> moveInitLimit(int travel, int speed, int accel, std::uint64_t* duration);
    // Runs one search and waits 1.2 times its planned duration; returns the latched position.
    int internalInitLimit(int travel, int speed, int accel);
    // Finds the switch (again slowly after backing off by fallback when that is not 0) and gives
    // the phase-adjusted limit the coordinate position. Returns (adjusted limit in the old
    // coordinates, phase at the limit).
    boost::tuples::tuple<int, int> initLimit(int travel, int speed, int accel, int position, int fallback,
                                             bool restore, unsigned int);
    // The driver's microstep position within the phase cycle.
    std::uint32_t getPhase();
    // Microsteps of four full steps at the driver's current MRES; above 8 there is no cycle, and
    // every modulo by it would divide by zero.
    std::uint32_t phaseCycle()
    {
        const std::uint32_t mres = getMotorParameter("MRES");
        if (mres > maxMicrostepResolution)
            BOOST_THROW_EXCEPTION(errorMicrostepResolution() << resolutionInfo(mres));
        return (256u >> mres) * 4;
    }
    static constexpr std::uint32_t maxMicrostepResolution = 8;
    // Moves the motor to where the driver's phase is 0: back by the phase, or up to the next
    // cycle start where going back would pass below position 0.
    void parkMotor();

    // Driver register fields.
    std::uint32_t getMotorParameter(const char* name);
    void setMotorParameter(const char* name, unsigned int value);
    void writeMotorParameter(const char* name, unsigned int value);
    void setAmperage(unsigned char current);
    void setSpeedThreshold(double speed);
    std::uint64_t readDriverRegister(unsigned char address);

    // Settings, variables, outputs.
    void readSettings();  // the caller holds commandMutex_
    void setDeviceSettings(const deviceSettings& settings);
    void commitSettings();
    void logSettings();
    void setValue(signed char id, std::uint32_t value);
    std::int32_t getValue(signed char id);
    void setPWM(const unsigned char* record);      // 5 bytes: channel, control word
    void setOutputs(const unsigned char* record);  // 8 bytes: mask, value

    void init() override;
    // Parks an initialised motor and zeroes variables 12, 10, 9, 8 and 7 before the link goes;
    // its own failures are logged, never thrown.
    void disconnect(bool softReset) override;
    // Sends the board into its boot loader (command 11) after releasing the motor as disconnect
    // does, then lets the link go without another command and without reconnecting.
    void leaveForBootLoader();

    // errorCommandRefused when the board refused the command sent last. For a caller that has
    // held commandMutex_ since it sent command, so that the answer is its own.
    void throwIfRefused(int command);

    const deviceSettings& getDeviceSettings() const { return deviceSettings_; }
    // Whether the held block and register image came from the board; until then they are zeros.
    bool settingsRead() const { return settingsRead_; }
    const std::vector<unsigned char>& motorConfig() const { return motorConfig_; }
    bool initialized() const { return initialized_; }

    // Held around every device command of this class; the terminal takes it
    // around the commands it sends itself. Taken before the link's own locks.
    boost::mutex commandMutex_;

private:
    struct programWatchers;
    struct startGate;

    // moveTo, also giving the planned duration in microseconds (0 when nothing moves).
    boost::shared_ptr<zk::completionNotifier> startMove(int position, int speed, int accel, std::uint64_t* duration);
    // scanMove, also giving the step move's planned duration in microseconds.
    boost::shared_ptr<zk::completionNotifier> startScan(const scanParameters& p, std::uint64_t* stepUs);
    // Waits for the program's end, at most limitMs; without a limit, until the watcher's reads
    // have gone unanswered for boardSilenceLimit. Past either, errorDeviceHung after cancelling
    // the watcher.
    void awaitProgram(const boost::shared_ptr<zk::completionNotifier>& program, std::optional<std::int64_t> limitMs);
    // How long the watchers' reads have gone unanswered since the board last answered one.
    std::chrono::steady_clock::duration boardUnanswered();
    // Before a program is loaded: errorBoardRestarted once the board restarted since init, and
    // errorProgramRunning while a program whose wait did not see its end still runs there.
    void readyForProgram();
    // After a reconnection: whether the board lost what init set, which is then logged and the
    // controller counts as not initialised.
    bool boardRestarted();
    void readFirmwareInfo();
    // One command, under commandMutex_ held by the caller; errorCommandRefused when refused.
    void sendCommand(int command, const boost::asio::const_buffer& payload);
    void sendCommandWithReply(int command, const boost::asio::const_buffer& payload,
                              const boost::asio::mutable_buffer& reply);
    // The part of disconnect that talks to the board: parking and variable writes, failures logged.
    void releaseMotor();
    void watchProgram(const boost::shared_ptr<zk::completionNotifier>& notifier);
    void stopWatchers();
    // Waits, for at most one watcher pass, until no program watcher is left to send a command.
    void awaitWatchers();
    void logEnd(const char* format);
    const driverField& lookupField(const char* name) const;
    std::size_t settingsImageSize() const { return motorConfig_.size() + device::deviceSettingsSize; }

    zk::logger::channel_logger log_;
    boost::optional<std::int32_t> model_;
    std::vector<unsigned char> motorConfig_;
    deviceSettings deviceSettings_{};
    bool settingsRead_ = false;
    // Fields set before init, each once with its last value, in the order of their last setting:
    // init writes them as the same calls would have after it, also where fields overlap.
    std::vector<std::pair<std::string, unsigned int>> pendingMotorParameters_;
    bool initialized_ = false;
    // Main thread alone, like initialized_. The link's connection count when init began; whether
    // the output bit init sets is still meant to be set (a script may clear it); whether a restart
    // since init was found.
    std::uint64_t initConnections_ = 0;
    bool initMarkSet_ = false;
    bool referenceLost_ = false;
    // The program started last, until a later load has found it over. Main thread alone.
    boost::shared_ptr<zk::completionNotifier> lastProgram_;
    std::uint32_t limitVar15Value_ = 2;
    // Made by the first execProgram and shared with the watcher threads; the destructor waits
    // until the last of them has let go of the controller.
    std::shared_ptr<programWatchers> watchers_;
};

}  // namespace smc
}  // namespace qz

#endif
