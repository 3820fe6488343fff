// Device programs against simulated boards over real sockets: the download, the start, the watcher
// that finds the end, and a controller destroyed under a running watcher. What a board received is
// read back from its traffic log. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_program
#include <boost/test/unit_test.hpp>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>
#include <thread>
#include <tuple>

#include <boost/exception/get_error_info.hpp>

#include "qzsmc/controller.hpp"
#include "support/link_fixture.hpp"
#include "support/terminal.hpp"

namespace {

using qz::smc::controller;
using qz::test::Lines;
using std::chrono::milliseconds;

// Frames as the board logs them, in hex: u16 length, code, payload.
const std::string startAtZero = "0b002a0100000000000000", runBit = "0b002a0000000001000000",
                  stopBit = "0b002a0000000000000000", readState = "07002b00000000", readPosition = "07002b02000000";

// A wait of ticks (10 us each) and the end record: the board runs it for ticks x 10 us.
controller::program waitProgram(std::int32_t ticks)
{
    controller::program p;
    controller::emplaceInstruction(p, 0x20, ticks);
    controller::appendProgramEnd(p);
    return p;
}

// The step generator's limits wide open, as init leaves them, without init: nothing is parked when
// the controller goes. After them a speed of 2^31 - 1 is one microstep per 10 us tick.
const qz::smc::deviceSettings wideOpen{{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}, 0, 0x7FFFFFFF, {}, {}};
constexpr int halfSpeed = 0x40000000, accel = 0x1000000;  // half a microstep a tick, reached in 64 ticks

// What a bound on the time a call takes gets on top under a sanitizer, which slows every thread.
const long allowance = qz::test::sanitizerSlowdown == 1 ? 0 : 100 * qz::test::sanitizerSlowdown;

controller::scanParameters scan(bool handshake, int count, int exposure, int step = 0)
{
    return {handshake, handshake, count, 0, 1000, exposure, step, halfSpeed, accel, accel};
}

// Waits for a call running on its own thread; one that never returns cannot be recovered in-process.
void awaitCall(std::future<void>& call, std::chrono::milliseconds limit, const char* what)
{
    if (call.wait_for(limit) != std::future_status::ready) {
        std::cerr << what << " still waits after " << limit.count() << " ms" << std::endl;
        std::abort();
    }
}

// A board with these options and a connected controller of it; the controller goes first.
struct rig {
    explicit rig(const Lines& options = {}) : board(qz::test::startBoard(options)) {}
    controller& c() { return *link.link; }
    // The control frames the board received since the last call, in hex.
    Lines frames() { return qz::test::controlFrames(*board, seen); }
    std::unique_ptr<qz::test::board> board;
    qz::test::linkTo<controller> link;
    std::size_t seen = 0;
};

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(device_programs)

BOOST_AUTO_TEST_CASE(a_download_writes_one_slot_per_record_and_sends_nothing_when_it_does_not_fit)
{
    rig f;
    for (const std::size_t size : {0, 2, 256}) {
        BOOST_TEST_CONTEXT(size << " records")
        {
            f.frames();
            controller::program p;
            Lines expected;
            for (std::size_t i = 0; i < size; ++i) {
                const std::int32_t value = -1 - static_cast<std::int32_t>(i) * 0x10203;
                p.push_back({static_cast<std::uint8_t>(0x40 + i), 1, 2, 3, value});
                const std::uint8_t request[] = {std::uint8_t(i), 0, 0, 0, p.back().opcode, 1, 2, 3,
                                                std::uint8_t(value), std::uint8_t(value >> 8),
                                                std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
                expected.push_back("0f002c" + qz::test::hex(request, sizeof request));
            }
            f.c().loadProgram(p, 0);
            const std::string loaded = "[qz_smc][info] " + std::to_string(size) + " instructions loaded at address 0";
            BOOST_TEST(f.link.log.count(loaded) == 1u);
            // every record was confirmed, so the board has logged all that was sent
            BOOST_TEST(f.frames() == expected, boost::test_tools::per_element());
        }
    }
    BOOST_CHECK_EXCEPTION(f.c().loadProgram(controller::program(257), 0), controller::errorProgramAddress,
                          [](const controller::errorProgramAddress& e) {
                              const unsigned* size = boost::get_error_info<zk::hw::sizeInfo>(e);
                              return size && *size == 257;
                          });
    BOOST_TEST(f.frames().empty());
    BOOST_TEST(f.link.log.count("[qz_smc][error]") == 0u, f.link.log.dump());
}

// A 150 ms program, ending halfway through the watcher's second pass, whose end the board announces
// or leaves to be found by polling; an unknown record that ends a program at once without a word,
// after a message left over from an earlier program. The end position is read for the log line
// alone: nothing asks for it when no record is kept.
BOOST_AUTO_TEST_CASE(the_watcher_completes_on_the_board_message_and_terminates_by_polling)
{
    struct ending {
        const char* name;
        Lines board;
        bool leftOver;
        controller::program program;
        const char* logged;  // none: logging off
        int result;
        long minMs, maxMs;  // from the start to the notifier's completion
    };
    const ending endings[] = {
        {"board message", {}, false, waitProgram(15000), "program completed, position 4321", 1, 150, 300},
        {"silent end", {"--program-end-silent"}, false, waitProgram(15000), "program terminated, position 4321", 3, 150,
         400},
        {"unannounced end after a leftover message", {}, true, {{0xEE}}, "program terminated, position 4321", 3, 90,
         250},
        {"silent end, no record kept", {"--program-end-silent"}, false, waitProgram(1), nullptr, 3, 0, 250},
    };
    for (const ending& e : endings) {
        BOOST_TEST_CONTEXT(e.name)
        {
            rig f(e.board);
            f.c().setValue(2, 4321);
            if (e.leftOver) {
                // started by hand, so nobody takes its end message
                f.c().loadProgram(waitProgram(1), 0);
                f.c().setValue(1, 0);
                f.c().setValue(0, 1);
                BOOST_REQUIRE(f.link.log.waitFor("special command received", milliseconds(2000)));
            }
            f.c().loadProgram(e.program, 0);
            f.frames();
            boost::log::core::get()->set_logging_enabled(e.logged != nullptr);
            const auto start = std::chrono::steady_clock::now();
            auto done = f.c().execProgram(0);
            const bool ended = done->waitFor(3000);
            const long ms = qz::test::msSince(start);
            boost::log::core::get()->set_logging_enabled(true);
            BOOST_REQUIRE_MESSAGE(ended, "not completed after 3 s:\n" << f.link.log.dump());
            BOOST_TEST(done->getResult() == e.result);
            const Lines logged = e.logged ? Lines{std::string("[qz_smc][info] ") + e.logged} : Lines{};
            BOOST_TEST(f.link.log.matching("] program ") == logged, boost::test_tools::per_element());
            const long maxMs = e.maxMs + allowance;
            BOOST_TEST((ms >= e.minMs && ms < maxMs),
                       "completed after " << ms << " ms, not in [" << e.minMs << ", " << maxMs << ")");
            // one state read per pass of about 100 ms, then the position read for the log
            const Lines sent = f.frames();
            BOOST_REQUIRE(sent.size() >= 3u);
            BOOST_TEST((Lines(sent.begin(), sent.begin() + 2) == Lines{startAtZero, runBit}));
            BOOST_TEST(sent.back() == (e.logged ? readPosition : readState));
            BOOST_TEST(std::count(sent.begin(), sent.end(), readState) <= ms / 100 + 1);
        }
    }
}

// Wherever in a watcher's pass the end falls, an announced end is taken for one: programs of 100 to
// 300 ms cover every offset within a pass several times.
BOOST_AUTO_TEST_CASE(an_announced_end_is_never_taken_for_a_silent_one)
{
    rig f;
    int runs = 0, completed = 0;
    for (std::int32_t ticks = 10000; ticks <= 30000; ticks += 700, ++runs) {
        f.c().loadProgram(waitProgram(ticks), 0);
        auto done = f.c().execProgram(0);
        BOOST_REQUIRE(done->waitFor(3000));
        completed += done->getResult() == 1;
    }
    BOOST_TEST(completed == runs, runs - completed << " of " << runs << " announced ends taken for silent ones");
}

// The watcher judges only a program whose start went out: when the start write fails (the board
// drops the connection after the variable 1 write), the error reaches the caller and the watcher
// ends without a command, not with "program terminated" once the link is back.
BOOST_AUTO_TEST_CASE(a_failed_start_write_leaves_the_watcher_silent)
{
    rig f({"--tcp-close-after", "1"});
    f.frames();
    BOOST_CHECK_THROW(f.c().execProgram(0), std::exception);
    std::this_thread::sleep_for(milliseconds(1500));
    BOOST_TEST(f.link.log.matching("] program ").empty(), f.link.log.dump());
    const Lines sent = f.frames();
    BOOST_TEST(std::count(sent.begin(), sent.end(), readState) == 0, f.board->logTail());
}

// The board's end message follows its reply to the start write within a tick: it must not wait
// for the terminal's delayed acknowledgement of that reply (about 40 ms).
BOOST_AUTO_TEST_CASE(a_short_program_is_announced_at_once)
{
    rig f;
    f.c().loadProgram(waitProgram(10), 0);
    std::vector<long> ms;
    for (int i = 0; i < 9; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto done = f.c().execProgram(0);
        BOOST_REQUIRE(done->waitFor(3000));
        ms.push_back(qz::test::msSince(start));
    }
    std::nth_element(ms.begin(), ms.begin() + 4, ms.end());
    BOOST_TEST(ms[4] < 20 + allowance / 10, "median start to announced end " << ms[4] << " ms");
}

// While the board cannot be reached every pass of the watcher fails, and each failure is logged;
// the first pass that reaches the board again finds the program gone.
BOOST_AUTO_TEST_CASE(each_failed_watcher_pass_is_logged)
{
    rig f;
    f.c().loadProgram(waitProgram(1000000), 0);
    auto done = f.c().execProgram(0);
    std::this_thread::sleep_for(milliseconds(250));
    f.board->stop();
    std::this_thread::sleep_for(milliseconds(1500));
    // a pass every 100 ms, failing at once without a connection
    const std::size_t failed = f.link.log.count("[qz_smc][warning]");
    BOOST_TEST(failed >= 5u, f.link.log.dump());
    f.board = qz::test::startBoard();
    BOOST_REQUIRE_MESSAGE(done->waitFor(5000), f.link.log.dump());
    BOOST_TEST(done->getResult() == 3);
    BOOST_TEST(f.link.log.matching("[qz_smc][info] program ") == Lines{"[qz_smc][info] program terminated, position 0"},
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(a_cancelled_watcher_stops_polling_and_never_completes)
{
    rig f;
    f.c().loadProgram(waitProgram(200000), 0);
    auto done = f.c().execProgram(0);
    std::this_thread::sleep_for(milliseconds(250));
    done->cancel();
    std::this_thread::sleep_for(milliseconds(300));
    f.frames();
    f.c().setValue(0, 0);
    std::this_thread::sleep_for(milliseconds(400));
    BOOST_TEST(f.frames() == Lines{stopBit});
    BOOST_TEST((!done->waitFor(0) && done->getResult() == 0));
    BOOST_TEST(f.link.log.matching("] program ").empty(), f.link.log.dump());
}

// A watcher must never outlive its controller: destruction stops it, within a bounded time, whatever
// the board does. Under a sanitizer a watcher left running reports the freed controller.
BOOST_AUTO_TEST_CASE(destroying_the_controller_under_a_running_watcher_is_bounded_and_safe)
{
    const std::tuple<const char*, Lines, bool> situations[] = {
        {"long program running", {}, false},
        {"state reads unanswered", {"--tcp-silent", "0x2B"}, false},
        {"board gone mid-program", {}, true},
    };
    for (const auto& [name, board, killBoard] : situations) {
        BOOST_TEST_CONTEXT(name)
        {
            rig f(board);
            f.c().loadProgram(waitProgram(1000000), 0);
            auto done = f.c().execProgram(0);
            std::this_thread::sleep_for(milliseconds(250));
            if (killBoard)
                f.board->stop();
            const auto start = std::chrono::steady_clock::now();
            auto destroyed = std::async(std::launch::async, [&] { f.link.link.reset(); });
            if (destroyed.wait_for(milliseconds(5000)) != std::future_status::ready) {
                std::cerr << name << ": the controller's destructor still blocks after 5 s" << std::endl;
                std::abort();  // a hung destructor cannot be recovered in-process
            }
            BOOST_TEST(qz::test::msSince(start) < 2000 + allowance);
            // a watcher still running would poll the freed controller now
            std::this_thread::sleep_for(milliseconds(300));
        }
    }
}

BOOST_AUTO_TEST_CASE(a_move_to_the_current_position_only_reads_it)
{
    rig f;
    f.c().setValue(2, -77);
    f.frames();
    auto done = f.c().moveTo(-77, 0x40000000, 0x1000000);
    BOOST_TEST((done->waitFor(0) && done->getResult() == 1));
    BOOST_TEST(f.frames() == Lines{readPosition});
}

BOOST_AUTO_TEST_SUITE_END()

// The waits of moves and scans against boards that run their programs in real time.
BOOST_AUTO_TEST_SUITE(program_waits)

// A move or a scan without the handshake may take 1.2 times its plan and 2 s more: a board that
// hangs from the start and is released just inside that limit passes, one never released gives
// up at the limit, and one that stops its program short ends the wait at once. A count above
// 2^31 - 1 is an unsigned repetition count: its limit is far beyond one repetition's 2006 ms.
BOOST_AUTO_TEST_CASE(moves_and_scans_wait_as_long_as_their_plan_allows)
{
    enum motion { move, shadowScan };
    const long slack = 1000 + 100 * qz::test::sanitizerSlowdown;
    const struct {
        const char* what;
        motion kind;
        controller::scanParameters p;
        Lines board;
        long releaseMs;  // 0: never
        bool hung;
        long minMs, maxMs;
    } rows[] = {
        // 10000 microsteps planned for 20065 ticks: 241 ms, and 2 s
        {"move released inside its limit", move, {}, {"--hang", "1"}, 1540, false, 1540, 2241},
        {"move that hangs", move, {}, {"--hang", "1"}, 0, true, 2241, 2241 + slack},
        {"move stopped short", move, {}, {"--stop", "1:5000"}, 0, false, 50, 1500 + allowance},
        // 3 repetitions of 10000 exposure and 2 loop ticks: 360 ms, and 2 s
        {"scan released inside its limit", shadowScan, scan(false, 3, 100000), {"--hang", "1"}, 1660, false, 1660, 2360},
        {"scan that hangs", shadowScan, scan(false, 3, 100000), {"--hang", "1"}, 0, true, 2360, 2360 + slack},
        {"scan of 2^32 - 1 repetitions", shadowScan, scan(false, -1, 5000), {"--hang", "1:100"}, 2600, false, 2600,
         2600 + slack},
    };
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            rig f(r.board);
            f.c().setDeviceSettings(wideOpen);
            f.frames();
            const auto start = std::chrono::steady_clock::now();
            long ms = -1;
            auto call = std::async(std::launch::async, [&] {
                try {
                    if (r.kind == move)
                        f.c().finishMove(10000, halfSpeed, accel);
                    else
                        f.c().finishScan(r.p);
                } catch (...) {
                    ms = qz::test::msSince(start);
                    throw;
                }
                ms = qz::test::msSince(start);
            });
            if (r.releaseMs != 0 && call.wait_until(start + milliseconds(r.releaseMs)) == std::future_status::timeout)
                f.c().setValue(0, 0);  // the program ends where it hangs
            awaitCall(call, milliseconds(10000), r.what);
            if (r.hung)
                BOOST_CHECK_THROW(call.get(), controller::errorDeviceHung);
            else
                BOOST_CHECK_NO_THROW(call.get());
            BOOST_TEST((ms >= r.minMs && ms < r.maxMs), "ended after " << ms << " ms, not in [" << r.minMs << ", "
                                                                       << r.maxMs << ")");
            if (r.kind == shadowScan) {
                const Lines sent = f.frames();
                const std::string count = "0b002a13000000" + qz::test::hexWords({std::uint32_t(r.p.count)});
                BOOST_TEST(std::count(sent.begin(), sent.end(), count) == 1);
            }
        }
    }
}

// A scan with the handshake waits on its receiver, here one stuck busy, for as long as the board
// answers: a board killed, or stopped so that its connection stands and answers nothing, ends the
// wait once the watcher's reads have gone unanswered for 5 s. A shadow scan of a million
// repetitions has a plan of hours and no such bound: a board stopped for 7 s is waited for.
BOOST_AUTO_TEST_CASE(only_a_wait_without_a_plan_gives_up_on_a_silent_board)
{
    const long slack = 1000 + 100 * qz::test::sanitizerSlowdown;
    const struct {
        const char* what;
        bool handshake;
        int signal;
        long continueMs;  // SIGCONT this long after SIGSTOP; 0: never
        long minMs, maxMs;  // from the board's last answer to the end of the wait; minMs < 0: it goes on
    } rows[] = {
        {"reflect scan, board killed", true, SIGKILL, 0, 5000, 5000 + slack},
        // an unanswered read takes a pass and the confirmation's 1 s
        {"reflect scan, board stopped", true, SIGSTOP, 0, 5000, 6100 + slack},
        {"shadow scan, board stopped for 7 s", false, SIGSTOP, 7000, -1, 0},
    };
    for (const auto& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            rig f({"--inputs", "0x40"});
            f.c().setDeviceSettings(wideOpen);
            auto call = std::async(std::launch::async, [&] {
                f.c().finishScan(r.handshake ? scan(true, 2, 50000, 64) : scan(false, 1000000, 5000, 64));
            });
            BOOST_REQUIRE(f.board->waitForLogText(runBit, milliseconds(3000)).has_value());
            std::this_thread::sleep_for(milliseconds(500));
            BOOST_TEST((call.wait_for(milliseconds(0)) != std::future_status::ready));
            // signalled as soon as the board has logged a state read: it answers that one at once
            const std::size_t lines = f.board->logLines().size();
            BOOST_REQUIRE(f.board->waitForLogText(readState, milliseconds(3000), lines).has_value());
            const auto answered = std::chrono::steady_clock::now();
            f.board->signal(r.signal);
            if (r.continueMs != 0) {
                std::this_thread::sleep_for(milliseconds(r.continueMs));
                f.board->signal(SIGCONT);
                BOOST_TEST((call.wait_for(milliseconds(1000)) != std::future_status::ready), "the scan gave up");
                f.c().setValue(0, 0);  // the program ends where it is
                awaitCall(call, milliseconds(5000), "a scan whose program was stopped");
                BOOST_CHECK_NO_THROW(call.get());
                continue;
            }
            awaitCall(call, milliseconds(15000), "a scan on a silent board");
            const long ms = qz::test::msSince(answered);
            BOOST_CHECK_THROW(call.get(), controller::errorDeviceHung);
            // the board's log is polled every 20 ms
            const long seen = 50 + 10 * qz::test::sanitizerSlowdown;
            BOOST_TEST((ms >= r.minMs - seen && ms < r.maxMs),
                       "gave up " << ms << " ms after the board's last answer, not in [" << r.minMs - seen << ", "
                                  << r.maxMs << ")");
            if (r.signal == SIGSTOP)
                f.board->signal(SIGKILL);
        }
    }
}

// A program whose wait gave up may still run on the board: before the next program the board is
// asked, and while the program runs nothing is loaded over it, whatever the motion. Once it has
// ended the next program loads; a program whose end the watcher saw needs no such question.
BOOST_AUTO_TEST_CASE(no_program_is_loaded_over_one_that_still_runs)
{
    rig f({"--hang", "3"});
    f.c().init();
    f.c().finishMove(1000, halfSpeed, accel);
    f.frames();
    f.c().finishMove(2000, halfSpeed, accel);
    BOOST_TEST(f.frames().front() == readPosition);
    BOOST_CHECK_THROW(f.c().finishMove(10000, halfSpeed, accel), controller::errorDeviceHung);
    f.frames();
    BOOST_CHECK_THROW(f.c().finishMove(0, halfSpeed, accel), controller::errorProgramRunning);
    BOOST_CHECK_THROW(f.c().finishScan(scan(false, 1, 5000, 64)), controller::errorProgramRunning);
    BOOST_CHECK_THROW(f.c().internalInitLimit(-100, halfSpeed, accel), controller::errorProgramRunning);
    BOOST_TEST(f.frames() == Lines(3, readState), boost::test_tools::per_element());
    f.c().setValue(0, 0);  // as init does
    f.frames();
    BOOST_CHECK_NO_THROW(f.c().finishMove(0, halfSpeed, accel));
    const Lines sent = f.frames();
    BOOST_TEST((Lines(sent.begin(), sent.begin() + 2) == Lines{readState, readPosition}));
    BOOST_TEST(std::count_if(sent.begin(), sent.end(), [](auto& l) { return l.rfind("0f002c", 0) == 0; }) > 0);
}

// A board that restarted under the connection has lost the position init set up: the first motion
// after the reconnection finds it and fails, as does every one after it until init runs again, and
// nothing is loaded meanwhile. A connection dropped by a board that did not restart is the same
// board: the motion goes on.
BOOST_AUTO_TEST_CASE(a_board_restarted_since_init_moves_nothing_until_init)
{
    const std::string readOutputs = "07002b0c000000";
    for (const bool restart : {true, false}) {
        BOOST_TEST_CONTEXT((restart ? "board restarted" : "connection dropped"))
        {
            // init's 24 commands and 36 reads make the board drop the connection
            rig f({"--tcp-close-after", "60"});
            f.c().init();
            const std::uint64_t connections = f.c().connections();
            if (restart) {
                f.board->stop();
                f.board = qz::test::startBoard({"--tcp-close-after", "60"});
                f.seen = 0;
            } else {
                for (int i = 0; i < 36; ++i)
                    f.c().getValue(2);
            }
            const auto start = std::chrono::steady_clock::now();
            while (!(f.c().connections() > connections && f.c().connected()) && qz::test::msSince(start) < 10000)
                std::this_thread::sleep_for(milliseconds(20));
            BOOST_REQUIRE(f.c().connected());
            f.frames();
            if (!restart) {
                BOOST_CHECK_NO_THROW(f.c().finishMove(1000, halfSpeed, accel));
                BOOST_TEST(f.frames().front() == readOutputs);
                BOOST_TEST(f.link.log.count("[qz_smc][error]") == 0u, f.link.log.dump());
                continue;
            }
            BOOST_CHECK_THROW(f.c().finishMove(1000, halfSpeed, accel), controller::errorBoardRestarted);
            BOOST_CHECK_THROW(f.c().finishScan(scan(false, 1, 5000, 64)), controller::errorBoardRestarted);
            BOOST_TEST(f.frames() == Lines{readOutputs});
            BOOST_TEST(f.link.log.count("[qz_smc][error] the board restarted since init") == 1u, f.link.log.dump());
            BOOST_TEST(!f.c().initialized());
            f.c().init();
            BOOST_CHECK_NO_THROW(f.c().finishMove(1000, halfSpeed, accel));
        }
    }
}

// No repetition asked for: nothing moves, nothing is exposed, only the position is read.
BOOST_AUTO_TEST_CASE(a_scan_of_no_repetitions_only_reads_the_position)
{
    rig f;
    f.c().setDeviceSettings(wideOpen);
    f.frames();
    for (const bool handshake : {false, true}) {
        f.c().finishScan(scan(handshake, 0, 5000, 100));
        auto done = f.c().scanMove(scan(handshake, 0, 5000, 100));
        BOOST_TEST((done->waitFor(0) && done->getResult() == 1));
    }
    BOOST_TEST(f.frames() == Lines(4, readPosition), boost::test_tools::per_element());
}

BOOST_AUTO_TEST_SUITE_END()
