// End-to-end: the terminal's "search", "displayConfig" and "configure_network" run by the real
// qzsmctest against simulated boards. Runs under tools/testnet with two LANs: 10.77.1.1/24
// (interface 1) and 172.20.2.1/24 (interface 2). A search takes a second per interface and any
// other request a second on an interface where no board answers.
#define BOOST_TEST_MODULE e2e_network_commands
#include <boost/test/unit_test.hpp>

#include "support/terminal.hpp"

using namespace qz::test;

namespace {

const std::string idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4", idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";
const std::string zeroId(40, '0');
const netRecord recordA{"10.77.1.10", "10.77.1.1", "255.255.255.0", "1.1.1.1", "8.8.8.8", "0200000000aa", "bench-A", 7};
const netRecord recordB{"172.20.2.10", "172.20.2.1", "255.255.255.0", "9.9.9.9", "0.0.0.0", "0200000000bb", "bench-B"};

// What "displayConfig" prints for one interface.
Lines configAt(const std::string& interface, const std::string& hwId, const netRecord& r)
{
    return Lines{"Device configuration at " + interface, "hwId " + hwId} + r.printed();
}

// a on LAN 1 and b on LAN 2 serve every case; a case that changes one sets it back.
struct sharedBoards {
    bool inTestNetwork = (requireTestNetwork(), true);  // before any board starts
    board a{1, recordA.ip, recordA.boardOptions(idA) + Lines{"--revision", "rev A"}};
    board b{2, recordB.ip, recordB.boardOptions(idB) + Lines{"--revision", "QZ_SMC TMC 2.0"}};
    sharedBoards() { current = this; }
    static inline sharedBoards* current = nullptr;
};

}  // namespace

BOOST_AUTO_TEST_SUITE(network_commands, *boost::unit_test::fixture<sharedBoards>())

BOOST_AUTO_TEST_CASE(search_lists_every_interface_and_useHwId_picks_the_board_to_ask)
{
    // Separators make the root hwId invalid, yet the digits parsed are a's whole id. Index 1 of
    // useHwId counts the devices of all interfaces (b) and replaces it; index 2 is past the end.
    // An empty device id is searched for as such.
    auto r = runMainScript({"hwId a1-a2-a3-a4-a5-a6-a7-a8-a9-aa-ab-ac-ad-ae-af-b0-b1-b2-b3-b4"},
                           {"displayConfig", "search { useHwId 1 }", "displayConfig", "pingId \"\"",
                            "search { useHwId 2 }", "displayConfig"});
    const Lines found{"1) 10.77.1.1", "deviceAddress 10.77.1.10", "hwId " + idA + " ; revision : rev A",
                      "2) 172.20.2.1", "deviceAddress 172.20.2.10", "hwId " + idB + " ; revision : QZ_SMC TMC 2.0"};
    const Lines configB = configAt("172.20.2.1", idB, recordB);
    BOOST_TEST(r.process.out == text(configAt("10.77.1.1", idA, recordA) +
                                     Lines{"searching for device with id QZ_SMC on interfaces:"} + found + configB +
                                     Lines{"searching for device with id  on interfaces:"} + found + configB));
    // 6 commands, 2 searches that found something, 3 hwId parses of which the first failed.
    BOOST_TEST(r.verdicts["main"] == "failed 10/1 | check hwIdFromString(configHwId,*hwIdStr) has failed");
}

BOOST_AUTO_TEST_CASE(nothing_answers_an_unknown_hwId_or_device_id)
{
    auto r = runMainScript({"hwId " + std::string(40, 'c')}, {"configure_network { Name nobody }", "displayConfig",
                                                               "pingId QZ_OTHER", "search { useHwId 0 }"});
    BOOST_TEST(r.process.out == "searching for device with id QZ_OTHER on interfaces:\n1) 10.77.1.1\n2) 172.20.2.1\n");
    BOOST_TEST(r.verdicts["main"] ==
               "failed 6/2 | check deviceFound has failed | check !discovered_.empty() has failed");

    // A signed index would wrap round to a board's; it ends the case instead.
    r = runMainScript({}, {"search { useHwId -4294967295 }", "displayConfig"});
    BOOST_TEST(r.process.out == "searching for device with id QZ_SMC on interfaces:\n");
    BOOST_TEST(r.verdicts["main"] ==
               "aborted 1/1 | ptree_bad_data: conversion of data to type \"j\" failed: \"useHwId\" is \"-4294967295\"");
}

BOOST_AUTO_TEST_CASE(configure_network_changes_the_board_and_setDefault_resets_it)
{
    // Without "DHCP" the board's 7 stays. 70000 wraps to 4464. The name keeps 16 characters, no NUL.
    // Then DHCP takes the low byte of 256 and four MAC digits replace the first two bytes alone.
    auto r = runMainScript({"hwId " + idA},
                           {"configure_network { IP 10.77.1.20 GW 10.77.1.254 Mask 255.255.0.0 DNS1 10.77.1.53 "
                            "DNS2 9.9.9.9 MAC 001A2B3C4D5E Name ABCDEFGHIJKLMNOPQRST CtrlPort 70000 }",
                            "displayConfig",
                            "configure_network { MAC 0011 Name short DHCP 256 CtrlPort 10001 }",
                            "displayConfig", "configure_network { setDefault 0 }", "displayConfig"});
    const netRecord first{"10.77.1.20", "10.77.1.254", "255.255.0.0", "10.77.1.53", "9.9.9.9", "001a2b3c4d5e",
                          "ABCDEFGHIJKLMNOP", 7, 4464};
    const netRecord second{first.ip, first.gw, first.mask, first.dns1, first.dns2, "00112b3c4d5e", "short", 0, 10001};
    BOOST_TEST(r.process.out == text(configAt("10.77.1.1", idA, first) + configAt("10.77.1.1", idA, second) +
                                     configAt("10.77.1.1", idA, recordA)));
    // Per configure_network: command, hwId, found once, read-back (none after a reset), deviceFound;
    // per displayConfig: command, hwId.
    BOOST_TEST(r.verdicts["main"] == "passed 20/0");
}

BOOST_AUTO_TEST_CASE(configure_network_sends_nothing_without_hwId_or_with_an_unusable_address)
{
    // Without a root hwId a reset is refused per board.
    const board& a = sharedBoards::current->a;
    std::size_t seen = a.logLines().size();
    auto r = runMainScript({}, {"configure_network { setDefault }", "displayConfig"});
    BOOST_TEST(r.process.out == text(configAt("10.77.1.1", zeroId, recordA) + configAt("172.20.2.1", zeroId, recordB)));
    BOOST_TEST(r.process.err == "hwId not defined - can't set default network configuration"
                                "hwId not defined - can't set default network configuration");
    BOOST_TEST(r.verdicts["main"] == "failed 4/1 | duplicate device hwId found");
    BOOST_TEST(text(boardLog(a, seen, "udp ")) == text(Lines(2, zeroId + "04")));

    // An address that would take the board off the network: the record is read, never sent.
    Lines commands;
    std::string verdict = "failed 36/9";
    for (const auto& [field, why] : std::initializer_list<std::pair<std::string, std::string>>{
             {"IP 0.0.0.0", " is not a unicast host address"},
             {"IP 255.255.255.255", " is not a unicast host address"},
             {"IP 127.0.0.1", " is not a unicast host address"},
             {"IP 224.0.0.1", " is not a unicast host address"},
             {"Mask 0.0.0.0", " is not a contiguous non-zero mask"},
             {"Mask 255.0.255.0", " is not a contiguous non-zero mask"},
             {"IP 10.77.1.255", " is the broadcast address of its subnet"},
             {"IP 10.77.1.0", " is the network address of its subnet"},
             {"IP 10.77.0.0 Mask 255.255.0.0", " is the network address of its subnet"}}) {
        commands.push_back("configure_network { " + field + " }");
        verdict += " | " + field.substr(0, field.find(" Mask")) + why + " - network configuration not sent";
    }
    r = runMainScript({"hwId " + idA}, commands);
    BOOST_TEST(r.verdicts["main"] == verdict);
    BOOST_TEST(text(boardLog(a, seen, "udp ")) == text(Lines(9, idA + "04")));

    // A /31 has no network or broadcast address (both are hosts), nor has a /32: a's even address is sent.
    // Per configure_network: command, hwId, found once, read-back (none after the reset), deviceFound.
    r = runMainScript({"hwId " + idA}, {"configure_network { Mask 255.255.255.254 }",
                                        "configure_network { Mask 255.255.255.255 }", "configure_network { setDefault }"});
    BOOST_TEST(r.verdicts["main"] == "passed 14/0");
    std::string codes;  // the command byte of each request: read, write, read back; then the reset
    for (const std::string& datagram : boardLog(a, seen, "udp "))
        codes += datagram.substr(40, 2) + " ";
    BOOST_TEST(codes == "04 05 04 04 05 04 04 06 ");
}

BOOST_AUTO_TEST_CASE(a_board_id_on_two_interfaces_is_a_duplicate_yet_configured_on_both)
{
    netRecord twin = recordB;
    twin.ip = "172.20.2.11";
    board twinOfA(2, twin.ip, twin.boardOptions(idA));
    // a keeps its name; its twin takes it.
    auto r = runMainScript({"hwId " + idA}, {"configure_network { Name bench-A }", "displayConfig"});
    twin.name = "bench-A";
    BOOST_TEST(r.process.out == text(configAt("10.77.1.1", idA, recordA) + configAt("172.20.2.1", idA, twin)));
    // Commands 2, hwId parses 2, found-once passes 1 (fails 1), read-backs 2, deviceFound 1.
    BOOST_TEST(r.verdicts["main"] == "failed 8/1 | duplicate device hwId found");
}

// A key whose text does not convert ends the command before the first request on any interface.
BOOST_AUTO_TEST_CASE(a_key_that_does_not_convert_ends_the_command_before_anything_is_sent)
{
    const board &a = sharedBoards::current->a, &b = sharedBoards::current->b;
    std::size_t seenA = a.logLines().size(), seenB = b.logLines().size();
    const auto badData = [](const std::string& to, const std::string& key, const std::string& value) {
        return "ptree_bad_data: conversion of data to " + to + " failed: \"" + key + "\" is \"" + value + "\"";
    };
    // The command, the verdict: it passed the command lookup (and configure_network its hwId check).
    const std::pair<std::string, std::string> rows[] = {
        {"configure_network { Name x DHCP true }", "aborted 2/1 | " + badData("type \"i\"", "DHCP", "true")},
        {"configure_network { CtrlPort 0x2711 }", "aborted 2/1 | " + badData("type \"i\"", "CtrlPort", "0x2711")},
        {"configure_network { Name x MAC 00-11-22-33-44-55 }",
         "aborted 2/1 | " + badData("hexadecimal digits", "MAC", "00-11-22-33-44-55")},
        {"configure_network { MAC \"0011\x7f\xfe\" }",  // the text as every message quotes script text
         "aborted 2/1 | " + badData("hexadecimal digits", "MAC", "0011\\x7f\\xfe")},
        {"configure_network { DNS2 9.9.9 }", "aborted 2/1 | system_error: Invalid argument"},
        {"search { useHwId one }", "aborted 1/1 | " + badData("type \"j\"", "useHwId", "one")},
    };
    for (const auto& [command, verdict] : rows) {
        BOOST_TEST_CONTEXT(command)
        {
            // The case ends with the command: the displayConfig after it does not run.
            auto r = runMainScript({"hwId " + idA}, {command, "displayConfig"});
            BOOST_TEST(r.verdicts["main"] == verdict);
            BOOST_TEST(text(boardLog(a, seenA, "udp ") + boardLog(b, seenB, "udp ")) == "");
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

// Boards started per case on LAN 1; LAN 2 has none, so each request there lasts its second.
BOOST_AUTO_TEST_SUITE(boards_of_their_own, *boost::unit_test::fixture([] { requireTestNetwork(); }, [] {}))

// The command codes a board received past line `from`, each with the hwId it was addressed to.
std::string udpRequests(const board& b, std::size_t& from)
{
    std::string requests;
    for (const std::string& d : boardLog(b, from, "udp "))
        requests += d.substr(0, 42) + "\n";
    return requests;
}

// Two boards that answer for one hwId on one LAN would both take the record, and each the other's
// MAC and name: neither a record nor a reset goes out, with or without a root hwId.
BOOST_AUTO_TEST_CASE(two_boards_answering_for_one_hwId_are_left_as_they_are)
{
    const std::string idX(40, '5');
    board first{1, "10.77.1.60", {"--hwid", idX, "--name", "first"}};
    board second{1, "10.77.1.61", {"--hwid", idX, "--name", "second", "--udp-delay", "50"}};
    std::size_t fromFirst = 0, fromSecond = 0;
    auto r = runMainScript({"hwId " + idX},
                           {"configure_network { IP 10.77.1.50 }", "configure_network { setDefault }"});
    const std::string answered = "several devices answered for hwId " + idX + ": 10.77.1.60, 10.77.1.61 - ";
    BOOST_TEST(r.verdicts["main"] == "failed 8/2 | " + answered + "network configuration not sent | " + answered +
                                         "default network configuration not sent");
    r = runMainScript({}, {"configure_network { Name renamed }"});
    BOOST_TEST(r.verdicts["main"] == "failed 3/1 | several devices answered for hwId " + zeroId +
                                         ": 10.77.1.60, 10.77.1.61 - network configuration not sent");
    const std::string read = text({idX + "04", idX + "04", zeroId + "04"});
    BOOST_TEST(udpRequests(first, fromFirst) == read);
    BOOST_TEST(udpRequests(second, fromSecond) == read);
}

// Without a root hwId the all-zero id reaches the one board of the LAN, which takes it; a mask of
// 0.0.0.0 that the board holds and the script does not set goes back as it is.
BOOST_AUTO_TEST_CASE(a_board_alone_on_its_lan_is_configured_without_hwId_and_keeps_a_mask_it_holds)
{
    const std::string idY(40, '6');
    netRecord record{"10.77.1.70"};
    record.mask = "0.0.0.0";
    board b{1, record.ip, record.boardOptions(idY) + Lines{"--mask", record.mask}};
    std::size_t from = 0;
    // The read-back passes: the board took the record, sent with the all-zero id.
    auto r = runMainScript({}, {"configure_network { Name renamed }"});
    BOOST_TEST(r.verdicts["main"] == "passed 4/0");
    BOOST_TEST(udpRequests(b, from) == text({zeroId + "04", zeroId + "05", zeroId + "04"}));

    r = runMainScript({"hwId " + idY}, {"configure_network { Name again }", "displayConfig"});
    record.name = "again";
    BOOST_TEST(r.process.out == text(configAt("10.77.1.1", idY, record)));
    BOOST_TEST(r.verdicts["main"] == "passed 7/0");
}

// A board that answers discovery twice is listed once, so useHwId 1 names the second board. Its
// revision text comes out with its control characters written out.
BOOST_AUTO_TEST_CASE(a_board_answering_twice_is_listed_once)
{
    const std::string id1(40, '1'), id2 = "22" + std::string(38, '2');
    const netRecord second{"10.77.1.11"};
    board twice{1, "10.77.1.10", {"--hwid", id1, "--udp-discovery-twice", "--revision", "QZ_SMC \x1b[2J\r1.0"}};
    board late{1, second.ip, second.boardOptions(id2) + Lines{"--udp-delay", "50"}};
    auto r = runMainScript({}, {"search { useHwId 1 }", "displayConfig"});
    const Lines found{"searching for device with id QZ_SMC on interfaces:", "1) 10.77.1.1",
                      "deviceAddress 10.77.1.10", "hwId " + id1 + " ; revision : QZ_SMC \\x1b[2J\\x0d1.0",
                      "deviceAddress 10.77.1.11", "hwId " + id2 + " ; revision : QZ_SMC sim 1.0", "2) 172.20.2.1"};
    BOOST_TEST(r.process.out == text(found + configAt("10.77.1.1", id2, second)));
}

// The console and the log show a board's texts with their control characters written out; the
// Name keeps its NUL padding. The board does not answer the restart into its boot loader, so the
// update ends right after the revision line.
BOOST_AUTO_TEST_CASE(a_board_text_is_printed_and_logged_with_control_characters_escaped)
{
    const std::string revision = "QZ_SMC \x1b[2J\rsim", shown = "QZ_SMC \\x1b[2J\\x0dsim";
    board b{1, "10.77.1.80",
            {"--hwid", idA, "--revision", revision, "--name", "n\x1b]0;x\a\r", "--tcp-silent", "0x0b"}};
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "fpga.bin", "image");
    auto r = runScript(dir.path(), "firmware.info", "update_firmware", {},
                       {"connect", "readNetworkConfig", "updateFirmware { FPGA fpga.bin }"});
    BOOST_TEST(r.process.out.find("\nName n\\x1b]0;x\\x07\\x0d" + std::string(8, '\0') + "\n") != std::string::npos,
               r.process.out);
    BOOST_TEST(r.process.out.find("\ncurrent revision: " + shown + "\n") != std::string::npos, r.process.out);
    BOOST_TEST(terminalLog(dir.path(), "[info] firmware: ") == Lines{shown}, boost::test_tools::per_element());
    BOOST_TEST(r.verdicts["update_firmware"] ==
               "aborted 5/1 | errorTCPCommandConfirmationTimeout: std::exception");
}

BOOST_AUTO_TEST_SUITE_END()
