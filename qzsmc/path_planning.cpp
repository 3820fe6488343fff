// Path planning: a move segment as acceleration, cruise and deceleration records, checked
// against the step-generator model, with at most one correction segment.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"

namespace qz {
namespace smc {

namespace {

namespace opcode = device::opcode;
namespace variable = device::variable;

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

// Value fields carry the low 32 bits of a tick count.
std::int32_t low32(std::uint64_t ticks)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks));
}

std::int64_t magnitude(std::int64_t v)
{
    return v < 0 ? -v : v;
}

constexpr std::uint64_t longestPhase = std::uint64_t{1} << 32;

// Runs one phase on the model, unless it could carry the position farther than the counter's
// range twice over: a plan no move of at most 2^31 - 1 microsteps makes, and one whose stop
// positions the model could only find by running through every wrap of the counter.
std::uint64_t runPhase(controller::_moveState& state, const device::stepFSMLimits& limits, std::uint64_t ticks,
                       int accel, bool correcting, int target)
{
    using wide = __int128;
    const std::int64_t S = static_cast<std::int32_t>(limits.speed), A = static_cast<std::int32_t>(limits.accel);
    const wide first = std::clamp<std::int64_t>(std::int64_t{state.speed} + state.accel, -S, S);
    const wide a = std::clamp<std::int64_t>(accel, -A, A);
    const wide n = ticks;
    // The speeds after the first tick run linearly from `first` toward a limit, so the largest
    // magnitude is at an end.
    const wide last = first + (n - 1) * a;
    const wide fastest = std::min<wide>(S, std::max(first < 0 ? -first : first, last < 0 ? -last : last));
    const wide q = state.accumulator;
    const wide reach = ((q < 0 ? -q : q) + magnitude(state.speed) + (n - 1) * fastest) /
                       static_cast<std::int32_t>(limits.path);
    if (reach > (wide{1} << 33))
        BOOST_THROW_EXCEPTION(controller::errorNoSolution());
    return state.step(limits, ticks, accel, correcting, target);
}

}  // namespace

void controller::partialPath(program& p, _moveState& state, int target, int endSpeed, int maxSpeed, int acc, int dec,
                             std::uint64_t maxTime, bool correcting, std::uint64_t* totalTime)
{
    BOOST_LOG_SEV(log_, zk::logger::info)
        << boost::format("Partial move motor from %d/%d/%d to %d/%d, max. speed %d, acc. %d, dec. %d, max. time %d") %
               state.position % state.speed % state.accel % target % endSpeed % maxSpeed % acc % dec % maxTime;
    if (state.position == target && state.speed == endSpeed)
        return;
    if (maxSpeed == 0)
        BOOST_THROW_EXCEPTION(errorZeroSpeed());
    // -2^31 has no 32-bit magnitude.
    if (maxSpeed == std::numeric_limits<int>::min())
        BOOST_THROW_EXCEPTION(std::out_of_range("max. speed " + std::to_string(maxSpeed) +
                                                " out of range: its magnitude must be at most 2147483647"));
    maxSpeed = std::abs(maxSpeed);
    if (magnitude(endSpeed) > maxSpeed)
        BOOST_THROW_EXCEPTION(errorNoSolution());
    if (acc == 0 || dec == 0)
        BOOST_THROW_EXCEPTION(errorZeroAcceleration());
    acc = static_cast<int>(std::min<std::int64_t>(magnitude(acc), maxSpeed));
    dec = static_cast<int>(std::min<std::int64_t>(magnitude(dec), maxSpeed));
    if (magnitude(state.speed) > maxSpeed) {
        BOOST_LOG_SEV(zk::logger::main_logger::get(), zk::logger::info) << "reducing speed from " << state.speed;
        makePathAcc(p, target, maxSpeed, state, maxTime);
    }
    // The model divides by limits.path: without the board's settings there is nothing to plan with.
    const device::stepFSMLimits& limits = deviceSettings_.limits;
    if (static_cast<std::int32_t>(limits.path) <= 0)
        throw std::runtime_error("step-generator limits unknown (limits.path " + std::to_string(limits.path) +
                                 "): read the device settings or init before planning a move");
    // With no speed or acceleration to give, the generator cannot move the motor at all.
    if (static_cast<std::int32_t>(limits.speed) <= 0 || static_cast<std::int32_t>(limits.accel) <= 0)
        throw std::runtime_error("step-generator limits unusable (limits.speed " + std::to_string(limits.speed) +
                                 ", limits.accel " + std::to_string(limits.accel) + "): nothing can move");
    // The generator holds speeds within limits.speed and accelerations within limits.accel: a
    // plan beyond them is not what the board runs, and one that brakes harder than it can
    // overshoots and runs away from the target.
    maxSpeed = std::min<int>(maxSpeed, static_cast<std::int32_t>(limits.speed));
    acc = std::min({acc, maxSpeed, static_cast<int>(static_cast<std::int32_t>(limits.accel))});
    dec = std::min({dec, maxSpeed, static_cast<int>(static_cast<std::int32_t>(limits.accel))});

    std::uint64_t ta = 0, tv = 0, td = 0;
    int speedReached = 0, decelerationPoint = 0;
    boost::tuples::tie(ta, tv, td, speedReached, decelerationPoint) =
        calcMoveTimes(state, target, endSpeed, maxSpeed, acc, dec);
    BOOST_LOG_SEV(log_, zk::logger::info)
        << boost::format("calculated path parameters: t_a=%f, t_v=%f, t_d=%f, V=%d, deacc.point=%d") % ta % tv % td %
               speedReached % decelerationPoint;
    // The board counts a phase's ticks in 32 bits (its wait records hold the count less one).
    if (std::max({ta, tv, td}) > longestPhase)
        BOOST_THROW_EXCEPTION(errorNoSolution());
    if (totalTime)
        *totalTime = (ta + tv + td) * 10;

    // A phase opens with its acceleration record (one tick); a wait fills the rest. A phase the
    // model does not run at all (a correction that reached the target before it) gets no record:
    // the board would run it for a tick and pass the target.
    std::uint64_t elapsed = 0;
    if (ta != 0) {
        const std::uint64_t ran = runPhase(state, limits, std::min(ta, maxTime), acc, correcting, target);
        elapsed = ran;
        if (ran > 0)
            emplaceInstruction(p, opcode::phase, acc);
        if (ran > 1)
            emplaceInstruction(p, opcode::wait, low32(ran - 1));
    }
    if (elapsed >= maxTime)
        return;
    if (tv != 0) {
        const std::uint64_t ran = runPhase(state, limits, std::min(tv, maxTime - elapsed), 0, correcting, target);
        elapsed += ran;
        if (ran > 0)
            emplaceInstruction(p, opcode::phase, 0);
        if (ran == 2) {
            emplaceInstruction(p, opcode::wait, 0);
        } else if (ran >= 3) {
            // Long cruises wait on a device variable.
            emplaceInstruction(p, opcode::setVariable, low32(ran - 1), variable::cruiseCount);
            emplaceInstruction(p, opcode::wait, 0, 0, variable::cruiseCount);
        }
    }
    if (elapsed >= maxTime)
        return;
    if (td != 0) {
        const std::uint64_t ran = runPhase(state, limits, std::min(td, maxTime - elapsed), dec, correcting, target);
        elapsed += ran;
        if (ran > 0)
            emplaceInstruction(p, opcode::phase, dec);
        if (ran > 1)
            emplaceInstruction(p, opcode::wait, low32(ran - 1));
    }
    BOOST_LOG_SEV(log_, zk::logger::info) << "calculated position: " << state.position;
    if (elapsed >= maxTime || state.position == target)
        return;

    if (correcting) {
        BOOST_LOG_SEV(log_, zk::logger::warning) << "already correcting - recursive call aborted";
        return;
    }
    BOOST_LOG_SEV(log_, zk::logger::info) << boost::format("correcting for %d step(s)") % (std::int64_t{target} - state.position);
    program correction;
    partialPath(correction, state, target, endSpeed, maxSpeed, acc, dec,
                maxTime == unlimited ? unlimited : maxTime - elapsed, true, nullptr);
    p.insert(p.end(), correction.begin(), correction.end());
}

controller::program controller::makePath(int from, int to, int maxSpeed, int acc, int dec, std::uint64_t* totalTime)
{
    _moveState state{from, 0, 0, 0};
    program p;
    partialPath(p, state, to, 0, maxSpeed, acc, dec, unlimited, false, totalTime);
    if (!p.empty()) {
        p.push_front(device::instruction{opcode::stop});
        p.push_back(device::instruction{opcode::stop});
    }
    return p;
}

void controller::makePathAcc(program&, int, int, _moveState&, std::uint64_t)
{
    throw std::runtime_error("not implemented");
}

}  // namespace smc
}  // namespace qz
