#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"

namespace qz {
namespace smc {

namespace {

// Sums and products of speeds and tick counts are formed in 128 bits: equal to the 64-bit
// form wherever that fits, and free of overflow on the long tick counts where it would not.
using wide = __int128;

constexpr std::int64_t notANumber = std::numeric_limits<std::int64_t>::min();

// Truncation toward zero; NaN and values out of range become the most negative 64-bit value.
std::int64_t trunc64(double x)
{
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (!(x >= -limit && x < limit))
        return notANumber;
    return static_cast<std::int64_t>(x);
}

std::int32_t low32(wide v)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

std::int64_t clampMagnitude(std::int64_t v, std::int64_t limit)
{
    return v < -limit ? -limit : (v > limit ? limit : v);
}

// The per-tick loop takes a few nanoseconds a tick, the closed form some tens (a few hundred
// when it searches for a stop position): below this many ticks the loop is no slower.
constexpr std::uint64_t loopTicks = 64;

// The speeds of the ticks after the first under a fixed acceleration a: speed k is
// clamp(v + k·a, -S, S). With v within the limits they move toward one limit only.
struct ramp {
    wide v, a, limit;  // limit: S with the sign of a
    wide free;         // ticks before the speed reaches the limit

    ramp(wide v, wide a, wide S) : v(v), a(a), limit(a > 0 ? S : -S)
    {
        const wide step = a > 0 ? a : -a;
        free = ((a > 0 ? limit - v : v - limit) + step - 1) / step;
    }

    // Sum of speeds 0 to n - 1; below 2^96 in magnitude for any 64-bit n.
    wide sum(wide n) const
    {
        const wide m = std::min(n, free);
        return m * v + a * (m * (m - 1) / 2) + (n - m) * limit;
    }

    wide speed(wide n) const { return n >= free ? limit : v + n * a; }
};

// Runs up to n ticks of the per-tick loop of step with accel fixed and not 0, in closed
// form, and returns the ticks run. With stop set it ends where the loop would stop
// (position = *stop), or hands back where the loop is the cheaper way on.
//
// Exact: take a stretch of ticks whose speeds are all >= 0 (or all <= 0), starting with
// |accumulator| < P. The running total accumulator + speeds so far is then monotonic; while
// it is below 0 no tick carries a microstep (the accumulator stays that total), and once it
// is not, neither is any later accumulator, so the truncated divisions and remainders of the
// ticks add up to those of the total. A fixed acceleration changes the speed's sign at most
// once: the ticks split into two such stretches.
std::uint64_t rampTicks(controller::_moveState& s, std::int64_t S, std::int64_t P, std::uint64_t n, const int* stop)
{
    const ramp r(s.speed, s.accel, S);
    const wide step = r.a > 0 ? r.a : -r.a;
    const bool against = r.v != 0 && (r.v > 0) != (r.a > 0);
    const wide turn = std::min<wide>(n, against ? ((r.v > 0 ? r.v : -r.v) + step - 1) / step : 0);

    for (const bool second : {false, true}) {
        const wide lo = second ? turn : 0, hi = second ? wide{n} : turn;
        if (lo == hi)
            continue;
        const wide x0 = s.position, u0 = s.accumulator - r.sum(lo);
        auto positionAt = [&](wide k) { return x0 + (u0 + r.sum(k)) / P; };
        wide end = hi;
        if (stop) {
            // Positions only grow (or only shrink) here: search each value that wraps to *stop.
            const int dir = second == (r.a > 0) ? 1 : -1;
            for (wide k = lo;;) {
                const wide x = positionAt(k);
                const std::uint32_t gap = dir > 0 ? std::uint32_t(*stop) - std::uint32_t(low32(x))
                                                  : std::uint32_t(low32(x)) - std::uint32_t(*stop);
                if (gap == 0) {
                    end = k;
                    break;
                }
                const wide next = x + dir * wide{gap};
                auto reached = [&](wide j) { return dir > 0 ? positionAt(j) >= next : positionAt(j) <= next; };
                if (k + 1 >= hi || !reached(hi - 1))
                    break;
                wide first = k + 1, last = hi - 1;
                while (first < last) {
                    const wide mid = first + (last - first) / 2;
                    if (reached(mid))
                        last = mid;
                    else
                        first = mid + 1;
                }
                // Found within a few ticks of the last look: the per-tick loop is as cheap from here.
                if (first - k < wide{loopTicks}) {
                    end = first;
                    break;
                }
                k = first;
            }
        }
        const wide u = u0 + r.sum(end);
        s.position = low32(x0 + u / P);
        s.accumulator = static_cast<std::int64_t>(u % P);
        s.speed = low32(r.speed(end));
        if (end < hi)
            return static_cast<std::uint64_t>(end);
    }
    return n;
}

// Where `while (keepGoing(t)) t += dir;` ends, for a keepGoing that holds up to some count and
// fails from there on: single steps first, as near a good estimate the loop ends within a few,
// then strides that double until one fails, and a bisection of the last stride. A downward walk
// needs keepGoing(0) false; an upward one that runs out of 64-bit counts has no answer.
template <class Predicate>
std::int64_t walk(std::int64_t t, std::int64_t dir, Predicate keepGoing)
{
    constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < 64; ++i) {
        if (!keepGoing(t))
            return t;
        if (dir > 0 && t == top)
            BOOST_THROW_EXCEPTION(controller::errorNoSolution());
        t += dir;
    }
    std::int64_t holds = t - dir, fails = t;
    for (std::int64_t stride = 1; keepGoing(fails); stride = std::min(stride, top / 2) * 2) {
        holds = fails;
        if (dir < 0)
            fails = holds > stride ? holds - stride : 0;
        else if (holds <= top - stride)
            fails = holds + stride;
        else
            BOOST_THROW_EXCEPTION(controller::errorNoSolution());
    }
    while (fails - holds > 1 || holds - fails > 1) {
        const std::int64_t mid = holds + (fails - holds) / 2;
        (keepGoing(mid) ? holds : fails) = mid;
    }
    return fails;
}

}  // namespace

std::uint64_t controller::_moveState::step(const device::stepFSMLimits& limits, std::uint64_t ticks, int newAccel,
                                           bool stopAtPosition, int stopPosition)
{
    if (ticks == 0 || (stopAtPosition && position == stopPosition))
        return 0;
    const std::int64_t maxSpeed = static_cast<std::int32_t>(limits.speed);
    const std::int64_t maxAccel = static_cast<std::int32_t>(limits.accel);
    const std::int64_t path = static_cast<std::int32_t>(limits.path);

    auto move = [&] {
        accumulator += speed;
        position = low32(wide{position} + accumulator / path);
        accumulator %= path;
    };

    move();
    speed = low32(clampMagnitude(std::int64_t{speed} + accel, maxSpeed));
    accel = low32(clampMagnitude(newAccel, maxAccel));

    std::uint64_t remaining = ticks - 1;
    if (remaining == 0)
        return 1;
    if (accel != 0) {
        std::uint64_t run = 1;
        const bool closedForm = maxSpeed > 0 && maxAccel > 0 && path > 0;
        while (remaining > 0) {
            if (remaining >= loopTicks && closedForm) {
                const std::uint64_t done =
                    rampTicks(*this, maxSpeed, path, remaining, stopAtPosition ? &stopPosition : nullptr);
                run += done;
                remaining -= done;
            }
            // A few ticks one by one: the rest below loopTicks, or past a stop position the closed
            // form found close by; then the closed form again.
            for (std::uint64_t n = std::min(remaining, loopTicks); n > 0; --n, --remaining, ++run) {
                if (stopAtPosition && position == stopPosition)
                    return run;
                move();
                speed = low32(clampMagnitude(std::int64_t{speed} + accel, maxSpeed));
            }
        }
        return run;
    }

    // Constant speed: the remaining ticks in one go, whatever their number. Passes of at most
    // 2^63 - 1 ticks keep the count a signed 64-bit value.
    if (stopAtPosition && position == stopPosition)
        return 1;
    constexpr std::uint64_t maxPass = std::numeric_limits<std::int64_t>::max();
    while (remaining > 0) {
        const std::uint64_t n = std::min(remaining, maxPass);
        const wide sum = wide{accumulator} + wide{speed} * static_cast<std::int64_t>(n);
        position = low32(wide{position} + sum / path);
        accumulator = static_cast<std::int64_t>(sum % path);
        remaining -= n;
    }
    return ticks;
}

controller::moveTimes controller::_moveParameters::getTimes(const device::stepFSMLimits& limits, int a) const
{
    const std::int64_t P = static_cast<std::int32_t>(limits.path);
    const std::int64_t S = static_cast<std::int32_t>(limits.speed);
    const std::int64_t xs = position, vs = speed, ap = accel, q = accumulator, ve = endSpeed, d = decel;
    const std::int64_t M = maxSpeed < 0 ? -std::int64_t{maxSpeed} : std::int64_t{maxSpeed};

    // The position is a 32-bit counter: a longer way has no 32-bit difference to plan against.
    const std::int64_t distance = std::int64_t{target} - xs;
    if (P <= 0 || distance > std::numeric_limits<std::int32_t>::max() || distance < -std::numeric_limits<std::int32_t>::max())
        BOOST_THROW_EXCEPTION(errorNoSolution());
    const wide wideD = wide{distance} * P - q;
    if (wideD > std::numeric_limits<std::int64_t>::max() || wideD < std::numeric_limits<std::int64_t>::min())
        BOOST_THROW_EXCEPTION(errorNoSolution());
    const std::int64_t D = static_cast<std::int64_t>(wideD);
    const double fa = a, fd = static_cast<double>(d), fvs = static_cast<double>(vs), fve = static_cast<double>(ve),
                 fap = static_cast<double>(ap), fD = static_cast<double>(D);
    const double ap2 = static_cast<double>(ap * ap), vs2 = static_cast<double>(vs * vs),
                 ve2 = static_cast<double>(ve * ve), a2 = fa * fa, d2 = fd * fd;
    const double twoAp = static_cast<double>(2 * ap), twoVs = static_cast<double>(2 * vs),
                 twoVe = static_cast<double>(2 * ve);

    std::int64_t ta = 0;
    std::int64_t td = 0;
    if (std::int64_t{a} == -d) {
        if (a2 != 0) {
            const double R = std::sqrt(fve * fa + ve2 + vs2 + (twoAp - 3 * fa) * fvs + 2 * fa * fD + ap2 - fap * fa);
            const double r = std::sqrt(2.0);
            if (a > 0) {
                ta = trunc64((r * R - twoVs - twoAp) / (2 * fa));
                td = trunc64(-((-r * R + twoVe) - 2 * fa) / (2 * fa));
            } else {
                ta = trunc64(-(r * R + twoVs + twoAp) / (2 * fa));
                td = trunc64(-((r * R + twoVe) - 2 * fa) / (2 * fa));
            }
        }
    } else {
        if (a != 0) {
            const double K = (a2 - fa * fd) * ve2 + (fa * d2 - a2 * fd) * fve + (d2 - fa * fd) * vs2 +
                             ((twoAp - 3 * fa) * d2 + (3 * a2 - 2 * fa * fap) * fd) * fvs +
                             (2 * fa * d2 - 2 * a2 * fd) * fD + (ap2 - fap * fa) * d2 + (fap * a2 - fa * ap2) * fd;
            ta = trunc64(-(std::sqrt(K) + (fd - fa) * fvs + fap * fd - fap * fa) / (fa * fd - a2));
        }
        if (d != 0) {
            const double N = -fa * ve2 + fa * fd * fve + fd * vs2 + (twoAp - 3 * fa) * fd * fvs + 2 * fa * fd * fD +
                             (ap2 - fap * fa) * fd;
            td = trunc64((std::sqrt((fd - fa) * N) + (fd - fa) * fve + d2 - fa * fd) / (d2 - fa * fd));
        }
    }
    if (ta < 0 || td < 0)
        BOOST_THROW_EXCEPTION(errorNoSolution());

    const std::int64_t v0 = vs + ap;
    auto speedAfter = [&](std::int64_t n) { return trunc64(static_cast<double>(v0) + static_cast<double>(n) * fa); };
    std::int64_t Vp = speedAfter(ta - 1);
    std::int64_t Vn = speedAfter(ta);

    const bool clamped = Vn > M || Vn < -M;
    if (clamped) {
        Vn = Vn < 0 ? -M : M;
        Vp = Vn - a;
        ta = a != 0 ? trunc64((static_cast<double>(Vp - vs - ap) + fa) / fa) : 0;
        td = d != 0 ? trunc64(-((static_cast<double>(Vp - ve) - fd) + fa) / fd) : 0;
        // A start speed beyond the limit, or reversed accelerations, can leave a phase
        // negative here too; as an unsigned tick count it would run for ages.
        if (ta < 0 || td < 0)
            BOOST_THROW_EXCEPTION(errorNoSolution());
        Vp = speedAfter(ta - 1);
        Vn = clampMagnitude(speedAfter(ta), S);
    }

    const std::int64_t sa = trunc64(static_cast<double>(wide{vs} * ta + wide{ap} * (ta - 1)) +
                                    (static_cast<double>(ta - 1) * fa) * static_cast<double>(ta - 2) / 2);
    const double decelTail = (static_cast<double>(td - 1) * fd) * static_cast<double>(td - 2) / 2;
    const std::int64_t sd = clamped
                                ? trunc64(static_cast<double>(wide{Vn} * td) + decelTail)
                                : trunc64(static_cast<double>(wide{Vp} * td) + static_cast<double>(td - 1) * fa + decelTail);
    const wide Dv = wide{D} - sa - sd;

    const std::int64_t Vr = clamped ? Vn : Vp;
    if (Vr == 0)
        BOOST_THROW_EXCEPTION(errorZeroSpeed());

    // Every cruise tick after the first moves Vp + a. When that is 0 the cruise length
    // does not matter; when it points away from the target, cruising cannot reach it.
    const std::int64_t cruiseSpeed = Vp + a;
    std::int64_t tv = cruiseSpeed == 0 ? 0 : trunc64((static_cast<double>(Dv) + fa) / (static_cast<double>(Vp) + fa));
    if (tv == notANumber || sa == notANumber || sd == notANumber || Vp == notANumber || Vn == notANumber)
        BOOST_THROW_EXCEPTION(errorNoSolution());

    const double delta = static_cast<double>(distance);
    auto travel = [&](std::int64_t t) {
        return (static_cast<double>(wide{sa} + sd + wide{Vp} * t) + static_cast<double>(wide{t} - 1) * fa) /
               static_cast<double>(P);
    };
    const bool forward = D > 0;
    const bool towardTarget = forward ? cruiseSpeed > 0 : cruiseSpeed < 0;
    auto overshoots = [&](std::int64_t t) { return forward ? travel(t) > delta : delta > travel(t); };
    auto fallsShort = [&](std::int64_t t) { return forward ? delta > travel(t) : travel(t) > delta; };

    if (towardTarget) {
        // The travel grows with every cruise tick: back off while past the target, then
        // forward to the first count that reaches it.
        tv = walk(tv, -1, [&](std::int64_t t) { return t > 0 && overshoots(t); });
        tv = walk(tv, +1, fallsShort);
    } else {
        // Fewer cruise ticks only add to an overshoot here, so the search would end at 0,
        // and no number of them makes up for a shortfall.
        if (tv > 0 && overshoots(tv))
            tv = 0;
        if (fallsShort(tv))
            BOOST_THROW_EXCEPTION(errorNoSolution());
    }
    // Acceleration and deceleration alone already pass the target: no cruise, and the
    // planner's correction segment takes up the remainder.
    tv = std::max<std::int64_t>(tv, 0);

    const std::int32_t decelerationPoint =
        low32(xs + low32(trunc64((static_cast<double>(wide{Vp} * tv + sa) + static_cast<double>(tv - 1) * fa) /
                                 static_cast<double>(P))));
    return moveTimes(static_cast<std::uint64_t>(ta), static_cast<std::uint64_t>(tv), static_cast<std::uint64_t>(td),
                     low32(Vr), decelerationPoint);
}

controller::moveTimes controller::calcMoveTimes(const _moveState& state, int target, int endSpeed, int maxSpeed,
                                                int& acc, int& dec)
{
    if (target > state.position)
        dec = -dec;
    else
        acc = -acc;
    _moveParameters parameters{state.position, state.speed, state.accel, state.accumulator,
                               target,         endSpeed,    dec,         maxSpeed};
    try {
        return parameters.getTimes(deviceSettings_.limits, acc);
    } catch (const errorNoSolution&) {
        BOOST_LOG_SEV(log_, zk::logger::info)
            << "first path calculation gave no solution, will retry with reverse accelerations";
    }
    acc = -acc;
    dec = -dec;
    parameters.decel = dec;
    return parameters.getTimes(deviceSettings_.limits, acc);
}

}  // namespace smc
}  // namespace qz
