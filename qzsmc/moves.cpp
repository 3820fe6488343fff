// Moves and scans: the whole motion as one device program, started without waiting for its end.
#include <algorithm>

#include <boost/make_shared.hpp>

#include "qzsmc/controller.hpp"
#include "qzsmc/motion_programs.hpp"

namespace qz {
namespace smc {

namespace {

namespace opcode = device::opcode;

constexpr signed char positionVariable = 2;
constexpr std::uint8_t outputsVariable = 0x0c;
constexpr std::uint8_t inputsVariable = 0x0b;
constexpr std::uint8_t settleVariable = 6;
constexpr signed char limitSetupVariable = 15;
constexpr signed char limitHandlerVariable = 16;
constexpr std::uint8_t scanCountVariable = 0x13;
constexpr std::uint8_t repetitionsVariable = 0x14;
constexpr std::uint8_t moveDoneVariable = 0x18;

constexpr std::int32_t exposureOutput = 8;
constexpr std::int32_t handshakeOutput = 0x10;
constexpr std::int32_t reflectOutput = 0x20;
constexpr std::int32_t receiverInput = 0x20;
constexpr std::int32_t reflectInputs = 0x60;

constexpr std::uint8_t branchIfNonZero = 2;
constexpr std::uint8_t branchIfPositive = 4;
constexpr std::uint8_t branchIfZero = 5;

// A wait of ticks ticks, overhead included: a single nop for the shortest, else a
// variable write and a wait record that make up the rest.
void appendWait(controller::program& p, std::uint32_t ticks, std::uint32_t overhead)
{
    if (ticks == overhead - 1) {
        controller::emplaceInstruction(p, opcode::nop);
    } else if (ticks >= overhead) {
        controller::emplaceInstruction(p, opcode::setVariable, 0, settleVariable);
        controller::emplaceInstruction(p, opcode::wait, static_cast<std::int32_t>(ticks - overhead));
    }
}

}  // namespace

std::uint32_t ticksOf(int microseconds)
{
    return (static_cast<std::uint32_t>(microseconds) + 5) / 10;
}

controller::program scanProgram(const controller::scanParameters& p, const controller::program& stepMove)
{
    controller::program s;
    controller::emplaceInstruction(s, opcode::setVariable, 0, repetitionsVariable, scanCountVariable);
    if (p.handshake && p.reflect)
        controller::emplaceInstruction(s, opcode::setBits, reflectOutput, outputsVariable);
    s.insert(s.end(), stepMove.begin(), stepMove.end());
    appendWait(s, ticksOf(p.calm), 2);

    if (p.handshake) {
        if (p.reflect) {
            controller::emplaceInstruction(s, opcode::test, reflectInputs, inputsVariable);
            controller::emplaceInstruction(s, opcode::subtract, reflectInputs, scanCountVariable);
            controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, branchIfNonZero);
            controller::emplaceInstruction(s, opcode::clearBits, reflectOutput, outputsVariable);
        } else {
            controller::emplaceInstruction(s, opcode::test, receiverInput, inputsVariable);
            controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, branchIfZero);
        }
        controller::emplaceInstruction(s, opcode::setBits, handshakeOutput, outputsVariable);
        controller::emplaceInstruction(s, opcode::test, receiverInput, inputsVariable);
        controller::emplaceInstruction(s, opcode::branch, -1, 0, 25, branchIfNonZero);
    }

    const std::uint32_t exposure = ticksOf(p.exposure);
    const std::uint32_t pulse =
        ticksOf(static_cast<int>(std::min(static_cast<std::uint32_t>(p.pulse), static_cast<std::uint32_t>(p.exposure))));
    const std::uint32_t rest = pulse < exposure ? exposure - pulse : 0;
    controller::emplaceInstruction(s, opcode::setBits, exposureOutput, outputsVariable);
    appendWait(s, pulse, 3);
    controller::emplaceInstruction(s, opcode::clearBits, exposureOutput, outputsVariable);
    appendWait(s, rest, 2);
    if (p.handshake)
        controller::emplaceInstruction(s, opcode::clearBits, handshakeOutput, outputsVariable);

    // Back to record 1 while repetitions remain.
    controller::emplaceInstruction(s, opcode::subtract, 1, repetitionsVariable);
    controller::emplaceInstruction(s, opcode::branch, -static_cast<std::int32_t>(s.size()), 0, 25, branchIfPositive);
    controller::emplaceInstruction(s, opcode::setVariable, 1, moveDoneVariable);
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
    const int current = getValue(positionVariable);
    program p = makePath(current, position, speed, accel, accel, duration);
    if (p.empty()) {
        auto done = boost::make_shared<zk::completionNotifier>();
        done->complete(zk::completionNotifier::completed);
        return done;
    }
    emplaceInstruction(p, opcode::setVariable, 1, moveDoneVariable);
    appendProgramEnd(p);
    loadProgram(p, 0);
    return execProgram(0);
}

boost::shared_ptr<zk::completionNotifier> controller::scanMove(const scanParameters& p)
{
    const int current = getValue(positionVariable);
    // No limit handler may fire during a scan.
    setValue(limitHandlerVariable, 0);
    setValue(limitSetupVariable, 0);
    setValue(scanCountVariable, static_cast<std::uint32_t>(p.count));
    // Planned once: the records are relative, so every repetition moves by step.
    const program stepMove = makePath(current, offsetPosition(current, p.step), p.speed, p.accel, p.decel, nullptr);
    loadProgram(scanProgram(p, stepMove), 0);
    return execProgram(0);
}

}  // namespace smc
}  // namespace qz
