// Scan and limit-search programs record by record, and the phase arithmetic of homing and parking;
// no board, no network.
#define BOOST_TEST_MODULE motion_records
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <climits>
#include <ostream>

#include "qzsmc/homing_arithmetic.hpp"
#include "qzsmc/motion_programs.hpp"
#include "support/program_text.hpp"

namespace {

using qz::smc::controller;
using qz::test::recordsText;
namespace bdata = boost::unit_test::data;
namespace homing = qz::smc::homing;

// A planned step move as the planner brackets it; only its length matters here.
const controller::program stepMove = {{0x30}, {0x32, 0, 0, 25, 7}, {0x20, 0, 0, 25, 3}, {0x32, 0, 0, 25, -7}, {0x30}};
const std::string stepText = "{30 0 0 25 0}{32 0 0 25 7}{20 0 0 25 3}{32 0 0 25 -7}{30 0 0 25 0}";
const std::string loopEnd = "{1 0 24 25 1}{3 0 0 25 1}";

controller::scanParameters scan(bool reflect, bool handshake, int calm, int pulse, int exposure)
{
    return {reflect, handshake, 3, calm, pulse, exposure, 100, 1000, 100, 100};
}

struct scanRow {
    const char* what;
    controller::scanParameters p;
    controller::program move;
    std::string records;
};
std::ostream& operator<<(std::ostream& o, const scanRow& r) { return o << r.what; }

const scanRow scanRows[] = {
    {"calm 4 us: no settling; pulse 10 us: 1 tick, no wait; rest 1: a nop", scan(false, false, 4, 10, 20), stepMove,
     "{1 0 20 19 0}" + stepText + "{2 0 12 25 8}{3 0 12 25 8}{0 0 0 25 0}{11 0 20 25 1}{4 4 0 25 -10}" + loopEnd},
    {"calm 5 us: one nop; pulse 15: 2 ticks, a nop; exposure 44: rest 2", scan(false, false, 5, 15, 44), stepMove,
     "{1 0 20 19 0}" + stepText + "{0 0 0 25 0}{2 0 12 25 8}{0 0 0 25 0}{3 0 12 25 8}{1 0 6 25 0}{20 0 0 25 0}"
         "{11 0 20 25 1}{4 4 0 25 -13}" + loopEnd},
    {"calm 14 us still one nop; pulse 25: 3 ticks, the pair with 0", scan(false, false, 14, 25, 25), stepMove,
     "{1 0 20 19 0}" + stepText + "{0 0 0 25 0}{2 0 12 25 8}{1 0 6 25 0}{20 0 0 25 0}{3 0 12 25 8}"
         "{11 0 20 25 1}{4 4 0 25 -12}" + loopEnd},
    {"calm 15 us: the pair with 0; calm 1000: with 98; pulse over exposure is cut, no rest",
     scan(false, false, 1000, 900, 500), stepMove,
     "{1 0 20 19 0}" + stepText + "{1 0 6 25 0}{20 0 0 25 98}{2 0 12 25 8}{1 0 6 25 0}{20 0 0 25 47}{3 0 12 25 8}"
         "{11 0 20 25 1}{4 4 0 25 -13}" + loopEnd},
    {"step 0: no move records, the loop is shorter", scan(false, false, 0, 0, 0), {},
     "{1 0 20 19 0}{2 0 12 25 8}{3 0 12 25 8}{11 0 20 25 1}{4 4 0 25 -4}" + loopEnd},
    {"shadow handshake: wait for the receiver, signal, wait for it to let go", scan(false, true, 0, 0, 0), {},
     "{1 0 20 19 0}{12 0 11 25 32}{4 5 0 25 -1}{2 0 12 25 16}{12 0 11 25 32}{4 2 0 25 -1}"
     "{2 0 12 25 8}{3 0 12 25 8}{3 0 12 25 16}{11 0 20 25 1}{4 4 0 25 -10}" + loopEnd},
    {"reflect handshake: the reflect output around the move and the first wait", scan(true, true, 0, 0, 0), stepMove,
     "{1 0 20 19 0}{2 0 12 25 32}" + stepText + "{12 0 11 25 96}{11 0 19 25 96}{4 2 0 25 -1}{3 0 12 25 32}"
     "{2 0 12 25 16}{12 0 11 25 32}{4 2 0 25 -1}{2 0 12 25 8}{3 0 12 25 8}{3 0 12 25 16}{11 0 20 25 1}"
     "{4 4 0 25 -18}" + loopEnd},
    {"reflect without handshake is a plain scan", scan(true, false, 0, 0, 0), {},
     "{1 0 20 19 0}{2 0 12 25 8}{3 0 12 25 8}{11 0 20 25 1}{4 4 0 25 -4}" + loopEnd},
};

}  // namespace

BOOST_AUTO_TEST_SUITE(scan_program)

BOOST_DATA_TEST_CASE(each_section_gives_its_records_and_the_loop_returns_to_record_1, bdata::make(scanRows), row)
{
    const controller::program p = qz::smc::scanProgram(row.p, row.move);
    BOOST_TEST(recordsText(p) == row.records);
    // The branch lands on slot + 1 + value: record 1, right after the repetition count is copied.
    const std::size_t loop = p.size() - 3;
    BOOST_TEST(static_cast<std::int64_t>(loop) + 1 + p[loop].value == 1);
}

BOOST_AUTO_TEST_CASE(times_round_to_the_nearest_tick_halves_up)
{
    const std::pair<int, std::uint32_t> rows[] = {{0, 0}, {4, 0}, {5, 1}, {14, 1}, {15, 2}, {-10, 429496729}};
    for (const auto& [us, ticks] : rows)
        BOOST_TEST(qz::smc::ticksOf(us) == ticks, us << " us");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(limit_program)

// The handler's slot is in record 1 with bit 31 set; the brake is 32 times the acceleration, at most
// the board's limit, against the direction of travel; the wait for standstill branches on the sign.
BOOST_AUTO_TEST_CASE(the_handler_follows_the_search_and_brakes_against_the_travel)
{
    const controller::program search = {{0x30}, {0x32, 0, 0, 25, 5}, {0x30}};
    const struct {
        int travel, accel;
        std::uint32_t accelLimit;
        const char* handler;
    } rows[] = {
        {1000, 100, 0x7FFFFFFF, "{1 0 20 2 0}{32 0 0 25 -3200}{11 0 4 25 0}{4 4 0 25 -1}"},
        {-1000, 100, 0x7FFFFFFF, "{1 0 20 2 0}{32 0 0 25 3200}{11 0 4 25 0}{4 1 0 25 -1}"},
        {1000, -100, 500, "{1 0 20 2 0}{32 0 0 25 -500}{11 0 4 25 0}{4 4 0 25 -1}"},
        {-5, 0x7FFFFFF, 0x7FFFFFFF, "{1 0 20 2 0}{32 0 0 25 2147483647}{11 0 4 25 0}{4 1 0 25 -1}"},
    };
    for (const auto& r : rows) {
        BOOST_TEST(recordsText(qz::smc::limitProgram(2, r.travel, r.accel, r.accelLimit, search)) ==
                       "{1 0 15 25 2}{1 0 16 25 -2147483641}{1 0 24 25 1}{30 0 0 25 0}{32 0 0 25 5}{30 0 0 25 0}"
                       "{3 0 0 25 1}" + std::string(r.handler) + "{30 0 0 25 0}{1 0 16 25 0}{1 0 24 25 2}{3 0 0 25 1}",
                   "travel " << r.travel << ", accel " << r.accel);
    }
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(phase_arithmetic)

// The phase at the limit from the phase now, and the nearest phase-0 position beyond the limit.
BOOST_AUTO_TEST_CASE(the_limit_moves_onto_the_next_phase_boundary_in_the_direction_of_travel)
{
    const struct {
        std::uint32_t phaseNow;
        int position, limit;
        std::uint32_t cycle, limitPhase;
        int forward, backward;
    } rows[] = {
        {8, 1005, 1000, 16, 3, 1013, 997},
        {2, 1005, 1000, 16, 13, 1003, 987},      // the difference wraps below 0
        {1, 990, 1000, 16, 11, 1005, 989},       // stopped short of the limit
        {0, -40, -48, 16, 8, -40, -56},          // negative coordinates
        {5, 1005, 1000, 16, 0, 1000, 1000},      // on a boundary: no adjustment either way
        {976, 3000, 2000, 1024, 1000, 2024, 1000},
        {3, 7, 0, 4, 0, 0, 0},                   // MRES 8: four microsteps a cycle
    };
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT("limit " << r.limit << ", phase " << r.phaseNow << " at " << r.position)
        {
            const std::uint32_t ph = homing::phaseAtLimit(r.phaseNow, r.position, r.limit, r.cycle);
            BOOST_TEST(ph == r.limitPhase);
            BOOST_TEST(homing::phaseAdjustedLimit(r.limit, ph, r.cycle, 1) == r.forward);
            BOOST_TEST(homing::phaseAdjustedLimit(r.limit, ph, r.cycle, -1) == r.backward);
        }
    }
}

BOOST_DATA_TEST_CASE(the_slow_pass_takes_a_sixteenth_never_zero,
                     bdata::make({1, 16, 17, -17, -1, 0, INT_MAX, INT_MIN}) ^
                         bdata::make({1, 1, 2, -2, -1, 0, 134217728, -134217728}),
                     x, expected)
{
    BOOST_TEST(homing::sixteenth(x) == expected);
}

BOOST_AUTO_TEST_CASE(the_back_off_points_away_from_the_switch_and_a_short_one_is_never_sticky)
{
    BOOST_TEST(homing::opposedFallback(100, 1000) == -100);
    BOOST_TEST(homing::opposedFallback(-100, 1000) == -100);
    BOOST_TEST(homing::opposedFallback(100, -1000) == 100);
    BOOST_TEST(homing::opposedFallback(-100, -1000) == 100);
    BOOST_TEST(homing::opposedFallback(0, 5) == 0);
    // nine tenths of the back-off, truncated: 90 of 100, 15 of 17
    BOOST_TEST(!homing::slowPassSticky(-100, 1090, 1000, 16));
    BOOST_TEST(homing::slowPassSticky(-100, 909, 1000, 16));
    BOOST_TEST(homing::slowPassSticky(17, 16, 0, 16));
    BOOST_TEST(!homing::slowPassSticky(16, 1000, 0, 16));
    BOOST_TEST(!homing::slowPassSticky(0, 1000, 0, 16));
}

BOOST_AUTO_TEST_CASE(the_search_gets_1_2_times_its_planned_duration)
{
    BOOST_TEST(homing::searchTimeLimitMs(1000000) == 1200u);
    BOOST_TEST(homing::searchTimeLimitMs(0) == 0u);
    BOOST_TEST(homing::searchTimeLimitMs(416) == 0u);
    BOOST_TEST(homing::searchTimeLimitMs(417) == 1u);
    BOOST_TEST(homing::searchTimeLimitMs(3600000000000ull) == 4320000000ull);
}

BOOST_AUTO_TEST_CASE(parking_goes_back_by_the_phase_unless_that_passes_zero)
{
    BOOST_TEST(homing::parkTarget(100, 5, 16) == 95);
    BOOST_TEST(homing::parkTarget(3, 5, 16) == 3 - 5 + 16);
    BOOST_TEST(homing::parkTarget(5, 5, 16) == 0);
    BOOST_TEST(homing::parkTarget(-7, 0, 16) == -7);
    BOOST_TEST(homing::parkTarget(INT_MIN, 1, 4) == INT_MAX);  // wraps as the board's counter
    BOOST_TEST(homing::orientedPhase(3, 16, false) == 13u);
    BOOST_TEST(homing::orientedPhase(0, 16, false) == 0u);
    BOOST_TEST(homing::orientedPhase(3, 16, true) == 3u);
}

BOOST_AUTO_TEST_SUITE_END()
