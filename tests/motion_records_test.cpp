// Scan and limit-search programs record by record, and the phase arithmetic of homing and parking;
// no board, no network.
#define BOOST_TEST_MODULE motion_records
#include <boost/test/unit_test.hpp>

#include <climits>

#include "qzsmc/homing_arithmetic.hpp"
#include "qzsmc/motion_programs.hpp"
#include "support/program_text.hpp"

using qz::smc::controller;
using qz::test::recordsText;
namespace homing = qz::smc::homing;

// The records between the step move and the loop's end, by settling, pulse and exposure times (us);
// the loop goes back to record 1 and the scan ends setting variable 24.
BOOST_AUTO_TEST_CASE(a_scan_waits_exposes_and_loops_back_to_record_1)
{
    const controller::program stepMove = {{0x30}, {0x32, 0, 0, 25, 7}, {0x30}};
    const struct {
        bool reflect, handshake, step;
        int calm, pulse, exposure;
        const char* middle;
    } rows[] = {
        {false, false, true, 4, 10, 20, "{2 0 12 25 8}{3 0 12 25 8}{0 0 0 25 0}"},
        {false, false, true, 5, 15, 44, "{0 0 0 25 0}{2 0 12 25 8}{0 0 0 25 0}{3 0 12 25 8}{1 0 6 25 0}{20 0 0 25 0}"},
        {false, false, true, 14, 25, 25, "{0 0 0 25 0}{2 0 12 25 8}{1 0 6 25 0}{20 0 0 25 0}{3 0 12 25 8}"},
        {true, false, false, 0, 0, 0, "{2 0 12 25 8}{3 0 12 25 8}"},  // reflect without handshake: a plain scan
        {false, true, false, 0, 0, 0, "{12 0 11 25 32}{4 5 0 25 -1}{2 0 12 25 16}{12 0 11 25 32}{4 2 0 25 -1}"
                                      "{2 0 12 25 8}{3 0 12 25 8}{3 0 12 25 16}"},
        {true, true, true, 0, 0, 0, "{12 0 11 25 96}{11 0 19 25 96}{4 2 0 25 -1}{3 0 12 25 32}{2 0 12 25 16}"
                                    "{12 0 11 25 32}{4 2 0 25 -1}{2 0 12 25 8}{3 0 12 25 8}{3 0 12 25 16}"},
    };
    for (const auto& r : rows) {
        const controller::program p = qz::smc::scanProgram(
            {r.reflect, r.handshake, 3, r.calm, r.pulse, r.exposure, 100, 1000, 100, 100}, r.step ? stepMove : controller::program{});
        const std::string head = std::string("{1 0 20 19 0}") + (r.reflect && r.handshake ? "{2 0 12 25 32}" : "") +
                                 (r.step ? "{30 0 0 25 0}{32 0 0 25 7}{30 0 0 25 0}" : "");
        BOOST_TEST(recordsText(p) == head + r.middle + "{11 0 20 25 1}{4 4 0 25 -" + std::to_string(p.size() - 3) +
                                         "}{1 0 24 25 1}{3 0 0 25 1}",
                   "calm " << r.calm << ", pulse " << r.pulse << ", exposure " << r.exposure);
    }
    BOOST_TEST(qz::smc::ticksOf(-10) == 429496729u);  // unsigned, as the board counts
}

// The handler's slot goes into record 1 with bit 31; it brakes at 32 times the acceleration, at most
// the board's limit, against the travel, until the speed has crossed zero.
BOOST_AUTO_TEST_CASE(the_limit_handler_follows_the_search_and_brakes_against_the_travel)
{
    const struct {
        int travel, accel;
        std::uint32_t accelLimit;
        const char* brake;
    } rows[] = {
        {1000, 100, 0x7FFFFFFF, "{32 0 0 25 -3200}{11 0 4 25 0}{4 4 0 25 -1}"},
        {-1000, -100, 500, "{32 0 0 25 500}{11 0 4 25 0}{4 1 0 25 -1}"},
        {-5, 0x7FFFFFF, 0x7FFFFFFF, "{32 0 0 25 2147483647}{11 0 4 25 0}{4 1 0 25 -1}"},
    };
    for (const auto& r : rows)
        BOOST_TEST(recordsText(qz::smc::limitProgram(2, r.travel, r.accel, r.accelLimit, {{0x30}, {0x30}})) ==
                       "{1 0 15 25 2}{1 0 16 25 -2147483642}{1 0 24 25 1}{30 0 0 25 0}{30 0 0 25 0}{3 0 0 25 1}"
                       "{1 0 20 2 0}" + std::string(r.brake) + "{30 0 0 25 0}{1 0 16 25 0}{1 0 24 25 2}{3 0 0 25 1}",
                   "travel " << r.travel);
}

BOOST_AUTO_TEST_CASE(the_limit_moves_onto_the_next_phase_boundary_in_the_direction_of_travel)
{
    const struct {
        std::uint32_t phaseNow;
        int position, limit;
        std::uint32_t cycle, limitPhase;
        int forward, backward;
    } rows[] = {
        {8, 1005, 1000, 16, 3, 1013, 997},  {2, 1005, 1000, 16, 13, 1003, 987},  // the difference wraps
        {1, 990, 1000, 16, 11, 1005, 989},  {0, -40, -48, 16, 8, -40, -56},
        {5, 1005, 1000, 16, 0, 1000, 1000}, {3, 7, 0, 4, 0, 0, 0},
    };
    for (const auto& r : rows) {
        const std::uint32_t ph = homing::phaseAtLimit(r.phaseNow, r.position, r.limit, r.cycle);
        BOOST_TEST(ph == r.limitPhase, "limit " << r.limit);
        BOOST_TEST(homing::phaseAdjustedLimit(r.limit, ph, r.cycle, 1) == r.forward, "limit " << r.limit);
        BOOST_TEST(homing::phaseAdjustedLimit(r.limit, ph, r.cycle, -1) == r.backward, "limit " << r.limit);
    }
}

BOOST_AUTO_TEST_CASE(the_slow_pass_back_off_and_parking_target)
{
    const std::pair<int, int> sixteenths[] = {{1, 1}, {16, 1}, {17, 2}, {-17, -2}, {0, 0}, {INT_MAX, 134217728}};
    for (const auto& [x, expected] : sixteenths)
        BOOST_TEST(homing::sixteenth(x) == expected, x);
    // a back-off given negative points away from the switch too; -2^31 has its magnitude, and
    // positions wrap as the board's counter does
    BOOST_TEST((homing::opposedFallback(-100, 1) == -100 && homing::opposedFallback(-100, -1) == 100));
    BOOST_TEST(homing::opposedFallback(INT_MIN, -1) == -std::int64_t{INT_MIN});
    BOOST_TEST((qz::smc::offsetPosition(INT_MAX, 1) == INT_MIN && qz::smc::offsetPosition(INT_MIN, -2 * std::int64_t{INT_MIN}) == INT_MIN));
    // nine tenths of the back-off, truncated; a back-off of one cycle or less is never tested
    BOOST_TEST(!homing::slowPassSticky(-100, 1090, 1000, 16));
    BOOST_TEST(homing::slowPassSticky(-100, 909, 1000, 16));
    BOOST_TEST(homing::slowPassSticky(17, 16, 0, 16));
    BOOST_TEST(!homing::slowPassSticky(16, 1000, 0, 16));
    const std::tuple<int, std::uint32_t, int> parking[] = {{100, 5, 95}, {3, 5, 14}, {-7, 0, -7}, {INT_MIN, 1, INT_MAX}};
    for (const auto& [position, phase, target] : parking)
        BOOST_TEST(homing::parkTarget(position, phase, 16) == target, position << " with phase " << phase);
}
