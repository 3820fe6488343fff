#include "test_board.hpp"

#include "boardsim/frame_reader.hpp"

#include <boost/test/unit_test.hpp>

#include <cstdio>
#include <unistd.h>

using namespace qz::boardsim;
using namespace qz::boardsim::test;

namespace {

const std::string sixRegisterRevision = "QZ_SMC sim 2.0 TMC5130";

// Factory images written out by hand: register words, then limits, polarity, pressure level.
const std::string fiveRegisterWords = "40f30e00 00000000 72200800 16000d00 60050a00";
const std::string sixRegisterWords = "4c212300 08180f00 0a000000 04000000 00000000 aa000100";
const std::string factoryBlock = "ffffff7f ffffff7f ffffff7f 00000000 ffffff7f" + std::string(48 * 2, '0');

// Bytes counting up, so every byte's place shows.
std::string countingImage(std::size_t size)
{
    bytes image;
    for (std::size_t i = 0; i < size; ++i)
        image.push_back(static_cast<std::uint8_t>(i + 1));
    return toHex(image);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(tcp_protocol)

BOOST_AUTO_TEST_CASE(identity_and_factory_settings_frames)
{
    testBoard b;
    BOOST_TEST(b.reply("030001") == "030001");
    BOOST_TEST(b.reply("030002") == "170002" + hwIdHex);
    BOOST_TEST(b.reply("030004") == frameHex("04", testBoardRecord));
    BOOST_TEST(b.reply("030013") == frameHex("13", fiveRegisterWords + factoryBlock));
    testBoard six(testIdentity(personality::board, sixRegisterRevision));
    BOOST_TEST(six.reply("030013") == frameHex("13", sixRegisterWords + factoryBlock));
}

// Written settings read back and apply at the commit; the other model's size or a byte short is refused.
BOOST_AUTO_TEST_CASE(settings_write_commit_and_read_back)
{
    testBoard b;
    const std::string image = countingImage(88);
    BOOST_TEST(b.reply(frameHex("12", image)) == "030012");
    BOOST_TEST(b.model.driverRegisters()[0] == 0xEF340u, "registers changed before the commit");
    BOOST_TEST(b.reply("030014") == "030014");
    BOOST_TEST(b.model.driverRegisters()[4] == 0x14131211u);
    for (std::size_t wrong : {92, 87})
        BOOST_TEST(b.reply(frameHex("12", countingImage(wrong))) == "030092");
    BOOST_TEST(b.reply("030013") == frameHex("13", image));
}

BOOST_AUTO_TEST_CASE(stored_settings_survive_a_restart_unstored_do_not)
{
    const std::string path = "/tmp/boardsim-settings-" + std::to_string(getpid()) + ".bin";
    std::remove(path.c_str());
    const std::string stored = countingImage(88), unstored = countingImage(88).replace(0, 2, "ff");
    {
        testBoard b(testIdentity(), {}, settingsFile(path));
        b.reply(frameHex("12", stored));
        BOOST_TEST(b.reply("030010") == "030010");
        b.reply(frameHex("12", unstored));
    }
    testBoard restarted(testIdentity(), {}, settingsFile(path));
    std::remove(path.c_str());
    BOOST_TEST(restarted.reply("030013") == frameHex("13", stored));
    BOOST_TEST(restarted.model.driverRegisters()[0] == 0x04030201u, "stored registers applied");
}

BOOST_AUTO_TEST_CASE(variables_are_signed_32_bit)
{
    testBoard b;
    struct {
        std::string id, value;
        std::int32_t expected;
    } cases[] = {{"02000000", "ffffffff", -1},
                 {"02000000", "00000080", INT32_MIN},
                 {"7f000000", "ffffff7f", INT32_MAX},
                 {"18000000", "78563412", 0x12345678}};
    for (const auto& c : cases) {
        BOOST_TEST(b.reply(frameHex("2a", c.id + c.value)) == "03002a");
        BOOST_TEST(b.reply(frameHex("2b", c.id)) == frameHex("2b", c.value));
        BOOST_TEST(b.model.variable(fromHex(c.id)[0]) == c.expected);
    }
    // Ids come sign-extended from a signed char; only 0 to 127 exist.
    for (const std::string id : {"80ffffff", "80000000", "00010000"}) {
        BOOST_TEST(b.reply(frameHex("2a", id + "01000000")) == "0300aa", id);
        BOOST_TEST(b.reply(frameHex("2b", id)) == "0300ab", id);
    }
}

BOOST_AUTO_TEST_CASE(io_records)
{
    testBoard b;
    BOOST_TEST(b.reply(frameHex("22", "f0000000 a5a5a5a5")) == "030022");
    BOOST_TEST(b.reply(frameHex("22", "24000000 04000000")) == "030022");
    BOOST_TEST(b.model.outputs() == 0x84u, "outputs change only under the mask");
    BOOST_TEST(b.reply(frameHex("20", "03 dc010080")) == "030020");
    BOOST_TEST(b.model.pwm(3) == 0x800001DCu);
    b.model.setInputs(0x12345678);
    BOOST_TEST(b.reply("030025") == "07002578563412");
    BOOST_TEST(b.reply("030027") == "07002721d10000");
}

BOOST_AUTO_TEST_CASE(unknown_and_malformed_requests_are_refused)
{
    testBoard b;
    for (const char* frame : {"030000", "03000b", "03007f", "030080", "0400ff00"})
        BOOST_TEST(b.reply(frame) == "0400ff01", frame);
    testBoard boot(testIdentity(personality::bootLoader));
    for (const char* frame : {"030004", "030013", "07002b02000000"})
        BOOST_TEST(boot.reply(frame) == "0400ff01", frame);
    // Wrong size: the code with the error flag, nothing changes.
    struct {
        const char *code, *payload, *refused;
    } wrongSize[] = {{"01", "00", "030081"}, {"25", "0000", "0300a5"}, {"20", "0a", "0300a0"},
                     {"22", "ffffffff 0f0000", "0300a2"}, {"2b", "020000", "0300ab"}};
    for (const auto& r : wrongSize)
        BOOST_TEST(b.reply(frameHex(r.code, r.payload)) == r.refused, r.code);
    BOOST_TEST(b.model.outputs() == 0u);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(frame_reader)

BOOST_AUTO_TEST_CASE(stream_split_at_every_position)
{
    bytes longPayload(300);
    for (std::size_t i = 0; i < longPayload.size(); ++i)
        longPayload[i] = static_cast<std::uint8_t>(i * 7);
    const std::vector<bytes> frames = {makeFrame(0x01), makeFrame(0x2B, {0x02, 0x00, 0x00, 0x00}),
                                       makeFrame(0x12, longPayload)};
    BOOST_TEST(toHex(bytes(frames[2].begin(), frames[2].begin() + 3)) == "2f0112");
    bytes stream;
    for (const bytes& f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        frameReader reader;
        std::vector<bytes> got;
        reader.feed(stream.data(), cut);
        while (auto f = reader.next())
            got.push_back(*f);
        reader.feed(stream.data() + cut, stream.size() - cut);
        while (auto f = reader.next())
            got.push_back(*f);
        BOOST_TEST((got == frames), "split at " << cut);
    }
}

BOOST_AUTO_TEST_CASE(length_below_the_header_size_is_an_error)
{
    for (std::uint8_t length : {0, 2}) {
        frameReader reader;
        const std::uint8_t header[] = {length, 0x00, 0x01};
        reader.feed(header, 3);
        BOOST_CHECK_THROW(reader.next(), frameReader::errorBadLength);
    }
}

BOOST_AUTO_TEST_SUITE_END()
