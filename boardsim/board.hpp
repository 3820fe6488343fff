#ifndef QZ_BOARDSIM_BOARD_HPP
#define QZ_BOARDSIM_BOARD_HPP

#include "boardsim/boot_loader.hpp"
#include "boardsim/device_variables.hpp"
#include "boardsim/board_devices.hpp"
#include "boardsim/faults.hpp"
#include "boardsim/hardware_options.hpp"
#include "boardsim/identity.hpp"
#include "boardsim/network_config.hpp"
#include "boardsim/sequencer.hpp"
#include "boardsim/settings.hpp"
#include "boardsim/step_generator.hpp"
#include "boardsim/wire.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz {
namespace boardsim {

// The firmware's control port, whatever its record holds.
constexpr std::uint16_t boardControlPort = 10000;

namespace udpCommand {
constexpr std::uint8_t discovery = 0;
constexpr std::uint8_t getConfig = 4;
constexpr std::uint8_t setConfig = 5;
constexpr std::uint8_t defaultConfig = 6;  // the boot loader: wake, as 0x7F
constexpr std::uint8_t wake = 0x7F;         // the boot loader only
}  // namespace udpCommand

namespace tcpCommand {
constexpr std::uint8_t softReset = 0x01;
constexpr std::uint8_t hardwareId = 0x02;
constexpr std::uint8_t networkConfig = 0x04;
constexpr std::uint8_t restartToBootLoader = 0x0B;
constexpr std::uint8_t storeSettings = 0x10;
constexpr std::uint8_t writeSettings = 0x12;
constexpr std::uint8_t readSettings = 0x13;
constexpr std::uint8_t commitSettings = 0x14;
constexpr std::uint8_t defaultSettings = 0x15;
constexpr std::uint8_t pwm = 0x20;
constexpr std::uint8_t outputs = 0x22;
constexpr std::uint8_t inputs = 0x25;
constexpr std::uint8_t pressure = 0x27;
constexpr std::uint8_t writeVariable = 0x2A;
constexpr std::uint8_t readVariable = 0x2B;
constexpr std::uint8_t loadRecord = 0x2C;
constexpr std::uint8_t readDriverRegister = 0x34;
}  // namespace tcpCommand

// The boot loader's own TCP commands; 0x01 and 0x02 as on the board.
namespace bootCommand {
constexpr std::uint8_t eraseSector = 0x07;
constexpr std::uint8_t writeArmBlock = 0x08;
constexpr std::uint8_t readArmBlock = 0x09;
constexpr std::uint8_t startFirmware = 0x0C;
constexpr std::uint8_t readFpgaBlock = 0x25;
constexpr std::uint8_t writeFpgaBlock = 0x26;
}  // namespace bootCommand

namespace statusCode {
constexpr std::uint8_t unknownError = 0x00;
constexpr std::uint8_t unknownCommand = 0x01;
constexpr std::uint8_t wrongData = 0x02;
constexpr std::uint8_t wrongRequestMode = 0x03;
constexpr std::uint8_t tcpCriticalError = 0xCE;
}  // namespace statusCode

// Where the board and its network front end say what they refused or failed at, a line each.
using reporter = std::function<void(const std::string&)>;

// The default reporter: "qzsmc-board: TEXT" on standard error.
void reportOnStandardError(const std::string& text);

// The board as the terminal sees it through its two sockets, without the sockets: datagrams and
// frames in, the bytes to send back out. Faults shape the answers; the work is done regardless.
class board {
public:
    // defaults: the network configuration at power-on, restored by UDP command 6. An id of the
    // boot-loader personality starts the device in its boot loader, awake, with this
    // configuration; its firmware then comes up with the same one.
    // Throws std::runtime_error when the settings file exists but cannot be used.
    board(identity id, networkConfig defaults, faults f = {}, settingsFile store = settingsFile(),
          hardwareOptions hardware = {}, bootOptions boot = {});
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    const faults& injectedFaults() const { return faults_; }

    // One datagram from the terminal; the datagrams to send back to its sender, in order.
    std::vector<bytes> onDatagram(const bytes& data);

    // One complete control frame; what to send back, in order.
    std::vector<bytes> onFrame(const bytes& frame);

    // A frame the terminal never asked for, to land in its queue of unsolicited messages; also
    // what the board sends when a program ends.
    bytes unsolicitedFrame() const;

    // Runs the program, if one runs, for up to ticks 10 us ticks. True when it ended by its own
    // end record meanwhile: the moment the board announces the end.
    bool advance(std::uint64_t ticks);
    bool programRunning() const { return sequencer_.running(); }

    // The control port listens: always on the board; in the boot loader only once UDP 0x7F or 6
    // has woken it.
    bool acceptsConnections() const { return id_.kind == personality::board || awake_; }
    // Where it listens: the board on 10000; the boot loader on the control port of its record,
    // so a terminal that does not set that port to 10000 finds nothing there.
    std::uint16_t controlPort() const;
    // Counts the restarts between board and boot loader: a change ends the control connection.
    unsigned restarts() const { return restarts_; }
    // The control connection ended; a firmware start that 0x0C accepted happens now.
    void connectionEnded();
    // True once, right after the boot-loader command that --boot-cut-after names.
    bool takeCut();
    const bootFlash& flash() const { return flash_; }

    const identity& id() const { return id_; }
    driverModel model() const { return model_; }
    const networkConfig& config() const { return config_; }
    std::int32_t variable(std::size_t n) const { return variables_.get(n); }
    std::uint32_t outputs() const { return devices_.outputs(); }
    std::uint32_t pwm(std::uint8_t channel) const { return pwm_[channel]; }
    const bytes& settings() const { return settings_; }
    const std::vector<std::uint32_t>& driverRegisters() const { return applied_; }

    boardDevices& devices() { return devices_; }
    const boardDevices& devices() const { return devices_; }

    // Standard error unless replaced.
    void setReporter(reporter report);
    void report(const std::string& text) const;

private:
    struct outcome {
        enum kind { done, refused, unknown } result;
        bytes payload;
    };

    bool addressedToUs(const hardwareId& id) const;
    std::vector<bytes> executeUdp(std::uint8_t command, const bytes& payload);
    bytes udpReply(std::uint8_t status, const bytes& payload = {}) const;
    std::vector<bytes> discovery(const bytes& payload) const;
    bytes configReply() const;

    outcome execute(std::uint8_t code, const bytes& payload);
    std::optional<std::size_t> requestSize(std::uint8_t code) const;
    outcome refuse(const std::string& why);
    outcome writeVariable(const bytes& payload);
    outcome readVariable(const bytes& payload);
    void writeProgramState(std::int32_t value);
    outcome loadRecord(const bytes& payload);
    generatorLimits limits() const;
    std::uint64_t ticksToFault(std::uint64_t ticks) const;
    void actOnFaults();
    outcome readDriverRegister(const bytes& payload);
    std::uint32_t sixRegisterRead(std::uint8_t address) const;
    std::uint32_t microstepCounter() const;
    void applyRegisters();
    void softReset();

    bytes wake(std::uint8_t command);
    outcome executeBoot(std::uint8_t code, const bytes& payload);
    outcome blockWritten(std::uint32_t block, std::uint32_t status);
    void restartIntoBootLoader();
    void startFirmware(const bytes& image);

    identity id_;
    driverModel model_;
    networkConfig defaults_;
    networkConfig config_;
    faults faults_;
    settingsFile store_;
    reporter report_;

    bytes settings_;                       // what 0x12 wrote and 0x13 reads
    bytes stored_;                         // what 0x10 kept; power-on and soft reset load it
    std::vector<std::uint32_t> applied_;   // register words in the driver since the last commit
    std::uint8_t lastRegisterAddress_ = 0;
    stepGenerator generator_;
    boardDevices devices_;
    deviceVariables variables_{generator_, &devices_};
    sequencer sequencer_{generator_, variables_, &devices_};
    unsigned long programsStarted_ = 0;    // since the board started, for --hang and --stop
    std::uint64_t programTicks_ = 0;       // ticks the program started last has been given
    std::array<std::uint32_t, 256> pwm_{};

    identity boardId_;                     // what the firmware answers as; its revision follows the image
    identity bootId_;
    bootOptions boot_;
    bootFlash flash_;
    networkConfig boardConfig_;            // the firmware's configuration while the boot loader runs
    bool awake_ = false;                   // boot loader: 0x7F or 6 opened the control port
    std::optional<bytes> firmwareToStart_; // accepted by 0x0C, started when the connection ends
    unsigned restarts_ = 0;
    unsigned bootCommands_ = 0;            // received by the boot loader since the process started
    bool cut_ = false;
};

}  // namespace boardsim
}  // namespace qz

#endif
