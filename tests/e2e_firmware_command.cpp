// End-to-end: the terminal's "updateFirmware" run by the real qzsmctest against simulated boards
// and boot loaders, whose traffic logs show what they received.
// Runs under tools/testnet with LAN 1, 10.77.1.1/24. The suite "no_boot_loader" runs as a test of
// its own, in a network without a boot loader, beside the others: its search takes 30 s.
#define BOOST_TEST_MODULE e2e_firmware_command
#include <boost/test/unit_test.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <regex>
#include <thread>
#include <tuple>

#include <boost/filesystem/operations.hpp>

#include "support/common.hpp"
#include "support/terminal.hpp"

using namespace qz::test;

namespace {

const std::string idBoard = "5a5b5c5d5e5f606162636465666768696a6b6c6d", idLoader = "b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3";
const std::string notConnected = "device not connected, will try to search for BOOT_LOADER device";

// Image bytes that are not all alike, so a block written in the wrong place shows.
std::string image(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed + i / 4096) & 0xFF);
    return bytes;
}

// The codes of the control frames since line `from` and the connection's events, a run of one
// code as "<code> x<count>".
std::string tcpCodes(const board& b, std::size_t& from)
{
    std::vector<std::pair<std::string, int>> runs;
    for (const std::string& line : boardLog(b, from, "tcp ")) {
        const std::string code = line == "accept" || line == "close" ? line : line.substr(4, 2);
        if (runs.empty() || runs.back().first != code) runs.emplace_back(code, 0);
        ++runs.back().second;
    }
    std::string codes;
    for (const auto& [code, count] : runs) codes += code + (count > 1 ? " x" + std::to_string(count) : "") + "\n";
    return codes;
}

// A firmware.info "update_firmware" section: `before`, one "updateFirmware" with these parameter lines, `after`.
terminalRun runUpdate(const scratchDir& dir, const Lines& parameters, const Lines& before = {},
                      const Lines& after = {})
{
    return runScript(dir.path(), "firmware.info", "update_firmware", {},
                     before + Lines{"updateFirmware", "{"} + parameters + Lines{"}"} + after);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(no_boot_loader)

BOOST_AUTO_TEST_CASE(neither_key_only_logs_and_nothing_found_fails_after_30_s)
{
    requireTestNetwork();
    board b{1, "10.77.1.10", {"--hwid", idBoard}};  // a running board: it does not answer for a boot loader
    scratchDir dir("qzsmc-fw");

    auto r = runUpdate(dir, {}, {}, {"updateFirmware { FPGA_ }"});
    BOOST_TEST(r.process.out == "");
    BOOST_TEST(r.verdicts["update_firmware"] ==
               "passed 2/0 | message Update options not specified | message Update options not specified");
    BOOST_TEST(b.udpDatagrams(0).empty());

    writeFile(dir.path() / "arm.bin", image(100, 1));
    r = runUpdate(dir, {"ARM arm.bin"}, {}, {"sleep 0"});
    BOOST_TEST(r.process.out == text({notConnected, "sleeping for 0 ms"}));
    BOOST_TEST(r.verdicts["update_firmware"] == "failed 2/1 | BOOT_LOADER device not found");
    // One attempt after another for 30 s, each a 1 s discovery; the last may start just before the limit.
    BOOST_TEST(r.ms >= 30000);
    BOOST_TEST(r.ms < 33000 * sanitizerSlowdown);
    const auto searches = b.udpDatagrams(0);
    BOOST_TEST(searches.size() >= 25u);
    BOOST_TEST(searches.size() <= 35u);
    for (const std::string& d : searches)  // any boot loader (all-zero id), by its device id
        BOOST_TEST(d == std::string(40, '0') + "00" + hex(std::string("BOOT_LOADER")));
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(boot_loader)

// Every image is read and checked before the board is told to restart: a bad one leaves it
// running its firmware, and the terminal still connected to it. Nothing waits on a FIFO, and
// neither /dev/zero nor a sparse 4 GiB + 100 byte file (not 100 bytes) is read to its end.
BOOST_AUTO_TEST_CASE(a_bad_image_file_leaves_the_board_running_its_firmware)
{
    requireTestNetwork();
    board b{1, "10.77.1.10", {"--hwid", idBoard}};
    scratchDir dir("qzsmc-fw");
    writeFile(dir.path() / "arm.bin", image(100, 1));
    writeFile(dir.path() / "empty.bin", "");
    boost::filesystem::create_directory(dir.path() / "dir.bin");
    BOOST_REQUIRE(::mkfifo(dir.file("fifo.bin").c_str(), 0600) == 0);
    // The FPGA image's byte count is an unsigned int: 2^32 bytes are one too many.
    for (const auto& [name, size] : {std::pair<const char*, std::uint64_t>{"wrap.bin", (std::uint64_t{1} << 32) + 100},
                                     {"fpga-large.bin", std::uint64_t{1} << 32}}) {
        writeFile(dir.path() / name, "");
        boost::filesystem::resize_file(dir.path() / name, size);  // sparse: no disk
    }
    // Each failed check goes on with the next command; an error ends the case.
    const std::pair<Lines, std::string> rows[] = {
        {{"ARM missing.bin", "FPGA arm.bin"}, "File <missing.bin> not found"},
        {{"ARM empty.bin"}, "File <empty.bin> not found"},
        {{"ARM dir.bin"}, "File <dir.bin> not found"},
        {{"ARM fifo.bin"}, "File <fifo.bin> not found"},
        {{"ARM /dev/zero"}, "File </dev/zero> not found"},
        {{"ARM"}, "File <> not found"},
        {{"ARM arm.bin", "FPGA missing.bin"}, "File <missing.bin> not found"},
        {{"ARM wrap.bin"}, "errorARMImageTooLarge: std::exception"},
    };
    Lines commands{"connect"};
    std::string said;
    for (const auto& [keys, message] : rows) {
        commands = commands + Lines{"updateFirmware", "{"} + keys + Lines{"}"};
        said += " | " + message;
    }
    auto r = runScript(dir.path(), "firmware.info", "update_firmware", {}, commands);
    BOOST_TEST(r.process.out == "");
    BOOST_TEST(r.verdicts["update_firmware"] == "aborted 10/8" + said);
    BOOST_TEST(r.ms < 5000 * sanitizerSlowdown);
    r = runUpdate(dir, {"ARM arm.bin", "FPGA fpga-large.bin"}, {"connect"});
    BOOST_TEST(r.process.out == "");
    BOOST_TEST(r.verdicts["update_firmware"] == "aborted 3/1 | errorFPGAImageTooLarge: std::exception");

    std::size_t from = 0;
    BOOST_TEST(boardLog(b, from, "tcp 03000b").empty(), "told to restart");
    r = runScript(dir.path(), "qzsmc_test.info", "main", {}, {"search"});
    BOOST_TEST(r.process.out.find("revision : QZ_SMC sim 1.0\n") != std::string::npos, r.process.out);
}

BOOST_AUTO_TEST_CASE(only_the_FPGA_image_is_written_when_only_it_is_named)
{
    requireTestNetwork();
    board loader{1, "10.77.1.20", {"--boot-loader", "--hwid", idLoader}};
    scratchDir dir("qzsmc-fw");
    writeFile(dir.path() / "fpga.bin", image(1000, 2));

    // No erase, no ARM block; the boot loader found is started at the end.
    std::size_t from = 0;
    auto r = runUpdate(dir, {"FPGA fpga.bin"});
    BOOST_TEST(r.process.out == text({notConnected, "updating FPGA with firmware from <fpga.bin>...done"}));
    BOOST_TEST(r.verdicts["update_firmware"] == "passed 1/0");
    BOOST_TEST(tcpCodes(loader, from) == text({"accept", "26 x2", "25 x2", "0c", "01", "close"}));
}

// A refused erase ends the update, and the board stays in its boot loader. One that does not take
// the record that moves its control port to 10000 (it would listen where the terminal does not
// connect) fails the record's read-back: nothing is woken or connected.
BOOST_AUTO_TEST_CASE(a_failed_ARM_update_ends_the_case)
{
    requireTestNetwork();
    const std::string updating = notConnected + "\nupdating ARM with firmware from <arm.bin>...";
    const std::tuple<Lines, std::string, std::string> rows[] = {
        {{"--boot-erase-fail", "0"}, "errorARMBlockEraseFailed: std::exception", text({"accept", "02", "07", "close"})},
        {{"--ctrl-port", "10001", "--boot-ignore-set-config"}, "runtime_error: network configuration does not changed",
         ""},
    };
    for (const auto& [options, error, codes] : rows) {
        BOOST_TEST_CONTEXT(error)
        {
            board loader{1, "10.77.1.20", Lines{"--boot-loader", "--hwid", idLoader} + options};
            scratchDir dir("qzsmc-fw");
            writeFile(dir.path() / "arm.bin", image(100, 5));
            std::size_t from = 0;
            auto r = runUpdate(dir, {"ARM arm.bin"}, {}, {"sleep 0"});
            BOOST_TEST(r.process.out == updating);
            BOOST_TEST(r.verdicts["update_firmware"] == "aborted 1/1 | " + error);
            BOOST_TEST(tcpCodes(loader, from) == codes);
        }
    }
}

// A failed update leaves the board in its boot loader, not in firmware over part of an image: the
// terminal says how to finish, and a script without "connect" finds the boot loader and does. The
// board that refuses a block would refuse it again: a sound one in its boot loader takes its place
// where it was left. The board that hung comes back sound and is finished as it is.
BOOST_AUTO_TEST_CASE(a_failed_update_leaves_the_board_in_its_boot_loader_for_a_script_without_connect)
{
    requireTestNetwork();
    const std::string hint = "firmware update failed: the board stays in its boot loader; run updateFirmware "
                             "again from a script without connect to finish the update";
    const std::string revision = "QZ_SMC fw 3.0 after a failed update";
    std::string arm = image(1000, 10);
    arm.replace(100, revision.size() + 1, revision + '\0');
    // The boot loader's frames after the ARM image, up to the end of its connection.
    const std::tuple<const char*, Lines, std::string, std::string> rows[] = {
        {"FPGA block 5 refused", {"--boot-fpga-write-fail", "5"}, "errorFPGABlockWriteFailed", "26 x6\nclose\n"},
        {"board stopped 3 s writing the FPGA", {}, "errorTCPCommandConfirmationTimeout",
         "26 x\\d+\n(25( x\\d+)?\n)?close\n"},
    };
    for (const auto& [what, fault, error, fpgaCodes] : rows) {
        BOOST_TEST_CONTEXT(what)
        {
            auto b = std::make_unique<board>(1, "10.77.1.10", Lines{"--hwid", idBoard} + fault);
            scratchDir dir("qzsmc-fw");
            writeFile(dir.path() / "arm.bin", arm);
            writeFile(dir.path() / "fpga.bin", image(2000 * 528, 11));
            const Lines both{"ARM arm.bin", "FPGA fpga.bin"};
            auto failed = std::async(std::launch::async, [&] { return runUpdate(dir, both, {"connect"}); });
            if (fault.empty()) {
                const bool writing = b->waitForLogText("tcp 170226", std::chrono::seconds(20)).has_value();
                if (writing) {
                    b->signal(SIGSTOP);
                    std::this_thread::sleep_for(std::chrono::seconds(3));
                    b->signal(SIGCONT);
                }
                BOOST_TEST_REQUIRE(writing);
            }
            auto r = failed.get();
            BOOST_TEST(r.process.out == text({"current revision: QZ_SMC sim 1.0",
                                              "updating ARM with firmware from <arm.bin>...done"}) +
                                            "updating FPGA with firmware from <fpga.bin>...");
            BOOST_TEST(r.verdicts["update_firmware"] == "aborted 3/1 | " + error + ": std::exception");
            BOOST_TEST(r.process.err.find(hint + "\n") != std::string::npos, r.process.err);
            BOOST_TEST(terminalLog(dir.path(), "[btldr][error] ") ==
                           (Lines{"firmware not started: an update did not end", hint}),
                       boost::test_tools::per_element());
            // Neither started nor reset: the boot loader's connection ends after the last FPGA block.
            std::size_t from = 0;
            const std::string codes = tcpCodes(*b, from), armCodes = text({"accept", "2a x5", "0b", "close",
                                                                           "accept", "02", "07", "08 x128", "09 x128"});
            BOOST_TEST((codes.rfind(armCodes, 0) == 0 &&
                        std::regex_match(codes.substr(armCodes.size()), std::regex(fpgaCodes))), codes);
            BOOST_TEST(!b->waitForLogText("restart QZ_SMC", std::chrono::milliseconds(500)).has_value());

            from = 0;
            const Lines moved = boardLog(*b, from, "moved ");
            BOOST_TEST_REQUIRE(moved.size() == 1u, text(moved));
            if (!fault.empty()) {
                b->stop();
                b = std::make_unique<board>(1, moved[0], Lines{"--hwid", idBoard, "--boot-loader"});
            }
            r = runUpdate(dir, both);
            BOOST_TEST(r.process.out == text({notConnected, "updating ARM with firmware from <arm.bin>...done",
                                              "updating FPGA with firmware from <fpga.bin>...done"}));
            BOOST_TEST(r.verdicts["update_firmware"] == "passed 1/0");
            BOOST_TEST(b->waitForLogText("restart QZ_SMC " + revision, std::chrono::seconds(2)).has_value(),
                       b->logTail());
        }
    }
}

// Without a connected board no board is sent into its boot loader, so the boot loader is looked for
// first and each image is read when its turn comes: a missing ARM image skips the FPGA image, a missing
// FPGA image comes after the ARM image was written.
BOOST_AUTO_TEST_CASE(without_a_connected_board_each_image_is_read_after_the_search)
{
    requireTestNetwork();
    board loader{1, "10.77.1.20", {"--boot-loader", "--hwid", idLoader}};
    scratchDir dir("qzsmc-fw");
    writeFile(dir.path() / "arm.bin", image(100, 6));
    writeFile(dir.path() / "fpga.bin", image(1000, 7));

    std::size_t from = 0;
    auto r = runUpdate(dir, {"ARM missing.bin", "FPGA fpga.bin"}, {},
                       {"updateFirmware", "{", "ARM arm.bin", "FPGA missing.bin", "}"});
    BOOST_TEST(r.process.out == text({notConnected, notConnected, "updating ARM with firmware from <arm.bin>...done"}));
    BOOST_TEST(r.verdicts["update_firmware"] ==
               "failed 2/2 | File <missing.bin> not found | File <missing.bin> not found");
    BOOST_TEST(loader.udpDatagrams(0).size() == 2u, "one search per command");
    BOOST_TEST(tcpCodes(loader, from) == text({"accept", "02", "07", "08 x128", "09 x128", "0c", "01", "close"}));
}

BOOST_AUTO_TEST_CASE(a_connected_board_is_updated_through_its_boot_loader_and_comes_back_with_the_new_revision)
{
    requireTestNetwork();
    board b{1, "10.77.1.10", {"--hwid", idBoard}};
    scratchDir dir("qzsmc-fw");
    // 2 sectors of ARM image with the revision the new firmware reports, 2 FPGA blocks.
    std::string arm = image(40000, 3);
    const std::string revision = "QZ_SMC fw 2.0 update test";
    arm.replace(1000, revision.size() + 1, revision + '\0');
    writeFile(dir.path() / "arm.bin", arm);
    writeFile(dir.path() / "fpga.bin", image(1000, 4));

    std::size_t from = 0, fromRestart = 0;
    auto r = runUpdate(dir, {"ARM arm.bin", "FPGA fpga.bin"}, {"connect"}, {"connect", "updateFirmware { FPGA fpga.bin }"});
    BOOST_TEST(r.process.out == text({"current revision: QZ_SMC sim 1.0",
                                      "updating ARM with firmware from <arm.bin>...done",
                                      "updating FPGA with firmware from <fpga.bin>...done",
                                      "current revision: " + revision,
                                      "updating FPGA with firmware from <fpga.bin>...done"}));
    BOOST_TEST(r.verdicts["update_firmware"] == "passed 6/0");

    // Each time the boot loader came up at the board's address, which the terminal prohibits: it is
    // moved to a new one in the local subnet, with control port 10000, and connected there.
    // The drawn last byte is in 2 to 253 and not the board's 10; the board moved there.
    const std::regex draw("(will set device address 10\\.77\\.1\\.)(\\d+)(,.*)");
    std::string info;
    Lines drawn;
    for (const std::string& line : terminalLog(dir.path(), "[btldr][info] ")) {
        std::smatch m;
        if (std::regex_match(line, m, draw)) drawn.push_back(m[2]);
        info += std::regex_replace(line, draw, "$1v$3") + "\n";
    }
    const std::string prohibited = "address 10.77.1.10 is prohibited",
                      moved = "will set device address 10.77.1.v, default gateway 10.77.1.1, port 10000 and use it "
                              "for connection",
                      fpgaDone = "FPGA firmware updated, 1000 bytes (complemented up to 2 blocks of 528 bytes each) written";
    BOOST_TEST(info == text({prohibited, moved,
                             "ARM firmware updated, 40000 original size,  2 sectors of 32768 bytes each erased, "
                             "256 blocks of 256 bytes each written and verified",
                             fpgaDone, prohibited, moved, fpgaDone}));
    BOOST_TEST_REQUIRE(drawn.size() == 2u);
    for (const std::string& v : drawn) BOOST_TEST((std::stoi(v) >= 2 && std::stoi(v) <= 253 && v != "10"), v);
    BOOST_TEST(b.waitForLogText("moved 10.77.1." + drawn[1], std::chrono::seconds(1)).has_value());

    const std::string intoLoader = "BOOT_LOADER BOOT_LOADER sim 1.0", intoFirmware = "QZ_SMC " + revision;
    BOOST_TEST(text(boardLog(b, fromRestart, "restart ")) == text({intoLoader, intoFirmware, intoLoader, intoFirmware}));
    // The board: its variables zeroed as a disconnect does, then told to restart, and nothing after
    // that; its boot loader: hwId read for the trailer, erased, written, read back, started and reset;
    // then the new firmware likewise.
    BOOST_TEST(tcpCodes(b, from) ==
               text({"accept", "2a x5", "0b", "close", "accept", "02", "07 x2", "08 x256", "09 x256", "26 x2", "25 x2",
                     "0c", "01", "close", "accept", "2a x5", "0b", "close", "accept", "26 x2", "25 x2", "0c", "01",
                     "close"}));
}

// Wherever its boot loader comes up, the board is parked and its variables are zeroed before it is told
// to restart; after that its link sends nothing and is not opened again. The parking keeps the phase
// reference: the motor moved off phase 0 before the update shows no phase difference after it.
BOOST_AUTO_TEST_CASE(the_board_is_parked_before_its_restart_wherever_its_boot_loader_comes_up)
{
    requireTestNetwork();
    const std::pair<const char*, Lines> placements[] = {
        {"at the board's address", {}},
        {"elsewhere in the subnet", {"--boot-ip", "10.77.1.77"}},
        {"in another subnet", {"--boot-ip", "10.88.1.10"}},
    };
    const Lines zeroed = {"0b002a0c00000000000000", "0b002a0a00000000000000", "0b002a0900000000000000",
                          "0b002a0800000000000000", "0b002a0700000000000000"};
    for (const auto& [where, options] : placements) {
        BOOST_TEST_CONTEXT(where)
        {
            board b{1, "10.77.1.10", Lines{"--hwid", idBoard, "--time-scale", "100"} + options};
            scratchDir dir("qzsmc-fw");
            writeFile(dir.path() / "arm.bin", image(100, 8));
            writeFile(dir.path() / "fpga.bin", image(1000, 9));
            std::size_t from = 0;
            auto r = runScript(dir.path(), "firmware.info", "update_firmware",
                               {"hwId " + idBoard, "defaultSpeed 1073741824", "defaultAccel 16777216"},
                               {"connect", "init", "moveMotor { pos 1000 }", "updateFirmware", "{", "ARM arm.bin",
                                "FPGA fpga.bin", "}", "search", "connect", "init", "checkPhase"});
            BOOST_TEST(r.verdicts["update_firmware"].rfind("passed ", 0) == 0u, r.verdicts["update_firmware"]);
            BOOST_TEST(r.process.out.find(text({"current revision: QZ_SMC sim 1.0",
                                                "updating ARM with firmware from <arm.bin>...done",
                                                "updating FPGA with firmware from <fpga.bin>...done"})) !=
                           std::string::npos,
                       r.process.out);
            const std::string phase = text({"device initialized", "STEP_CNT: 0, phase: 0, diff: 0"});
            BOOST_TEST(r.process.out.substr(r.process.out.size() - std::min(r.process.out.size(), phase.size())) ==
                       phase);
            // Before the update, and when the terminal lets the board go at the end.
            BOOST_TEST(terminalLog(dir.path(), "[qz_smc][info] parking motor with phase ") ==
                       (Lines{"1000 from 1000 to 0", "0 from 0 to 0"}), boost::test_tools::per_element());

            // The restart follows the five variable writes; the connection ends with it.
            const Lines tcp = boardLog(b, from, "tcp ");
            const auto restart = std::find(tcp.begin(), tcp.end(), "03000b");
            BOOST_TEST_REQUIRE((restart - tcp.begin() >= 5 && restart + 1 < tcp.end()), text(tcp));
            BOOST_TEST(Lines(restart - 5, restart) == zeroed, boost::test_tools::per_element());
            BOOST_TEST(*(restart + 1) == "close");
            // The motor controller's link is closed once the board dropped it, with no attempt to reconnect.
            Lines link;
            for (const std::string& line : terminalLog(dir.path(), "[net]["))
                if (line.rfind("trace]", 0) != 0) link.push_back(line);
            const auto dropped = std::find(link.begin(), link.end(), "info] socked 0 disconnected");
            BOOST_TEST_REQUIRE((dropped != link.end() && dropped + 1 != link.end()), text(link));
            BOOST_TEST(*(dropped + 1) == "info] disconnected");
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
