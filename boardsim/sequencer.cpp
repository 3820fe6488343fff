#include "boardsim/sequencer.hpp"

#include "boardsim/wire.hpp"

#include <algorithm>

namespace qz {
namespace boardsim {

programRecord programRecord::decode(const std::uint8_t* data)
{
    return {data[0], data[1], data[2], data[3], static_cast<std::int32_t>(getLE32(data + 4))};
}

sequencer::sequencer(stepGenerator& generator, deviceVariables& variables, boardDevices* devices)
    : generator_(generator), variables_(variables), devices_(devices)
{
}

void sequencer::start(std::size_t slot)
{
    running_ = true;
    counter_ = slot;
    waiting_ = 0;
    nextPending_.reset();
    arithmetic_.reset();
    tested_.reset();
    testMask_ = 0;
    variables_.set(deviceVariables::programState, variables_.get(deviceVariables::programState) | 1);
}

void sequencer::stop()
{
    if (running_)
        finish();
}

// Every end leaves the motor stopped and variable 0 saying so.
void sequencer::finish()
{
    running_ = false;
    hung_ = false;
    waiting_ = 0;
    nextPending_.reset();
    generator_.stop();
    variables_.set(deviceVariables::programState, variables_.get(deviceVariables::programState) & ~1);
}

sequencer::ending sequencer::run(std::uint64_t ticks)
{
    const bool wasRunning = running_;
    // Settings written while the program runs take effect here, so a zero path is caught before
    // it divides.
    if (running_ && generator_.limits().path <= 0) {
        failure_ = "program stopped: limits.path is " + std::to_string(generator_.limits().path);
        finish();
        return ending::abnormal;
    }
    if (hung_)
        return ending::none;
    try {
        for (; ticks > 0 && running_; --ticks)
            tick();
    } catch (const errorProgram& e) {
        failure_ = "program stopped at slot " + std::to_string(counter_) + ": " + e.what();
        finish();
        return ending::abnormal;
    }
    return wasRunning && !running_ ? ending::normal : ending::none;
}

void sequencer::tick()
{
    if (waiting_ > 0 && enterLimitHandler())
        waiting_ = 0;
    if (waiting_ == 0) {
        // Records that take no time only move forward, so within a memory's worth of them one
        // takes the tick, the program ends, or it runs off the end.
        for (std::size_t executed = 0; waiting_ == 0; ++executed) {
            if (!running_)
                return;
            enterLimitHandler();
            if (counter_ >= slotCount)
                throw errorProgram("ran past the last slot");
            if (executed > slotCount)
                throw errorProgram("no record took a tick");
            waiting_ = execute(program_[counter_]);
        }
    }
    --waiting_;
    const std::int64_t microsteps = generator_.tick();
    if (devices_)
        devices_->follow(microsteps);
    if (nextPending_) {
        generator_.setPending(*nextPending_);
        nextPending_.reset();
    }
}

// Checked before every record and at every tick of a record that takes several, so that the
// switch is answered in the tick after the one that tripped it, and a record that arms the
// handler while the switch is already active leads into it before the next record.
bool sequencer::enterLimitHandler()
{
    const std::int32_t handler = variables_.get(deviceVariables::limitHandler);
    if (!devices_ || handler >= 0 || !devices_->limit().active())
        return false;
    variables_.set(deviceVariables::limitHandler, handler & 0x7FFFFFFF);
    counter_ = static_cast<std::uint32_t>(handler) & 0xFFFF;
    return true;
}

// The ticks the record takes from this one on; 0 lets the next record run in the same tick.
std::uint64_t sequencer::execute(const programRecord& r)
{
    std::uint64_t ticks = 0;
    std::size_t next = counter_ + 1;
    switch (r.opcode) {
    case opcode::nop:
        ticks = 1;
        break;
    case opcode::set:
        write(r.arg2, operand(r));
        break;
    case opcode::setBits:
        write(r.arg2, read(r.arg2) | operand(r));
        break;
    case opcode::clearBits:
        write(r.arg2, read(r.arg2) & ~operand(r));
        break;
    case opcode::subtract:
        write(r.arg2, static_cast<std::int32_t>(static_cast<std::uint32_t>(read(r.arg2)) -
                                                static_cast<std::uint32_t>(operand(r))));
        arithmetic_ = r.arg2;
        break;
    case opcode::test:
        read(r.arg2);
        tested_ = r.arg2;
        testMask_ = operand(r);
        break;
    case opcode::branch:
        if (condition(r.arg1)) {
            const std::int64_t target = static_cast<std::int64_t>(counter_) + 1 + operand(r);
            if (target < 0 || target >= static_cast<std::int64_t>(slotCount))
                throw errorProgram("branch to slot " + std::to_string(target));
            next = static_cast<std::size_t>(target);
            ticks = 1;
        }
        break;
    case opcode::wait:
        if (r.arg3 == immediateOperand)
            ticks = static_cast<std::uint64_t>(std::max(r.value, 1));
        else
            ticks = static_cast<std::uint64_t>(std::max(read(r.arg3), 0));
        break;
    case opcode::stop:
        generator_.stop();
        break;
    case opcode::accelerate:
        nextPending_ = operand(r);
        ticks = 1;
        break;
    default:
        throw errorProgram("unknown opcode 0x" + toHex({r.opcode}));
    }
    counter_ = next;
    return ticks;
}

// Evaluated each time the branch runs, so a branch onto itself waits for the variable to change.
bool sequencer::condition(std::uint8_t code) const
{
    const std::int32_t arithmetic = arithmetic_ ? read(*arithmetic_) : 0;
    const std::int32_t tested = tested_ ? read(*tested_) & testMask_ : 0;
    switch (code) {
    case 1: return arithmetic < 0;
    case 4: return arithmetic > 0;
    case 2: return tested != 0;
    case 5: return tested == 0;
    default: throw errorProgram("unknown branch condition " + std::to_string(code));
    }
}

std::int32_t sequencer::operand(const programRecord& r) const
{
    return r.arg3 == immediateOperand ? r.value : read(r.arg3);
}

std::int32_t sequencer::read(std::size_t id) const
{
    if (!deviceVariables::exists(static_cast<std::int64_t>(id)))
        throw errorProgram("no variable " + std::to_string(id));
    return variables_.get(id);
}

void sequencer::write(std::size_t id, std::int32_t value)
{
    if (!deviceVariables::exists(static_cast<std::int64_t>(id)))
        throw errorProgram("no variable " + std::to_string(id));
    variables_.set(id, value);
    if (id == deviceVariables::programState && (value & 1) == 0)
        finish();
}

}  // namespace boardsim
}  // namespace qz
