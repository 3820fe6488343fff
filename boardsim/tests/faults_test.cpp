#include "test_board.hpp"

#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

using namespace qz::boardsim;
using namespace qz::boardsim::test;
namespace bdata = boost::unit_test::data;

namespace {

const std::string anyBoard = "0000000000000000000000000000000000000000";

testBoard withFaults(faults f, personality kind = personality::board)
{
    return testBoard(testIdentity(kind), std::move(f));
}

}  // namespace

BOOST_AUTO_TEST_SUITE(udp_faults)

BOOST_AUTO_TEST_CASE(discovery_answered_twice)
{
    faults f;
    f.udp.discoveryTwice = true;
    testBoard b = withFaults(f);
    auto replies = b.udp(anyBoard + "00");
    BOOST_REQUIRE_EQUAL(replies.size(), 2u);
    BOOST_TEST(replies[0] == replies[1]);
    BOOST_TEST(b.udp(anyBoard + "04").size() == 1u, "only discovery is doubled");
}

BOOST_AUTO_TEST_CASE(status_byte_replaced_payload_kept)
{
    faults f;
    f.udp.status = 0x80;
    testBoard b = withFaults(f);
    BOOST_TEST(toHex(b.udp(anyBoard + "04").at(0)) ==
               toHex(fromHex(hwIdHex + "80" + testBoardRecord)));
    BOOST_TEST(toHex(b.udp(anyBoard + "00").at(0)) ==
               hwIdHex + "80" + textHex("QZ_SMC sim 1.0") + "00");
    BOOST_TEST(toHex(b.udp(anyBoard + "06").at(0)) == hwIdHex + "80");
}

// Cut or padded with 0xa5 to the total length asked for.
BOOST_DATA_TEST_CASE(config_answer_length,
                     bdata::make({false, false, false, false, true, true, true}) ^
                         bdata::make({20u, 65u, 66u, 70u, 64u, 65u, 69u}),
                     boot, length)
{
    faults f;
    f.udp.configLength = length;
    testBoard b = withFaults(f, boot ? personality::bootLoader : personality::board);
    bytes full = fromHex(hwIdHex + "00" + (boot ? testBootRecord : testBoardRecord));
    bytes reply = b.udp(anyBoard + "04").at(0);
    BOOST_REQUIRE_EQUAL(reply.size(), length);
    std::size_t common = std::min(full.size(), reply.size());
    BOOST_TEST(toHex(bytes(reply.begin(), reply.begin() + common)) ==
               toHex(bytes(full.begin(), full.begin() + common)));
    for (std::size_t i = common; i < reply.size(); ++i)
        BOOST_TEST(reply[i] == 0xA5u);
}

BOOST_AUTO_TEST_CASE(silent_commands_are_not_answered_but_take_effect)
{
    faults f;
    f.udp.silent.set(5, true);
    testBoard b = withFaults(f);
    BOOST_TEST(b.udp(anyBoard + "05" + "0a4d0199" + testBoardRecord.substr(8)).empty());
    BOOST_TEST(dotted(b.model.config().ip) == "10.77.1.153");
    BOOST_TEST(b.udp(anyBoard + "00").size() == 1u);

    faults all;
    all.udp.silent.set(std::nullopt, true);
    testBoard quiet = withFaults(all);
    for (const char* cmd : {"00", "04", "06", "7f"})
        BOOST_TEST(quiet.udp(anyBoard + cmd).empty(), "command " << cmd);
}

BOOST_AUTO_TEST_CASE(revision_without_terminator)
{
    faults f;
    f.udp.noTerminator = true;
    testBoard b = withFaults(f);
    BOOST_TEST(toHex(b.udp(anyBoard + "00").at(0)) == hwIdHex + "00" + textHex("QZ_SMC sim 1.0"));
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(tcp_faults)

BOOST_AUTO_TEST_CASE(silent_command_takes_effect_without_reply)
{
    faults f;
    f.tcp.silent.set(0x2A, true);
    f.tcp.unsolicitedAfterReply = true;
    testBoard b = withFaults(f);
    BOOST_TEST(b.tcp("0b002a 02000000 07000000").empty(),
               "nothing at all around a silenced command");
    BOOST_TEST(b.model.variable(2) == 7);
    BOOST_TEST(b.tcp("07002b02000000").size() == 2u);
}

BOOST_AUTO_TEST_CASE(status_message_instead_of_reply_code_specific_wins)
{
    faults f;
    f.tcp.status.set(std::nullopt, 0xCE);
    f.tcp.status.set(0x13, 0x02);
    testBoard b = withFaults(f);
    BOOST_TEST(b.reply("030002") == "0400ffce");
    BOOST_TEST(b.reply("030013") == "0400ff02");
    BOOST_TEST(b.reply("030050") == "0400ffce", "unknown commands too");
}

BOOST_AUTO_TEST_CASE(error_flag_keeps_the_payload)
{
    faults f;
    f.tcp.errorFlag.set(0x2B, true);
    testBoard b = withFaults(f);
    b.reply("0b002a 02000000 ffffffff");
    BOOST_TEST(b.reply("07002b02000000") == "0700abffffffff");
    BOOST_TEST(b.reply("030001") == "030001");
}

BOOST_AUTO_TEST_CASE(other_code_then_error_flag)
{
    faults f;
    f.tcp.otherCode.set(0x02, 0x03);
    f.tcp.otherCode.set(0x2B, 0x2C);
    f.tcp.errorFlag.set(0x2B, true);
    testBoard b = withFaults(f);
    BOOST_TEST(b.reply("030002") == "170003" + hwIdHex);
    BOOST_TEST(b.reply("07002b02000000") == "0700ac00000000");
}

BOOST_DATA_TEST_CASE(bad_length_header_precedes_the_reply, bdata::make({0, 1, 2}), length)
{
    faults f;
    f.tcp.badLength.set(0x02, static_cast<std::uint8_t>(length));
    testBoard b = withFaults(f);
    auto frames = b.tcp("030002");
    BOOST_REQUIRE_EQUAL(frames.size(), 2u);
    BOOST_TEST(frames[0] == toHex({static_cast<std::uint8_t>(length), 0x00, 0x02}));
    BOOST_TEST(frames[1] == "170002" + hwIdHex);
    BOOST_TEST(b.tcp("030001").size() == 1u, "other commands unaffected");
}

BOOST_AUTO_TEST_CASE(unsolicited_frame_follows_each_reply)
{
    faults f;
    f.tcp.unsolicitedAfterReply = true;
    f.tcp.unsolicitedCode = 0x51;
    testBoard b = withFaults(f);
    auto frames = b.tcp("030001");
    BOOST_REQUIRE_EQUAL(frames.size(), 2u);
    BOOST_TEST(frames[0] == "030001");
    BOOST_TEST(frames[1] == "030051");
    BOOST_TEST(toHex(b.model.unsolicitedFrame()) == "030051");
}

BOOST_AUTO_TEST_CASE(silent_wins_over_status)
{
    faults f;
    f.tcp.status.set(std::nullopt, 0x01);
    f.tcp.silent.set(0x14, true);
    testBoard b = withFaults(f);
    BOOST_TEST(b.tcp("030014").empty());
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(fault_option_texts)

BOOST_AUTO_TEST_CASE(numbers_are_decimal_or_hex_within_range)
{
    BOOST_TEST(parseNumber("0x1f", 255) == 31u);
    BOOST_TEST(parseNumber("0XCE", 255) == 0xCEu);
    BOOST_TEST(parseNumber("66", 255) == 66u);
    for (const char* bad : {"", "0x", "-1", "12a", "0x100", "256", " 1", "99999999999999999999999"})
        BOOST_CHECK_THROW(parseNumber(bad, 255), std::invalid_argument);
}

BOOST_AUTO_TEST_CASE(codes_and_code_values)
{
    BOOST_TEST(!parseCode("all").has_value());
    BOOST_TEST(*parseCode("0x13") == 0x13);
    auto [code, status] = parseCodeValue("0x13:0xce", 255);
    BOOST_TEST(*code == 0x13);
    BOOST_TEST(status == 0xCEu);
    auto [anyCode, value] = parseCodeValue("all:2", 255);
    BOOST_TEST(!anyCode.has_value());
    BOOST_TEST(value == 2u);
    BOOST_TEST(parseCodeValue("0x02", 2, 2).second == 2u);
    BOOST_CHECK_THROW(parseCodeValue("0x02", 255), std::invalid_argument);
    BOOST_CHECK_THROW(parseCodeValue("0x02:3", 2, 2), std::invalid_argument);
    BOOST_CHECK_THROW(parseCodeValue("everything:1", 255), std::invalid_argument);
}

BOOST_AUTO_TEST_SUITE_END()
