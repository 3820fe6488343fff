#include "test_board.hpp"

#include <boost/test/unit_test.hpp>

using namespace qz::boardsim;
using namespace qz::boardsim::test;

BOOST_AUTO_TEST_SUITE(udp_protocol)

BOOST_AUTO_TEST_CASE(discovery_answers_its_device_id_or_any)
{
    testBoard b;
    testBoard boot(testIdentity(personality::bootLoader, "BOOT 0.9"));
    const hexList boardReply = {hwIdHex + "00" + textHex("QZ_SMC sim 1.0") + "00"};
    const hexList bootReply = {hwIdHex + "00" + textHex("BOOT 0.9") + "00"};
    struct {
        std::string deviceId;
        bool board, boot;
    } cases[] = {{"", true, true},           {textHex("QZ_SMC"), true, false}, {textHex("BOOT_LOADER"), false, true},
                 {textHex("QZ_SM"), false, false}, {textHex("QZ_SMCX"), false, false},
                 {textHex("QZ_SMC") + "00", false, false}, {textHex("qz_smc"), false, false}};
    for (const auto& c : cases) {
        BOOST_TEST(b.udp(anyBoard + "00" + c.deviceId) == (c.board ? boardReply : hexList()), c.deviceId);
        BOOST_TEST(boot.udp(anyBoard + "00" + c.deviceId) == (c.boot ? bootReply : hexList()), c.deviceId);
    }
}

// All zeros address every board; another board's id none of ours.
BOOST_AUTO_TEST_CASE(requests_are_for_this_board_or_any)
{
    const std::string otherBoard = "ff" + hwIdHex.substr(2);
    for (const std::string& cmd : hexList{"00", "04", "05" + testBoardRecord, "06"}) {
        testBoard b;
        BOOST_TEST(b.udp(otherBoard + cmd).empty(), cmd);
        BOOST_TEST(b.udp(anyBoard + cmd).size() == 1u, cmd);
        BOOST_TEST(b.udp(hwIdHex + cmd).size() == 1u, cmd);
    }
}

BOOST_AUTO_TEST_CASE(get_config_sends_the_45_or_44_byte_record)
{
    testBoard b;
    BOOST_TEST(b.udp(anyBoard + "04") == hexList{compact(hwIdHex + "00" + testBoardRecord)});
    testBoard boot(testIdentity(personality::bootLoader));
    BOOST_TEST(boot.udp(anyBoard + "04") == hexList{compact(hwIdHex + "00" + testBootRecord)});
}

BOOST_AUTO_TEST_CASE(set_config_takes_effect_and_default_restores_the_start_config)
{
    const std::string moved =
        "0a4d0214 0a4d0201 ffff0000 08080808 08080404 0a0b0c0d0e0f 4142434445464748494a4b4c4d4e4f50 00 1127";
    testBoard b;
    BOOST_TEST(b.udp(hwIdHex + "05" + moved) == hexList{hwIdHex + "00"});
    BOOST_TEST(dotted(b.model.config().ip) == "10.77.2.20");
    BOOST_TEST(dotted(b.model.config().mask) == "255.255.0.0");
    BOOST_TEST(b.model.config().ctrlPort == 10001);
    BOOST_TEST(b.udp(anyBoard + "04") == hexList{compact(hwIdHex + "00" + moved)});
    BOOST_TEST(b.udp(anyBoard + "06") == hexList{hwIdHex + "00"});
    BOOST_TEST((b.model.config() == testConfig()));

    testBoard boot(testIdentity(personality::bootLoader));
    BOOST_TEST(boot.udp(anyBoard + "05" + "0a4d0121" + testBootRecord.substr(8)) == hexList{hwIdHex + "00"});
    BOOST_TEST(dotted(boot.model.config().ip) == "10.77.1.33");
    BOOST_TEST(boot.model.config().dhcp == 0);
}

// Each personality refuses the other's record and a cut one; unknown commands are refused too.
BOOST_AUTO_TEST_CASE(wrong_records_and_unknown_commands_are_refused)
{
    for (const bool isBoot : {false, true}) {
        testBoard b(testIdentity(isBoot ? personality::bootLoader : personality::board));
        const std::string otherRecord = isBoot ? testBoardRecord : testBootRecord;
        for (const std::string& request : hexList{"05" + otherRecord, "05" + testRecordUpToName, "7f", "01"})
            BOOST_TEST(b.udp(anyBoard + request) == hexList{hwIdHex + "80"}, request);
        BOOST_TEST((b.model.config() == testConfig()));
    }
}

BOOST_AUTO_TEST_SUITE_END()
