// Motion commands: "moveMotor", "initMotor", "testPhase", "checkPhase", "testInitMotor".
#include "tester.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/format.hpp>
#include <boost/scope_exit.hpp>
#include <boost/test/unit_test.hpp>
#include <boost/tuple/tuple.hpp>

#include "qzsmc/motion_programs.hpp"

namespace pt = boost::property_tree;

namespace {

constexpr std::uint32_t motorStepsPerRev = 400;  // full steps

// Microsteps per motor revolution. Taken from the phase cycle, which refuses an MRES above 8:
// there the revolution would be 0 and folding a limit into it would divide by zero.
std::int32_t revolution(qz::smc::controller& c)
{
    return static_cast<std::int32_t>(c.phaseCycle() * motorStepsPerRev / 4);
}

// A limit no homing can report: what a failed homing leaves behind, so that its range check fails.
int presetLimit(qz::smc::controller& c)
{
    return static_cast<int>(std::llround(revolution(c) * 1.001));
}

// Mean and RMS deviation; not a number without samples.
std::pair<double, double> statistics(double sum, double sumOfSquares, unsigned int n)
{
    if (n == 0)
        return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    const double mean = sum / n;
    const double variance = sumOfSquares / n - mean * mean;
    return {mean, variance > 0.0 ? std::sqrt(variance) : variance};
}

// The keys of one homing, "initMotor"'s and each of "testInitMotor"'s.
struct homing {
    int travel, speed, accel, value, fallback;
    bool restore;
};

// Read one at a time, in the order a script's author is told: a missing key is reported before
// any that follows it.
homing readHoming(const _tester& t, const pt::ptree& cmd)
{
    homing h;
    h.travel = requiredKey<int>(cmd, "travel");
    h.speed = t.getSpeed(cmd);
    h.accel = t.getAccel(cmd);
    h.value = requiredKey<int>(cmd, "value");
    h.fallback = requiredKey<int>(cmd, "fallback");
    h.restore = keyValue<bool>(cmd, "restore", true);
    return h;
}

}  // namespace

void _tester::moveMotor(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    int pos = requiredKey<int>(cmd, "pos");
    const int speed = getSpeed(cmd);
    const int accel = getAccel(cmd);
    if (keyValue<bool>(cmd, "random", false)) {
        // Uniform in [-pos, +pos], whatever the platform's rand() range.
        // The end +2^31 of [2^31, 2^31] wraps as the position counter does.
        const double r = std::rand();
        pos = qz::smc::offsetPosition(0, static_cast<std::int64_t>(((2.0 * r) / RAND_MAX - 1.0) * pos));
    }
    c_->finishMove(pos, speed, accel);
    const int curPos = c_->getValue(2);
    std::cout << boost::format("Target: %d, current: %d") % pos % curPos << std::endl;
    BOOST_CHECK(curPos == pos);
}

void _tester::initMotor(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const homing h = readHoming(*this, cmd);

    int limitPos = presetLimit(*c_);
    int limitPhase = static_cast<int>(c_->phaseCycle() + 1);
    try {
        boost::tie(limitPos, limitPhase) = c_->initLimit(h.travel, h.speed, h.accel, h.value, h.fallback, h.restore, 0);
        std::cout << boost::format("Limit pos: %d, phase on switch: %d") % limitPos % limitPhase << std::endl;
    } catch (const std::exception& e) {
        std::cerr << boost::diagnostic_information(e);
    }
    // The phase is compared unsigned, as the driver reports it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    BOOST_CHECK(limitPos < c_->phaseCycle() * 400 /4 * 1.001 &&
                limitPhase < c_->phaseCycle() && limitPhase >=0);
#pragma GCC diagnostic pop
}

void _tester::testPhase(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const int speed = getSpeed(cmd);
    const int accel = getAccel(cmd);
    const int step = requiredKey<int>(cmd, "step");
    const int count = requiredKey<int>(cmd, "count");

    std::int32_t tgt = c_->getValue(2);
    std::uint32_t phase = c_->getPhase();
    std::uint32_t prevDiff = (phase - static_cast<std::uint32_t>(tgt)) % c_->phaseCycle();
    std::cout << "tgt\tSTEP_CNT\tphase\tdiff" << std::endl;
    std::cout << boost::format("%d\t%d\t%d\t%d") % tgt % tgt % phase % prevDiff << std::endl;

    unsigned int errCount = 0;
    // Directions alternate so that the last move is always +step; a count below 1 moves nothing.
    for (int n = count; n > 0; --n) {
        // Wraps as the position counter does; a move farther than the counter's range is refused.
        tgt = qz::smc::offsetPosition(tgt, n % 2 ? std::int64_t{step} : -std::int64_t{step});
        c_->finishMove(tgt, speed, accel);
        const std::int32_t pos = c_->getValue(2);
        phase = c_->getPhase();
        const std::uint32_t cycle = c_->phaseCycle();
        const std::uint32_t diff = (phase - static_cast<std::uint32_t>(pos)) % cycle;
        std::cout << boost::format("%d\t%d\t%d\t%d") % tgt % pos % phase % diff << std::endl;
        if ((prevDiff - diff) % cycle != 0)
            ++errCount;
        prevDiff = diff;
        tgt = pos;
    }
    std::cout << "errors: " << errCount << std::endl;
    BOOST_CHECK(errCount == 0);
}

void _tester::checkPhase(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    // No value expects 0; one that is no int ends the command.
    const int expected = cmd.data().empty() ? 0 : nodeValue<int>(cmd, "checkPhase");
    const std::int32_t pos = c_->getValue(2);
    const std::uint32_t phase = c_->getPhase();
    const std::uint32_t cycle = c_->phaseCycle();
    const std::uint32_t diff = (cycle + (phase - static_cast<std::uint32_t>(pos)) % cycle) % cycle;
    std::cout << boost::format("STEP_CNT: %d, phase: %d, diff: %d") % pos % phase % diff << std::endl;
    BOOST_CHECK_MESSAGE(static_cast<std::int64_t>(expected) == static_cast<std::int64_t>(diff),
                        "phase-position difference mismatch");
}

void _tester::testInitMotor(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const homing h = readHoming(*this, cmd);
    const unsigned int count = requiredKey<unsigned int>(cmd, "count");
    const auto action = cmd.get_child_optional("action");

    std::cout << "Start\tLimit\tPhase" << std::endl;
    // Whatever the actions print is kept apart from the rows and printed at the end.
    std::ostringstream actionLog;
    // An action that throws is reported and skips the homing of its iteration.
    const auto runActions = [this, &actionLog](const pt::ptree& commands) {
        try {
            std::streambuf* const console = std::cout.rdbuf(actionLog.rdbuf());
            BOOST_SCOPE_EXIT_ALL(console) { std::cout.rdbuf(console); };
            for (const auto& command : commands)
                runCommand(command);
            return true;
        } catch (const std::exception& e) {
            std::cerr << boost::diagnostic_information(e);
            return false;
        }
    };
    unsigned int n = 0;
    double sumLimit = 0.0, sumLimit2 = 0.0, sumPhase = 0.0, sumPhase2 = 0.0;
    for (unsigned int i = 0; i < count; ++i) {
        int limitPos = presetLimit(*c_);
        int limitPhase = static_cast<int>(c_->phaseCycle() + 1);
        const bool actionsRan = !action || runActions(*action);
        // "disconnect" or "updateFirmware" among the actions lets the controller go: nothing is left
        // to home with, and the guard fails as it would for the next command. A controller that is
        // only unconnected stays: its homing fails like any other.
        if (!c_)
            BOOST_REQUIRE(c_ && c_->connected());
        if (actionsRan) {
            try {
                const std::int32_t start = c_->getValue(2);
                int limit = 0;
                boost::tie(limit, limitPhase) = c_->initLimit(h.travel, h.speed, h.accel, h.value, h.fallback, h.restore, 0);
                // Folded into one revolution around 0.
                const std::int32_t rev = revolution(*c_);
                limitPos = limit % rev;
                if (limitPos > rev / 2)
                    limitPos -= rev;
                else if (limitPos < -(rev / 2))
                    limitPos += rev;
                std::cout << boost::format("%d\t%d\t%d") % start % limitPos % limitPhase << std::endl;
                ++n;
                sumLimit += limitPos;
                sumLimit2 += static_cast<double>(limitPos) * limitPos;
                sumPhase += limitPhase;
                sumPhase2 += static_cast<double>(limitPhase) * limitPhase;
            } catch (const std::exception& e) {
                std::cerr << boost::diagnostic_information(e);
            }
        }
        BOOST_CHECK(limitPos < c_->phaseCycle() * motorStepsPerRev / 4 * 1.001 &&
                    limitPhase < (int)c_->phaseCycle() && limitPhase >= 0);
    }
    const auto limit = statistics(sumLimit, sumLimit2, n);
    const auto phase = statistics(sumPhase, sumPhase2, n);
    const double rmsLimit = limit.second;
    std::cout << boost::format("Limit Average: %f, RMS: %f, N: %d") % limit.first % rmsLimit % n << std::endl;
    std::cout << boost::format("Phase Average: %f, RMS: %f, N: %d") % phase.first % phase.second % n << std::endl;
    std::cout << "action log:" << std::endl;
    std::cout << actionLog.str() << std::flush;
    BOOST_CHECK(rmsLimit == 0.0);
}
