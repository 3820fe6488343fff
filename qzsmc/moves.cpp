// Moves and scans: the whole motion as one device program, started without waiting for its end.
#include <algorithm>
#include <chrono>
#include <cmath>

#include <boost/make_shared.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"
#include "qzsmc/motion_programs.hpp"

namespace qz {
namespace smc {

namespace {

namespace opcode = device::opcode;
namespace variable = device::variable;
namespace condition = device::condition;

constexpr std::int32_t exposureOutput = 8;
constexpr std::int32_t handshakeOutput = 0x10;
constexpr std::int32_t reflectOutput = 0x20;
constexpr std::int32_t receiverInput = 0x20;
constexpr std::int32_t reflectInputs = 0x60;

// The notifier of a motion with nothing to do: complete from the start.
boost::shared_ptr<zk::completionNotifier> finished()
{
    auto done = boost::make_shared<zk::completionNotifier>();
    done->complete(zk::completionNotifier::completed);
    return done;
}

[[noreturn]] void giveUp(const boost::shared_ptr<zk::completionNotifier>& program)
{
    // Only the watcher stops; the board keeps whatever it runs.
    program->cancel();
    BOOST_THROW_EXCEPTION(controller::errorDeviceHung());
}

// A wait of ticks ticks, overhead included: a single nop for the shortest, else a
// variable write and a wait record that make up the rest.
void appendWait(controller::program& p, std::uint32_t ticks, std::uint32_t overhead)
{
    if (ticks == overhead - 1) {
        controller::emplaceInstruction(p, opcode::nop);
    } else if (ticks >= overhead) {
        controller::emplaceInstruction(p, opcode::setVariable, 0, variable::settle);
        controller::emplaceInstruction(p, opcode::wait, static_cast<std::int32_t>(ticks - overhead));
    }
}

// The wait for a scan without the handshake whose step move is planned to take stepUs microseconds:
// every repetition with its settling and exposure, and the grace of a move. The count is an
// unsigned 32-bit number on the wire, whatever int holds it.
std::int64_t scanTimeLimitMs(const controller::scanParameters& p, std::uint64_t stepUs)
{
    // A branch back takes a tick, and a short wait may take one more than its share.
    constexpr double loopTicks = 2;
    const double repetitions = static_cast<std::uint32_t>(p.count);
    const double waitTicks = static_cast<double>(ticksOf(p.calm)) + static_cast<double>(ticksOf(p.exposure));
    const double repetitionUs = static_cast<double>(stepUs) + 10.0 * (waitTicks + loopTicks);
    return programTimeLimitMs(repetitions * repetitionUs, moveGraceMs);
}

}  // namespace

std::uint32_t ticksOf(int microseconds)
{
    return (static_cast<std::uint32_t>(microseconds) + 5) / 10;
}

std::int64_t programTimeLimitMs(double plannedUs, double extraMs)
{
    constexpr double longest = 1e12;
    return static_cast<std::int64_t>(std::min(std::round(plannedUs * 0.0012) + extraMs, longest));
}

controller::program scanProgram(const controller::scanParameters& p, const controller::program& stepMove)
{
    controller::program s;
    controller::emplaceInstruction(s, opcode::setVariable, 0, variable::scanRepetitions, variable::scanCount);
    if (p.handshake && p.reflect)
        controller::emplaceInstruction(s, opcode::setBits, reflectOutput, variable::outputs);
    s.insert(s.end(), stepMove.begin(), stepMove.end());
    appendWait(s, ticksOf(p.calm), 2);

    if (p.handshake) {
        if (p.reflect) {
            controller::emplaceInstruction(s, opcode::test, reflectInputs, variable::inputs);
            controller::emplaceInstruction(s, opcode::subtract, reflectInputs, variable::scanCount);
            controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, condition::nonZero);
            controller::emplaceInstruction(s, opcode::clearBits, reflectOutput, variable::outputs);
        } else {
            controller::emplaceInstruction(s, opcode::test, receiverInput, variable::inputs);
            controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, condition::zero);
        }
        controller::emplaceInstruction(s, opcode::setBits, handshakeOutput, variable::outputs);
        controller::emplaceInstruction(s, opcode::test, receiverInput, variable::inputs);
        controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, condition::nonZero);
    }

    const std::uint32_t exposure = ticksOf(p.exposure);
    const std::uint32_t pulse =
        ticksOf(static_cast<int>(std::min(static_cast<std::uint32_t>(p.pulse), static_cast<std::uint32_t>(p.exposure))));
    const std::uint32_t rest = pulse < exposure ? exposure - pulse : 0;
    controller::emplaceInstruction(s, opcode::setBits, exposureOutput, variable::outputs);
    appendWait(s, pulse, 3);
    controller::emplaceInstruction(s, opcode::clearBits, exposureOutput, variable::outputs);
    appendWait(s, rest, 2);
    if (p.handshake)
        controller::emplaceInstruction(s, opcode::clearBits, handshakeOutput, variable::outputs);

    // Back to record 1 while repetitions remain.
    controller::emplaceInstruction(s, opcode::subtract, 1, variable::scanRepetitions);
    controller::emplaceInstruction(s, opcode::branch, -static_cast<std::int32_t>(s.size()), 0, 25, condition::positive);
    controller::emplaceInstruction(s, opcode::setVariable, 1, variable::moveDone);
    controller::appendProgramEnd(s);
    return s;
}

boost::shared_ptr<zk::completionNotifier> controller::moveTo(int position, int speed, int accel)
{
    return startMove(position, speed, accel, nullptr);
}

boost::shared_ptr<zk::completionNotifier> controller::startMove(int position, int speed, int accel,
                                                                std::uint64_t* duration)
{
    readyForProgram();
    const int current = getValue(variable::position);
    program p = makePath(current, position, speed, accel, accel, duration);
    if (p.empty())
        return finished();
    emplaceInstruction(p, opcode::setVariable, 1, variable::moveDone);
    appendProgramEnd(p);
    loadProgram(p, 0);
    return execProgram(0);
}

void controller::finishMove(int position, int speed, int accel)
{
    std::uint64_t duration = 0;
    const boost::shared_ptr<zk::completionNotifier> move = startMove(position, speed, accel, &duration);
    awaitProgram(move, programTimeLimitMs(static_cast<double>(duration), moveGraceMs));
}

void controller::awaitProgram(const boost::shared_ptr<zk::completionNotifier>& program,
                              std::optional<std::int64_t> limitMs)
{
    if (limitMs) {
        // A plan bounds the wait and nothing else: a board cut off for a while still runs the
        // program, and its watcher finds the end once the board answers again.
        if (!program->waitFor(*limitMs))
            giveUp(program);
        return;
    }
    // Without a plan only the board's silence ends the wait. Unanswered reads add up no faster
    // than time passes, so the limit is reached no sooner than what it lacks from now.
    for (;;) {
        const auto unanswered = boardUnanswered();
        if (unanswered >= boardSilenceLimit)
            giveUp(program);
        if (program->waitFor(std::chrono::ceil<std::chrono::milliseconds>(boardSilenceLimit - unanswered).count()))
            return;
    }
}

boost::shared_ptr<zk::completionNotifier> controller::scanMove(const scanParameters& p)
{
    return startScan(p, nullptr);
}

void controller::finishScan(const scanParameters& p)
{
    std::uint64_t stepUs = 0;
    const boost::shared_ptr<zk::completionNotifier> scan = startScan(p, &stepUs);
    // How long the receiver holds a handshake is its own affair: no plan bounds it.
    awaitProgram(scan, p.handshake ? std::nullopt : std::optional<std::int64_t>(scanTimeLimitMs(p, stepUs)));
}

boost::shared_ptr<zk::completionNotifier> controller::startScan(const scanParameters& p, std::uint64_t* stepUs)
{
    readyForProgram();
    const int current = getValue(variable::position);
    // The board's loop tests its count after the body: a program would move and expose once.
    if (p.count == 0)
        return finished();
    // No limit handler may fire during a scan.
    setValue(variable::limitHandler, 0);
    setValue(variable::limitSetup, 0);
    setValue(variable::scanCount, static_cast<std::uint32_t>(p.count));
    // Planned once: the records are relative, so every repetition moves by step.
    const program stepMove = makePath(current, offsetPosition(current, p.step), p.speed, p.accel, p.decel, stepUs);
    loadProgram(scanProgram(p, stepMove), 0);
    return execProgram(0);
}

}  // namespace smc
}  // namespace qz
