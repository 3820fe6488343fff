// Path planning of the motor-controller class: the records each phase length gives, the one
// correction segment and the planner's log lines, the refused segments, and how the move-time
// solver orients its accelerations. The expected records follow the generator's tick rules by
// hand. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_planner
#include <boost/test/unit_test.hpp>

#include <cstdlib>
#include <limits>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/format.hpp>

#include "qzsmc/controller.hpp"
#include "support/link_fixture.hpp"
#include "support/program_text.hpp"
#include "support/terminal.hpp"

namespace {

using qz::smc::controller;
using Lines = std::vector<std::string>;
using boost::test_tools::per_element;
using qz::test::recordsText;

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
const std::string noLimit = ", max. time 18446744073709551615";
std::unique_ptr<qz::test::board> board;

// A controller of the suite's board planning with path sub-steps per microstep and the speed and
// acceleration limits wide open, as the terminal sets them.
struct planner : qz::test::linkTo<controller> {
    explicit planner(std::uint32_t path) { limit(path); }
    void limit(std::uint32_t path) { link->setDeviceSettings({{path, 0x7FFFFFFF, 0x7FFFFFFF}, 0, 0, {}, {}}); }
};

// What a planning call threw, with its type and text.
template <class Plan>
std::string failureOf(Plan plan)
{
    try {
        plan();
    } catch (...) {
        return boost::current_exception_diagnostic_information();
    }
    return "nothing";
}

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(planning, *qz::test::shared(board, [] { return qz::test::startBoard(); }))

// A segment from rest: each phase opens with its acceleration record and a wait fills the rest;
// cruises of 1, 2 and 3+ ticks take their three forms; a budget cuts the plan where it runs out.
BOOST_AUTO_TEST_CASE(each_phase_length_gives_its_records_and_the_budget_cuts_the_plan)
{
    const struct {
        const char* what;
        int path, from, to, maxSpeed, acc, dec, endsAt, totalTime;
        std::uint64_t maxTime;
        const char* records;
    } rows[] = {
        {"acc. cut to the max. speed: 1 tick; 9-tick cruise", 1000, 0, 10, 1000, 1000000, 1000000, 10, 120, unlimited,
         "{32 0 0 25 1000}{32 0 0 25 0}{1 0 21 25 8}{20 0 0 21 0}{32 0 0 25 -1000}{20 0 0 25 1}"},
        {"3-tick cruise, the shortest that waits on variable 21", 100, 0, 1, 12, 2, 2, 1, 160, unlimited,
         "{32 0 0 25 2}{20 0 0 25 5}{32 0 0 25 0}{1 0 21 25 2}{20 0 0 21 0}{32 0 0 25 -2}{20 0 0 25 6}"},
        {"2-tick cruise; negative limits count by magnitude", 100, 0, 1, -15, -3, -3, 1, 130, unlimited,
         "{32 0 0 25 3}{20 0 0 25 4}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -3}{20 0 0 25 5}"},
        {"2-tick cruise backward: the signs mirror", 100, 1, 0, 15, 3, 3, 0, 130, unlimited,
         "{32 0 0 25 -3}{20 0 0 25 4}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 3}{20 0 0 25 5}"},
        {"1-tick cruise", 100, 0, 1, 14, 2, 2, 1, 160, unlimited,
         "{32 0 0 25 2}{20 0 0 25 6}{32 0 0 25 0}{32 0 0 25 -2}{20 0 0 25 7}"},
        {"budget below t_a = 5", 100, 0, 1, 1000, 3, 3, 0, 130, 3, "{32 0 0 25 3}{20 0 0 25 2}"},
        {"budget ends 1 tick into the 2-tick cruise", 100, 0, 1, 1000, 3, 3, 0, 130, 6,
         "{32 0 0 25 3}{20 0 0 25 4}{32 0 0 25 0}"},
        {"budget leaves the correction 1 tick", 100, 0, 8, 168, 42, 42, 10, 110, 12,
         "{32 0 0 25 42}{20 0 0 25 3}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -42}{20 0 0 25 4}{32 0 0 25 -42}"},
    };
    planner f(100);
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE(r.what);
        f.limit(r.path);
        controller::program p;
        controller::_moveState state{r.from, 0, 0, 0};
        std::uint64_t totalTime = 0;
        f.link->partialPath(p, state, r.to, 0, r.maxSpeed, r.acc, r.dec, r.maxTime, false, &totalTime);
        BOOST_TEST(recordsText(p) == r.records);
        BOOST_TEST((state.position == r.endsAt && totalTime == std::uint64_t(r.totalTime)));
    }
}

// 0 to 8 with P = 100, V = 168, a = 42: t_a 4, t_v 2, t_d 5 end at 10; the correction back ends at
// 8, its deceleration cut by the stop position. Both segments lie inside one pair of brackets.
BOOST_AUTO_TEST_CASE(a_move_corrects_once_inside_its_brackets_and_logs_each_segment)
{
    planner f(100);
    qz::test::logCapture log;
    std::uint64_t totalTime = 0;
    BOOST_TEST(recordsText(f.link->makePath(0, 8, 168, 42, 42, &totalTime)) ==
               "{30 0 0 25 0}{32 0 0 25 42}{20 0 0 25 3}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -42}{20 0 0 25 4}"
               "{32 0 0 25 -42}{32 0 0 25 0}{32 0 0 25 42}{20 0 0 25 1}{30 0 0 25 0}");
    BOOST_TEST(totalTime == 110u, "only the first segment counts");
    const std::string info = "[qz_smc][info] ";
    BOOST_TEST(log.matching("[qz_smc]") ==
                   (Lines{info + "Partial move motor from 0/0/0 to 8/0, max. speed 168, acc. 42, dec. 42" + noLimit,
                          info + "calculated path parameters: t_a=4, t_v=2, t_d=5, V=126, deacc.point=4",
                          info + "calculated position: 10", info + "correcting for -2 step(s)",
                          info + "Partial move motor from 10/0/-42 to 8/0, max. speed 168, acc. 42, dec. -42" + noLimit,
                          info + "calculated path parameters: t_a=1, t_v=1, t_d=3, V=-42, deacc.point=10",
                          info + "calculated position: 8"}),
               per_element());

    // 0 to 19 with V = 112, a = 7 ends at 20, and so does its correction: the plan stops there.
    BOOST_TEST(f.link->makePath(0, 19, 112, 7, 7, nullptr).size() == 12u);
    BOOST_TEST(log.matching("correct") == (Lines{info + "correcting for -2 step(s)", info + "correcting for -1 step(s)",
                                                 "[qz_smc][warning] already correcting - recursive call aborted"}),
               per_element());

    // Nowhere to go: no records, no brackets, only the first line.
    qz::test::logCapture nowhere;
    BOOST_TEST(f.link->makePath(5, 5, 168, 42, 42, nullptr).empty());
    BOOST_TEST(nowhere.matching("[qz_smc]") ==
                   Lines{info + "Partial move motor from 5/0/0 to 5/0, max. speed 168, acc. 42, dec. 42" + noLimit},
               per_element());
}

// Refused before anything is emitted; a start above the maximum speed says so on the main logger.
BOOST_AUTO_TEST_CASE(segments_the_planner_cannot_take_fail_with_their_error_and_emit_nothing)
{
    constexpr int most = std::numeric_limits<int>::max(), least = std::numeric_limits<int>::min();
    const struct {
        int speed, endSpeed, maxSpeed, acc, dec;
        const char* failure;
        int from = 0, to = 10;
    } rows[] = {
        {0, 0, 0, 10, 10, "errorZeroSpeed"},           {0, 1001, 1000, 10, 10, "errorNoSolution"},
        {0, -1001, -1000, 10, 10, "errorNoSolution"},  {0, 0, 1000, 0, 10, "errorZeroAcceleration"},
        {0, 0, 1000, 10, 0, "errorZeroAcceleration"},  {1001, 0, 1000, 10, 10, "not implemented"},
        {-1001, 0, -1000, 10, 10, "not implemented"},
        // -2^31 has no magnitude to plan with
        {0, 0, least, 10, 10, "max. speed -2147483648 out of range"},
        {0, least, 1000, least, least, "errorNoSolution"},
        {least, 0, 1000, 10, 10, "not implemented"},
        // farther than the 32-bit position counter reaches
        {0, 0, most, 1000, 1000, "errorNoSolution", 2000000000, -2000000000},
        {0, 0, most, 1000, 1000, "errorNoSolution", least, most},
        // a cruise of about 10^10 ticks: its count does not fit the board's 32 bits
        {0, 0, 1, 1, 1, "errorNoSolution", 0, 10000000},
    };
    planner f(1000);
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE("speed " << r.speed << ", end speed " << r.endSpeed << ", max. speed " << r.maxSpeed
                                       << ", acc. " << r.acc << ", dec. " << r.dec);
        qz::test::logCapture log;
        controller::program p;
        controller::_moveState state{r.from, r.speed, 0, 0};
        const std::string failure = failureOf([&] {
            f.link->partialPath(p, state, r.to, r.endSpeed, r.maxSpeed, r.acc, r.dec, unlimited, false, nullptr);
        });
        BOOST_TEST(failure.find(r.failure) != std::string::npos, failure);
        BOOST_TEST(p.empty());
        const Lines reducing{"[info] reducing speed from " + std::to_string(r.speed)};
        BOOST_TEST(log.matching("reducing") == (r.speed ? reducing : Lines{}), per_element());
    }
}

// Without the board's limits (connected, before init or a settings read) there is no sub-step
// size to plan with: a clear error, not a division by zero. A path that reads negative is no better.
BOOST_AUTO_TEST_CASE(planning_without_usable_limits_fails_clearly)
{
    const auto plan = [](controller& c) { return failureOf([&] { c.makePath(0, 10, 1000, 100, 100, nullptr); }); };
    BOOST_TEST(plan(*qz::test::linkTo<controller>().link).find("limits unknown") != std::string::npos);
    planner f(0x80000000u);
    BOOST_TEST(plan(*f.link).find("limits unknown") != std::string::npos, plan(*f.link));
    f.link->setDeviceSettings({{1000, 0, 0x7FFFFFFF}, 0, 0, {}, {}});
    BOOST_TEST(plan(*f.link).find("limits unusable") != std::string::npos, plan(*f.link));
    f.link->init();
    BOOST_TEST(plan(*f.link) == "nothing");
    // An acceleration of -2^31 is cut to the maximum speed like any other too large one.
    BOOST_TEST(recordsText(f.link->makePath(0, 1000, 1000, std::numeric_limits<int>::min(), 100, nullptr)) ==
               recordsText(f.link->makePath(0, 1000, 1000, 1000, 100, nullptr)));
}

// A script's acceleration above the board's own limit (limits.accel 10 here) is planned within it:
// every acceleration record the board receives stays within the limit, and the move lands.
BOOST_AUTO_TEST_CASE(an_acceleration_above_the_board_limit_is_planned_within_it)
{
    planner f(1000);
    f.link->setDeviceSettings({{1000, 1000, 10}, 0, 0, {}, {}});
    const int start = f.link->getValue(2);
    std::size_t seen = board->logLines().size();
    BOOST_REQUIRE(f.link->moveTo(start + 5000, 1000, 1000000)->waitFor(3000));
    BOOST_TEST(f.link->getValue(2) == start + 5000);
    // records as the board logs them: 0f002c, the slot, opcode, arg1 to arg3, the value
    std::vector<std::int32_t> accelerations;
    for (const std::string& frame : qz::test::controlFrames(*board, seen))
        if (frame.rfind("0f002c", 0) == 0 && frame.substr(14, 2) == "32")
            accelerations.push_back(static_cast<std::int32_t>(std::stoul(frame.substr(28, 2) + frame.substr(26, 2) +
                                                                            frame.substr(24, 2) + frame.substr(22, 2),
                                                                        nullptr, 16)));
    BOOST_TEST(accelerations.size() >= 3u);
    for (const std::int32_t a : accelerations)
        BOOST_TEST(std::abs(a) <= 10, "an acceleration record of " << a);
}

// Forward moves accelerate with +acc and brake with -dec, backward ones the reverse; a start too
// fast toward a close target has no solution that way and is solved once more with both reversed.
BOOST_AUTO_TEST_CASE(move_times_orient_the_accelerations_and_retry_reversed_once)
{
    const struct {
        int path, position, speed, target, acc, dec;
        const char* times;
        bool retried;
    } rows[] = {
        {1000, 0, 0, 1000, 100, 50, "t_a 81, t_d 164, acc. 100, dec. -50", false},  // D = 1,000,000 sub-steps
        {1000, 1000, 0, 0, 100, 50, "t_a 81, t_d 164, acc. -100, dec. 50", false},
        {100, 0, 100, 1, 1, 1, "t_a 171, t_d 72, acc. -1, dec. 1", true},  // overshoots at once: brake first, come back
        {100, 1, -100, 0, 1, 1, "t_a 171, t_d 72, acc. 1, dec. -1", true},
    };
    planner f(1000);
    const Lines retry{"[qz_smc][info] first path calculation gave no solution, will retry with reverse accelerations"};
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE("from " << r.position << " at " << r.speed << " to " << r.target);
        f.limit(r.path);
        qz::test::logCapture log;
        int acc = r.acc, dec = r.dec;
        const auto t = f.link->calcMoveTimes({r.position, r.speed, 0, 0}, r.target, 0, 1000000, acc, dec);
        BOOST_TEST((boost::format("t_a %d, t_d %d, acc. %d, dec. %d") % t.get<0>() % t.get<2>() % acc % dec).str() ==
                   r.times);
        BOOST_TEST(log.matching("[qz_smc]") == (r.retried ? retry : Lines{}), per_element());
    }
}

BOOST_AUTO_TEST_SUITE_END()
