#include "test_board.hpp"

#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

using namespace qz::boardsim;
using namespace qz::boardsim::test;
namespace bdata = boost::unit_test::data;

namespace {

const std::string sixRegisterRevision = "QZ_SMC sim 2.0 TMC5130";

// Factory images written out by hand: register words, then limits, polarity, pressure level.
const std::string fiveRegisterWords = "40f30e00 00000000 72200800 16000d00 60050a00";
const std::string sixRegisterWords = "4c212300 08180f00 0a000000 04000000 00000000 aa000100";
const std::string factoryBlock =
    "ffffff7f ffffff7f ffffff7f 00000000 ffffff7f" + std::string(48 * 2, '0');

// An image of the given size whose bytes count up, so every byte's place shows.
std::string countingImage(std::size_t size)
{
    bytes image;
    for (std::size_t i = 0; i < size; ++i)
        image.push_back(static_cast<std::uint8_t>(i + 1));
    return toHex(image);
}

std::string frameHex(const std::string& codeHex, const std::string& payloadHex = "")
{
    std::size_t length = 3 + fromHex(payloadHex).size();
    return toHex({static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)}) +
           codeHex + toHex(fromHex(payloadHex));
}

}  // namespace

BOOST_AUTO_TEST_SUITE(tcp_protocol)

BOOST_AUTO_TEST_CASE(identity_commands)
{
    testBoard b;
    BOOST_TEST(b.reply("030001") == "030001");
    BOOST_TEST(b.reply("030002") == "170002" + hwIdHex);
    BOOST_TEST(b.reply("030004") == frameHex("04", testBoardRecord));
}

BOOST_AUTO_TEST_CASE(settings_image_is_register_words_then_68_byte_block)
{
    testBoard five;
    BOOST_TEST(five.reply("030013") == frameHex("13", fiveRegisterWords + factoryBlock));
    BOOST_TEST(five.reply("030013").size() == 2 * (3 + 88u));

    testBoard six(testIdentity(personality::board, sixRegisterRevision));
    BOOST_TEST(six.reply("030013") == frameHex("13", sixRegisterWords + factoryBlock));
    BOOST_TEST(six.reply("030013").size() == 2 * (3 + 92u));
}

BOOST_DATA_TEST_CASE(settings_write_then_read_back, bdata::make({false, true}), sixRegister)
{
    testBoard b(testIdentity(personality::board, sixRegister ? sixRegisterRevision : "QZ_SMC"));
    std::size_t size = sixRegister ? 92 : 88;
    std::string image = countingImage(size);
    BOOST_TEST(b.reply(frameHex("12", image)) == "030012");
    BOOST_TEST(b.reply("030013") == frameHex("13", image));

    // The other model's size, or a byte short: refused, nothing changes.
    for (std::size_t wrong : {std::size_t(sixRegister ? 88 : 92), size - 1}) {
        BOOST_TEST(b.reply(frameHex("12", countingImage(wrong))) == "030092");
        BOOST_TEST(b.reply("030013") == frameHex("13", image));
    }
}

BOOST_AUTO_TEST_CASE(commit_applies_the_register_image_and_defaults_need_one_too)
{
    testBoard b;
    std::vector<std::uint32_t> factory = b.model.driverRegisters();
    BOOST_TEST(factory[0] == 0xEF340u);
    std::string image = countingImage(88);
    b.reply(frameHex("12", image));
    BOOST_TEST(b.model.driverRegisters() == factory, "registers changed before the commit");
    BOOST_TEST(b.reply("030014") == "030014");
    BOOST_TEST(b.model.driverRegisters()[0] == 0x04030201u);
    BOOST_TEST(b.model.driverRegisters()[4] == 0x14131211u);

    BOOST_TEST(b.reply("030015") == "030015");
    BOOST_TEST(b.reply("030013") == frameHex("13", fiveRegisterWords + factoryBlock));
    BOOST_TEST(b.model.driverRegisters()[0] == 0x04030201u, "defaults applied without a commit");
    b.reply("030014");
    BOOST_TEST(b.model.driverRegisters() == factory);
}

// The six-register chip answers each read with the register the previous read named, from the
// committed image. Counting bytes make every register word different.
BOOST_AUTO_TEST_CASE(six_register_reads_answer_the_previous_address)
{
    testBoard b(testIdentity(personality::board, sixRegisterRevision));
    BOOST_TEST(b.reply("08003470 00000000") == frameHex("34", "04000000 00000000"));  // GCONF
    b.reply(frameHex("12", countingImage(92)));
    b.reply("030014");
    struct {
        const char* address;
        const char* previousWord;
    } reads[] = {{"6a", "15161718"},   // PWMCONF, named by the read before the commit
                 {"00", "00000000"},   // MSCNT
                 {"6c", "0d0e0f10"},   // GCONF
                 {"10", "01020304"},   // CHOPCONF
                 {"11", "05060708"},   // IHOLD_IRUN
                 {"13", "090a0b0c"},   // TPOWERDOWN
                 {"55", "11121314"},   // TPWMTHRS
                 {"00", "00000000"}};  // 0x55 is no register
    for (const auto& r : reads)
        BOOST_TEST(b.reply(frameHex("34", std::string(r.address) + "00000000")) ==
                       frameHex("34", std::string(r.previousWord) + "00000000"),
                   "read of 0x" << r.address);
    BOOST_TEST(b.reply("07003400000000") == "0300b4", "four-byte form on the six-register chip");
}

BOOST_AUTO_TEST_CASE(five_register_read_comes_in_two_forms)
{
    testBoard b;
    BOOST_TEST(b.reply("07003400000000") == "07003400000000");
    BOOST_TEST(b.reply("0800346a00000000") == "0b00340000000000000000");
    BOOST_TEST(b.reply("0600340000") == "0300b4");
}

BOOST_AUTO_TEST_CASE(variables_are_signed_32_bit)
{
    testBoard b;
    struct {
        std::string id;
        std::string value;
        std::int32_t expected;
    } cases[] = {{"02000000", "ffffffff", -1},
                 {"02000000", "00000080", INT32_MIN},
                 {"18000000", "ffffff7f", INT32_MAX},
                 {"7f000000", "78563412", 0x12345678}};
    for (const auto& c : cases) {
        BOOST_TEST(b.reply(frameHex("2a", c.id + c.value)) == "03002a");
        BOOST_TEST(b.reply(frameHex("2b", c.id)) == frameHex("2b", c.value));
        BOOST_TEST(b.model.variable(fromHex(c.id)[0]) == c.expected);
    }
}

// Ids come sign-extended from a signed char; only 0 to 127 exist.
BOOST_DATA_TEST_CASE(variables_outside_the_table_are_refused,
                     bdata::make({"80ffffff", "ffffffff", "80000000", "00010000"}), id)
{
    testBoard b;
    BOOST_TEST(b.reply(frameHex("2a", std::string(id) + "01000000")) == "0300aa");
    BOOST_TEST(b.reply(frameHex("2b", id)) == "0300ab");
    BOOST_TEST(b.reports.size() == 2u);
}

BOOST_AUTO_TEST_CASE(outputs_change_only_under_the_mask)
{
    testBoard b;
    BOOST_TEST(b.reply(frameHex("22", "04000000 ffffffff")) == "030022");
    BOOST_TEST(b.model.outputs() == 0x4u);
    b.reply(frameHex("22", "f0000000 a5a5a5a5"));
    BOOST_TEST(b.model.outputs() == 0xA4u);
    b.reply(frameHex("22", "04000000 00000000"));
    BOOST_TEST(b.model.outputs() == 0xA0u);
}

BOOST_AUTO_TEST_CASE(pwm_record_sets_one_channel)
{
    testBoard b;
    BOOST_TEST(b.reply(frameHex("20", "03 dc010080")) == "030020");
    BOOST_TEST(b.model.pwm(3) == 0x800001DCu);
    BOOST_TEST(b.model.pwm(1) == 0u);
}

BOOST_AUTO_TEST_CASE(inputs_and_pressure_are_32_bit_readings)
{
    testBoard b;
    BOOST_TEST(b.reply("030027") == "07002721d10000");  // 53537, about 101.3 kPa
    b.model.setInputs(0x12345678);
    b.model.setPressureRaw(0xFFFF);
    BOOST_TEST(b.reply("030025") == "07002578563412");
    BOOST_TEST(b.reply("030027") == "070027ffff0000");
}

BOOST_DATA_TEST_CASE(unknown_commands_get_status_unknown_command,
                     bdata::make({"030000", "03000b", "030050", "03007f", "030080", "0400ff00"}),
                     frame)
{
    testBoard b;
    BOOST_TEST(b.reply(frame) == "0400ff01");
    BOOST_TEST(b.reports.size() == 1u);
}

BOOST_AUTO_TEST_CASE(requests_of_the_wrong_size_are_refused_and_change_nothing)
{
    struct {
        const char* code;
        const char* payload;
    } requests[] = {{"01", "00"},       {"02", "00"},       {"10", "00"},
                    {"13", "00"},       {"14", "00"},       {"25", "0000"},
                    {"20", "0a"},       {"20", "0aff03008000"}, {"22", "ffffffff 0f0000"},
                    {"2b", "020000"},   {"2a", "02000000 010000"}};
    testBoard b;
    for (const auto& r : requests) {
        auto code = static_cast<std::uint8_t>(fromHex(r.code)[0] | 0x80);
        std::string refused = "0300" + toHex({code});
        BOOST_TEST(b.reply(frameHex(r.code, r.payload)) == refused, "command 0x" << r.code);
    }
    BOOST_TEST(b.reports.size() == std::size(requests));
    BOOST_TEST(b.model.outputs() == 0u);
    BOOST_TEST(b.model.pwm(10) == 0u);
    BOOST_TEST(b.model.variable(2) == 0);
}

BOOST_AUTO_TEST_CASE(soft_reset_returns_to_the_power_on_state)
{
    testBoard b;
    b.reply(frameHex("2a", "02000000 e8030000"));
    b.reply(frameHex("22", "ffffffff 0f000000"));
    b.reply(frameHex("20", "01 ff030080"));
    b.reply(frameHex("12", countingImage(88)));
    b.reply("030014");
    BOOST_TEST(b.reply("030001") == "030001");
    BOOST_TEST(b.model.variable(2) == 0);
    BOOST_TEST(b.model.outputs() == 0u);
    BOOST_TEST(b.model.pwm(1) == 0u);
    BOOST_TEST(b.reply("030013") == frameHex("13", fiveRegisterWords + factoryBlock));
    BOOST_TEST(b.model.driverRegisters()[0] == 0xEF340u);
    BOOST_TEST(b.reply("030004") == frameHex("04", testBoardRecord), "network config survives");
}

BOOST_AUTO_TEST_CASE(boot_loader_knows_only_its_own_commands)
{
    testBoard b(testIdentity(personality::bootLoader));
    BOOST_TEST(b.reply("030002") == "170002" + hwIdHex);
    BOOST_TEST(b.reply("030001") == "030001");
    for (const char* frame : {"030004", "030013", "030025", "07002b02000000"})
        BOOST_TEST(b.reply(frame) == "0400ff01", frame);
}

BOOST_AUTO_TEST_SUITE_END()
