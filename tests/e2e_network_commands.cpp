// End-to-end: the terminal's "search", "displayConfig" and "configure_network" run by the real
// qzsmctest against simulated boards. Runs under tools/testnet with two LANs: 10.77.1.1/24
// (interface 1) and 172.20.2.1/24 (interface 2). A search takes a second per interface and any
// other request a second on an interface where no board answers, so each script groups the
// commands that need the same boards.
#define BOOST_TEST_MODULE e2e_network_commands
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/terminal.hpp"
#include "support/testnet.hpp"

using Lines = std::vector<std::string>;

namespace {

const std::string idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
const std::string idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";
const std::string zeroId(40, '0');
const std::string searchHeader = "searching for device with id QZ_SMC on interfaces:";

struct inTestNetwork {
    inTestNetwork() { qz::test::requireTestNetwork(); }
};

// A board's network record as the tests state it.
struct netRecord {
    std::string ip, gw, mask, dns1, dns2;
    std::string mac;  // 12 lower-case hex digits
    std::string name;
    unsigned dhcp, ctrlPort;
};

const netRecord recordA{"10.77.1.10", "10.77.1.1", "255.255.255.0", "1.1.1.1", "8.8.8.8",
                        "0200000000aa", "bench-A", 0, 10000};
const netRecord recordB{"172.20.2.10", "172.20.2.1", "255.255.255.0", "9.9.9.9", "0.0.0.0",
                        "0200000000bb", "bench-B", 1, 10010};

std::string hexText(const std::string& bytes)
{
    std::string hex;
    char text[3];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%02x", c);
        hex += text;
    }
    return hex;
}

Lines concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// "displayConfig" output for one interface: the 16 name bytes come out cut or NUL-filled.
Lines configAt(const std::string& interface, const std::string& hwId, const netRecord& r)
{
    std::string mac = "MAC:  ", name = r.name.substr(0, 16);
    for (std::size_t i = 0; i < 12; i += 2)
        mac += (i ? "-" : "") + r.mac.substr(i, 2);
    name.resize(16, '\0');
    return {"Device configuration at " + interface, "hwId " + hwId, "IP   " + r.ip, "GW   " + r.gw,
            "Mask " + r.mask, "DNS1 " + r.dns1, "DNS2 " + r.dns2, mac, "Name " + name,
            std::string("DHCP ") + (r.dhcp ? "1" : "0"), "CtrlPort " + std::to_string(r.ctrlPort)};
}

// Board options that give it the record (its address and mask come from the LAN).
std::vector<std::string> boardOptions(const std::string& hwId, const netRecord& r, const std::string& revision = "")
{
    std::vector<std::string> options{"--hwid", hwId,   "--gw",   r.gw,   "--dns1", r.dns1,
                                     "--dns2", r.dns2, "--mac",  r.mac,  "--name", r.name,
                                     "--dhcp", std::to_string(r.dhcp), "--ctrl-port", std::to_string(r.ctrlPort)};
    if (!revision.empty())
        options.insert(options.end(), {"--revision", revision});
    return options;
}

// Runs root keys and "main" commands; the run must end on its own.
qz::test::terminalRun runMain(const Lines& rootKeys, const Lines& commands)
{
    auto run = qz::test::runMainScript(rootKeys, commands);
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << run.process.out << "stderr:\n" << run.process.err);
    BOOST_REQUIRE_MESSAGE(!run.process.timedOut, "qzsmctest did not finish: " << run.process.describe());
    BOOST_TEST(run.process.termSignal == 0);
    return run;
}

}  // namespace

BOOST_FIXTURE_TEST_SUITE(network_commands, inTestNetwork)

BOOST_AUTO_TEST_CASE(search_pingId_useHwId_and_displayConfig)
{
    qz::test::board a(1, recordA.ip, boardOptions(idA, recordA, "rev A"));
    qz::test::board b(2, recordB.ip, boardOptions(idB, recordB, "QZ_SMC TMC 2.0"));

    // Without a root hwId every board answers the zero id. With another device id nothing answers.
    const auto anyId = runMain({}, {"displayConfig", "pingId QZ_OTHER", "search"});
    BOOST_TEST(anyId.events == concat({{"enter main"}, configAt("10.77.1.1", zeroId, recordA),
                                       configAt("172.20.2.1", zeroId, recordB),
                                       {"searching for device with id QZ_OTHER on interfaces:", "1) 10.77.1.1",
                                        "2) 172.20.2.1", "error: check !discovered_.empty() has failed"}}),
               boost::test_tools::per_element());
    BOOST_TEST(a.udpDatagrams(4) == Lines{zeroId + "04"}, boost::test_tools::per_element());
    BOOST_TEST(a.udpDatagrams(0) == Lines{zeroId + "00" + hexText("QZ_OTHER")}, boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(anyId.report, "main") == "failed 3/1");

    // Separators make the root hwId invalid, yet the digits parsed are a's whole id. Index 1 of
    // useHwId counts the devices of all interfaces (b) and replaces it; index 2 is past the end.
    std::string separated;
    for (std::size_t i = 0; i < idA.size(); i += 2)
        separated += (i ? "-" : "") + idA.substr(i, 2);
    const auto run = runMain({"hwId " + separated}, {"displayConfig", "search { useHwId 1 }", "displayConfig",
                                                     "search { useHwId 2 }", "displayConfig"});
    const Lines searched{searchHeader,
                         "1) 10.77.1.1",
                         "deviceAddress 10.77.1.10",
                         "hwId " + idA + " ; revision : rev A",
                         "2) 172.20.2.1",
                         "deviceAddress 172.20.2.10",
                         "hwId " + idB + " ; revision : QZ_SMC TMC 2.0"};
    const Lines configB = configAt("172.20.2.1", idB, recordB);
    BOOST_TEST(run.events == concat({{"enter main", "error: check hwIdFromString(configHwId,*hwIdStr) has failed"},
                                     configAt("10.77.1.1", idA, recordA), searched, configB, searched, configB}),
               boost::test_tools::per_element());
    // 5 commands, 2 searches that found something, 3 hwId parses of which the first failed.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 9/1");
}

BOOST_AUTO_TEST_CASE(an_empty_network_fails_search_and_configure_network)
{
    const auto run = runMain({}, {"search { useHwId 0 }", "configure_network { Name nobody }"});
    BOOST_TEST(run.events == Lines({"enter main", searchHeader, "1) 10.77.1.1", "2) 172.20.2.1",
                                    "error: check !discovered_.empty() has failed",
                                    "error: check deviceFound has failed"}),
               boost::test_tools::per_element());
    BOOST_TEST(run.process.err.empty(), run.process.err);
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 2/2");
}

BOOST_AUTO_TEST_CASE(configure_network_changes_the_board_and_setDefault_resets_it)
{
    netRecord start = recordA;
    start.dhcp = 7;
    qz::test::board a(1, start.ip, boardOptions(idA, start));
    // "true" is no int: DHCP keeps 7. 70000 wraps to 4464. The name keeps 16 characters, no NUL.
    // Then separators void the MAC (the board's stays) and DHCP takes the low byte of 256.
    const auto run = runMain({"hwId " + idA},
                             {"configure_network { IP 10.77.1.20 GW 10.77.1.254 Mask 255.255.0.0 DNS1 10.77.1.53 "
                              "DNS2 9.9.9.9 MAC 001A2B3C4D5E Name ABCDEFGHIJKLMNOPQRST DHCP true CtrlPort 70000 }",
                              "displayConfig",
                              "configure_network { MAC 00-11-22-33-44-55 Name short DHCP 256 CtrlPort 10001 }",
                              "displayConfig",
                              "configure_network { setDefault 0 }",
                              "displayConfig"});
    const netRecord first{"10.77.1.20", "10.77.1.254", "255.255.0.0", "10.77.1.53", "9.9.9.9",
                          "001a2b3c4d5e", "ABCDEFGHIJKLMNOP", 7, 4464};
    netRecord second = first;
    second.name = "short";
    second.dhcp = 0;
    second.ctrlPort = 10001;
    // Without logger.xml the reset's info record goes to the logging library's console sink; it
    // follows "enter main" and the two printed records.
    Lines events = run.events;
    const std::size_t reset = 1 + 2 * 11;
    BOOST_REQUIRE_GT(events.size(), reset);
    BOOST_TEST(events[reset].find("setting default network configuration for hwId=" + idA) != std::string::npos,
               events[reset]);
    events.erase(events.begin() + reset);
    BOOST_TEST(events == concat({{"enter main"}, configAt("10.77.1.1", idA, first), configAt("10.77.1.1", idA, second),
                                 configAt("10.77.1.1", idA, start)}),
               boost::test_tools::per_element());
    BOOST_TEST(run.process.err.empty(), run.process.err);
    BOOST_TEST(a.udpDatagrams(6) == Lines{idA + "06"}, boost::test_tools::per_element());
    Lines moves;
    for (const std::string& line : a.logLines())
        if (line.rfind("moved ", 0) == 0)
            moves.push_back(line);
    BOOST_TEST(moves == Lines({"moved 10.77.1.20", "moved 10.77.1.10"}), boost::test_tools::per_element());
    // Per configure_network: command, hwId, found once, read-back (none after a reset), deviceFound;
    // per displayConfig: command, hwId.
    BOOST_TEST(run.process.exitCode == 0);
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 20/0");

    // Without a root hwId the zero id still configures the board, but setDefault is refused.
    const auto withoutId = runMain({}, {"configure_network { IP 10.77.1.21 }", "configure_network { setDefault }",
                                        "displayConfig"});
    start.ip = "10.77.1.21";
    BOOST_TEST(withoutId.events == concat({{"enter main"}, configAt("10.77.1.1", zeroId, start)}),
               boost::test_tools::per_element());
    BOOST_TEST(withoutId.process.err == "hwId not defined - can't set default network configuration");
    BOOST_TEST(a.udpDatagrams(6).size() == 1u, a.logTail());
    BOOST_TEST(qz::test::caseSummary(withoutId.report, "main") == "passed 8/0");
}

BOOST_AUTO_TEST_CASE(a_board_id_on_two_interfaces_is_a_duplicate_yet_configured_on_both)
{
    qz::test::board first(1, recordA.ip, boardOptions(idA, recordA));
    qz::test::board second(2, recordB.ip, boardOptions(idA, recordB));
    const auto run = runMain({"hwId " + idA}, {"configure_network { Name twin }", "displayConfig"});
    netRecord twinA = recordA, twinB = recordB;
    twinA.name = twinB.name = "twin";
    BOOST_TEST(run.events == concat({{"enter main", "error: duplicate device hwId found"},
                                     configAt("10.77.1.1", idA, twinA), configAt("172.20.2.1", idA, twinB)}),
               boost::test_tools::per_element());
    // Commands 2, hwId parses 2, found-once passes 1 (fails 1), read-backs 2, deviceFound 1.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 8/1");
}

BOOST_AUTO_TEST_SUITE_END()
