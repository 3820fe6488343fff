// End-to-end: what the terminal leaves on a board that goes silent for a while, hangs, or restarts
// under it. The real qzsmctest against simulated boards, most of them in real time. Runs under
// tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE e2e_board_faults
#include <boost/test/unit_test.hpp>

#include <csignal>
#include <future>
#include <thread>

#include "support/common.hpp"
#include "support/terminal.hpp"

using namespace qz::test;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const std::string programStart = "tcp 0b002a0000000001000000", programRecord = "tcp 0f002c";
// The board at address, with the simulated board's default hardware id; after init moves run at
// 5000 microsteps/s, reached in 50 ms.
Lines rootKeys(const std::string& address)
{
    return {"deviceAddress " + address, "hwId 0102030405060708090a0b0c0d0e0f1011121314", "defaultSpeed 107374182",
            "defaultAccel 21475"};
}

struct inTestNetwork {
    inTestNetwork() { requireTestNetwork(); }
};

void shell(const std::string& command)
{
    const runResult r = run({"/bin/sh", "-c", command}, "", seconds(10));
    BOOST_REQUIRE_MESSAGE(r.exitCode == 0, command << ": " << r.describe());
}

std::size_t countFrom(const Lines& lines, std::size_t from, const std::string& prefix)
{
    return std::count_if(lines.begin() + std::min(from, lines.size()), lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::size_t lineOf(const Lines& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
}

}  // namespace

BOOST_TEST_GLOBAL_FIXTURE(inTestNetwork);

// Either side silent for more than 5 s while a program runs: a network outage, the board stopped,
// the terminal stopped (a user's Ctrl-Z and fg). A 10 s move still ends on its target and is
// parked after its end, so that the next case finds the phase where parking left it; a scan that
// waits 1 s on each of its receiver's handshakes passes although the terminal stood for 7 s.
BOOST_AUTO_TEST_CASE(a_program_outlives_a_silence_of_either_side)
{
    enum silence { outage, boardStopped, terminalStopped };
    const Sections move{{"main", {"connect", "init", "moveMotor { pos 50000 }", "disconnect"}},
                                            {"speed", {"connect", "init", "checkPhase"}}};
    const Lines moved{"device initialized", "Target: 50000, current: 50000", "device initialized",
                      "STEP_CNT: 0, phase: 0, diff: 0"};
    const struct {
        const char* what;
        Lines board;
        Sections script;
        silence kind;
        long afterMs, forMs;  // from the program's start
        Lines out;
        bool parks;
    } rows[] = {
        {"network outage of 5.3 s", {}, move, outage, 2000, 5300, moved, true},
        {"board stopped for 7 s", {}, move, boardStopped, 2000, 7000, moved, true},
        {"terminal stopped for 6 s", {}, move, terminalStopped, 2000, 6000, moved, true},
        {"terminal stopped for 7 s in a handshake scan", {"--receiver", "100000"},
         {{"main", {"connect", "init", "scanRxReflect { count 3 step 100 }"}}}, terminalStopped, 0, 7000,
         {"device initialized", "Target: 300, current: 300"}, false},
    };
    int address = 20;
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            const std::string at = "10.77.1." + std::to_string(address++);
            board b{1, at, Lines{"--time-scale", "1"} + r.board};
            backgroundTerminal t(rootKeys(at), r.script);
            BOOST_REQUIRE_MESSAGE(b.waitForLogText(programStart, seconds(20)), b.logTail());
            const auto silent = [&](bool on) {
                if (r.kind == outage)
                    shell("ip link set port-" + b.name() + (on ? " down" : " up"));
                else
                    (r.kind == boardStopped ? b.signal(on ? SIGSTOP : SIGCONT) : t.signal(on ? SIGSTOP : SIGCONT));
            };
            std::this_thread::sleep_for(milliseconds(r.afterMs));
            silent(true);
            std::this_thread::sleep_for(milliseconds(r.forMs));
            silent(false);
            BOOST_REQUIRE(t.endsWithin(seconds(60)));
            const runResult result = t.result();
            BOOST_TEST(result.exitCode == 0, result.describe() << "\n" << t.reports());
            BOOST_TEST(result.out == text(r.out));
            // one program for the move and one for its parking, loaded after the move had ended
            const std::string log = t.log();
            BOOST_TEST(log.find("errorDeviceHung") == std::string::npos);
            if (r.parks)
                BOOST_TEST(log.find("parking motor") > log.find("] program "), log.substr(0, 3000));
        }
    }
}

// A program whose wait gave up still runs on the board (here one that hangs 0.6 s into its move):
// no program is loaded over it, neither parking at the end of the case nor a move after a homing
// that gave up.
BOOST_AUTO_TEST_CASE(no_program_is_loaded_over_one_given_up_on)
{
    const struct {
        const char* what;
        Lines commands;
        std::string verdict, logged;
    } rows[] = {
        {"a hung move", {"connect", "init", "moveMotor { pos 10000 }"}, "aborted 6/1 | errorDeviceHung: std::exception",
         "[qz_smc][error] motor not parked: the board still runs a program whose wait gave up"},
        {"a move after a hung homing", {"connect", "init", "initMotor { travel -10000 value 0 fallback 0 }",
                                        "moveMotor { pos 100 }"},
         "aborted 8/2 | check limitPos < c_->phaseCycle() * 400 /4 * 1.001 && limitPhase < c_->phaseCycle() && "
         "limitPhase >=0 has failed | errorProgramRunning: std::exception",
         "[qz_smc][error] motor not parked: the board still runs a program whose wait gave up"},
    };
    int address = 30;
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            const std::string at = "10.77.1." + std::to_string(address++);
            board b{1, at, {"--time-scale", "1", "--hang", "1:60000"}};
            scratchDir dir("qzsmc-faults");
            const terminalRun run = runScript(dir.path(), "qzsmc_test.info", "main", rootKeys(at), r.commands);
            BOOST_TEST(run.verdicts.at("main") == r.verdict);
            const Lines log = terminalLog(dir.path(), "");
            BOOST_TEST(std::count(log.begin(), log.end(), r.logged) == 1, text(log));
            const Lines boardLines = b.logLines();
            const std::size_t started = lineOf(boardLines, programStart);
            BOOST_REQUIRE(started < boardLines.size());
            BOOST_TEST(countFrom(boardLines, started, programRecord) == 0u, b.logTail(40));
        }
    }
}

// A board that restarts while the terminal sleeps comes back at its address, and the link
// reconnects to it: its position counter starts again at 0, so the homed reference is gone. The
// next move fails instead of running in the restarted board's frame, and nothing is loaded there.
BOOST_AUTO_TEST_CASE(a_board_restarted_under_the_terminal_is_not_moved)
{
    const Lines options{"--time-scale", "100", "--limit-switch", "-6000"};
    auto first = std::make_unique<board>(1, "10.77.1.40", options);
    auto running = std::async(std::launch::async, [] {
        return runMainScript(rootKeys("10.77.1.40"), {"connect", "init", "initMotor { travel -100000 value -30720 fallback 2000 }",
                              "moveMotor { pos -25000 }", "checkPhase", "sleep 6000", "moveMotor { pos -30000 }",
                              "checkPhase"});
    });
    // the phase reads of the homing and of the first checkPhase: the terminal sleeps then
    const bool asleep = waitForLines(*first, "tcp 07003400000000", 2, seconds(30));
    first->stop();
    board restarted{1, "10.77.1.40", options};
    const terminalRun r = running.get();
    BOOST_REQUIRE_MESSAGE(asleep, first->logTail());
    BOOST_TEST(r.verdicts.at("main").find(" | errorBoardRestarted: std::exception") != std::string::npos,
               r.verdicts.at("main"));
    BOOST_TEST(r.process.out.find("Target: -30000") == std::string::npos, r.process.out);
    BOOST_TEST(restarted.waitForLogText("tcp accept", seconds(1)).has_value());
    BOOST_TEST(countFrom(restarted.logLines(), 0, programRecord) == 0u, restarted.logTail(40));
}
