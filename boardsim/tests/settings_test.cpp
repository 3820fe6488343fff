#include "test_board.hpp"

#include <boost/test/unit_test.hpp>

#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace qz::boardsim;
using namespace qz::boardsim::test;

namespace {

// A file name of this test's own, removed again afterwards.
struct scratchFile {
    scratchFile() : path("/tmp/boardsim-settings-" + std::to_string(getpid()) + ".bin")
    {
        std::remove(path.c_str());
    }
    ~scratchFile() { std::remove(path.c_str()); }

    void write(std::size_t size) const
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(size, 'x');
    }

    std::string path;
};

std::string image88()
{
    bytes image(88);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(0xF0 - i);
    return toHex(image);
}

const std::string writeImage88 = "5b0012" + image88();

}  // namespace

BOOST_AUTO_TEST_SUITE(settings_persistence)

BOOST_AUTO_TEST_CASE(stored_settings_survive_a_restart)
{
    scratchFile file;
    {
        testBoard b(testIdentity(), {}, settingsFile(file.path));
        b.reply(writeImage88);
        BOOST_TEST(b.reply("030010") == "030010");
    }
    testBoard restarted(testIdentity(), {}, settingsFile(file.path));
    BOOST_TEST(restarted.reply("030013") == "5b0013" + image88());
    BOOST_TEST(restarted.model.driverRegisters()[0] == 0xEDEEEFF0u, "stored registers applied");
}

BOOST_AUTO_TEST_CASE(unstored_settings_are_lost)
{
    scratchFile file;
    std::string factory;
    {
        testBoard b(testIdentity(), {}, settingsFile(file.path));
        factory = b.reply("030013");
        b.reply(writeImage88);
    }
    testBoard restarted(testIdentity(), {}, settingsFile(file.path));
    BOOST_TEST(restarted.reply("030013") == factory);
}

BOOST_AUTO_TEST_CASE(soft_reset_reloads_the_stored_settings)
{
    testBoard b;
    b.reply(writeImage88);
    b.reply("030010");
    b.reply("030015");
    b.reply("030001");
    BOOST_TEST(b.reply("030013") == "5b0013" + image88());
}

BOOST_AUTO_TEST_CASE(file_of_the_other_model_is_rejected_at_start)
{
    scratchFile file;
    file.write(92);
    BOOST_CHECK_THROW(board(testIdentity(), testConfig(), {}, settingsFile(file.path)),
                      std::runtime_error);
    BOOST_CHECK_NO_THROW(board(testIdentity(personality::board, "QZ_SMC TMC"), testConfig(), {},
                               settingsFile(file.path)));
}

BOOST_AUTO_TEST_CASE(failed_store_is_refused_and_reported)
{
    testBoard b(testIdentity(), {}, settingsFile("/nonexistent-dir/settings.bin"));
    b.reply(writeImage88);
    BOOST_TEST(b.reply("030010") == "030090");
    BOOST_TEST(b.reports.size() == 1u);
    b.reply("030001");
    BOOST_TEST(b.reply("030013") != "5b0013" + image88(),
               "a failed store must not count as stored");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(identity_texts)

BOOST_AUTO_TEST_CASE(driver_model_follows_tmc_in_the_revision)
{
    BOOST_TEST(int(driverModelOf("QZ_SMC 2.0 TMC5130")) == int(driverModel::sixRegister));
    BOOST_TEST(int(driverModelOf("TMC")) == int(driverModel::sixRegister));
    for (const char* text : {"", "TM", "tmc2130", "QZ_SMC 1.0 TM C"})
        BOOST_TEST(int(driverModelOf(text)) == int(driverModel::fiveRegister), text);
}

BOOST_AUTO_TEST_CASE(hardware_id_needs_exactly_40_hex_digits)
{
    hardwareId id{};
    BOOST_TEST(parseHardwareId("0102030405060708090A0B0C0D0E0F10111213fF", id));
    BOOST_TEST(id[9] == 0x0Au);
    BOOST_TEST(id[19] == 0xFFu);
    const std::string zeros(38, '0');
    for (const std::string& bad : {zeros + "0", zeros + "000", zeros + "0g", zeros + " 1"})
        BOOST_TEST(!parseHardwareId(bad, id), bad);
}

BOOST_AUTO_TEST_SUITE_END()
