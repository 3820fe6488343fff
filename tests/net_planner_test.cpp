// Path planning of the motor-controller class: the records each phase length gives, the one
// correction segment and the planner's log lines, the refused segments, and how the move-time
// solver orients its accelerations. The expected records follow the generator's tick rules by
// hand. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_planner
#include <boost/test/unit_test.hpp>

#include <limits>
#include <stdexcept>

#include <boost/format.hpp>

#include "qzsmc/controller.hpp"
#include "support/link_fixture.hpp"

namespace {

using qz::smc::controller;
using Lines = std::vector<std::string>;
using boost::test_tools::per_element;

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
const std::string noLimit = ", max. time 18446744073709551615";
std::unique_ptr<qz::test::board> board;

// Records as text: {opcode in hex, arg1, arg2, arg3, value}.
std::string text(const controller::program& p)
{
    std::string out;
    for (const auto& r : p)
        out += (boost::format("{%x %d %d %d %d}") % int(r.opcode) % int(r.arg1) % int(r.arg2) % int(r.arg3) % r.value).str();
    return out;
}

// A controller of the suite's board planning with path sub-steps per microstep and the speed and
// acceleration limits wide open, as the terminal sets them.
struct planner {
    explicit planner(std::uint32_t path) { limit(path); }
    void limit(std::uint32_t path)
    {
        qz::smc::deviceSettings s{};
        s.limits = {path, 0x7FFFFFFF, 0x7FFFFFFF};
        c().setDeviceSettings(s);
    }
    controller& c() { return *link.link; }
    // The planner's lines (its channel and the main logger) from the mark-th on.
    Lines lines(std::size_t mark = 0) const
    {
        Lines mine;
        for (const std::string& line : link.log.matching())
            if (line.rfind("[qz_smc]", 0) == 0 || line.rfind("[info] reducing", 0) == 0)
                mine.push_back(line);
        return Lines(mine.begin() + static_cast<long>(std::min(mark, mine.size())), mine.end());
    }
    qz::test::linkTo<controller> link;
};

// What a planning call threw, by name; runtime errors by their text.
template <class Plan>
std::string failureOf(Plan plan)
{
    try {
        plan();
    } catch (const controller::errorZeroSpeed&) {
        return "errorZeroSpeed";
    } catch (const controller::errorNoSolution&) {
        return "errorNoSolution";
    } catch (const controller::errorZeroAcceleration&) {
        return "errorZeroAcceleration";
    } catch (const std::runtime_error& e) {
        return e.what();
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
        std::uint32_t path;
        int from, to, maxSpeed, acc, dec;
        std::uint64_t maxTime;
        const char* records;
        int endsAt;
        std::uint64_t totalTime;
    } rows[] = {
        {"1-tick acceleration, cut to the maximum speed; 9-tick cruise", 1000, 0, 10, 1000, 1000000, 1000000, unlimited,
         "{32 0 0 25 1000}{32 0 0 25 0}{1 0 21 25 8}{20 0 0 21 0}{32 0 0 25 -1000}{20 0 0 25 1}", 10, 120},
        {"3-tick cruise, the shortest that waits on variable 21", 100, 0, 1, 12, 2, 2, unlimited,
         "{32 0 0 25 2}{20 0 0 25 5}{32 0 0 25 0}{1 0 21 25 2}{20 0 0 21 0}{32 0 0 25 -2}{20 0 0 25 6}", 1, 160},
        {"2-tick cruise; negative limits count by magnitude", 100, 0, 1, -15, -3, -3, unlimited,
         "{32 0 0 25 3}{20 0 0 25 4}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -3}{20 0 0 25 5}", 1, 130},
        {"2-tick cruise backward: the signs mirror", 100, 1, 0, 15, 3, 3, unlimited,
         "{32 0 0 25 -3}{20 0 0 25 4}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 3}{20 0 0 25 5}", 0, 130},
        {"1-tick cruise", 100, 0, 1, 14, 2, 2, unlimited,
         "{32 0 0 25 2}{20 0 0 25 6}{32 0 0 25 0}{32 0 0 25 -2}{20 0 0 25 7}", 1, 160},
        {"budget below t_a = 5", 100, 0, 1, 1000, 3, 3, 3, "{32 0 0 25 3}{20 0 0 25 2}", 0, 130},
        {"budget ends 1 tick into the 2-tick cruise", 100, 0, 1, 1000, 3, 3, 6,
         "{32 0 0 25 3}{20 0 0 25 4}{32 0 0 25 0}", 0, 130},
        {"budget leaves the correction 1 tick", 100, 0, 8, 168, 42, 42, 12,
         "{32 0 0 25 42}{20 0 0 25 3}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -42}{20 0 0 25 4}{32 0 0 25 -42}", 10, 110},
    };
    planner f(100);
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE(r.what);
        f.limit(r.path);
        controller::program p;
        controller::_moveState state{r.from, 0, 0, 0};
        std::uint64_t totalTime = 0;
        f.c().partialPath(p, state, r.to, 0, r.maxSpeed, r.acc, r.dec, r.maxTime, false, &totalTime);
        BOOST_TEST(text(p) == r.records);
        BOOST_TEST((state.position == r.endsAt && totalTime == r.totalTime));
    }
}

// 0 to 8 with P = 100, V = 168, a = 42: t_a 4, t_v 2, t_d 5 end at 10; the correction back ends at
// 8, its deceleration cut by the stop position. Both segments lie inside one pair of brackets.
BOOST_AUTO_TEST_CASE(a_move_corrects_once_inside_its_brackets_and_logs_each_segment)
{
    planner f(100);
    std::size_t mark = f.lines().size();
    std::uint64_t totalTime = 0;
    BOOST_TEST(text(f.c().makePath(0, 8, 168, 42, 42, &totalTime)) ==
               "{30 0 0 25 0}{32 0 0 25 42}{20 0 0 25 3}{32 0 0 25 0}{20 0 0 25 0}{32 0 0 25 -42}{20 0 0 25 4}"
               "{32 0 0 25 -42}{32 0 0 25 0}{32 0 0 25 42}{20 0 0 25 1}{30 0 0 25 0}");
    BOOST_TEST(totalTime == 110u, "only the first segment counts");
    BOOST_TEST(f.lines(mark) ==
                   (Lines{"[qz_smc][info] Partial move motor from 0/0/0 to 8/0, max. speed 168, acc. 42, dec. 42" + noLimit,
                          "[qz_smc][info] calculated path parameters: t_a=4, t_v=2, t_d=5, V=126, deacc.point=4",
                          "[qz_smc][info] calculated position: 10", "[qz_smc][info] correcting for -2 step(s)",
                          "[qz_smc][info] Partial move motor from 10/0/-42 to 8/0, max. speed 168, acc. 42, dec. -42" +
                              noLimit,
                          "[qz_smc][info] calculated path parameters: t_a=1, t_v=1, t_d=3, V=-42, deacc.point=10",
                          "[qz_smc][info] calculated position: 8"}),
               per_element());

    // 0 to 19 with V = 112, a = 7 ends at 20, and so does its correction: the plan stops there.
    mark = f.lines().size();
    BOOST_TEST(f.c().makePath(0, 19, 112, 7, 7, nullptr).size() == 12u);
    Lines outcome;
    for (const std::string& line : f.lines(mark))
        if (line.find("position: ") != std::string::npos || line.find("correct") != std::string::npos)
            outcome.push_back(line);
    BOOST_TEST(outcome == (Lines{"[qz_smc][info] calculated position: 20", "[qz_smc][info] correcting for -1 step(s)",
                                 "[qz_smc][info] calculated position: 20",
                                 "[qz_smc][warning] already correcting - recursive call aborted"}),
               per_element());

    // Nowhere to go: no records, no brackets, only the first line.
    mark = f.lines().size();
    BOOST_TEST(f.c().makePath(5, 5, 168, 42, 42, &totalTime).empty());
    BOOST_TEST(f.lines(mark) ==
                   Lines{"[qz_smc][info] Partial move motor from 5/0/0 to 5/0, max. speed 168, acc. 42, dec. 42" + noLimit},
               per_element());
}

// Refused before anything is emitted; a start above the maximum speed says so on the main logger.
BOOST_AUTO_TEST_CASE(segments_the_planner_cannot_take_fail_with_their_error_and_emit_nothing)
{
    const struct {
        int speed, endSpeed, maxSpeed, acc, dec;
        std::string failure, logged;
    } rows[] = {
        {0, 0, 0, 10, 10, "errorZeroSpeed", ""},
        {0, 1001, 1000, 10, 10, "errorNoSolution", ""},
        {0, -1001, -1000, 10, 10, "errorNoSolution", ""},
        {0, 0, 1000, 0, 10, "errorZeroAcceleration", ""},
        {0, 0, 1000, 10, 0, "errorZeroAcceleration", ""},
        {1001, 0, 1000, 10, 10, "not implemented", "[info] reducing speed from 1001"},
        {-1001, 0, -1000, 10, 10, "not implemented", "[info] reducing speed from -1001"},
    };
    planner f(1000);
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE("speed " << r.speed << ", end speed " << r.endSpeed << ", max. speed " << r.maxSpeed
                                       << ", acc. " << r.acc << ", dec. " << r.dec);
        controller::program p;
        controller::_moveState state{0, r.speed, 0, 0};
        const std::size_t mark = f.lines().size();
        BOOST_TEST(failureOf([&] {
                       f.c().partialPath(p, state, 10, r.endSpeed, r.maxSpeed, r.acc, r.dec, unlimited, false, nullptr);
                   }) == r.failure);
        BOOST_TEST(p.empty());
        const Lines logged = f.lines(mark);  // the first is the segment's own
        BOOST_TEST((logged.size() == (r.logged.empty() ? 1u : 2u) && logged.back().find(r.logged) == 0), f.link.log.dump());
    }
}

// Without the board's limits (connected, before init or a settings read) there is no sub-step
// size to plan with: a clear error, not a division by zero. A path that reads negative is no better.
BOOST_AUTO_TEST_CASE(planning_without_usable_limits_fails_clearly)
{
    qz::test::linkTo<controller> fresh;
    const auto plan = [](controller& c) { return failureOf([&] { c.makePath(0, 10, 1000, 100, 100, nullptr); }); };
    BOOST_TEST(plan(*fresh.link).find("limits unknown") != std::string::npos, plan(*fresh.link));
    fresh.link.reset();
    planner f(0);
    for (std::uint32_t path : {0u, 0x80000000u}) {
        f.limit(path);
        BOOST_TEST(plan(f.c()).find("limits unknown") != std::string::npos, "path " << path << ": " << plan(f.c()));
    }
    f.c().init();
    BOOST_TEST(plan(f.c()) == "nothing");
}

// Forward moves accelerate with +acc and brake with -dec, backward ones the reverse; a start too
// fast toward a close target has no solution that way and is solved once more with both reversed.
BOOST_AUTO_TEST_CASE(move_times_orient_the_accelerations_and_retry_reversed_once)
{
    const struct {
        std::uint32_t path;
        int position, speed, target, acc, dec, ta, td, accUsed, decUsed;
        bool retried;
    } rows[] = {
        {1000, 0, 0, 1000, 100, 50, 81, 164, 100, -50, false},  // D = 1,000,000 sub-steps
        {1000, 1000, 0, 0, 100, 50, 81, 164, -100, 50, false},
        {100, 0, 100, 1, 1, 1, 171, 72, -1, 1, true},  // overshoots at once: brake first, come back
        {100, 1, -100, 0, 1, 1, 171, 72, 1, -1, true},
    };
    planner f(1000);
    for (const auto& r : rows) {
        BOOST_TEST_INFO_SCOPE("from " << r.position << " at " << r.speed << " to " << r.target);
        f.limit(r.path);
        const std::size_t mark = f.lines().size();
        int acc = r.acc, dec = r.dec;
        const controller::moveTimes t = f.c().calcMoveTimes({r.position, r.speed, 0, 0}, r.target, 0, 1000000, acc, dec);
        BOOST_TEST((t.get<0>() == std::uint64_t(r.ta) && t.get<2>() == std::uint64_t(r.td)),
                   "t_a " << t.get<0>() << ", t_d " << t.get<2>());
        BOOST_TEST((acc == r.accUsed && dec == r.decUsed), "acc. " << acc << ", dec. " << dec);
        const Lines retry{"[qz_smc][info] first path calculation gave no solution, will retry with reverse accelerations"};
        BOOST_TEST(f.lines(mark) == (r.retried ? retry : Lines{}), per_element());
    }
}

BOOST_AUTO_TEST_SUITE_END()
