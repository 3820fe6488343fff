#include "test_board.hpp"

#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

using namespace qz::boardsim;
using namespace qz::boardsim::test;
namespace bdata = boost::unit_test::data;

namespace {

const std::string anyBoard = "0000000000000000000000000000000000000000";
const std::string otherBoard = "ff02030405060708090a0b0c0d0e0f1011121314";

}  // namespace

BOOST_AUTO_TEST_SUITE(udp_protocol)

BOOST_DATA_TEST_CASE(discovery_answers_its_device_id_or_any,
                     bdata::make({std::string(), textHex("QZ_SMC")}), payload)
{
    testBoard b;
    auto replies = b.udp(anyBoard + "00" + payload);
    BOOST_REQUIRE_EQUAL(replies.size(), 1u);
    BOOST_TEST(toHex(replies[0]) == hwIdHex + "00" + textHex("QZ_SMC sim 1.0") + "00");
}

BOOST_DATA_TEST_CASE(discovery_ignores_other_device_ids,
                     bdata::make({textHex("BOOT_LOADER"), textHex("QZ_SM"), textHex("QZ_SMCX"),
                                  textHex("QZ_SMC") + "00", textHex("qz_smc")}),
                     payload)
{
    testBoard b;
    BOOST_TEST(b.udp(anyBoard + "00" + payload).empty());
}

BOOST_AUTO_TEST_CASE(boot_loader_answers_as_boot_loader)
{
    testBoard b(testIdentity(personality::bootLoader, "BOOT 0.9"));
    BOOST_TEST(b.udp(anyBoard + "00" + textHex("QZ_SMC")).empty());
    auto replies = b.udp(anyBoard + "00" + textHex("BOOT_LOADER"));
    BOOST_REQUIRE_EQUAL(replies.size(), 1u);
    BOOST_TEST(toHex(replies[0]) == hwIdHex + "00" + textHex("BOOT 0.9") + "00");
}

// All zeros address every board; another board's id none of ours.
BOOST_DATA_TEST_CASE(requests_are_for_this_board_or_any, bdata::make({0, 4, 5, 6}), command)
{
    char cmd[3];
    std::snprintf(cmd, sizeof cmd, "%02x", command);
    std::string payload = command == 5 ? testBoardRecord : "";
    testBoard b;
    BOOST_TEST(b.udp(otherBoard + cmd + payload).empty());
    BOOST_TEST(b.udp(anyBoard + cmd + payload).size() == 1u);
    BOOST_TEST(b.udp(hwIdHex + cmd + payload).size() == 1u);
}

BOOST_DATA_TEST_CASE(datagrams_shorter_than_the_header_are_reported, bdata::make({0, 1, 20}), size)
{
    testBoard b;
    BOOST_TEST(b.model.onDatagram(bytes(size, 0)).empty());
    BOOST_TEST(b.reports.size() == 1u);
}

BOOST_AUTO_TEST_CASE(get_config_sends_the_45_byte_record)
{
    testBoard b;
    auto replies = b.udp(anyBoard + "04");
    BOOST_REQUIRE_EQUAL(replies.size(), 1u);
    BOOST_TEST(replies[0].size() == 66u);
    BOOST_TEST(toHex(replies[0]) == toHex(fromHex(hwIdHex + "00" + testBoardRecord)));
}

BOOST_AUTO_TEST_CASE(boot_loader_record_has_no_dhcp_byte)
{
    testBoard b(testIdentity(personality::bootLoader));
    auto replies = b.udp(anyBoard + "04");
    BOOST_REQUIRE_EQUAL(replies.size(), 1u);
    BOOST_TEST(replies[0].size() == 65u);
    BOOST_TEST(toHex(replies[0]) == toHex(fromHex(hwIdHex + "00" + testBootRecord)));
}

BOOST_AUTO_TEST_CASE(set_config_takes_effect_and_default_restores_the_start_config)
{
    const std::string moved =
        "0a4d0214 0a4d0201 ffff0000 08080808 08080404 0a0b0c0d0e0f "
        "4142434445464748494a4b4c4d4e4f50 00 1127";
    testBoard b;
    auto replies = b.udp(hwIdHex + "05" + moved);
    BOOST_REQUIRE_EQUAL(replies.size(), 1u);
    BOOST_TEST(toHex(replies[0]) == hwIdHex + "00");
    BOOST_TEST(dotted(b.model.config().ip) == "10.77.2.20");
    BOOST_TEST(dotted(b.model.config().mask) == "255.255.0.0");
    BOOST_TEST(b.model.config().ctrlPort == 10001);
    BOOST_TEST(toHex(b.udp(anyBoard + "04").at(0)) == toHex(fromHex(hwIdHex + "00" + moved)));

    BOOST_TEST(toHex(b.udp(anyBoard + "06").at(0)) == hwIdHex + "00");
    BOOST_TEST((b.model.config() == testConfig()));
}

BOOST_AUTO_TEST_CASE(boot_loader_takes_its_44_byte_record)
{
    testBoard b(testIdentity(personality::bootLoader));
    std::string record = testRecordUpToName + "1027";
    record.replace(0, 8, "0a4d0121");
    BOOST_TEST(toHex(b.udp(anyBoard + "05" + record).at(0)) == hwIdHex + "00");
    BOOST_TEST(dotted(b.model.config().ip) == "10.77.1.33");
    BOOST_TEST(b.model.config().ctrlPort == 10000);
}

// Each personality refuses the other's record, and a cut one.
BOOST_DATA_TEST_CASE(set_config_of_the_wrong_size_is_refused, bdata::make({false, true}), boot)
{
    testBoard b(testIdentity(boot ? personality::bootLoader : personality::board));
    networkConfig before = b.model.config();
    const std::string otherRecord = boot ? testBoardRecord : testBootRecord;
    for (const std::string& record : {otherRecord, testRecordUpToName}) {
        auto replies = b.udp(anyBoard + "05" + record);
        BOOST_REQUIRE_EQUAL(replies.size(), 1u);
        BOOST_TEST(toHex(replies[0]) == hwIdHex + "80");
    }
    BOOST_TEST((b.model.config() == before));
    BOOST_TEST(b.reports.size() == 2u);
}

BOOST_AUTO_TEST_CASE(unknown_commands_are_refused)
{
    testBoard b;
    BOOST_TEST(toHex(b.udp(anyBoard + "7f").at(0)) == hwIdHex + "80");
    BOOST_TEST(toHex(b.udp(anyBoard + "01").at(0)) == hwIdHex + "80");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(network_config)

BOOST_AUTO_TEST_CASE(prefix_is_the_count_of_leading_ones)
{
    struct {
        ipv4 mask;
        unsigned prefix;
    } cases[] = {{{255, 255, 255, 0}, 24}, {{0, 0, 0, 0}, 0},       {{255, 255, 255, 255}, 32},
                 {{255, 255, 0, 255}, 16}, {{255, 255, 254, 0}, 23}, {{128, 0, 0, 0}, 1}};
    for (const auto& c : cases)
        BOOST_TEST(prefixLength(c.mask) == c.prefix, "mask " << dotted(c.mask));
}

BOOST_AUTO_TEST_CASE(name_is_cut_to_16_bytes_without_terminator)
{
    auto longName = nameField("0123456789abcdefXYZ");
    BOOST_TEST(toHex(bytes(longName.begin(), longName.end())) == textHex("0123456789abcdef"));
    auto shortName = nameField("ab");
    BOOST_TEST(toHex(bytes(shortName.begin(), shortName.end())) == "6162" + std::string(28, '0'));
}

BOOST_AUTO_TEST_SUITE_END()
