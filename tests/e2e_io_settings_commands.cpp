// End-to-end: the terminal's output, input, pressure and settings commands run by the real qzsmctest
// against simulated boards of both driver models, whose traffic logs show the frames they received.
// Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE e2e_io_settings_commands
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <cstdint>
#include <regex>

#include "support/common.hpp"
#include "support/terminal.hpp"

using namespace qz::test;

namespace {

const std::string idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4", idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";
const std::string guardFailed = "critical check c_ && c_->connected() has failed";

// a: the five-register driver, storing to a settings file, with inputs driven and full-scale pressure;
// b: the six-register driver.
struct sharedBoards {
    bool inTestNetwork = (requireTestNetwork(), true);  // before any board starts
    scratchDir dir{"qzsmc-io"};
    std::string settingsFile = dir.file("settings");
    board a{1, "10.77.1.10",
            {"--hwid", idA, "--settings-file", settingsFile, "--inputs", "0xa5c3005a", "--pressure", "65535"}};
    board b{1, "10.77.1.11", {"--hwid", idB, "--revision", "QZ_SMC TMC sim"}};
    sharedBoards() { current = this; }
    static inline sharedBoards* current = nullptr;
};

// Words as the wire carries them.
std::string words(const std::vector<std::uint32_t>& w)
{
    std::string bytes;
    for (std::uint32_t v : w)
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(v >> (8 * i));
    return hex(bytes);
}

// The settings block as init leaves it, with the given diagnostic masks and polarities.
std::string block(const std::vector<std::uint32_t>& mask, const std::vector<std::uint32_t>& polar)
{
    return words({0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0x7FFFFFFF}) + words(mask) + words(polar);
}

// The payloads of the frames with command code `code` among a board's tcp log lines.
Lines payloads(const Lines& tcp, const std::string& code)
{
    Lines found;
    for (const std::string& line : tcp)
        if (line.size() >= 6 && line.substr(4, 2) == code) found.push_back(line.substr(6));
    return found;
}

// The command codes of the frames, in order.
std::string codes(const Lines& tcp)
{
    std::string all;
    for (const std::string& line : tcp)
        if (line != "accept" && line != "close") all += " " + line.substr(4, 2);
    return all + " ";
}

}  // namespace

BOOST_AUTO_TEST_SUITE(io_settings_commands, *boost::unit_test::fixture<sharedBoards>())

BOOST_AUTO_TEST_CASE(outputs_pwm_inputs_and_pressure_send_their_records_and_print_their_lines)
{
    const board& a = sharedBoards::current->a;
    std::size_t from = a.logLines().size();
    auto r = runMainScript(
        {"hwId " + idA},
        {"connect", "setPump true", "setPump false", "setLight 1024", "setPWM 3 { value 1500 on 1 }",
         "setPWM 260 { value 7 on 2 }", "setOutput 5", "setOutput 96 { mask 240 }", "getInput",
         "getPressure { count 2 delay 40 }", "getPressure { count 0 }"});
    // 11 commands looked up, the connect check and 10 guards
    BOOST_TEST(r.verdicts["main"] == "passed 22/0");
    std::smatch m;
    BOOST_REQUIRE_MESSAGE(
        std::regex_match(r.process.out, m,
                         std::regex("pump: 1\npump: 0\nlight: 1024\npwm #3: 1500 \\(1\\)\npwm #260: 7 \\(2\\)\n"
                                    "output : 0x00000005 \\(0x0000ffff\\)\noutput : 0x00000060 \\(0x000000f0\\)\n"
                                    "input : 0xa5c3005a\n"
                                    "time, ms\tpressure, kPa\n(\\d+)\t121\\.666667\n(\\d+)\t121\\.666667\n"
                                    "time, ms\tpressure, kPa\n")),
        r.process.out);
    BOOST_TEST(std::stol(m[2]) - std::stol(m[1]) >= 40, "samples " << m[1] << " and " << m[2] << " ms");
    // pump: output 4 on and off; light: channel 1, duty 1024 & 0x3FF, off; PWM channel 3 duty 476 on,
    // channel 260 & 0xFF with "on 2" off; outputs under 0xFFFF and 0xF0; one query each for inputs and samples
    const Lines tcp = tcpLog(a, from);
    BOOST_TEST(text(payloads(tcp, "22")) ==
               text({"04000000ffffffff", "0400000000000000", "ffff000005000000", "f000000060000000"}));
    BOOST_TEST(text(payloads(tcp, "20")) == text({"0100000000", "03dc010080", "0407000000"}));
    BOOST_TEST(payloads(tcp, "25").size() == 1u);
    BOOST_TEST(payloads(tcp, "27").size() == 2u);
}

BOOST_AUTO_TEST_CASE(diagnostic_words_store_defaults_and_sync_check)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t from = on.a.logLines().size();
    auto r = runMainScript(
        {"hwId " + idA},
        {"connect", "init", "setDiag { 2 { mask 0x10 } 5 { mask 255 polar 010 } }",
         "setDiag { 5 { mask junk } 6 { mask 1 } }", "getDeviceSettings", "storeDeviceSettings",
         "loadDefaultDeviceSettings", "getDeviceSettings", "getDeviceSettings"});
    BOOST_TEST(r.verdicts["main"] == "failed 20/1 | device or motor settings out of sync");
    BOOST_TEST(r.process.out == text({"device initialized", "device settings stored", "default device settings loaded"}));

    const Lines tcp = tcpLog(on.a, from);
    // "setDiag" sends the block without a commit; "loadDefaultDeviceSettings" commits.
    BOOST_TEST(codes(tcp).find(" 2a 12 12 13 10 15 14 13 13 ") != std::string::npos, codes(tcp));
    const std::string registers = words({0xEF340, 0, 0x82072, 0xD0016, 0xA0560});
    const Lines images = payloads(tcp, "12");
    BOOST_REQUIRE(images.size() == 3u);
    BOOST_TEST(images[1] == registers + block({0, 0, 16, 0, 0, 255}, {0, 0, 0, 0, 0, 8}));
    // octal polarity kept, a mask that is no number is 0, channel 6 does not exist
    BOOST_TEST(images[2] == registers + block({0, 0, 16, 0, 0, 0}, {0, 0, 0, 0, 0, 8}));
    // stored before the defaults were loaded
    BOOST_TEST(hex(readFile(on.settingsFile)) == images[2]);
}

BOOST_AUTO_TEST_CASE(driver_parameters_on_both_models)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t fromA = on.a.logLines().size(), fromB = on.b.logLines().size();
    // Five-register driver: the amperage is CS (300 & 0xFF, then 5 bits: 12); no holding current, no threshold.
    auto r = runMainScript({"hwId " + idA},
                           {"connect", "init", "motorSettings { CS 40 bogus 3 TOFF 5 }",
                            "deviceSettings { amperage 300 amperageHold 5 speedThreshold 100 }"});
    BOOST_TEST(r.verdicts["main"] == "failed 8/1 | failed to set motor parameter bogus: parameter bogus unknown");
    Lines images = payloads(tcpLog(on.a, fromA), "12");
    BOOST_REQUIRE(images.size() == 4u);
    BOOST_TEST(images.back().substr(0, 40) == words({0xEF340, 0, 0x82075, 0xD000C, 0xA0560}));
    BOOST_TEST(images[1].substr(0, 40) == words({0xEF340, 0, 0x82072, 0xD0008, 0xA0560}));

    // Six-register driver: IRUN 20, IHOLD 261 & 0xFF = 5, TPWMTHRS 1320000 in 20 bits; a threshold of 0
    // turns en_pwm_mode off; one that is no number is ignored.
    r = runMainScript({"hwId " + idB},
                      {"connect", "init", "deviceSettings { amperage 20 amperageHold 261 speedThreshold 10 }",
                       "deviceSettings { speedThreshold 0 }", "deviceSettings { speedThreshold abc }",
                       "motorSettings { irun 3 IRUN x MRES 4 }"});
    BOOST_TEST(r.verdicts["main"].rfind("failed 12/2 | failed to set motor parameter irun: parameter irun unknown"
                                        " | failed to set motor parameter IRUN: conversion of data",
                                        0) == 0,
               r.verdicts["main"]);
    images = payloads(tcpLog(on.b, fromB), "12");
    BOOST_REQUIRE(images.size() == 6u);
    BOOST_TEST(images.back().substr(0, 48) == words({0x0423214C, 0xF1405, 0xA, 0, 271424, 0x100AA}));
    BOOST_TEST(images[3].substr(0, 48) == words({0x23214C, 0xF1405, 0xA, 0x4, 271424, 0x100AA}));
}

// Each command without a connection ends the case at its guard, before it reads its keys.
BOOST_DATA_TEST_CASE(every_command_needs_a_connected_board,
                     boost::unit_test::data::make({"setPump", "setLight", "setPWM", "setOutput", "getInput",
                                                   "getPressure", "setDiag", "loadDefaultDeviceSettings",
                                                   "storeDeviceSettings", "deviceSettings", "motorSettings",
                                                   "getDeviceSettings"}),
                     command)
{
    auto r = runMainScript({}, {std::string(command), "sleep 0"});
    BOOST_TEST(r.verdicts["main"] == "aborted 1/1 | " + guardFailed);
    BOOST_TEST(r.process.out == "");
}

BOOST_AUTO_TEST_SUITE_END()
