// End-to-end: the terminal's "connect", "disconnect", "init", "readNetworkConfig" and "readHardwareId"
// run by the real qzsmctest against simulated boards, whose traffic logs show what they received.
// Runs under tools/testnet with LAN 1, 10.77.1.1/24, and LAN 2, 172.20.2.1/24.
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
const std::string idC = "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4";
const std::string guardFailed = "critical check c_ && c_->connected() has failed";

struct inTestNetwork {
    inTestNetwork() { qz::test::requireTestNetwork(); }
};

// Board options for a fully stated network record; address and mask come from the board's LAN.
std::vector<std::string> recordOptions(const std::string& hwId)
{
    return {"--hwid", hwId,  "--gw",   "10.77.1.254", "--dns1", "10.77.1.53", "--dns2",      "9.9.9.9",
            "--mac",  "02:5a:00:00:07:01", "--name", "bench-board-0007", "--dhcp", "1", "--ctrl-port", "10000"};
}

// What "readNetworkConfig" prints for that record.
Lines printedRecord(const std::string& ip)
{
    return {"device network configuration:", "IP   " + ip, "GW   10.77.1.254", "Mask 255.255.255.0",
            "DNS1 10.77.1.53", "DNS2 9.9.9.9", "MAC:  02-5a-00-00-07-01", "Name bench-board-0007", "DHCP 1",
            "CtrlPort 10000"};
}

Lines concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Runs root keys and "main" commands; records go to a file, as with a deployed terminal.
qz::test::terminalRun runMain(const Lines& rootKeys, const Lines& commands)
{
    qz::test::terminalRun r = qz::test::runMainScript(rootKeys, commands, true);
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << r.process.out << "stderr:\n" << r.process.err);
    BOOST_REQUIRE_MESSAGE(!r.process.timedOut, "qzsmctest did not finish");
    BOOST_TEST(r.process.err.empty(), r.process.err);  // a sanitizer report would land here
    return r;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A board's control-connection events ("accept", "close", a frame's hex or only its command code),
// once a connection it accepted has closed.
Lines tcpEvents(const qz::test::board& b, bool codesOnly = false)
{
    if (b.waitForLogText("tcp accept", std::chrono::milliseconds(0)))
        b.waitForLogLine([](const std::string& l) { return l == "tcp close"; }, std::chrono::seconds(3));
    Lines events;
    for (const std::string& line : b.logLines())
        if (line.rfind("tcp ", 0) == 0)
            events.push_back(codesOnly && line != "tcp accept" && line != "tcp close" ? line.substr(8, 2)
                                                                                      : line.substr(4));
    return events;
}

// A connect and one "readHardwareId", then the writes a disconnect sends before it closes.
const Lines identifiedOnly{"accept", "030002", "0b002a0c00000000000000", "0b002a0a00000000000000",
                           "0b002a0900000000000000", "0b002a0800000000000000", "0b002a0700000000000000", "close"};

}  // namespace

BOOST_FIXTURE_TEST_SUITE(connection_commands, inTestNetwork)

BOOST_AUTO_TEST_CASE(connect_by_discovery_or_root_hwId_and_a_second_connect_replaces_the_first)
{
    // a answers every datagram late, so b is found first; c answers another device id.
    qz::test::board a(1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "150"});
    qz::test::board b(1, "10.77.1.11", recordOptions(idB));
    qz::test::board c(1, "10.77.1.12", {"--hwid", idC, "--device-id", "QZ_SMC_B"});

    // Without a controller "disconnect" does nothing; once it has dropped one the guard ends the case.
    // 10 commands looked up, 2 connect checks, 4 guards passed and the last failed.
    const auto r = runMain({}, {"disconnect", "connect", "readHardwareId", "readNetworkConfig", "init",
                                "pingId QZ_SMC_B", "connect", "readHardwareId", "disconnect", "readHardwareId",
                                "sleep 0"});
    BOOST_TEST(r.events == concat({{"enter main", "hwId " + idB}, printedRecord("10.77.1.11"),
                                   {"device initialized", "hwId " + idC}}),
               boost::test_tools::per_element());
    BOOST_TEST(contains(r.process.out, guardFailed), r.process.out);
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "aborted 16/1");
    // b: identify, read the record, init (read, write, commit, 21 variables), then the 5 zero writes.
    Lines codes{"accept", "02", "04", "13", "12", "14"};
    codes.insert(codes.end(), 26, "2a");
    codes.push_back("close");
    BOOST_TEST(tcpEvents(b, true) == codes, boost::test_tools::per_element());
    BOOST_TEST(tcpEvents(c) == identifiedOnly, boost::test_tools::per_element());
    BOOST_TEST(tcpEvents(a).empty(), a.logTail());

    // The root hwId picks the late board.
    const auto picked = runMain({"hwId " + idA}, {"connect", "readHardwareId"});
    BOOST_TEST(picked.events == (Lines{"enter main", "hwId " + idA}), boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(picked.report, "main") == "passed 4/0");
    BOOST_TEST(tcpEvents(a) == identifiedOnly, boost::test_tools::per_element());
    BOOST_TEST(tcpEvents(b).size() == codes.size(), b.logTail());
}

BOOST_AUTO_TEST_CASE(root_deviceAddress_reaches_its_board_only_with_the_hwId)
{
    qz::test::board x(1, "10.77.1.10", {"--hwid", idA, "--tcp-refuse"});
    qz::test::board y(2, "172.20.2.10", recordOptions(idB));

    const auto r =
        runMain({"deviceAddress 172.20.2.10", "hwId " + idB}, {"connect", "readHardwareId", "readNetworkConfig"});
    BOOST_TEST(r.events == concat({{"enter main", "hwId " + idB}, printedRecord("172.20.2.10")}),
               boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(r.report, "main") == "passed 6/0");
    BOOST_TEST(tcpEvents(y, true) == (Lines{"accept", "02", "04", "2a", "2a", "2a", "2a", "2a", "close"}),
               boost::test_tools::per_element());
    BOOST_TEST(x.logLines().empty(), x.logTail());  // nothing was searched for on LAN 1

    // Without "hwId" the revision read finds no board with the all-zero id, and the case ends.
    const std::size_t seen = tcpEvents(y).size();
    const auto missing = runMain({"deviceAddress 172.20.2.10"}, {"connect", "readHardwareId"});
    BOOST_TEST(missing.events == (Lines{"enter main", "exception: std::exception"}),
               boost::test_tools::per_element());
    BOOST_TEST(contains(missing.process.out, "errorDeviceNotFound"), missing.process.out);
    BOOST_TEST(qz::test::caseSummary(missing.report, "main") == "aborted 1/1");
    BOOST_TEST(tcpEvents(y).size() == seen, y.logTail());

    // x refuses the control connection: the connect check fails after its 5 s, then the guard.
    const auto refused =
        runMain({"deviceAddress 10.77.1.10", "hwId " + idA}, {"connect", "readHardwareId", "sleep 0"});
    BOOST_TEST(refused.events == (Lines{"enter main", "error: check c_->connected() has failed"}),
               boost::test_tools::per_element());
    BOOST_TEST(contains(refused.process.out, guardFailed), refused.process.out);
    BOOST_TEST(qz::test::caseSummary(refused.report, "main") == "aborted 2/2");
    BOOST_TEST(refused.elapsed.count() >= 5000);
    BOOST_TEST(tcpEvents(x).empty(), x.logTail());
}

BOOST_AUTO_TEST_SUITE_END()
