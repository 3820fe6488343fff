#define BOOST_TEST_MODULE move_model
#include <boost/test/data/monomorphic.hpp>
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include "qzsmc/controller.hpp"

namespace bdata = boost::unit_test::data;
using qz::smc::controller;
using limits = qz::smc::device::stepFSMLimits;
using moveState = controller::_moveState;

namespace {

const limits unitPath{1, 0x7FFFFFFF, 0x7FFFFFFF};  // one sub-step per microstep: D is in microsteps

bool same(const moveState& x, const moveState& y)
{
    return x.position == y.position && x.speed == y.speed && x.accel == y.accel && x.accumulator == y.accumulator;
}

// The generator as the board runs it: one tick at a time, no shortcuts.
moveState naiveTicks(moveState s, const limits& l, std::uint64_t ticks, int newAccel)
{
    const std::int64_t S = l.speed, A = l.accel, P = l.path;
    for (std::uint64_t i = 0; i < ticks; ++i) {
        s.accumulator += s.speed;
        s.position += static_cast<std::int32_t>(s.accumulator / P);
        s.accumulator %= P;
        s.speed = static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{s.speed} + s.accel, -S, S));
        if (i == 0)
            s.accel = static_cast<std::int32_t>(std::clamp<std::int64_t>(newAccel, -A, A));
    }
    return s;
}

}  // namespace

BOOST_AUTO_TEST_SUITE(move_model)

BOOST_DATA_TEST_CASE(step_without_ticks_or_at_stop_position_changes_nothing, bdata::make({0, 5}), ticks)
{
    moveState s{7, 300, 20, 11};
    BOOST_TEST(s.step(unitPath, ticks, 99, ticks != 0, 7) == 0u);
    BOOST_TEST(same(s, moveState{7, 300, 20, 11}));
}

// Cruising (no acceleration) tests the stop position once only; accelerating tests it every tick.
BOOST_DATA_TEST_CASE(step_stops_at_position_only_tick_by_tick, bdata::make({0, 1}) ^ bdata::make({10, 3}), newAccel,
                     expected)
{
    moveState s{0, 1000, 0, 0};
    BOOST_TEST(s.step(limits{1000, 1000000, 1000}, 10, newAccel, true, 3) == std::uint64_t(expected));
    BOOST_TEST(s.position == expected);
}

// New accelerations reach twice the limit: stored clamped, acting from the second tick.
BOOST_AUTO_TEST_CASE(step_matches_tick_by_tick_generator)
{
    std::mt19937 rng(7);
    auto uniform = [&](std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng); };
    for (int i = 0; i < 300; ++i) {
        const limits l{std::uint32_t(uniform(1 << 16, 0x7FFFFFFF)), std::uint32_t(i % 2 ? 0x7FFFFFFF : uniform(1, 1 << 20)),
                       std::uint32_t(uniform(1, 1 << 20))};
        moveState s{int(uniform(-1000000, 1000000)), int(uniform(-std::int64_t{l.speed}, l.speed)),
                    int(uniform(-std::int64_t{l.accel}, l.accel)), uniform(1 - std::int64_t{l.path}, l.path - 1)};
        const int newAccel = i % 3 == 0 ? 0 : int(uniform(-2 * std::int64_t{l.accel}, 2 * std::int64_t{l.accel}));
        const std::uint64_t ticks = uniform(1, 3000);
        const moveState expected = naiveTicks(s, l, ticks, newAccel);
        BOOST_TEST(s.step(l, ticks, newAccel, false, 0) == ticks);
        BOOST_TEST(same(s, expected), "state " << i << " differs from the tick-by-tick generator");
    }
}

BOOST_DATA_TEST_CASE(step_runs_huge_tick_counts_without_overflow, bdata::make({0, 1, 3, -5}), speed)
{
    const limits l{0x10000, 0x7FFFFFFF, 0x7FFFFFFF};
    const std::uint64_t ticks = std::numeric_limits<std::uint64_t>::max();
    const __int128 travelled = __int128{speed} * ticks;  // exact sub-steps; every pass has the same sign
    moveState s{100, speed, 0, 0};
    BOOST_TEST(s.step(l, ticks, 0, false, 0) == ticks);
    BOOST_TEST(s.position == std::int32_t(std::uint32_t(100 + travelled / l.path)));
    BOOST_TEST(s.accumulator == std::int64_t(travelled % l.path));
}

// a = -d from rest: t_a = trunc(sqrt(D / a)) and one tick more to decelerate.
BOOST_DATA_TEST_CASE(solver_profiles_from_rest,
                     bdata::make({100, -100, 37, -7}) ^ bdata::make({-50, 50, -37, 7}) ^
                         bdata::make({1000000, -1000000, 123457, -5000}) ^ bdata::make({81, 81, 57, 26}) ^
                         bdata::make({164, 164, 58, 27}),
                     a, d, target, accelTicks, decelTicks)
{
    const auto t = controller::_moveParameters{0, 0, 0, 0, target, 0, d, 1 << 30}.getTimes(unitPath, a);
    BOOST_TEST(boost::get<0>(t) == std::uint64_t(accelTicks));
    BOOST_TEST(boost::get<2>(t) == std::uint64_t(decelTicks));
}

BOOST_DATA_TEST_CASE(solver_clamped_profile_keeps_speed_limits_and_cruises,
                     bdata::make({20000, 5000, 20000}) ^ bdata::make({0x7FFFFFFF, 0x7FFFFFFF, 15000}), maxSpeed, speedLimit)
{
    const limits l{1, std::uint32_t(speedLimit), 0x7FFFFFFF};
    const auto t = controller::_moveParameters{0, 0, 0, 0, 10000000, 0, -1000, maxSpeed}.getTimes(l, 1000);
    BOOST_TEST(std::abs(boost::get<3>(t)) <= std::min(maxSpeed, speedLimit));
    // The cruise is sized for the maximum speed: only below limits.speed does the model cover it.
    if (speedLimit < maxSpeed)
        return;
    moveState s{0, 0, 0, 0};
    s.step(l, boost::get<0>(t), 1000, false, 0);
    s.step(l, boost::get<1>(t), 0, false, 0);
    BOOST_TEST(std::abs(boost::get<4>(t) - s.position) <= 1, "deceleration point vs. model " << s.position);
    s.step(l, boost::get<2>(t), -1000, false, 0);
    BOOST_TEST(std::abs(s.position - 10000000) <= 1);
}

// Already cruising toward the target: only the root's NaN can make this fail.
BOOST_DATA_TEST_CASE(solver_negative_radicand_has_no_solution, bdata::make({-100, -50}), d)
{
    const controller::_moveParameters p{0, -1000, 0, 0, -1000000, 0, d, 1 << 20};
    BOOST_CHECK_THROW(p.getTimes(unitPath, 100), controller::errorNoSolution);
}

// Cruise speed 0 or pointing away (first two) used to refine forever; acceleration and deceleration
// passing the target (next two) left a negative cruise, read as ~2^64 ticks; a pending acceleration
// beyond the maximum speed (last) left a negative acceleration phase.
BOOST_TEST_DECORATOR(*boost::unit_test::timeout(5))
BOOST_DATA_TEST_CASE(solver_never_returns_negative_or_endless_phases,
                     bdata::make({0, 0, 57, 20, 43}) ^ bdata::make({0, 0, 0, 0, 84}) ^ bdata::make({61, -9, 555, 163, 254}) ^
                         bdata::make({-7, 11, -1, -1, -87}) ^ bdata::make({51, 31, 87, 30, 95}) ^
                         bdata::make({26, -19, 26, 14, 14}) ^ bdata::make({0, 0, 1, 1, 0}),
                     speed, pending, target, d, maxSpeed, a, solvable)
{
    const controller::_moveParameters p{0, speed, pending, 0, target, 0, d, maxSpeed};
    if (solvable)
        BOOST_TEST(boost::get<1>(p.getTimes(unitPath, a)) == 0u);
    else
        BOOST_CHECK_THROW(p.getTimes(unitPath, a), controller::errorNoSolution);
}

// Moves in the terminal's ranges: 2^16..2^31-1 sub-steps per microstep, maximum speeds up to one
// microstep per tick, accelerations giving phases of up to ~2e4 ticks, 1..1e5 microsteps either way.
// Over 60,000 such moves the worst miss measured was 2 microsteps (whole-tick phases, truncated phase
// sums); 4 leaves room, while a wrong phase sum or cruise misses by far more. The planner corrects it.
BOOST_AUTO_TEST_CASE(solver_random_moves_land_near_target)
{
    std::mt19937 rng(11);
    auto logUniform = [&](double hi) { return std::exp(std::uniform_real_distribution<double>(0, std::log(hi))(rng)); };
    const int moves = 3000;
    int solved = 0, worstMiss = 0;
    for (int i = 0; i < moves; ++i) {
        const limits l{std::uniform_int_distribution<std::uint32_t>(1u << 16, 0x7FFFFFFF)(rng), 0x7FFFFFFF, 0x7FFFFFFF};
        const int maxSpeed = std::max(1, int(l.path / logUniform(1000)));
        const int acc = std::max(1, int(maxSpeed / logUniform(20000))), dec = std::max(1, int(maxSpeed / logUniform(20000)));
        const int distance = int(logUniform(100000)) * (i % 2 ? 1 : -1);
        const moveState start{int(rng() % 2000000) - 1000000, 0, 0,
                              std::uniform_int_distribution<std::int64_t>(1 - std::int64_t{l.path}, l.path - 1)(rng)};
        const int target = start.position + distance, a = distance > 0 ? acc : -acc, d = distance > 0 ? -dec : dec;
        controller::moveTimes t;
        try {
            t = controller::_moveParameters{start.position, 0, 0, start.accumulator, target, 0, d, maxSpeed}.getTimes(l, a);
        } catch (const controller::errorNoSolution&) { continue; } catch (const controller::errorZeroSpeed&) { continue; }
        ++solved;
        BOOST_TEST(boost::get<1>(t) < 1000000000u, "cruise of " << boost::get<1>(t) << " ticks in move " << i);
        moveState s = start;  // the phases as the planner runs them
        s.step(l, boost::get<0>(t), a, false, 0);
        s.step(l, boost::get<1>(t), 0, false, 0);
        s.step(l, boost::get<2>(t), d, false, 0);
        worstMiss = std::max(worstMiss, std::abs(s.position - target));
    }
    BOOST_TEST_MESSAGE("solved " << solved << " of " << moves << ", worst miss " << worstMiss << " microsteps");
    BOOST_TEST(solved > moves * 9 / 10);
    BOOST_TEST(worstMiss <= 4);
}

BOOST_AUTO_TEST_SUITE_END()
