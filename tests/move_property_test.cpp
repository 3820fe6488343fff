// Random moves planned by the controller and run by the board's own sequencer and step generator in
// this process: the board must end exactly where the planner's model ends, and that must be the
// target. A sample also goes the whole way: moveTo over the network to a simulated board.
// Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE move_property
#include <boost/test/unit_test.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <typeinfo>

#include <boost/core/demangle.hpp>
#include <boost/log/core.hpp>

#include "boardsim/sequencer.hpp"
#include "qzsmc/controller.hpp"
#include "support/common.hpp"
#include "support/link_fixture.hpp"

namespace {

using qz::smc::controller;

using qz::test::sanitizerSlowdown;

constexpr std::int32_t wideOpen = 0x7FFFFFFF;
constexpr std::int64_t longestPhase = 500000;  // ticks; the release run stays within a minute
// Far beyond any program here (1000 s of board time): a program still running then never ends.
constexpr std::uint64_t tickLimit = 100000000;

struct move {
    std::int32_t path, speedLimit;
    int from, to, speed, accel;
};
std::ostream& operator<<(std::ostream& out, const move& m)
{
    return out << "limits.path " << m.path << ", limits.speed " << m.speedLimit << ", from " << m.from << " to "
               << m.to << ", speed " << m.speed << ", accel " << m.accel;
}

// Seeded draws; log-uniform where the range spans decades.
struct draws {
    std::mt19937_64 rng{0x5eed};
    std::int64_t logUniform(std::int64_t lo, std::int64_t hi)
    {
        std::uniform_real_distribution<double> e(std::log(double(lo)), std::log(double(hi) + 1));
        return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::exp(e(rng))), lo, hi);
    }
    std::int64_t uniform(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng); }

    // Up to 10^5 microsteps either way from anywhere; a speed of at most one microstep per tick
    // whose cruise lasts at most longestPhase ticks, and an acceleration whose ramp does too.
    move next(std::int32_t path, std::int32_t speedLimit, std::int64_t minSpeed, std::int64_t maxDistance = 100000)
    {
        const std::int64_t distance = logUniform(1, maxDistance), span = std::int64_t{wideOpen} - maxDistance;
        const int from = static_cast<int>(uniform(-span, span));
        const std::int64_t cruise = logUniform(1, longestPhase), ramp = logUniform(1, longestPhase);
        const std::int64_t speed = std::clamp<std::int64_t>(distance * path / cruise, minSpeed, path);
        const std::int64_t accel = std::max<std::int64_t>(1, speed / ramp);
        return {path, speedLimit, from, static_cast<int>(uniform(0, 1) ? from + distance : from - distance),
                static_cast<int>(speed), static_cast<int>(accel)};
    }
};

// The board's own sequencer and step generator, in this process.
struct boardModel {
    qz::boardsim::stepGenerator generator;
    qz::boardsim::deviceVariables variables{generator};
    qz::boardsim::sequencer sequencer{generator, variables};

    // Runs a planned segment as moveTo sends it (bracketed, then its two tail records) from `from`;
    // empty when the board ends normally at `end`, else what it did.
    std::string run(controller::program p, int from, std::int32_t end, std::uint64_t ticks)
    {
        p.push_front({0x30});
        p.push_back({0x30});
        controller::emplaceInstruction(p, 1, 1, 0x18);
        controller::appendProgramEnd(p);
        sequencer.clearProgram();
        for (std::size_t slot = 0; slot < p.size(); ++slot)
            sequencer.load(slot, {p[slot].opcode, p[slot].arg1, p[slot].arg2, p[slot].arg3, p[slot].value});
        generator.setPosition(from);
        sequencer.start(0);
        const auto ending = sequencer.run(ticks);
        sequencer.stop();
        using result = qz::boardsim::sequencer::ending;
        if (ending == result::normal && generator.position() == end)
            return {};
        const std::string where = ending == result::abnormal ? sequencer.failure()
                                  : ending == result::none   ? "still running"
                                                             : "at " + std::to_string(generator.position());
        return "model ends at " + std::to_string(end) + ", board " + where;
    }
};

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

// Each move is planned as moveTo plans it (a makePath program, then its two tail records) and run by
// the board's sequencer as its command handlers drive it; limits change every 500 moves. Every move
// the planner takes must land on the target, in the terminal's range and with a speed limit below
// the maximum speed (the planner plans within the generator's limits). The planner logs several
// lines per move, so logging is off meanwhile.
BOOST_AUTO_TEST_CASE(random_moves_end_where_the_model_ends_on_target)
{
    const auto remote = qz::test::startBoard();
    qz::test::linkTo<controller> f;
    boardModel board;
    boost::log::core::get()->set_logging_enabled(false);
    for (const bool clamped : {false, true}) {
        const int count = (clamped ? 10000 : 100000) / sanitizerSlowdown;
        draws d;
        int faults = 0, shortRamps = 0, offTarget = 0;
        std::ostringstream listed;  // the first 20 faults
        const auto fault = [&](const move& m, const std::string& what) {
            if (++faults <= 20) listed << "\n  " << m << ": " << what;
        };
        std::int32_t path = 0, speedLimit = 0;
        for (int moves = 0; moves < count; ++moves) {
            if (moves % 500 == 0) {
                path = static_cast<std::int32_t>(d.logUniform(1 << 16, wideOpen));
                speedLimit = clamped ? static_cast<std::int32_t>(d.logUniform(path / 100, path / 2)) : wideOpen;
                f.link->setDeviceSettings({{std::uint32_t(path), std::uint32_t(speedLimit), 0x7FFFFFFF}, 0, 0, {}, {}});
                board.generator.setLimits({path, speedLimit, wideOpen});
            }
            const move m = d.next(path, speedLimit, clamped ? speedLimit + 1 : 1);
            controller::_moveState model{m.from, 0, 0, 0};
            controller::program p;
            try {
                f.link->partialPath(p, model, m.to, 0, m.speed, m.accel, m.accel,
                                    std::numeric_limits<std::uint64_t>::max(), false, nullptr);
            } catch (const std::exception& e) {
                // A segment (the move or its correction) shorter than about four accelerations: the
                // solver's ramp rounds to one tick or none and leaves no cruise speed, or no solution.
                // Known for ramps below 4 ticks; counted apart.
                if (4 * std::int64_t{m.accel} > m.speed && (dynamic_cast<const controller::errorZeroSpeed*>(&e) ||
                                                            dynamic_cast<const controller::errorNoSolution*>(&e)))
                    ++shortRamps;
                else
                    fault(m, "planner threw " + boost::core::demangle(typeid(e).name()));
                continue;
            }
            if (const std::string failed = board.run(p, m.from, model.position, tickLimit); !failed.empty()) {
                fault(m, failed);
            } else if (model.position != m.to) {
                ++offTarget;
                fault(m, "model and board end at " + std::to_string(model.position));
            }
        }
        std::ostringstream summary;
        summary << (clamped ? "speed limit below the maximum speed" : "in range") << ": " << count
                << " moves: " << faults << " faults, " << shortRamps << " refused for a ramp of 1 to 3 ticks, "
                << offTarget << " where the model left the target";
        BOOST_TEST_MESSAGE(summary.str());
        BOOST_TEST(faults == 0, summary.str() << listed.str());
    }
    boost::log::core::get()->set_logging_enabled(true);
}

// Extreme but legal moves: positions near +-2^31, distances up to 2^31 - 1 and beyond, every sub-step
// size, speeds and accelerations up to 2^31 - 1. Each plan is made within 1 ms of CPU time or refused
// with the solver's errors (longer ways always); the shorter plans also run on the board, which must
// end where the model ends and closer to the target than half the way.
BOOST_AUTO_TEST_CASE(extreme_moves_plan_quickly_and_the_board_follows_the_model)
{
    const auto remote = qz::test::startBoard();
    qz::test::linkTo<controller> f;
    boardModel board;
    boost::log::core::get()->set_logging_enabled(false);
    draws d;
    const int count = 20000 / sanitizerSlowdown;
    constexpr std::uint64_t ranLimit = 2000000;  // ticks: longer plans are only planned
    std::vector<std::int64_t> times;
    int faults = 0, refused = 0, ran = 0, offTarget = 0;
    double worstMiss = 0;  // of the distance
    std::ostringstream listed;
    std::int32_t path = 0;
    for (int moves = 0; moves < count; ++moves) {
        if (moves % 500 == 0) {
            path = static_cast<std::int32_t>(d.logUniform(1, wideOpen));
            f.link->setDeviceSettings({{std::uint32_t(path), std::uint32_t(wideOpen), 0x7FFFFFFF}, 0, 0, {}, {}});
            board.generator.setLimits({path, wideOpen, wideOpen});
        }
        const std::int64_t edge = d.uniform(0, 1) ? INT32_MIN : INT32_MAX, distance = d.logUniform(1, 0x100000000);
        const std::int64_t from = d.uniform(0, 1) ? edge - (edge > 0 ? 1 : -1) * d.logUniform(1, 1000000) - 1 + (edge > 0 ? 1 : -1)
                                                  : d.uniform(INT32_MIN, INT32_MAX);
        const std::int64_t to = from + (d.uniform(0, 1) ? distance : -distance);
        const move m{path, wideOpen, int(from), int(std::clamp<std::int64_t>(to, INT32_MIN, INT32_MAX)),
                     int(d.logUniform(1, wideOpen)), int(d.logUniform(1, wideOpen))};
        const bool tooFar = std::abs(std::int64_t{m.to} - m.from) > wideOpen;
        controller::_moveState model{m.from, 0, 0, 0};
        controller::program p;
        std::uint64_t planned = 0;
        // Timed on copies, so that a second timing starts from the same state.
        times.push_back(qz::test::cpuTimeOf(
            [&] {
                controller::_moveState copy = model;
                controller::program records;
                try {
                    f.link->partialPath(records, copy, m.to, 0, m.speed, m.accel, m.accel,
                                        std::numeric_limits<std::uint64_t>::max(), false, nullptr);
                } catch (const std::exception&) {
                }
            },
            1000000));
        try {
            f.link->partialPath(p, model, m.to, 0, m.speed, m.accel, m.accel, std::numeric_limits<std::uint64_t>::max(),
                                false, &planned);
        } catch (const std::exception& e) {
            ++refused;
            if (!dynamic_cast<const controller::errorZeroSpeed*>(&e) && !dynamic_cast<const controller::errorNoSolution*>(&e)) {
                if (++faults <= 20)
                    listed << "\n  " << m << ": planner threw " << boost::core::demangle(typeid(e).name());
            }
            continue;
        }
        if (tooFar && ++faults <= 20)
            listed << "\n  " << m << ": planned a way longer than 2^31 - 1 microsteps";
        if (planned / 10 > ranLimit)
            continue;
        ++ran;
        if (const std::string failed = board.run(p, m.from, model.position, 4 * ranLimit); !failed.empty()) {
            if (++faults <= 20)
                listed << "\n  " << m << ": " << failed;
        } else if (model.position != m.to) {
            ++offTarget;
            const std::int64_t before = std::abs(std::int64_t{m.to} - m.from), after = std::abs(std::int64_t{m.to} - model.position);
            worstMiss = std::max(worstMiss, double(after) / double(before));
            // Speeds of many microsteps a tick can miss by a little; a plan must never run away.
            if (after > before / 2 && ++faults <= 20)
                listed << "\n  " << m << ": model and board end at " << model.position;
        }
    }
    boost::log::core::get()->set_logging_enabled(true);
    const auto [median, maximum] = qz::test::spreadOf(times);
    std::ostringstream summary;
    summary << count << " extreme moves: " << refused << " refused, " << ran << " run on the board (" << offTarget
            << " of them where the model left the target, by " << worstMiss * 100 << "% of the distance at most), "
            << faults << " faults; planning CPU time median "
            << median << " ns, maximum " << maximum << " ns";
    BOOST_TEST_MESSAGE(summary.str());
    BOOST_TEST(faults == 0, summary.str() << listed.str());
    BOOST_TEST(maximum < 1000000 * sanitizerSlowdown, summary.str());
}

// The whole way: moveTo loads and starts each program on a board that runs it at its top speed,
// and the position read back after the end is the target.
BOOST_AUTO_TEST_CASE(moves_through_the_network_end_on_target)
{
    const auto board = qz::test::startBoard({"--time-scale", "100000"});
    qz::test::linkTo<controller> f;
    f.link->init();
    draws d;
    int position = static_cast<int>(d.uniform(-1000000, 1000000));
    f.link->setValue(2, static_cast<std::uint32_t>(position));
    for (int i = 0; i < 100; ++i) {
        move m = d.next(wideOpen, wideOpen, 1, 10000);
        m.to = position + (m.to - m.from);
        m.from = position;
        m.accel = std::min(m.accel, std::max(1, m.speed / 4));  // ramps of 1 to 3 ticks may be refused
        BOOST_TEST_INFO_SCOPE(m);
        const auto done = f.link->moveTo(m.to, m.speed, m.accel);
        BOOST_REQUIRE_MESSAGE(done->waitFor(10000), "the move did not end");
        BOOST_TEST(done->getResult() == zk::completionNotifier::completed);
        position = f.link->getValue(2);
        BOOST_TEST(position == m.to);
    }
}
