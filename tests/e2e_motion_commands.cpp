// End-to-end: the terminal's "moveMotor" run by the real qzsmctest against simulated boards that run
// the move programs faster than real time. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE e2e_motion_commands
#include <boost/test/unit_test.hpp>

#include <algorithm>
#include <csignal>
#include <future>
#include <regex>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "support/common.hpp"
#include "support/terminal.hpp"

using namespace qz::test;

namespace {

// plain announces the end of each program; silent leaves it to be found by polling, and its moves
// last long enough (12 ms for 3000 microsteps) for a position read that does not wait to miss.
const std::string plainId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4",
                  silentId = "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4",
                  limitId = "0102030405060708090a0b0c0d0e0f1011121314",  // the board's default
                  lossyId = "e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4",
                  jitterId = "f1f2f3f4f5f6f7f8f9fafbfcfdfeff0001020304",
                  faultyId = "0a0b0c0d0e0f101112131415161718191a1b1c1d";  // boards of one case
const std::string guardFailed = "critical check c_ && c_->connected() has failed";

struct sharedBoards {
    bool inTestNetwork = (requireTestNetwork(), true);  // before any board starts
    board plain{1, "10.77.1.10", {"--hwid", plainId, "--time-scale", "1000"}};
    board silent{1, "10.77.1.11", {"--hwid", silentId, "--time-scale", "5", "--program-end-silent"}};
    // a switch on the negative side, 3000 microsteps from where the motor starts; and a driver that
    // misses one microstep in 1000
    board limit{1, "10.77.1.12", {"--time-scale", "1000", "--limit-switch", "-3000"}};
    board lossy{1, "10.77.1.13", {"--hwid", lossyId, "--time-scale", "1000", "--lose-steps", "1000"}};
    // the same switch tripping up to 20 microsteps early or late, a band without a phase boundary
    board jitter{1, "10.77.1.14",
                 {"--hwid", jitterId, "--time-scale", "1000", "--limit-switch", "-3000", "--limit-jitter", "20"}};
    sharedBoards() { current = this; }
    static inline sharedBoards* current = nullptr;
};

// Runs the sections ("main", "speed" or "limit", each a case) with the log file kept: the run and
// the log's text.
std::pair<terminalRun, std::string> runSections(const Lines& rootKeys, const Sections& sections)
{
    scratchDir dir("qzsmc-motion");
    terminalRun r = runTerminal(dir.path(), writeScript(dir.path(), rootKeys, sections, true));
    std::string log;
    for (const auto& file : boost::filesystem::directory_iterator(dir.path() / "Logs"))
        log += readFile(file.path());
    return {r, log};
}

std::pair<terminalRun, std::string> runWithLog(const Lines& rootKeys, const Lines& commands)
{
    return runSections(rootKeys, {{"main", commands}});
}

// The values of the program records {opcode, 0, arg2, 25, n} ("20000019": waits) among a board's
// frames, in wire hex.
std::string recordValues(const Lines& controlFrames, const std::string& head)
{
    std::string values;
    for (const std::string& frame : frames(controlFrames, "2c"))
        if (frame.substr(11, 8) == head) values += frame.substr(19);
    return values;
}

// The time stamp ("[HH:MM:SS.ffffff]") of the log record holding position at, in milliseconds.
long stampMs(const std::string& log, std::size_t at)
{
    const std::size_t line = log.rfind('\n', at);
    const std::string t = log.substr(line == std::string::npos ? 1 : line + 2, 15);
    return ((std::stol(t.substr(0, 2)) * 60 + std::stol(t.substr(3, 2))) * 60 + std::stol(t.substr(6, 2))) * 1000 +
           std::stol(t.substr(9, 6)) / 1000;
}

// Milliseconds from the last log record holding `from` before the first holding `to` to that one.
long msBetween(const std::string& log, const std::string& from, const std::string& to)
{
    const std::size_t b = log.find(to), a = log.rfind(from, b);
    BOOST_REQUIRE_MESSAGE(a != std::string::npos && b != std::string::npos, "no \"" << from << "\" then \"" << to << "\"");
    return stampMs(log, b) - stampMs(log, a);
}

// After init a speed of 2^31 - 1 is one microstep per 10 us tick; these move at half that, reached in 64 ticks.
const Lines moveDefaults{"defaultSpeed 1073741824", "defaultAccel 16777216"};

}  // namespace

BOOST_AUTO_TEST_SUITE(motion_commands, *boost::unit_test::fixture<sharedBoards>())

BOOST_AUTO_TEST_CASE(moveMotor_reaches_fixed_repeated_and_random_targets)
{
    auto [r, log] = runWithLog(
        Lines{"hwId " + plainId} + moveDefaults,
        {"connect", "init", "moveMotor { pos 1000 }", "moveMotor { pos -2500 speed 2147483647 accel 100000000 }",
         "moveMotor { pos -2500 }", "moveMotor { pos 0 random true }", "moveMotor { pos 1000 random true }"});
    // 7 commands, connect, init's guard, and a guard and a check per move
    BOOST_TEST(r.verdicts["main"] == "passed 19/0");
    const std::string fixed = text({"device initialized", "Target: 1000, current: 1000",
                                    "Target: -2500, current: -2500", "Target: -2500, current: -2500",
                                    "Target: 0, current: 0"});
    BOOST_REQUIRE_MESSAGE(r.process.out.rfind(fixed, 0) == 0, r.process.out);
    std::smatch last;
    const std::string rest = r.process.out.substr(fixed.size());
    BOOST_REQUIRE_MESSAGE(std::regex_match(rest, last, std::regex("Target: (-?\\d+), current: (-?\\d+)\n")), rest);
    BOOST_TEST(last[1] == last[2]);
    // an end of the range needs rand() at one of its extremes: 1 in 2^30
    BOOST_TEST(std::abs(std::stoi(last[1])) < 1000);
    // the move to where the motor stands starts no program; parking at the end may start one more
    const std::regex started("starting program at address 0");
    const std::string moves = log.substr(0, log.find("Parking motor..."));
    BOOST_TEST(std::distance(std::sregex_iterator(moves.begin(), moves.end(), started), std::sregex_iterator()) == 4);
}

BOOST_AUTO_TEST_CASE(moveMotor_ends_on_target_when_the_board_does_not_announce_the_end)
{
    auto [r, log] = runWithLog(Lines{"hwId " + silentId} + moveDefaults,
                               {"connect", "init", "moveMotor { pos 3000 }", "moveMotor { pos -40 }"});
    BOOST_TEST(r.verdicts["main"] == "passed 10/0");
    BOOST_TEST(r.process.out ==
               text({"device initialized", "Target: 3000, current: 3000", "Target: -40, current: -40"}));
    BOOST_TEST(log.find("program terminated, position 3000") != std::string::npos, log);
    BOOST_TEST(log.find("program terminated, position -40") != std::string::npos, log);
    BOOST_TEST(log.find("program completed") == std::string::npos);
}

BOOST_AUTO_TEST_CASE(moveMotor_without_a_connected_board_ends_the_case)
{
    terminalRun r = runMainScript(moveDefaults, {"moveMotor { pos 5 }", "moveMotor { pos 6 }"});
    BOOST_TEST(r.verdicts["main"] == "aborted 1/1 | " + guardFailed);
    BOOST_TEST(r.process.out == "");
}

BOOST_AUTO_TEST_CASE(scans_end_at_count_steps_from_the_start)
{
    const board& b = sharedBoards::current->plain;
    std::size_t from = b.logLines().size();
    // Without root defaults a scan's own speed and acceleration count (speed 0 cannot be planned), and
    // step 0 stays put. The scans end at 0, where the driver's phase is 0: no parking move follows.
    auto r = runMainScript(
        {"hwId " + plainId},
        {"connect", "init", "scanRxShadow { count 4 step 256 }",
         "scanRxReflect { count 2 step -512 speed 1073741824 accel 16777216 calm 20 pulse 60000 exposure 100 }",
         "scanRxShadow { count 0 step 100 }", "scanRxReflect { count 4 step 0 pulse 20 }",
         "scanRxShadow { count 1 step 7 speed 0 }"});
    BOOST_TEST(r.process.out == text({"device initialized", "Target: 1024, current: 1024", "Target: 0, current: 0",
                                      "Target: 0, current: 0", "Target: 0, current: 0"}));
    BOOST_TEST(r.verdicts["main"] == "aborted 18/1 | errorZeroSpeed: std::exception");
    // Each scan's wait records: its step move's cruise (planned), then the settling, pulse and rest waits.
    // Shadow's exposure defaults to 5000 us: a pulse of 100 ticks (97 waited) and 398 more; a pulse
    // longer than the exposure is cut to it and leaves no rest; reflect's exposure defaults to 50000 us
    // (a 2-tick pulse is a no-op record, then 4996 waited). No repetitions: no program, nothing moves.
    const Lines sent = tcpLog(b, from);
    BOOST_TEST(recordValues(sent, "20000019") == hexWords({2343, 0, 2344, 97, 398,  // shadow
                                                 63, 64, 0, 7,             // reflect
                                                 4996}));
    // Only the reflect scans wait on the receiver: for it to be idle (lines 0x60), then for ready (0x20).
    BOOST_TEST(recordValues(sent, "12000b19") == hexWords({0x60, 0x20, 0x60, 0x20}));

    // Root defaults win over a scan's own speed and acceleration.
    r = runMainScript(Lines{"hwId " + plainId} + moveDefaults,
                      {"connect", "init", "moveMotor { pos 1152 }", "scanRxShadow { count 2 step -64 speed 0 accel 0 }"});
    BOOST_TEST(r.process.out == text({"device initialized", "Target: 1152, current: 1152", "Target: 1024, current: 1024"}));
    BOOST_TEST(r.verdicts["main"] == "passed 10/0");
}

// A scan's optional keys left out, without root defaults: the step move at speed 2^31 - 1 with
// acceleration 100000 (a step long enough to reach that speed) and the acceleration for
// deceleration, no settling, a pulse of 1000 us in an exposure of 5000 us (shadow) or 50000 us
// (reflect). Each program is the one of those values written out.
BOOST_AUTO_TEST_CASE(scan_keys_left_out_take_their_defaults)
{
    const board& b = sharedBoards::current->plain;
    std::size_t from = b.logLines().size();
    const std::string given = " speed 2147483647 calm 0 pulse 1000 exposure ";
    auto r = runMainScript({"hwId " + plainId, "deviceAddress 10.77.1.10"},
                           {"connect", "init", "scanRxShadow { count 1 step 40960 }",
                            "scanRxShadow { count 1 step 40960 accel 100000 decel 100000" + given + "5000 }",
                            "scanRxReflect { count 1 step 512 accel 200000 }",
                            "scanRxReflect { count 1 step 512 accel 200000 decel 200000" + given + "50000 }"});
    BOOST_TEST(r.verdicts["main"] == "passed 16/0");
    // The records of each program loaded, from its slot 0 on; the scans end on a phase boundary, so
    // that no parking follows.
    std::vector<Lines> programs;
    for (const std::string& record : frames(tcpLog(b, from), "2c")) {
        if (record.compare(3, 8, "00000000") == 0)
            programs.emplace_back();
        programs.back().push_back(record);
    }
    BOOST_REQUIRE(programs.size() == 4u);
    BOOST_TEST(text(programs[0]) == text(programs[1]));
    BOOST_TEST(text(programs[2]) == text(programs[3]));
}

// Counts and times up to 2^32 - 1 are taken as they are: the count goes to device variable 19, the
// times become waits of (x + 5) / 10 ticks. The board stops the scan early in its first settling.
BOOST_AUTO_TEST_CASE(scan_counts_and_times_above_2_31)
{
    board stopping{1, "10.77.1.18", {"--hwid", faultyId, "--time-scale", "1000", "--stop", "1:1000"}};
    auto r = runMainScript({"hwId " + faultyId, "deviceAddress 10.77.1.18"},
                           {"connect", "init",
                            "scanRxShadow { count 4294967295 step 0 calm 3000000000 pulse 2147483648 "
                            "exposure 4000000000 }"});
    BOOST_TEST(r.process.out == text({"device initialized", "Target: 0, current: 0"}));
    BOOST_TEST(r.verdicts["main"] == "passed 7/0");
    std::size_t from = 0;
    const Lines sent = tcpLog(stopping, from);
    const Lines variables = frames(sent, "2a");
    BOOST_TEST(std::count(variables.begin(), variables.end(), "2a 13000000ffffffff") == 1);
    // settling 300000000 ticks, the pulse 214748365 and the rest of the exposure 185251635, each less
    // the records around it
    BOOST_TEST(recordValues(sent, "20000019") == hexWords({299999998, 214748362, 185251633}));
}

// Model 0 at MRES 0: a phase cycle of 1024 microsteps, a revolution of 102400. The driver's phase is
// the motor's position modulo the cycle, 0 where the board started it, and the switch is at -3000.
BOOST_AUTO_TEST_CASE(homing_phase_and_repeated_homing_and_lost_steps)
{
    auto r = runMainScript(
        Lines{"hwId " + limitId} + moveDefaults,
        {"connect", "init", "checkPhase", "initMotor { travel -100000 value 100 fallback 0 }", "checkPhase 924",
         "checkPhase", "initMotor { travel -100000 value 102300 fallback 2000 restore false }", "checkPhase 100",
         "testPhase { step 3200 count 3 }",
         "testInitMotor { travel -100000 value 102300 fallback 0 count 3 action { moveMotor { pos 105000 } } }",
         "testInitMotor { travel -100000 value 0 fallback 0 count 0 }",
         "initMotor { travel 100000 value 0 fallback 0 }"});
    // The switch trips 72 microsteps past a phase boundary: the limit is that boundary, -3072, which
    // becomes 100; the motor goes back to where it started, 3172 now, 924 before the next boundary.
    // The second homing, in two passes, finds the boundary at 100 and makes it 102300, just short of a
    // revolution; without restore the motor stays 72 past it. Phase and position then step together.
    // Repeated homing folds the limit, 102300, into the revolution around 0: -100.
    BOOST_TEST(r.process.out ==
               text({"device initialized", "STEP_CNT: 0, phase: 0, diff: 0", "Limit pos: -3072, phase on switch: 72",
                     "STEP_CNT: 3172, phase: 0, diff: 924", "STEP_CNT: 3172, phase: 0, diff: 924",
                     "Limit pos: 100, phase on switch: 72", "STEP_CNT: 102372, phase: 72, diff: 100",
                     "tgt\tSTEP_CNT\tphase\tdiff", "102372\t102372\t72\t100", "105572\t105572\t200\t100",
                     "102372\t102372\t72\t100", "105572\t105572\t200\t100", "errors: 0",
                     // each action's line lands in the action log, not between the rows
                     "Start\tLimit\tPhase", "105000\t-100\t72", "105000\t-100\t72", "105000\t-100\t72",
                     "Limit Average: -100.000000, RMS: 0.000000, N: 3", "Phase Average: 72.000000, RMS: 0.000000, N: 3",
                     "action log:", "Target: 105000, current: 105000", "Target: 105000, current: 105000",
                     "Target: 105000, current: 105000",
                     // no homing: no averages
                     "Start\tLimit\tPhase", "Limit Average: nan, RMS: nan, N: 0", "Phase Average: nan, RMS: nan, N: 0",
                     "action log:"}));
    // No switch on the positive side: the error goes to stderr, no line, and the range check fails.
    BOOST_TEST(r.process.err.find("errorLimitSwitchUnreachable") != std::string::npos, r.process.err);
    BOOST_TEST(r.verdicts["main"] == "failed 43/3 | phase-position difference mismatch | check rmsLimit == 0.0 has failed"
                                     " | check limitPos < c_->phaseCycle() * 400 /4 * 1.001 && limitPhase < "
                                     "c_->phaseCycle() && limitPhase >=0 has failed");

    // Under jitter the phase on the switch varies and the phase-adjusted limit does not.
    r = runMainScript(Lines{"hwId " + jitterId} + moveDefaults,
                      {"connect", "init", "initMotor { travel -100000 value 0 fallback 0 }",
                       "testInitMotor { travel -100000 value 0 fallback 0 count 20 }"});
    BOOST_TEST(r.verdicts["main"] == "passed 30/0");
    BOOST_TEST(r.process.out.find("Limit Average: 0.000000, RMS: 0.000000, N: 20") != std::string::npos, r.process.out);
    BOOST_TEST(!std::regex_search(r.process.out, std::regex("Phase Average: .*, RMS: 0\\.0")), r.process.out);

    // One microstep in 1000 lost: each move of 3200 shifts the phase-position difference by 3, and
    // the way back undoes it.
    r = runMainScript(Lines{"hwId " + lossyId} + moveDefaults, {"connect", "init", "testPhase { step 100 count 0 }",
                                                                "testPhase { step 3200 count 2 }", "checkPhase"});
    BOOST_TEST(r.process.out == text({"device initialized", "tgt\tSTEP_CNT\tphase\tdiff", "0\t0\t0\t0", "errors: 0",
                                      "tgt\tSTEP_CNT\tphase\tdiff", "0\t0\t0\t0", "-3200\t-3200\t899\t3",
                                      "0\t0\t0\t0", "errors: 2", "STEP_CNT: 0, phase: 0, diff: 0"}));
    BOOST_TEST(r.verdicts["main"] == "failed 12/1 | check errCount == 0 has failed");
}

// The homing keys are read in the order of the command's table, speed and acceleration right after
// "travel": without root defaults the first key missing is named. An action that lets the
// controller go ends the case at the guard after the actions. A key whose text does not convert ends
// the case, with or without a default for it; unsigned counts and times refuse a sign.
BOOST_AUTO_TEST_CASE(homing_keys_are_read_in_table_order_and_a_released_controller_ends_the_case)
{
    const auto notConverted = [](const char* type, const char* key, const char* text) {
        return std::string(" | ptree_bad_data: conversion of data to type \"") + type + "\" failed: \"" + key +
               "\" is \"" + text + "\"";
    };
    const std::string noSpeed = " | ptree_bad_path: command has no \"speed\" and the script has no int \"defaultSpeed\" (speed)",
                      noTravel = " | ptree_bad_path: No such node (travel)";
    auto [r, log] = runSections({"hwId " + plainId},
                                {{"main", {"connect", "initMotor { travel -1000 value 0 fallback 0 }"}},
                                 {"speed", {"connect", "initMotor { value 0 fallback 0 }"}},
                                 {"limit", {"connect", "testInitMotor { travel -1000 value 0 fallback 0 count 1 }"}}});
    BOOST_TEST(r.verdicts["main"] == "aborted 4/1" + noSpeed);
    BOOST_TEST(r.verdicts["speed"] == "aborted 4/1" + noTravel);
    BOOST_TEST(r.verdicts["limit"] == "aborted 4/1" + noSpeed);

    std::tie(r, log) = runSections(
        {"hwId " + limitId},
        {{"main", {"connect", "testInitMotor { value 0 fallback 0 count 1 }"}},
         {"speed", {"connect", "init", "testInitMotor { travel -100000 speed 1073741824 accel 16777216 value 0 "
                                       "fallback 0 count 2 action { disconnect } }"}},
         {"limit", {"connect", "testInitMotor { travel -1000 speed 1 accel 1 value 0 fallback 0 count -1 }"}}});
    BOOST_TEST(r.verdicts["main"] == "aborted 4/1" + noTravel);
    BOOST_TEST(r.verdicts["speed"] == "aborted 7/1 | " + guardFailed);
    BOOST_TEST(r.verdicts["limit"] == "aborted 4/1" + notConverted("j", "count", "-1"));
    BOOST_TEST(r.process.out == text({"device initialized", "Start\tLimit\tPhase"}));

    std::tie(r, log) = runSections({"hwId " + plainId, "deviceAddress 10.77.1.10"},
                                   {{"main", {"connect", "scanRxReflect { count -1 step 1 }"}},
                                    {"speed", {"connect", "scanRxShadow { count 1 step 1 calm 0x10 }"}},
                                    {"limit", {"connect", "scanRxShadow { count 1 step 1 exposure -5 }"}}});
    BOOST_TEST(r.verdicts["main"] == "aborted 4/1" + notConverted("j", "count", "-1"));
    BOOST_TEST(r.verdicts["speed"] == "aborted 4/1" + notConverted("j", "calm", "0x10"));
    BOOST_TEST(r.verdicts["limit"] == "aborted 4/1" + notConverted("j", "exposure", "-5"));
    BOOST_TEST(log.find("starting program") == std::string::npos);

    // Initialised, with root defaults: the command's own speed, a flag, the expected phase difference.
    std::tie(r, log) = runSections(
        Lines{"hwId " + plainId, "deviceAddress 10.77.1.10"} + moveDefaults,
        {{"main", {"connect", "init", "moveMotor { pos 1000 speed 1e5 }"}},
         {"speed", {"connect", "init", "initMotor { travel -1000 value 0 fallback 0 restore maybe }"}},
         {"limit", {"connect", "init", "checkPhase 0x10"}}});
    BOOST_TEST(r.verdicts["main"] == "aborted 6/1" + notConverted("i", "speed", "1e5"));
    BOOST_TEST(r.verdicts["speed"] == "aborted 6/1" + notConverted("b", "restore", "maybe"));
    BOOST_TEST(r.verdicts["limit"] == "aborted 6/1" + notConverted("i", "checkPhase", "0x10"));
    BOOST_TEST(log.find("starting program") == std::string::npos);
}

// A board that stops programs short of their end: the move's and the scan's Target checks fail with
// where it stopped, as do a homing that cannot find the switch and repeated homing. A back-off whose
// slow pass would wrap round is refused before anything moves; testPhase's step of -2^31 wraps to a
// target beyond the counter's range, which the planner refuses.
BOOST_AUTO_TEST_CASE(moves_and_scans_that_end_elsewhere_fail_their_checks)
{
    board stopping{1, "10.77.1.15", {"--hwid", faultyId, "--time-scale", "1000", "--stop", "1:20000", "--stop", "2:20000"}};
    auto [r, log] = runWithLog(
        Lines{"hwId " + faultyId} + moveDefaults,
        {"connect", "init", "moveMotor { pos 100000 }", "scanRxShadow { count 4 step 25000 }",
         "initMotor { travel -100000 value 0 fallback 2147482648 }",
         "testInitMotor { travel 1000 value 0 fallback 0 count 1 }", "testPhase { step -2147483648 count 2 }"});
    BOOST_TEST(r.process.out == text({"device initialized", "Target: 100000, current: 9983", "Target: 109983, current: 19966",
                                      "Start\tLimit\tPhase", "Limit Average: nan, RMS: nan, N: 0",
                                      "Phase Average: nan, RMS: nan, N: 0", "action log:", "tgt\tSTEP_CNT\tphase\tdiff",
                                      "20966\t20966\t486\t0"}));
    BOOST_TEST(r.verdicts["main"] ==
               "aborted 14/6 | check curPos == pos has failed | check tgt == curPos has failed"
               " | check limitPos < c_->phaseCycle() * 400 /4 * 1.001 && limitPhase < c_->phaseCycle() && limitPhase >=0"
               " has failed | check limitPos < c_->phaseCycle() * motorStepsPerRev / 4 * 1.001 && limitPhase < "
               "(int)c_->phaseCycle() && limitPhase >= 0 has failed | check rmsLimit == 0.0 has failed"
               " | errorNoSolution: std::exception");
    BOOST_TEST(r.process.err.find("fallback 2147482648 out of range") != std::string::npos, r.process.err);
    // the move, the scan and the one search; the back-off too long for the slow pass started nothing
    const std::regex started("starting program at address 0");
    const std::string programs = log.substr(0, log.find("Parking motor..."));
    BOOST_TEST(std::distance(std::sregex_iterator(programs.begin(), programs.end(), started), std::sregex_iterator()) == 3);
}

// A board that hangs 0.6 s into a 2 s move: the command gives up with errorDeviceHung 1.2 times its
// plan and 2 s after its start, and the end of the case finds the program still running there.
BOOST_AUTO_TEST_CASE(a_hung_move_gives_up_after_its_time_limit)
{
    board hanging{1, "10.77.1.16", {"--hwid", faultyId, "--hang", "1:61474"}};
    auto [r, log] = runWithLog(Lines{"hwId " + faultyId} + moveDefaults, {"connect", "init", "moveMotor { pos 100000 }"});
    BOOST_TEST(r.process.out == text({"device initialized"}));
    BOOST_TEST(r.verdicts["main"] == "aborted 6/1 | errorDeviceHung: std::exception");
    // planned for 200065 ticks of 10 us: 2401 ms and 2 s
    const long ms = msBetween(log, "starting program", "motor not parked");
    BOOST_TEST((ms >= 4401 && ms < 5900 + 100 * sanitizerSlowdown), "gave up after " << ms << " ms");
}

// A receiver that takes 3 s to read each exposure out holds a reflect scan as long as it needs, here
// longer than the 5 s a board may leave the watcher unanswered: the board answers meanwhile.
BOOST_AUTO_TEST_CASE(a_slow_receiver_holds_the_scan_as_long_as_it_needs)
{
    board slow{1, "10.77.1.19", {"--hwid", faultyId, "--receiver", "300000"}};
    auto [r, log] = runWithLog(Lines{"hwId " + faultyId} + moveDefaults,
                               {"connect", "init", "scanRxReflect { count 3 step 64 }"});
    BOOST_TEST(r.process.out == text({"device initialized", "Target: 192, current: 192"}));
    BOOST_TEST(r.verdicts["main"] == "passed 7/0");
    // three exposures of 50 ms, the last two after a read-out of 3 s each
    const long ms = msBetween(log, "starting program", "program completed");
    BOOST_TEST((ms >= 6000 && ms < 8000), "the scan took " << ms << " ms");
}

// A receiver that never answers (stuck busy) holds a reflect scan for as long as the board
// answers, here well past the 5 s a silent board gets; the shadow scan before it waits for no
// receiver. SIGINT ends the terminal, with the log written out.
BOOST_AUTO_TEST_CASE(a_scan_waits_for_a_silent_receiver_until_the_user_interrupts_it)
{
    board busy{1, "10.77.1.17", {"--hwid", faultyId, "--time-scale", "1000", "--inputs", "0x40"}};
    backgroundTerminal t(Lines{"hwId " + faultyId} + moveDefaults,
                         {"connect", "init", "scanRxShadow { count 3 step 64 }", "scanRxReflect { count 3 step 832 }"});
    BOOST_REQUIRE_MESSAGE(waitForLines(busy, "tcp 0b002a0000000001000000", 2, std::chrono::seconds(20)), busy.logTail());
    BOOST_TEST(!t.endsWithin(std::chrono::seconds(6)), "the scan gave up");
    t.signal(SIGINT);
    BOOST_REQUIRE(t.endsWithin(std::chrono::seconds(10)));
    const runResult r = t.result();
    BOOST_TEST(r.termSignal == SIGINT, r.describe());
    BOOST_TEST(r.out == text({"device initialized", "Target: 192, current: 192"}));
    const std::string log = t.log();
    const std::size_t reflect = log.rfind("starting program at address 0");
    BOOST_REQUIRE(reflect != std::string::npos);
    BOOST_TEST(log.find("program completed", reflect) == std::string::npos);
    BOOST_TEST(log.find("errorDeviceHung") == std::string::npos);
    // the watcher's state reads went on to the end, and the signal wrote out the last of them
    const std::size_t lastRead = log.rfind("0700 2b 00000000");
    BOOST_REQUIRE(lastRead != std::string::npos);
    BOOST_TEST(stampMs(log, lastRead) - stampMs(log, reflect) >= 5700, log.substr(log.size() - 2000));
}

// A controller still there but not connected after the actions (the board went away while they
// ran) is not a released one: each pass's homing fails, its error on standard error, each range
// check fails, and the loop goes on.
BOOST_AUTO_TEST_CASE(testInitMotor_goes_on_when_its_actions_leave_the_controller_unconnected)
{
    board leaving{1, "10.77.1.18", {"--hwid", faultyId, "--time-scale", "1000"}};
    auto running = std::async(std::launch::async, [] {
        return runMainScript(Lines{"hwId " + faultyId} + moveDefaults,
                             {"connect", "init", "getInput",
                              "testInitMotor { travel -100000 value 0 fallback 0 count 2 action { sleep 2000 } }"});
    });
    // "getInput" is the last command before the first pass's actions
    const bool reached = leaving.waitForLogText("tcp 030025", std::chrono::seconds(20)).has_value();
    leaving.stop();
    terminalRun r = running.get();
    BOOST_REQUIRE(reached);
    BOOST_TEST(r.process.out == text({"device initialized", "input : 0x00000000", "Start\tLimit\tPhase",
                                      "Limit Average: nan, RMS: nan, N: 0", "Phase Average: nan, RMS: nan, N: 0",
                                      "action log:", "sleeping for 2000 ms", "sleeping for 2000 ms"}));
    const std::string rangeFailed = " | check limitPos < c_->phaseCycle() * motorStepsPerRev / 4 * 1.001 && "
                                    "limitPhase < (int)c_->phaseCycle() && limitPhase >= 0 has failed";
    BOOST_TEST(r.verdicts["main"] == "failed 10/3" + rangeFailed + rangeFailed + " | check rmsLimit == 0.0 has failed");
    const std::regex reported("Dynamic exception type");
    BOOST_TEST(std::distance(std::sregex_iterator(r.process.err.begin(), r.process.err.end(), reported),
                             std::sregex_iterator()) == 2, r.process.err);
}

BOOST_AUTO_TEST_SUITE_END()
