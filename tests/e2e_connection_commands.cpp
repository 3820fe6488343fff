// End-to-end: the terminal's "connect", "disconnect", "init", "readNetworkConfig" and
// "readHardwareId" run by the real qzsmctest against simulated boards. What each board
// received is read back from its traffic log. Runs under tools/testnet with two LANs:
// 10.77.1.1/24 (LAN 1) and 172.20.2.1/24 (LAN 2).
#define BOOST_TEST_MODULE e2e_connection_commands
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/terminal.hpp"
#include "support/testnet.hpp"

using Lines = std::vector<std::string>;

namespace {

// The first has leading zeros, which the printed id must keep.
const std::string idA = "00010203040506070809000a0b0c0d0e0f000102";
const std::string idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";

const std::string guardFailed = "critical check c_ && c_->connected() has failed";
const std::string connectFailed = "error: check c_->connected() has failed";

struct inTestNetwork {
    inTestNetwork() { qz::test::requireTestNetwork(); }
};

// Board options for a fully stated network record, and the nine lines the terminal prints for it
// (address and mask come from the board's LAN).
std::vector<std::string> recordOptions(const std::string& hwId)
{
    return {"--hwid", hwId,  "--gw",   "10.77.1.254", "--dns1", "10.77.1.53", "--dns2",      "9.9.9.9",
            "--mac",  "02:5a:00:00:07:01", "--name", "bench-board-0007", "--dhcp", "1", "--ctrl-port", "10000"};
}

Lines printedRecord(const std::string& ip)
{
    return {"IP   " + ip,           "GW   10.77.1.254", "Mask 255.255.255.0", "DNS1 10.77.1.53",
            "DNS2 9.9.9.9",         "MAC:  02-5a-00-00-07-01", "Name bench-board-0007", "DHCP 1",
            "CtrlPort 10000"};
}

Lines concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// An INFO file: root keys, then the "main" section with one command per line.
std::string script(const Lines& rootKeys, const Lines& commands)
{
    std::string text;
    for (const std::string& k : rootKeys)
        text += k + "\n";
    text += "main\n{\n";
    for (const std::string& c : commands)
        text += "    " + c + "\n";
    return text + "}\n";
}

// Records go to a file, as with a deployed terminal, so stdout holds only the commands' lines.
const char* const loggerXml = "<config><synchronous>true</synchronous><folder>Logs</folder>"
                              "<level>trace</level></config>\n";

// Runs the "main" test case of a script in a fresh directory.
qz::test::terminalRun runScript(const std::string& text)
{
    qz::test::scratchDir dir("qzconn");
    qz::test::writeFile(dir.path() / "qzsmc_test.info", text);
    qz::test::writeFile(dir.path() / "logger.xml", loggerXml);
    qz::test::terminalRun r = qz::test::runTerminal(dir.path(), "main", std::chrono::seconds(60));
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << r.process.out << "stderr:\n" << r.process.err);
    BOOST_REQUIRE_MESSAGE(!r.process.timedOut, "qzsmctest did not finish");
    // Nothing goes to stderr here; a sanitizer report in the terminal would.
    BOOST_TEST(r.process.err.empty(), r.process.err);
    return r;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A board's control-connection events from line `from` of its log: "accept", "close" or a frame's hex.
Lines tcpEvents(const qz::test::board& b, std::size_t from = 0)
{
    Lines events;
    const Lines lines = b.logLines();
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("tcp ", 0) == 0)
            events.push_back(lines[i].substr(4));
    return events;
}

// The command codes of the frames among the events, as two hex digits each.
Lines frameCodes(const Lines& events)
{
    Lines codes;
    for (const std::string& e : events)
        if (e != "accept" && e != "close")
            codes.push_back(e.substr(4, 2));
    return codes;
}

// The writes a disconnect (or the controller's destructor) sends before it closes.
const Lines zeroWrites{"0b002a0c00000000000000", "0b002a0a00000000000000", "0b002a0900000000000000",
                       "0b002a0800000000000000", "0b002a0700000000000000"};

bool waitForClose(const qz::test::board& b, std::size_t from)
{
    return b.waitForLogLine([](const std::string& l) { return l == "tcp close"; }, std::chrono::seconds(3), from)
        .has_value();
}

}  // namespace

BOOST_FIXTURE_TEST_SUITE(connection_commands, inTestNetwork)

BOOST_AUTO_TEST_CASE(connect_by_discovery_then_identify_initialise_and_disconnect)
{
    qz::test::board board(1, "10.77.1.10", recordOptions(idA));

    const auto r = runScript(script({}, {"connect", "readHardwareId", "readNetworkConfig", "init", "disconnect"}));
    BOOST_TEST(r.events == concat({{"enter main", "hwId " + idA, "device network configuration:"},
                                   printedRecord("10.77.1.10"),
                                   {"device initialized"}}),
               boost::test_tools::per_element());
    // 5 command lookups, the connect check and 3 guards.
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "passed 9/0");
    BOOST_TEST(r.process.exitCode == 0);

    const Lines events = tcpEvents(board);
    BOOST_REQUIRE(events.size() == 33u);
    BOOST_TEST(events.front() == "accept");
    Lines expectedCodes{"02", "04", "13", "12", "14"};
    expectedCodes.insert(expectedCodes.end(), 26, "2a");
    BOOST_TEST(frameCodes(events) == expectedCodes, boost::test_tools::per_element());
    BOOST_TEST(Lines(events.end() - 6, events.end() - 1) == zeroWrites, boost::test_tools::per_element());
    BOOST_TEST(events.back() == "close");

    // "disconnect" drops the controller: the guard that follows ends the case.
    const std::size_t mark = board.logLines().size();
    const auto again = runScript(script({}, {"connect", "disconnect", "readHardwareId", "sleep 0"}));
    BOOST_TEST(again.events == Lines{"enter main"}, boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(again.report, "main") == "aborted 4/1");
    BOOST_TEST(contains(again.process.out, guardFailed), again.process.out);
    BOOST_TEST(tcpEvents(board, mark) == concat({{"accept"}, zeroWrites, {"close"}}),
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(root_hwId_picks_its_board_among_two)
{
    // A answers every datagram late, so B is the first board found.
    qz::test::board a(1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "150"});
    qz::test::board b(1, "10.77.1.11", {"--hwid", idB});

    struct row {
        Lines rootKeys;
        const std::string& expected;
    };
    for (const row& r : {row{{}, idB}, row{{"hwId " + idA}, idA}}) {
        BOOST_TEST_CONTEXT("expecting " << r.expected)
        {
            const std::size_t markA = a.logLines().size(), markB = b.logLines().size();
            const auto run = runScript(script(r.rootKeys, {"connect", "readHardwareId"}));
            BOOST_TEST(run.events == (Lines{"enter main", "hwId " + r.expected}), boost::test_tools::per_element());
            BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 4/0");
            const bool pickA = r.expected == idA;
            const qz::test::board& chosen = pickA ? a : b;
            const std::size_t chosenMark = pickA ? markA : markB;
            BOOST_REQUIRE(waitForClose(chosen, chosenMark));
            BOOST_TEST(tcpEvents(chosen, chosenMark) == concat({{"accept", "030002"}, zeroWrites, {"close"}}),
                       boost::test_tools::per_element());
            const qz::test::board& other = pickA ? b : a;
            BOOST_TEST(tcpEvents(other, pickA ? markB : markA).empty(), other.logTail());
        }
    }
}

BOOST_AUTO_TEST_CASE(root_deviceAddress_reaches_a_board_on_the_second_lan)
{
    qz::test::board x(1, "10.77.1.10", {"--hwid", idA});
    qz::test::board y(2, "172.20.2.10", recordOptions(idB));

    const auto r = runScript(
        script({"deviceAddress 172.20.2.10", "hwId " + idB}, {"connect", "readHardwareId", "readNetworkConfig"}));
    BOOST_TEST(r.events == concat({{"enter main", "hwId " + idB, "device network configuration:"},
                                   printedRecord("172.20.2.10")}),
               boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "passed 6/0");
    BOOST_TEST(frameCodes(tcpEvents(y)) == (Lines{"02", "04", "2a", "2a", "2a", "2a", "2a"}),
               boost::test_tools::per_element());
    // Nothing was searched for on the first LAN.
    BOOST_TEST(x.logLines().empty(), x.logTail());

    // Without "hwId" the revision read finds no board with the all-zero id.
    const std::size_t mark = y.logLines().size();
    const auto missing = runScript(script({"deviceAddress 172.20.2.10"}, {"connect", "readHardwareId"}));
    BOOST_TEST(missing.events == (Lines{"enter main", "exception: std::exception"}),
               boost::test_tools::per_element());
    BOOST_TEST(contains(missing.process.out, "Dynamic exception type: boost::wrapexcept<"
                                             "zk::hw::controller_base<qz::smc::device_options>::errorDeviceNotFound>"),
               missing.process.out);
    BOOST_TEST(qz::test::caseSummary(missing.report, "main") == "aborted 1/1");
    BOOST_TEST(tcpEvents(y, mark).empty(), y.logTail());
}

BOOST_AUTO_TEST_CASE(a_second_connect_replaces_the_first)
{
    qz::test::board p(1, "10.77.1.10", {"--hwid", idA});
    qz::test::board q(1, "10.77.1.11", {"--hwid", idB, "--device-id", "QZ_SMC_B"});

    const auto r = runScript(
        script({}, {"connect", "readHardwareId", "pingId QZ_SMC_B", "connect", "readHardwareId"}));
    BOOST_TEST(r.events == (Lines{"enter main", "hwId " + idA, "hwId " + idB}), boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "passed 9/0");
    // The first controller was disconnected when the second replaced it; the second at the end of the case.
    BOOST_REQUIRE(waitForClose(p, 0));
    BOOST_TEST(tcpEvents(p) == concat({{"accept", "030002"}, zeroWrites, {"close"}}),
               boost::test_tools::per_element());
    BOOST_REQUIRE(waitForClose(q, 0));
    BOOST_TEST(tcpEvents(q) == concat({{"accept", "030002"}, zeroWrites, {"close"}}),
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(guarded_commands_end_the_case_without_a_connection)
{
    for (const char* command : {"init", "readHardwareId", "readNetworkConfig"}) {
        BOOST_TEST_CONTEXT(command)
        {
            const auto r = runScript(script({}, {command, "sleep 0"}));
            BOOST_TEST(r.events == Lines{"enter main"}, boost::test_tools::per_element());
            BOOST_TEST(qz::test::caseSummary(r.report, "main") == "aborted 1/1");
            BOOST_TEST(contains(r.process.out, guardFailed), r.process.out);
        }
    }
    // Without a controller "disconnect" does nothing and the case goes on.
    const auto r = runScript(script({}, {"disconnect", "sleep 0"}));
    BOOST_TEST(r.events == (Lines{"enter main", "sleeping for 0 ms"}), boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "passed 2/0");
    BOOST_TEST(r.process.exitCode == 0);
}

BOOST_AUTO_TEST_CASE(a_board_refusing_tcp_fails_the_connect_check_and_the_next_guard)
{
    qz::test::board board(1, "10.77.1.10", {"--hwid", idA, "--tcp-refuse"});
    const auto r =
        runScript(script({"deviceAddress 10.77.1.10", "hwId " + idA}, {"connect", "readHardwareId", "sleep 0"}));
    BOOST_TEST(r.events == (Lines{"enter main", connectFailed}), boost::test_tools::per_element());
    BOOST_TEST(contains(r.process.out, guardFailed), r.process.out);
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "aborted 2/2");
    // The connect waits out its 5 s limit.
    BOOST_TEST(r.elapsed.count() >= 5000);
    BOOST_TEST(r.elapsed.count() < 12000);
    BOOST_TEST(tcpEvents(board).empty(), board.logTail());
}

BOOST_AUTO_TEST_SUITE_END()
