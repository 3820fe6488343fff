// Homing, scans and parking against simulated boards with a limit switch, a driver phase that follows
// the motor and a scan receiver. The board's phase is 0 at its power-on position and the cycle is
// 1024 microsteps (MRES 0), so the phase-adjusted limit near a switch at +-5000 is +-5120. Runs
// under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_homing
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <future>
#include <iostream>
#include <regex>
#include <set>
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
namespace bdata = boost::unit_test::data;

// With the limits init sets, a search runs at one microstep a tick, reached in 16 ticks, and
// brakes within one.
constexpr int speed = 0x7FFFFFFF, accel = 0x8000000;
constexpr int farAway = 20000;  // a search's planned travel: about 200 ms, so 240 ms allowed

const std::string readPhase = "07003400000000", readPosition = "07002b02000000", startAtZero = "0b002a0100000000000000",
                  runBit = "0b002a0000000001000000";
const Lines sixRegister = {"--revision", "QZ_SMC TMC sim"};
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
    void moveTo(int position)
    {
        BOOST_REQUIRE(c().moveTo(position, speed, accel)->waitFor(3000));
        frames();
    }

    // The numbers of initLimit's log lines: limit, its phase, over limit, phase, passed, adjusted
    // limit, over the adjusted limit.
    std::vector<std::vector<int>> limitLines() const
    {
        static const std::regex line(R"(limit position: (-?\d+) \(ph. (\d+)\), over limit: (-?\d+) \(ph. (\d+)\), )"
                                     R"(passed: (-?\d+), phase adjusted limit: (-?\d+), over phase adj. limit: (-?\d+))");
        std::vector<std::vector<int>> found;
        for (const std::string& l : link.log.matching("[qz_smc][info] limit position: ")) {
            std::smatch m;
            BOOST_REQUIRE_MESSAGE(std::regex_search(l, m, line), l);
            found.emplace_back();
            for (std::size_t i = 1; i < m.size(); ++i)
                found.back().push_back(std::stoi(m[i]));
        }
        return found;
    }

    std::unique_ptr<qz::test::board> board;
    qz::test::linkTo<controller> link;
    std::size_t seen = 0;
};

Lines switchAt(int position, const Lines& more = {})
{
    return Lines{"--limit-switch", std::to_string(position)} + more;
}

struct homingRow {
    const char* what;
    int switchPosition, travel, fallback;
    bool restore;
    Lines driver;  // the six-register chip, and its shaft field, read the phase their own way
    bool shaft;
    int adjusted;      // in the coordinates before the rewrite
    int programs;      // search, back-off, slow search, restore
    int latchedSpread; // how far past the switch the latch may lie
};
std::ostream& operator<<(std::ostream& o, const homingRow& r) { return o << r.what; }

const homingRow homingRows[] = {
    {"forward, one pass", 5000, farAway, 0, false, {}, false, 5120, 1, 2},
    {"backward, one pass", -5000, -farAway, 0, false, {}, false, -5120, 1, 2},
    {"forward, two passes, fallback given with the travel's sign, back to the start", 5000, farAway, 3000, true, {},
     false, 5120, 4, 2},
    {"backward, two passes, fallback given against the travel, back to the start", -5000, -farAway, 3000, true, {},
     false, -5120, 4, 2},
    {"six-register driver, forward", 5000, farAway, 0, true, sixRegister, false, 5120, 2, 2},
    {"six-register driver with its shaft reversed, backward", -5000, -farAway, 0, true, sixRegister, true, -5120, 2,
     2},
};

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(homing)

// The limit is latched where the switch trips, moved onto the next phase-0 position in the direction
// of travel, and that position gets the caller's coordinate: a second homing finds it there.
BOOST_DATA_TEST_CASE(homing_latches_the_switch_and_renumbers_from_the_phase_adjusted_limit, bdata::make(homingRows),
                     row)
{
    rig f(switchAt(row.switchPosition, row.driver));
    if (row.shaft)
        f.c().setMotorParameter("shaft", 1);
    const int position = 777, sign = row.travel > 0 ? 1 : -1, start = 1000 * sign;
    f.moveTo(start);
    const std::size_t programs = f.link.log.count("starting program at address 0");
    const auto [adjusted, limitPhase] = f.c().initLimit(row.travel, speed, accel, position, row.fallback, row.restore, 0);
    BOOST_TEST(adjusted == row.adjusted);
    BOOST_TEST(f.link.log.count("starting program at address 0") - programs == std::size_t(row.programs));
    const auto lines = f.limitLines();
    BOOST_REQUIRE(lines.size() == 1u);
    const int limit = lines[0][0], overAdjusted = lines[0][6];
    BOOST_TEST((sign * (limit - row.switchPosition) >= 0 && sign * (limit - row.switchPosition) <= row.latchedSpread),
               "latched at " << limit);
    BOOST_TEST(limitPhase == ((limit % 1024) + 1024) % 1024);
    // restored: the start in the new coordinates; else where the search stopped
    BOOST_TEST(f.c().getValue(2) == (row.restore ? position - row.adjusted + start : position + overAdjusted));

    const auto again = f.c().initLimit(row.travel, speed, accel, position, 0, true, 0);
    BOOST_TEST(boost::get<0>(again) == position);
}

BOOST_AUTO_TEST_CASE(a_switch_out_of_reach_leaves_the_coordinates_alone)
{
    rig f(switchAt(50000));
    for (const int travel : {farAway, -farAway}) {
        BOOST_TEST_CONTEXT("travel " << travel)
        {
            const int start = f.c().getValue(2);
            BOOST_CHECK_THROW(f.c().initLimit(travel, speed, accel, 777, 0, false, 0),
                              controller::errorLimitSwitchUnreachable);
            BOOST_TEST(f.c().getValue(2) == start + travel);
        }
    }
}

// A sticky switch makes the slow pass latch where it starts, a back-off away from the fast pass's
// limit: over a phase cycle that is an error and nothing is renumbered; within one it is not tested.
BOOST_AUTO_TEST_CASE(a_sticky_switch_is_found_by_a_back_off_over_one_phase_cycle)
{
    const struct {
        int fallback;
        bool sticky;
    } rows[] = {{3000, true}, {1000, false}};
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT("back-off " << r.fallback)
        {
            rig f(switchAt(5000, {"--limit-sticky", "10000"}));
            if (r.sticky) {
                BOOST_CHECK_THROW(f.c().initLimit(farAway, speed, accel, 777, r.fallback, false, 0),
                                  controller::errorLimitSwitchSticky);
                const int position = f.c().getValue(2);
                BOOST_TEST((position >= 5000 - r.fallback && position <= 5002 - r.fallback), "stopped at " << position);
                BOOST_TEST(f.limitLines().empty());
            } else {
                // the slow pass's limit, a back-off short of the switch, is taken
                BOOST_TEST(boost::get<0>(f.c().initLimit(farAway, speed, accel, 777, r.fallback, false, 0)) == 4096);
            }
        }
    }
}

// A jittering switch trips at different positions each time; as long as no phase-0 position lies in
// its band, every homing finds the same phase-adjusted limit.
BOOST_AUTO_TEST_CASE(homing_repeats_to_the_microstep_under_switch_jitter)
{
    rig f(switchAt(5000, {"--limit-jitter", "20"}));
    std::vector<int> adjusted;
    for (int i = 0; i < 20; ++i)
        adjusted.push_back(boost::get<0>(f.c().initLimit(farAway, speed, accel, 777, 0, true, 0)));
    BOOST_TEST(adjusted.front() == 5120);
    BOOST_TEST(std::vector<int>(adjusted.begin() + 1, adjusted.end()) == std::vector<int>(19, 777),
               boost::test_tools::per_element());
    std::set<int> latched;
    for (const auto& l : f.limitLines())
        latched.insert(l[0] - l[5]);  // the latch relative to the adjusted limit, the same in both coordinates
    BOOST_TEST(latched.size() >= 5u, latched.size() << " distinct latches in 20 homings");
}

// The search program never ends: the wait gives up after 1.2 times the planned duration, its watcher
// stops polling, and the controller still goes away in bounded time (parking, whose start the hung
// board ignores, gives up too) without any thread using it afterwards.
BOOST_AUTO_TEST_CASE(a_hung_search_gives_up_after_its_time_limit_and_the_controller_still_goes)
{
    rig f({"--hang", "2"});
    f.moveTo(300);
    std::uint64_t planned = 0;
    f.c().makePath(300, 300 + farAway, speed, accel, accel, &planned);
    const long limit = std::lround(planned * 0.0012);
    BOOST_REQUIRE(limit > 200);

    const auto start = std::chrono::steady_clock::now();
    BOOST_CHECK_THROW(f.c().internalInitLimit(farAway, speed, accel), controller::errorDeviceHung);
    const long ms = qz::test::msSince(start);
    BOOST_TEST((ms >= limit && ms < limit + 500), "gave up after " << ms << " ms, allowed " << limit);

    // the cancelled watcher ends at its next pass: no more state reads after that
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
    BOOST_TEST(f.link.log.count("[qz_smc][info] parking motor with phase 300 from 300 to 0") == 1u);
    BOOST_TEST(f.link.log.matching("[qz_smc][error]") ==
                   Lines{"[qz_smc][error] " + std::string(controller::errorDeviceHung().what())},
               boost::test_tools::per_element());
    std::this_thread::sleep_for(milliseconds(300));
}

BOOST_AUTO_TEST_CASE(the_phase_cycle_follows_MRES_and_an_MRES_above_8_moves_nothing)
{
    rig f(switchAt(5000));
    const std::pair<unsigned, std::uint32_t> cycles[] = {{0, 1024}, {3, 128}, {8, 4}};
    for (const auto& [mres, cycle] : cycles) {
        f.c().writeMotorParameter("MRES", mres);
        BOOST_TEST(f.c().phaseCycle() == cycle, "MRES " << mres);
    }
    for (const unsigned mres : {9u, 15u}) {
        BOOST_TEST_CONTEXT("MRES " << mres)
        {
            f.c().writeMotorParameter("MRES", mres);
            const auto carries = [mres](const controller::errorMicrostepResolution& e) {
                const std::uint32_t* value = boost::get_error_info<controller::resolutionInfo>(e);
                return value && *value == mres;
            };
            BOOST_CHECK_EXCEPTION(f.c().initLimit(farAway, speed, accel, 0, 3000, true, 0),
                                  controller::errorMicrostepResolution, carries);
            BOOST_CHECK_EXCEPTION(f.c().getPhase(), controller::errorMicrostepResolution, carries);
            BOOST_CHECK_EXCEPTION(f.c().parkMotor(), controller::errorMicrostepResolution, carries);
            BOOST_TEST(f.frames().empty());
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(disconnecting)

// Parking moves back by the phase to phase 0, then the five variables are cleared; the board then
// stands at 0 with phase 0 (a fresh controller, never initialised, only clears the variables).
BOOST_AUTO_TEST_CASE(an_initialised_board_is_parked_before_its_variables_are_cleared)
{
    rig f({});
    f.moveTo(300);
    f.c().disconnect(false);
    const Lines sent = f.frames();
    BOOST_REQUIRE(sent.size() > 10u);
    BOOST_TEST((Lines(sent.begin(), sent.begin() + 3) == Lines{readPhase, readPosition, readPosition}));
    BOOST_TEST(sent[3].substr(0, 6) == "0f002c");
    BOOST_TEST(std::count(sent.begin(), sent.end(), runBit) == 1);
    BOOST_TEST(Lines(sent.end() - 5, sent.end()) == zeroWrites, boost::test_tools::per_element());
    BOOST_TEST(std::count(sent.begin(), sent.end() - 5, zeroWrites.back()) == 0);
    BOOST_TEST(f.link.log.count("[qz_smc][info] parking motor with phase 300 from 300 to 0") == 1u);
    BOOST_TEST(!f.c().connected());

    // not connected: nothing of its own
    f.c().disconnect(false);
    BOOST_TEST(f.frames().empty());

    f.link.link.reset();
    qz::test::linkTo<controller> fresh;
    BOOST_TEST(fresh.link->getValue(2) == 0);
    BOOST_TEST(fresh.link->getPhase() == 0u);
    f.frames();
    fresh.link.reset();
    BOOST_TEST(f.frames() == zeroWrites, boost::test_tools::per_element());
}

// A command that times out while parking is logged with its text; the variables are not written and
// the link still disconnects.
BOOST_AUTO_TEST_CASE(a_timeout_while_parking_is_logged_and_the_link_still_goes)
{
    rig f({"--tcp-silent", "0x34"});
    f.c().disconnect(false);
    BOOST_TEST(f.frames() == Lines{readPhase});
    BOOST_TEST(f.link.log.matching("[qz_smc][error]") ==
                   Lines{"[qz_smc][error] " + std::string(controller::errorTCPCommandConfirmationTimeout().what())},
               boost::test_tools::per_element());
    BOOST_TEST(!f.c().connected());
    BOOST_TEST(f.board->waitForLogText("tcp close", milliseconds(2000)).has_value());
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(scans)

// count turns of step, settle and expose; the reflect scan waits on the receiver each turn.
BOOST_AUTO_TEST_CASE(a_scan_ends_at_the_start_plus_count_steps)
{
    const struct {
        const char* what;
        bool reflect;
        int count, step, end;
    } rows[] = {
        {"shadow", false, 5, 300, 1000 + 1500},
        {"reflect", true, 4, -250, 1000 - 1000},
        {"shadow without a step", false, 3, 0, 1000},
        {"reflect, count 0 runs once", true, 0, 70, 1070},
    };
    rig f({"--receiver", "30"});
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            f.c().setValue(2, 1000);
            const controller::scanParameters p{r.reflect, r.reflect, r.count, 100, 50, 200, r.step, speed, accel, accel};
            auto done = f.c().scanMove(p);
            BOOST_REQUIRE(done->waitFor(3000));
            BOOST_TEST(done->getResult() == 1);
            BOOST_TEST(f.c().getValue(2) == r.end);
            BOOST_TEST(f.c().getValue(0x18) == 1);
            BOOST_TEST((f.c().getValue(12) & 0x38) == 0);  // exposure, handshake and reflect outputs down
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
