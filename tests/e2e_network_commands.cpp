// End-to-end: the terminal's "search", "displayConfig" and "configure_network" run by the real
// qzsmctest against simulated boards. Runs under tools/testnet with two LANs: 10.77.1.1/24
// (interface 1) and 172.20.2.1/24 (interface 2). A search takes a second per interface and any
// other request a second on an interface where no board answers, so each script groups the
// commands that need the same boards.
#define BOOST_TEST_MODULE e2e_network_commands
#include <boost/test/unit_test.hpp>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
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
const std::string failedHwIdParse = "error: check hwIdFromString(configHwId,*hwIdStr) has failed";

struct inTestNetwork {
    inTestNetwork() { qz::test::requireTestNetwork(); }
};

// A board's network record as the tests state it.
struct netRecord {
    std::string ip, gw, mask, dns1, dns2;
    std::string mac;  // 12 lower-case hex digits
    std::string name;
    unsigned dhcp;
    unsigned ctrlPort;
};

std::string hexByte(unsigned value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

std::string hexText(const std::string& bytes)
{
    std::string hex;
    for (unsigned char c : bytes)
        hex += hexByte(c);
    return hex;
}

std::string addressHex(const std::string& dotted)
{
    unsigned char bytes[4];
    BOOST_REQUIRE_MESSAGE(inet_pton(AF_INET, dotted.c_str(), bytes) == 1, "bad address in test: " << dotted);
    return hexText(std::string(reinterpret_cast<const char*>(bytes), 4));
}

// The 16 name bytes: cut or NUL-filled.
std::string nameField(const std::string& name)
{
    std::string field = name.substr(0, 16);
    field.resize(16, '\0');
    return field;
}

// The 45-byte record in wire order, as hex.
std::string wireHex(const netRecord& r)
{
    return addressHex(r.ip) + addressHex(r.gw) + addressHex(r.mask) + addressHex(r.dns1) + addressHex(r.dns2) +
           r.mac + hexText(nameField(r.name)) + hexByte(r.dhcp) + hexByte(r.ctrlPort) + hexByte(r.ctrlPort >> 8);
}

// The nine lines the terminal prints for a record.
Lines printed(const netRecord& r)
{
    std::string mac = "MAC:  ";
    for (std::size_t i = 0; i < 12; i += 2)
        mac += (i ? "-" : "") + r.mac.substr(i, 2);
    return {"IP   " + r.ip,
            "GW   " + r.gw,
            "Mask " + r.mask,
            "DNS1 " + r.dns1,
            "DNS2 " + r.dns2,
            mac,
            "Name " + nameField(r.name),
            std::string("DHCP ") + ((r.dhcp & 0xFF) ? "1" : "0"),
            "CtrlPort " + std::to_string(r.ctrlPort & 0xFFFF)};
}

// "displayConfig" output for one interface.
Lines configAt(const std::string& interface, const std::string& hwId, const netRecord& r)
{
    Lines lines{"Device configuration at " + interface, "hwId " + hwId};
    const Lines record = printed(r);
    lines.insert(lines.end(), record.begin(), record.end());
    return lines;
}

// Board options that give it the record (its address and mask come from the LAN).
std::vector<std::string> boardOptions(const std::string& hwId, const netRecord& r)
{
    return {"--hwid",      hwId,   "--gw",   r.gw,   "--dns1", r.dns1, "--dns2", r.dns2, "--mac", r.mac,
            "--name",      r.name, "--dhcp", std::to_string(r.dhcp), "--ctrl-port", std::to_string(r.ctrlPort)};
}

Lines concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The hex of every datagram of one UDP command the board received, in order.
Lines udpDatagrams(const qz::test::board& b, unsigned command)
{
    Lines found;
    for (const std::string& line : b.logLines())
        if (line.rfind("udp ", 0) == 0 && line.size() >= 4 + 42 && line.substr(4 + 40, 2) == hexByte(command))
            found.push_back(line.substr(4));
    return found;
}

bool logHas(const qz::test::board& b, const std::string& line)
{
    for (const std::string& l : b.logLines())
        if (l == line)
            return true;
    return false;
}

// Runs the "main" section of the script; the run must end on its own.
qz::test::terminalRun runMain(const qz::test::scratchDir& dir, const std::string& script)
{
    qz::test::writeFile(dir.path() / "qzsmc_test.info", script);
    auto run = qz::test::runTerminal(dir.path(), "main", std::chrono::seconds(60));
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << run.process.out << "stderr:\n" << run.process.err);
    BOOST_REQUIRE_MESSAGE(!run.process.timedOut, "qzsmctest did not finish: " << run.process.describe());
    BOOST_TEST(run.process.termSignal == 0);
    return run;
}

const netRecord recordA{"10.77.1.10", "10.77.1.1", "255.255.255.0", "1.1.1.1", "8.8.8.8",
                        "0200000000aa", "bench-A", 0, 10000};
const netRecord recordB{"172.20.2.10", "172.20.2.1", "255.255.255.0", "9.9.9.9", "0.0.0.0",
                        "0200000000bb", "bench-B", 1, 10010};

}  // namespace

BOOST_FIXTURE_TEST_SUITE(discovery, inTestNetwork)

BOOST_AUTO_TEST_CASE(search_lists_interfaces_and_useHwId_counts_across_them)
{
    qz::test::board a(1, recordA.ip, concat({boardOptions(idA, recordA), {"--revision", "rev A"}}));
    qz::test::board b(2, recordB.ip, concat({boardOptions(idB, recordB), {"--revision", "QZ_SMC TMC 2.0"}}));
    qz::test::scratchDir dir("qzsmc-e2enet");
    // Index 1 is the board of interface 2: the index counts the devices of all interfaces, and
    // replaces the file's hwId. With two boards found, index 2 is past the end: B's id stays.
    const auto run = runMain(dir, "hwId " + idA + "\n"
                                  "main\n{\n"
                                  "    search { useHwId 1 }\n"
                                  "    displayConfig\n"
                                  "    search { useHwId 2 }\n"
                                  "    displayConfig\n"
                                  "}\n");
    const Lines searched{searchHeader,
                         "1) 10.77.1.1",
                         "deviceAddress 10.77.1.10",
                         "hwId " + idA + " ; revision : rev A",
                         "2) 172.20.2.1",
                         "deviceAddress 172.20.2.10",
                         "hwId " + idB + " ; revision : QZ_SMC TMC 2.0"};
    const Lines configB = configAt("172.20.2.1", idB, recordB);
    BOOST_TEST(run.events == concat({{"enter main"}, searched, configB, searched, configB}),
               boost::test_tools::per_element());
    // Each board was asked both times, with B's id; A kept quiet.
    BOOST_TEST(udpDatagrams(a, 4) == Lines({idB + "04", idB + "04"}), boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(b, 4) == Lines({idB + "04", idB + "04"}), boost::test_tools::per_element());
    // Four commands, two searches that found something, two hwId parses.
    BOOST_TEST(run.process.exitCode == 0);
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 8/0");
}

BOOST_AUTO_TEST_CASE(pingId_changes_the_device_id_searched_for)
{
    qz::test::board smc(1, "10.77.1.10", {"--hwid", idA});
    qz::test::board other(2, "172.20.2.10", {"--hwid", idB, "--device-id", "QZ_OTHER", "--revision", "other 1"});
    qz::test::scratchDir dir("qzsmc-e2enet");
    const auto run = runMain(dir, "main\n{\n"
                                  "    pingId QZ_OTHER\n"
                                  "    search\n"
                                  "}\n");
    BOOST_TEST(run.events == Lines({"enter main", "searching for device with id QZ_OTHER on interfaces:",
                                    "1) 10.77.1.1", "2) 172.20.2.1", "deviceAddress 172.20.2.10",
                                    "hwId " + idB + " ; revision : other 1"}),
               boost::test_tools::per_element());
    // The QZ_SMC board was asked for the other id (zero hwId, command 0) and kept quiet.
    BOOST_TEST(udpDatagrams(smc, 0) == Lines({zeroId + "00" + hexText("QZ_OTHER")}),
               boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 3/0");
}

BOOST_AUTO_TEST_CASE(an_empty_network_fails_search_and_configure_network)
{
    qz::test::scratchDir dir("qzsmc-e2enet");
    const auto run = runMain(dir, "main\n{\n"
                                  "    search { useHwId 0 }\n"
                                  "    displayConfig\n"
                                  "    configure_network { Name nobody }\n"
                                  "}\n");
    // displayConfig prints and checks nothing without an answer; configure_network finds no board.
    BOOST_TEST(run.events == Lines({"enter main", searchHeader, "1) 10.77.1.1", "2) 172.20.2.1",
                                    "error: check !discovered_.empty() has failed",
                                    "error: check deviceFound has failed"}),
               boost::test_tools::per_element());
    BOOST_TEST(run.process.err.empty(), run.process.err);
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 3/2");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_FIXTURE_TEST_SUITE(display_config, inTestNetwork)

BOOST_AUTO_TEST_CASE(without_root_hwId_every_board_answers_the_zero_id)
{
    qz::test::board a(1, recordA.ip, boardOptions(idA, recordA));
    qz::test::board b(2, recordB.ip, boardOptions(idB, recordB));
    qz::test::scratchDir dir("qzsmc-e2enet");
    const auto run = runMain(dir, "main\n{\n    displayConfig\n}\n");
    BOOST_TEST(run.events == concat({{"enter main"}, configAt("10.77.1.1", zeroId, recordA),
                                     configAt("172.20.2.1", zeroId, recordB)}),
               boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(a, 4) == Lines({zeroId + "04"}), boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(b, 4) == Lines({zeroId + "04"}), boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 1/0");
}

BOOST_AUTO_TEST_CASE(an_invalid_root_hwId_fails_its_check_and_goes_out_as_parsed)
{
    qz::test::board a(1, recordA.ip, boardOptions(idA, recordA));
    qz::test::board b(2, recordB.ip, boardOptions(idB, recordB));
    qz::test::scratchDir dir("qzsmc-e2enet");
    // Separators make the text invalid, yet the digits parsed are A's whole id.
    std::string separated;
    for (std::size_t i = 0; i < idA.size(); i += 2)
        separated += (i ? "-" : "") + idA.substr(i, 2);
    const auto run = runMain(dir, "hwId " + separated + "\n"
                                  "main\n{\n"
                                  "    displayConfig\n"
                                  "    configure_network { Name renamed }\n"
                                  "}\n");
    netRecord renamed = recordA;
    renamed.name = "renamed";
    BOOST_TEST(run.events == concat({{"enter main", failedHwIdParse}, configAt("10.77.1.1", idA, recordA),
                                     {failedHwIdParse}}),
               boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(a, 5) == Lines({idA + "05" + wireHex(renamed)}), boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(b, 5).empty());
    // Commands 2, found once 1, read-back 1, deviceFound 1; the two parses failed.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 5/2");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_FIXTURE_TEST_SUITE(configure_network, inTestNetwork)

BOOST_AUTO_TEST_CASE(keys_build_the_record_and_the_board_takes_it)
{
    netRecord start = recordA;
    start.dhcp = 7;
    qz::test::board a(1, start.ip, boardOptions(idA, start));
    qz::test::scratchDir dir("qzsmc-e2enet");
    const auto run = runMain(dir, "hwId " + idA + "\n"
                                  "main\n{\n"
                                  "    configure_network\n    {\n"
                                  "        IP 10.77.1.20\n"
                                  "        GW 10.77.1.254\n"
                                  "        Mask 255.255.0.0\n"
                                  "        DNS1 10.77.1.53\n"
                                  "        DNS2 9.9.9.9\n"
                                  "        MAC 001A2B3C4D5E\n"
                                  "        Name ABCDEFGHIJKLMNOPQRST\n"
                                  "        DHCP true\n"
                                  "        CtrlPort 70000\n"
                                  "    }\n"
                                  "    displayConfig\n"
                                  "    configure_network\n    {\n"
                                  "        MAC 00-11-22-33-44-55\n"
                                  "        Name short\n"
                                  "        DHCP 256\n"
                                  "        CtrlPort 10001\n"
                                  "    }\n"
                                  "    displayConfig\n"
                                  "}\n");
    // "true" is no int: DHCP keeps 7. 70000 wraps to 4464. The name keeps 16 characters, no NUL.
    const netRecord first{"10.77.1.20", "10.77.1.254", "255.255.0.0", "10.77.1.53", "9.9.9.9",
                          "001a2b3c4d5e", "ABCDEFGHIJKLMNOP", 7, 4464};
    // Separators void the MAC (the board's current one stays); DHCP takes the low byte of 256.
    netRecord second = first;
    second.name = "short";
    second.dhcp = 0;
    second.ctrlPort = 10001;
    BOOST_TEST(run.events == concat({{"enter main"}, configAt("10.77.1.1", idA, first),
                                     configAt("10.77.1.1", idA, second)}),
               boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(a, 5) == Lines({idA + "05" + wireHex(first), idA + "05" + wireHex(second)}),
               boost::test_tools::per_element());
    // The board really moved, and only once.
    Lines moves;
    for (const std::string& line : a.logLines())
        if (line.rfind("moved ", 0) == 0)
            moves.push_back(line);
    BOOST_TEST(moves == Lines({"moved 10.77.1.20"}), boost::test_tools::per_element());
    // Per configure_network: command, hwId, found once, read-back, deviceFound; per displayConfig: 2.
    BOOST_TEST(run.process.exitCode == 0);
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 14/0");

    // An address that does not parse ends the case before anything is sent.
    const auto badAddress = runMain(dir, "hwId " + idA + "\n"
                                         "main\n{\n"
                                         "    configure_network\n    {\n"
                                         "        Name never\n"
                                         "        GW 10.77.1.256\n"
                                         "    }\n"
                                         "    displayConfig\n"
                                         "}\n");
    BOOST_REQUIRE_EQUAL(badAddress.events.size(), 2u);
    BOOST_TEST(badAddress.events[0] == "enter main");
    BOOST_TEST(badAddress.events[1] == "exception: Invalid argument");  // the address parser's error
    BOOST_TEST(udpDatagrams(a, 5).size() == 2u, a.logTail());
    // Command, hwId and found-once passed; the exception is the failure.
    BOOST_TEST(qz::test::caseSummary(badAddress.report, "main") == "aborted 3/1");
}

BOOST_AUTO_TEST_CASE(setDefault_resets_only_with_a_root_hwId_whatever_its_value)
{
    qz::test::board a(1, recordA.ip, boardOptions(idA, recordA));
    qz::test::scratchDir dir("qzsmc-e2enet");

    const auto withoutId = runMain(dir, "main\n{\n"
                                        "    configure_network { IP 10.77.1.21 }\n"
                                        "    configure_network { setDefault }\n"
                                        "    displayConfig\n"
                                        "}\n");
    netRecord moved = recordA;
    moved.ip = "10.77.1.21";
    BOOST_TEST(withoutId.events == concat({{"enter main"}, configAt("10.77.1.1", zeroId, moved)}),
               boost::test_tools::per_element());
    BOOST_TEST(withoutId.process.err == "hwId not defined - can't set default network configuration");
    BOOST_TEST(logHas(a, "moved 10.77.1.21"), a.logTail());
    BOOST_TEST(udpDatagrams(a, 6).empty(), a.logTail());
    BOOST_TEST(qz::test::caseSummary(withoutId.report, "main") == "passed 8/0");

    const auto withId = runMain(dir, "hwId " + idA + "\n"
                                     "main\n{\n"
                                     "    configure_network { setDefault 0 }\n"
                                     "    displayConfig\n"
                                     "}\n");
    // Without logger.xml the reset's info record goes to the logging library's console sink.
    Lines events = withId.events;
    BOOST_REQUIRE_GE(events.size(), 2u);
    BOOST_TEST(events[1].find("setting default network configuration for hwId=" + idA) != std::string::npos,
               events[1]);
    events.erase(events.begin() + 1);
    BOOST_TEST(events == concat({{"enter main"}, configAt("10.77.1.1", idA, recordA)}),
               boost::test_tools::per_element());
    BOOST_TEST(withId.process.err.empty(), withId.process.err);
    BOOST_TEST(udpDatagrams(a, 6) == Lines({idA + "06"}), boost::test_tools::per_element());
    BOOST_TEST(logHas(a, "moved 10.77.1.10"), a.logTail());
    // No read-back after a reset: commands 2, hwId parses 2, found once 1, deviceFound 1.
    BOOST_TEST(qz::test::caseSummary(withId.report, "main") == "passed 6/0");
}

BOOST_AUTO_TEST_CASE(a_board_id_on_two_interfaces_is_a_duplicate_yet_configured_on_both)
{
    // The same id on both LANs: a board that answers on two interfaces.
    qz::test::board first(1, recordA.ip, boardOptions(idA, recordA));
    qz::test::board second(2, recordB.ip, boardOptions(idA, recordB));
    qz::test::scratchDir dir("qzsmc-e2enet");
    const auto run = runMain(dir, "hwId " + idA + "\n"
                                  "main\n{\n"
                                  "    configure_network { Name twin }\n"
                                  "    displayConfig\n"
                                  "}\n");
    netRecord twinA = recordA, twinB = recordB;
    twinA.name = twinB.name = "twin";
    BOOST_TEST(run.events == concat({{"enter main", "error: duplicate device hwId found"},
                                     configAt("10.77.1.1", idA, twinA), configAt("172.20.2.1", idA, twinB)}),
               boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(first, 5) == Lines({idA + "05" + wireHex(twinA)}), boost::test_tools::per_element());
    BOOST_TEST(udpDatagrams(second, 5) == Lines({idA + "05" + wireHex(twinB)}), boost::test_tools::per_element());
    // Commands 2, hwId parses 2, found-once passes 1 (fails 1), read-backs 2, deviceFound 1.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 8/1");
}

BOOST_AUTO_TEST_SUITE_END()
