// Homing and parking against simulated boards with a limit switch and a driver phase that follows
// the motor (0 at power-on, cycle 1024 at MRES 0: the phase-adjusted limit near a switch at +-5000
// is +-5120). Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_homing
#include <boost/test/unit_test.hpp>

#include <future>
#include <iostream>
#include <thread>

#include <boost/exception/get_error_info.hpp>

#include "qzsmc/controller.hpp"
#include "support/link_fixture.hpp"
#include "support/terminal.hpp"

namespace {

using qz::smc::controller;
using qz::test::Lines;
using qz::test::operator+;
using std::chrono::milliseconds;

// With the limits init sets: one microstep a tick, reached in 16 ticks; the brake stops in one.
constexpr int speed = 0x7FFFFFFF, accel = 0x8000000;
constexpr int farAway = 20000;  // planned for about 200 ms: the board's end message may take 40 ms
constexpr signed char latched = 20;

const Lines zeroWrites = {"0b002a0c00000000000000", "0b002a0a00000000000000", "0b002a0900000000000000",
                          "0b002a0800000000000000", "0b002a0700000000000000"};

// A board with these options and an initialised controller of it; the controller goes first.
struct rig {
    explicit rig(const Lines& options) : board(qz::test::startBoard(options + Lines{"--time-scale", "10"}))
    {
        c().init();
        frames();
    }
    controller& c() { return *link.link; }
    Lines frames() { return qz::test::controlFrames(*board, seen); }
    void moveTo(int position) { BOOST_REQUIRE(c().moveTo(position, speed, accel)->waitFor(3000)); }
    int home(int travel, int fallback, bool restore)  // the phase-adjusted limit
    {
        return boost::get<0>(c().initLimit(travel, speed, accel, 777, fallback, restore, 0));
    }

    std::unique_ptr<qz::test::board> board;
    qz::test::linkTo<controller> link;
    std::size_t seen = 0;
};

Lines switchAt(int position, const Lines& more = {}) { return Lines{"--limit-switch", std::to_string(position)} + more; }

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(homing)

// The latch is where the switch tripped; the limit moves onto the next phase-0 position in the
// direction of travel and gets the coordinate 777, where the next homing finds it. Both driver
// chips, and the six-register one with its shaft reversed, read the phase their own way.
BOOST_AUTO_TEST_CASE(homing_latches_the_switch_and_renumbers_from_the_phase_adjusted_limit)
{
    const Lines sixRegister = {"--revision", "QZ_SMC TMC sim"};
    const struct {
        int sign, fallback;
        Lines driver;
        bool shaft;
        std::size_t programs;  // search, back-off, slow search, restore
    } rows[] = {{1, 3000, {}, false, 4}, {-1, 3000, {}, false, 4},
                {1, 0, sixRegister, false, 2}, {-1, 0, sixRegister, true, 2}};
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT("travel " << r.sign << ", fallback " << r.fallback << ", driver " << r.driver.size()
                                     << ", shaft " << r.shaft)
        {
            rig f(switchAt(5000 * r.sign, r.driver));
            if (r.shaft)
                f.c().setMotorParameter("shaft", 1);
            f.moveTo(1000 * r.sign);
            const std::size_t before = f.link.log.count("starting program");
            BOOST_TEST(f.home(farAway * r.sign, r.fallback, true) == 5120 * r.sign);
            BOOST_TEST(f.link.log.count("starting program") - before == r.programs);
            const int limit = f.c().getValue(latched);
            BOOST_TEST((r.sign * limit >= 5000 && r.sign * limit <= 5002), "latched at " << limit);
            BOOST_TEST(f.c().getValue(2) == 777 - 5120 * r.sign + 1000 * r.sign);  // back where it started
            BOOST_TEST(f.home(farAway * r.sign, 0, true) == 777);
        }
    }
}

// Short of the switch, or away from it: the search ends without it and nothing is renumbered.
// A sticky switch makes the slow pass latch where it starts, a back-off away from the fast pass:
// over one phase cycle that is an error; within one it is not tested and that latch is taken.
BOOST_AUTO_TEST_CASE(an_unreachable_or_sticky_switch_leaves_the_coordinates_alone)
{
    rig far(switchAt(50000));
    for (const int travel : {farAway, -farAway}) {
        BOOST_CHECK_THROW(far.home(travel, 0, false), controller::errorLimitSwitchUnreachable);
        BOOST_TEST(far.c().getValue(2) == (travel > 0 ? farAway : 0));
    }
    rig sticky(switchAt(5000, {"--limit-sticky", "10000"}));
    BOOST_CHECK_THROW(sticky.home(farAway, 3000, false), controller::errorLimitSwitchSticky);
    const int stopped = sticky.c().getValue(2);
    BOOST_TEST((stopped >= 2000 && stopped <= 2002), "stopped at " << stopped);
    BOOST_TEST(sticky.home(farAway, 1000, false) == 1024);  // the slow pass latched 1000 short of its start
}

// The search never ends: the wait gives up after 1.2 times the planned duration, its watcher stops
// polling, and the controller still goes in bounded time, without parking over the search that
// still runs; under a sanitizer a thread still using it would show.
BOOST_AUTO_TEST_CASE(a_hung_search_gives_up_after_its_time_limit_and_the_controller_still_goes)
{
    rig f({"--hang", "2"});
    f.moveTo(300);
    std::uint64_t planned = 0;
    f.c().makePath(300, 300 + farAway, speed, accel, accel, &planned);
    const long limit = std::lround(planned * 0.0012);
    const auto start = std::chrono::steady_clock::now();
    BOOST_CHECK_THROW(f.c().internalInitLimit(farAway, speed, accel), controller::errorDeviceHung);
    const long ms = qz::test::msSince(start);
    BOOST_TEST((limit > 200 && ms >= limit && ms < limit + 500), "gave up after " << ms << " ms of " << limit);
    std::this_thread::sleep_for(milliseconds(300));
    f.frames();
    std::this_thread::sleep_for(milliseconds(300));
    BOOST_TEST(f.frames().empty());

    const auto destroying = std::chrono::steady_clock::now();
    auto destroyed = std::async(std::launch::async, [&] { f.link.link.reset(); });
    if (destroyed.wait_for(std::chrono::seconds(8)) != std::future_status::ready) {
        std::cerr << "the controller's destructor still blocks after 8 s" << std::endl;
        std::abort();  // a hung destructor cannot be recovered in-process
    }
    BOOST_TEST(qz::test::msSince(destroying) < 4000);
    BOOST_TEST(f.link.log.count("parking motor") == 0u);
    BOOST_TEST(f.link.log.matching("[qz_smc][error]") ==
               Lines{"[qz_smc][error] motor not parked: the board still runs a program whose wait gave up"});
    std::this_thread::sleep_for(milliseconds(300));
}

BOOST_AUTO_TEST_CASE(the_phase_cycle_follows_MRES_and_an_MRES_above_8_moves_nothing)
{
    rig f({});
    f.c().writeMotorParameter("MRES", 3);
    BOOST_TEST(f.c().phaseCycle() == 128u);
    f.c().writeMotorParameter("MRES", 9);
    const auto carries9 = [](const controller::errorMicrostepResolution& e) {
        const std::uint32_t* value = boost::get_error_info<controller::resolutionInfo>(e);
        return value && *value == 9;
    };
    BOOST_CHECK_EXCEPTION(f.home(farAway, 3000, true), controller::errorMicrostepResolution, carries9);
    BOOST_CHECK_EXCEPTION(f.c().getPhase(), controller::errorMicrostepResolution, carries9);
    BOOST_CHECK_EXCEPTION(f.c().parkMotor(), controller::errorMicrostepResolution, carries9);
    BOOST_TEST(f.frames().empty());
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(disconnecting)

// Parking moves back by the phase, to phase 0, before the five variables are cleared; a controller
// that never ran init only clears them, and one not connected sends nothing.
BOOST_AUTO_TEST_CASE(an_initialised_board_is_parked_before_its_variables_are_cleared)
{
    rig f({});
    f.moveTo(300);
    f.frames();
    f.c().disconnect(false);
    const Lines sent = f.frames();
    BOOST_REQUIRE(sent.size() > 5u);
    BOOST_TEST(Lines(sent.end() - 5, sent.end()) == zeroWrites, boost::test_tools::per_element());
    f.c().disconnect(false);
    BOOST_TEST(f.frames().empty());

    f.link.link.reset();
    qz::test::linkTo<controller> fresh;
    BOOST_TEST((fresh.link->getValue(2) == 0 && fresh.link->getPhase() == 0u));  // parked
    f.frames();
    fresh.link.reset();
    BOOST_TEST(f.frames() == zeroWrites, boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(a_timeout_while_parking_is_logged_and_the_link_still_goes)
{
    rig f({"--tcp-silent", "0x34"});
    f.c().disconnect(false);
    BOOST_TEST(f.frames() == Lines{"07003400000000"});
    BOOST_TEST(f.link.log.matching("[qz_smc][error]") == Lines{"[qz_smc][error] std::exception"});
    BOOST_TEST(!f.c().connected());
    BOOST_TEST(f.board->waitForLogText("tcp close", milliseconds(2000)).has_value());
}

BOOST_AUTO_TEST_SUITE_END()
