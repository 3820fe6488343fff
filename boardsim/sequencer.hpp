#ifndef QZ_BOARDSIM_SEQUENCER_HPP
#define QZ_BOARDSIM_SEQUENCER_HPP

#include "boardsim/board_devices.hpp"
#include "boardsim/device_variables.hpp"
#include "boardsim/step_generator.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace qz {
namespace boardsim {

// One record of program memory: {opcode, arg1, arg2, arg3, i32 value}, 8 bytes little-endian.
struct programRecord {
    static constexpr std::size_t size = 8;
    static programRecord decode(const std::uint8_t* data);

    std::uint8_t opcode = 0;
    std::uint8_t arg1 = 0;
    std::uint8_t arg2 = 0;
    std::uint8_t arg3 = 0;
    std::int32_t value = 0;
};

namespace opcode {
constexpr std::uint8_t nop = 0x00;
constexpr std::uint8_t set = 0x01;
constexpr std::uint8_t setBits = 0x02;
constexpr std::uint8_t clearBits = 0x03;
constexpr std::uint8_t branch = 0x04;
constexpr std::uint8_t subtract = 0x11;
constexpr std::uint8_t test = 0x12;
constexpr std::uint8_t wait = 0x20;
constexpr std::uint8_t stop = 0x30;
constexpr std::uint8_t accelerate = 0x32;
}  // namespace opcode

// In arg3: the operand is the value field; any other arg3 names the variable that holds it.
constexpr std::uint8_t immediateOperand = 25;

// Runs the program memory in the step generator's 10 us ticks. A tick executes records that take
// no time until one takes the tick; the generator ticks only while a program runs. Bit 0 of
// variable 0 mirrors the running state: a program ends itself by clearing it.
//
// With the board's devices it also drives the motor and watches the limit switch: while variable
// 16 has bit 31 set and the switch is active, the current record is abandoned and the program goes
// on at the handler slot, the low 16 bits of variable 16. Entering the handler clears bit 31, as an
// interrupt masks itself: the handler runs while the switch is still active, and it re-enters only
// once something sets bit 31 again.
class sequencer {
public:
    static constexpr std::size_t slotCount = 256;

    enum class ending { none, normal, abnormal };

    // Without devices the generator runs alone (the planner's tests compare it with their model).
    sequencer(stepGenerator& generator, deviceVariables& variables, boardDevices* devices = nullptr);
    sequencer(const sequencer&) = delete;
    sequencer& operator=(const sequencer&) = delete;

    // slot < slotCount.
    void load(std::size_t slot, const programRecord& record) { program_.at(slot) = record; }
    void clearProgram() { program_.fill({}); }

    // Starts at slot (< slotCount); the generator needs positive limits().path while it runs.
    void start(std::size_t slot);
    // Ends a running program from outside.
    void stop();
    // The running program makes no more progress, as on a board whose firmware hangs: no record
    // runs and the motor stands, until it is stopped from outside.
    void hang() { hung_ = running_; }
    bool running() const { return running_; }

    // Up to ticks ticks, fewer when the program ends; how it ended, if it did. After an abnormal
    // end, failure() says why.
    ending run(std::uint64_t ticks);
    const std::string& failure() const { return failure_; }

private:
    struct errorProgram : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    void tick();
    bool enterLimitHandler();
    std::uint64_t execute(const programRecord& r);
    bool condition(std::uint8_t code) const;
    std::int32_t operand(const programRecord& r) const;
    std::int32_t read(std::size_t id) const;
    void write(std::size_t id, std::int32_t value);
    void finish();

    stepGenerator& generator_;
    deviceVariables& variables_;
    boardDevices* devices_;
    std::array<programRecord, slotCount> program_{};
    bool running_ = false;
    bool hung_ = false;
    bool endedNormally_ = false;              // by its own record, during the current run()
    std::size_t counter_ = 0;                 // the next record's slot
    std::uint64_t waiting_ = 0;               // ticks the current record still takes
    std::optional<std::int32_t> nextPending_;  // an acceleration record's, due after this tick
    std::optional<std::size_t> arithmetic_;   // the variable branches compare with 0
    std::optional<std::size_t> tested_;       // the variable branches test under testMask_
    std::int32_t testMask_ = 0;
    std::string failure_;
};

}  // namespace boardsim
}  // namespace qz

#endif
