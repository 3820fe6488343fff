// Homing on the limit switch, the driver's phase, and parking at phase 0.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"
#include "qzsmc/homing_arithmetic.hpp"
#include "qzsmc/motion_programs.hpp"

namespace qz {
namespace smc {

namespace {

namespace opcode = device::opcode;
namespace variable = device::variable;
namespace condition = device::condition;

constexpr std::int32_t searchEnded = 1;
constexpr std::int32_t switchReached = 2;
constexpr std::uint32_t handlerAddressFlag = 0x80000000u;

constexpr int cmdReadDriverRegister = 0x34;
constexpr unsigned char microstepCounterRegister = 0x6A;
constexpr std::uint32_t counterMask = 0x3FF;

constexpr int parkingSpeed = 0x3FFFFFFF;
constexpr int parkingAccel = 100000;

}  // namespace

controller::program limitProgram(std::uint32_t var15Value, int travel, int accel, std::uint32_t accelLimit,
                                 const controller::program& search)
{
    controller::program p;
    controller::emplaceInstruction(p, opcode::setVariable, static_cast<std::int32_t>(var15Value), variable::limitSetup);
    controller::emplaceInstruction(p, opcode::setVariable, 0, variable::limitHandler);
    controller::emplaceInstruction(p, opcode::setVariable, searchEnded, variable::moveDone);
    p.insert(p.end(), search.begin(), search.end());
    controller::appendProgramEnd(p);

    // The board jumps to the slot in variable 16 when the switch trips.
    const std::uint32_t handler = static_cast<std::uint32_t>(p.size());
    p[1].value = static_cast<std::int32_t>(handler | handlerAddressFlag);
    const std::int64_t hardBrake =
        std::min<std::int64_t>(static_cast<std::int32_t>(accelLimit), 32 * std::llabs(std::int64_t{accel}));
    controller::emplaceInstruction(p, opcode::setVariable, 0, variable::latchedPosition, variable::position);
    controller::emplaceInstruction(p, opcode::phase, static_cast<std::int32_t>(travel > 0 ? -hardBrake : hardBrake));
    // Brake until the speed has crossed zero, then stop dead.
    controller::emplaceInstruction(p, opcode::subtract, 0, variable::speed);
    controller::emplaceInstruction(p, opcode::branch, -1, 0, 25, travel > 0 ? condition::positive : condition::negative);
    controller::emplaceInstruction(p, opcode::stop);
    controller::emplaceInstruction(p, opcode::setVariable, 0, variable::limitHandler);
    controller::emplaceInstruction(p, opcode::setVariable, switchReached, variable::moveDone);
    controller::appendProgramEnd(p);
    return p;
}

boost::shared_ptr<zk::completionNotifier> controller::moveInitLimit(int travel, int speed, int accel,
                                                                    std::uint64_t* duration)
{
    if (speed == 0)
        BOOST_THROW_EXCEPTION(errorZeroSpeed());
    if (accel == 0)
        BOOST_THROW_EXCEPTION(errorZeroAcceleration());
    // The planner refuses a speed of -2^31 itself; an acceleration that large it cuts anyway.
    const int a = accel == std::numeric_limits<int>::min() ? std::numeric_limits<int>::max() : std::abs(accel);
    const int s = speed == std::numeric_limits<int>::min() ? speed : std::abs(speed);
    readyForProgram();
    const int current = getValue(variable::position);
    const program search = makePath(current, offsetPosition(current, travel), s, a, a, duration);
    loadProgram(limitProgram(limitVar15Value_, travel, accel, deviceSettings_.limits.accel, search), 0);
    return execProgram(0);
}

int controller::internalInitLimit(int travel, int speed, int accel)
{
    std::uint64_t duration = 0;
    const boost::shared_ptr<zk::completionNotifier> search = moveInitLimit(travel, speed, accel, &duration);
    if (search)
        awaitProgram(search, programTimeLimitMs(static_cast<double>(duration), 0));
    if (getValue(variable::moveDone) != switchReached)
        BOOST_THROW_EXCEPTION(errorLimitSwitchUnreachable());
    return getValue(variable::latchedPosition);
}

boost::tuples::tuple<int, int> controller::initLimit(int travel, int speed, int accel, int position, int fallback,
                                                     bool restore, unsigned int)
{
    // Taken first, so that a driver set up without a phase cycle fails before anything moves.
    const std::uint32_t cycle = phaseCycle();
    const std::int64_t fb = homing::opposedFallback(fallback, travel);
    if (!homing::slowPassFits(fb))
        BOOST_THROW_EXCEPTION(std::out_of_range("fallback " + std::to_string(fallback) +
                                                " out of range: the slow pass travels twice the back-off, at most 2147483647"
                                                " microsteps"));
    const int start = getValue(variable::position);
    int limit = internalInitLimit(travel, speed, accel);
    if (fb != 0) {
        finishMove(offsetPosition(limit, fb), speed, accel);
        const int fastLimit = limit;
        limit = internalInitLimit(static_cast<int>(-2 * fb), homing::sixteenth(speed), homing::sixteenth(accel));
        if (homing::slowPassSticky(fb, limit, fastLimit, cycle))
            BOOST_THROW_EXCEPTION(errorLimitSwitchSticky());
    }

    const int pos = getValue(variable::position);
    const std::uint32_t phase = getPhase();
    const std::uint32_t limitPhase = homing::phaseAtLimit(phase, pos, limit, cycle);
    const int adjusted = homing::phaseAdjustedLimit(limit, limitPhase, cycle, travel);
    BOOST_LOG_SEV(log_, zk::logger::info)
        << boost::format("limit position: %d (ph. %d), over limit: %d (ph. %d), passed: %d, phase adjusted limit: %d, "
                         "over phase adj. limit: %d") %
               limit % limitPhase % offsetPosition(pos, -std::int64_t{limit}) % phase %
               offsetPosition(pos, -std::int64_t{start}) % adjusted % offsetPosition(pos, -std::int64_t{adjusted});

    const int renamed = offsetPosition(position, std::int64_t{pos} - adjusted);
    setValue(variable::position, static_cast<std::uint32_t>(renamed));
    if (restore)
        finishMove(offsetPosition(renamed, std::int64_t{start} - pos), speed, accel);
    return boost::tuples::make_tuple(adjusted, static_cast<int>(limitPhase));
}

std::uint32_t controller::getPhase()
{
    if (!model_ || (*model_ != 0 && *model_ != 1))
        return 0;
    const std::uint32_t cycle = phaseCycle();
    const std::uint32_t mres = getMotorParameter("MRES");
    if (*model_ == 1) {
        // The chip answers each read with the register the previous read addressed.
        readDriverRegister(microstepCounterRegister);
        const std::uint64_t counter = readDriverRegister(0);
        return homing::orientedPhase((counter & counterMask) >> mres, cycle, getMotorParameter("shaft") != 0);
    }
    unsigned char request[4] = {};
    unsigned char reply[4] = {};
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        sendCommandWithReply(cmdReadDriverRegister, boost::asio::buffer(request), boost::asio::buffer(reply));
    }
    return homing::orientedPhase(((zk::getLE32(reply) >> 10) & counterMask) >> mres, cycle, false);
}

void controller::parkMotor()
{
    BOOST_LOG_SEV(log_, zk::logger::trace) << "Parking motor...";
    const std::uint32_t cycle = phaseCycle();
    const std::uint32_t phase = getPhase() & 0xFFFF;
    const int pos = getValue(variable::position);
    const int target = homing::parkTarget(pos, phase, cycle);
    BOOST_LOG_SEV(log_, zk::logger::info)
        << boost::format("parking motor with phase %d from %d to %d") % phase % pos % target;
    finishMove(target, parkingSpeed, parkingAccel);
}

}  // namespace smc
}  // namespace qz
