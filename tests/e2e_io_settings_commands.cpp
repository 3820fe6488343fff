// End-to-end: the terminal's output, input, pressure and settings commands run by the real qzsmctest
// against simulated boards of both driver models, whose traffic logs show the frames they received.
// Runs under tools/testnet with one LAN, 10.77.1.1/24. The suite "shipped_example" runs as a test of
// its own, in a network where its board is alone.
#define BOOST_TEST_MODULE e2e_io_settings_commands
#include <boost/test/unit_test.hpp>

#include <algorithm>
#include <cstdint>
#include <regex>

#include "support/common.hpp"
#include "support/terminal.hpp"

using namespace qz::test;

namespace {

const std::string idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4", idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";

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

// The settings block as init leaves it, with the given diagnostic masks and polarities.
std::string block(std::initializer_list<std::uint32_t> mask, std::initializer_list<std::uint32_t> polar)
{
    return hexWords({0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0x7FFFFFFF}) + hexWords(mask) + hexWords(polar);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(io_settings_commands, *boost::unit_test::fixture<sharedBoards>())

BOOST_AUTO_TEST_CASE(setDiag_before_any_read_and_keys_that_do_not_convert)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t from = on.b.logLines().size();
    // No init. The first setDiag reads the block first, so b gets its factory image back with one word
    // changed; the second needs no read.
    const Lines onB{"hwId " + idB, "deviceAddress 10.77.1.11"};
    auto r = runMainScript(onB, {"connect", "setDiag { 0 { mask 1 } }", "setDiag { 1 { polar 2 } }"});
    BOOST_TEST(r.verdicts["main"] == "passed 6/0");
    const std::string registers = "12 " + hexWords({0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA});
    BOOST_TEST(text(frames(tcpLog(on.b, from), "12 13 14")) ==
               text({"13 ", registers + block({1, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}),
                     registers + block({1, 0, 0, 0, 0, 0}, {0, 2, 0, 0, 0, 0})}));

    // A key whose text does not convert ends the case before anything is sent, with or without a
    // default for it: a sign on an unsigned key ("-1" would wrap round), hex or a float where decimal
    // digits are read, a diagnostic word that is no number in its base, a threshold "%lf" cannot read.
    struct { const char *command, *key, *text, *type; } const rows[] = {
        {"getPressure { count -1 delay 0 }", "count", "-1", "j"},
        {"getPressure { count 1 delay -1 }", "delay", "-1", "j"},
        {"getPressure { count 0x2 delay 0 }", "count", "0x2", "j"},
        {"setOutput 1 { mask -1 }", "mask", "-1", "j"},
        {"setOutput 3 { mask 0x3 }", "mask", "0x3", "j"},
        {"setPWM 2 { value -1 }", "value", "-1", "j"},
        {"setPWM 2 { value 1 on -1 }", "on", "-1", "j"},
        {"setPWM 2 { value 300 on 0x1 }", "on", "0x1", "j"},
        {"deviceSettings { amperage -1 }", "amperage", "-1", "j"},
        {"deviceSettings { amperage 20 amperageHold 1e1 }", "amperageHold", "1e1", "j"},
        {"deviceSettings { speedThreshold fast }", "speedThreshold", "fast", "d"},
        {"setDiag { 0 { mask 1 } 3 { mask 08 } }", "3.mask", "08", "m"},
    };
    for (const auto& row : rows) {
        from = on.b.logLines().size();
        r = runMainScript(onB, {"connect", row.command, "setPump true"});
        const std::string& verdict = r.verdicts["main"];
        BOOST_TEST(verdict.substr(std::min(verdict.find('|'), verdict.size())) == std::string("| ptree_bad_data: conversion of data to type \"") +
                                                            row.type + "\" failed: \"" + row.key + "\" is \"" +
                                                            row.text + "\"",
                   row.command << ": " << verdict);
        BOOST_TEST(frames(tcpLog(on.b, from), "12 20 22 27").empty(), row.command);
    }
}

// A command's own value that does not convert names the command and its text, as a key's error does.
BOOST_AUTO_TEST_CASE(a_command_value_that_does_not_convert_names_the_command)
{
    struct { const char *command, *type, *text; } const rows[] = {
        {"setPump TRUE", "b", "TRUE"},
        {"setLight -1", "j", "-1"},
        {"setPWM 0x2 { value 1 }", "j", "0x2"},
        {"setOutput \"7\xfc\"", "j", "7\\xfc"},
        {"checkPhase 1.5", "i", "1.5"},
        {"sleep \"5\x01\"", "j", "5\\x01"},
    };
    for (const auto& row : rows) {
        auto r = runMainScript({"hwId " + idB, "deviceAddress 10.77.1.11"}, {"connect", row.command, "setPump true"});
        const std::string& verdict = r.verdicts["main"];
        const std::string name = std::string(row.command).substr(0, std::string(row.command).find(' '));
        BOOST_TEST(verdict.substr(0, 8) == "aborted ", row.command << ": " << verdict);
        BOOST_TEST(verdict.substr(std::min(verdict.find('|'), verdict.size())) ==
                       "| ptree_bad_data: conversion of data to type \"" + std::string(row.type) + "\" failed: \"" +
                           name + "\" is \"" + row.text + "\"",
                   row.command << ": " << verdict);
    }
}

// Script text quoted in the framework's messages (a command name, a key and its text, a file name) has
// control characters and bytes that are not UTF-8 written as \xNN, so the XML log and report and the
// JUnit log that CI jobs read stay well-formed; UTF-8 text stays as it is.
BOOST_AUTO_TEST_CASE(script_text_in_messages_keeps_the_xml_and_junit_logs_well_formed)
{
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "qzsmc_test.info",
              text({"hwId " + idA, "deviceAddress 10.77.1.10", "main", "{", "connect", "init", "bogus\xfc" "Command",
                    "motorSettings { \"C\xfcS\" 5 }", "updateFirmware { ARM \"Pr\xfc" "fung\x02.bin\" }",
                    "updateFirmware { ARM \"Pr\xc3\xbc" "fung.bin\" }", "moveMotor { pos \"1\x01\xfc\" }", "}",
                    "limit { sleep \"9\xfc\x01\" }"}));
    writeFile(dir.path() / "logger.xml", "<config><level>trace</level></config>\n");
    const Lines messages{"command <bogus\\xfcCommand> not found",
                         "failed to set motor parameter C\\xfcS: parameter C\\xfcS unknown",
                         "File <Pr\\xfcfung\\x02.bin> not found", "File <Pr\xc3\xbc" "fung.bin> not found",
                         "conversion of data to type \"i\" failed: \"pos\" is \"1\\x01\\xfc\"",
                         "conversion of data to type \"j\" failed: \"sleep\" is \"9\\xfc\\x01\""};
    auto r = runTerminal(dir.path(), "main:limit");
    BOOST_TEST(r.verdicts["main"] == "aborted 10/5 | " + messages[0] + " | " + messages[1] + " | " + messages[2] +
                                         " | " + messages[3] + " | ptree_bad_data: " + messages[4]);
    BOOST_TEST(r.verdicts["limit"] == "aborted 1/1 | ptree_bad_data: " + messages[5]);
    runTerminalWith(dir.path(), {"--run_test=main:limit", "--log_format=JUNIT", "--log_sink=junit.xml"});
    for (const char* file : {"log.xml", "report.xml", "junit.xml"})
        BOOST_TEST(xmlErrors(dir.path() / file) == "", file);
    const std::string junit = readFile(dir.path() / "junit.xml");
    for (const std::string& message : messages)
        BOOST_TEST(junit.find(message) != std::string::npos, message);
}

BOOST_AUTO_TEST_CASE(outputs_inputs_pressure_and_the_settings_block)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t from = on.a.logLines().size();
    auto r = runMainScript(
        {"hwId " + idA},
        {"connect", "init", "setPump true", "setPump false", "setLight 1024", "setPWM 3 { value 1500 on 1 }",
         "setPWM 260 { value 7 on 2 }", "setLight 1000", "setPWM 387 { value 1023 on 3 }",
         "setOutput 2147483649 { mask 4294967295 }", "setOutput 5", "setOutput 96 { mask 240 }", "getInput",
         "getPressure { count 2 delay 40 }", "getPressure { count 0 }",
         "setDiag { 2 { mask 0x10 } 5 { mask 255 polar 010 } 3 { polar -2 } }",
         "setDiag { 5 { mask 0 } 6 { mask 1 } 1 { mask 0x100000000 polar 4294967296 } 4 { mask 0xfffffffe } }",
         "getDeviceSettings", "storeDeviceSettings", "loadDefaultDeviceSettings", "getDeviceSettings",
         "getDeviceSettings"});
    // 22 commands looked up, the connect check, 21 guards, two of the three sync checks
    BOOST_TEST(r.verdicts["main"] == "failed 46/1 | device or motor settings out of sync");
    std::smatch m;
    BOOST_REQUIRE_MESSAGE(
        std::regex_match(r.process.out, m,
                         std::regex("device initialized\npump: 1\npump: 0\nlight: 1024\npwm #3: 1500 \\(1\\)\n"
                                    "pwm #260: 7 \\(2\\)\nlight: 1000\npwm #387: 1023 \\(3\\)\n"
                                    "output : 0x80000001 \\(0xffffffff\\)\noutput : 0x00000005 \\(0x0000ffff\\)\n"
                                    "output : 0x00000060 \\(0x000000f0\\)\ninput : 0xa5c3005a\n"
                                    "time, ms\tpressure, kPa\n(\\d+)\t121\\.666667\n(\\d+)\t121\\.666667\n"
                                    "time, ms\tpressure, kPa\ndevice settings stored\ndefault device settings loaded\n")),
        r.process.out);
    BOOST_TEST(std::stol(m[2]) - std::stol(m[1]) >= 40, "samples " << m[1] << " and " << m[2] << " ms");
    const Lines tcp = tcpLog(on.a, from);
    // pump: output 4 on and off; light: channel 1, duty 1024 & 0x3FF, off; PWM channel 3 duty 476 on,
    // channel 260 & 0xFF with "on 2" off; every top bit of the light's and a channel's duty, of a channel
    // number and of an output word; outputs under 0xFFFF and 0xF0; a query for the inputs and per sample
    BOOST_TEST(text(frames(tcp, "20 22 25 27")) ==
               text({"22 04000000ffffffff", "22 0400000000000000", "20 0100000000", "20 03dc010080", "20 0407000000",
                     "20 01e8030000", "20 83ff030080", "22 ffffffff01000080", "22 ffff000005000000",
                     "22 f000000060000000", "25 ", "27 ", "27 "}));
    // After init's read, write and commit: each setDiag's block without a commit (an octal polarity, a
    // sign negating within 32 bits, there is no channel 6, words past 32 bits saturate), the sync read,
    // the store, the defaults and their commit, two reads.
    const std::string registers = "12 " + hexWords({0xEF340, 0, 0x82072, 0xD0016, 0xA0560});
    const Lines f = frames(tcp, "10 12 13 14 15");
    BOOST_REQUIRE(f.size() == 11u);
    BOOST_TEST(text(Lines(f.begin() + 3, f.end())) ==
               text({registers + block({0, 0, 16, 0, 0, 255}, {0, 0, 0, 0xFFFFFFFE, 0, 8}),
                     registers + block({0, 0xFFFFFFFF, 16, 0, 0xFFFFFFFE, 0}, {0, 0xFFFFFFFF, 0, 0xFFFFFFFE, 0, 8}),
                     "13 ", "10 ", "15 ", "14 ", "13 ", "13 "}));
    // stored before the defaults were loaded
    BOOST_TEST("12 " + hex(readFile(on.settingsFile)) == f[4]);
}

BOOST_AUTO_TEST_CASE(driver_parameters_on_both_models)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t fromA = on.a.logLines().size(), fromB = on.b.logLines().size();
    // Five-register driver: the amperage is CS (300 in 5 bits: 12); no holding current, no threshold. A
    // signed CS is refused.
    auto r = runMainScript({"hwId " + idA},
                           {"connect", "init", "motorSettings { CS 40 CS -1 bogus 3 TOFF 5 }",
                            "deviceSettings { amperage 300 amperageHold 5 speedThreshold 100 }"});
    BOOST_TEST(r.verdicts["main"] == "failed 8/2 | failed to set motor parameter CS: conversion of data to type \"j\""
                                     " failed: \"CS\" is \"-1\" | failed to set motor parameter bogus: parameter"
                                     " bogus unknown");
    Lines images = frames(tcpLog(on.a, fromA), "12");
    BOOST_REQUIRE(images.size() == 4u);
    BOOST_TEST(images[1].substr(3, 40) == hexWords({0xEF340, 0, 0x82072, 0xD0008, 0xA0560}));
    BOOST_TEST(images[3].substr(3, 40) == hexWords({0xEF340, 0, 0x82075, 0xD000C, 0xA0560}));

    // Six-register driver: IRUN 20, IHOLD 261 in 5 bits = 5, TPWMTHRS 1320000 in 20 bits; a threshold of 0
    // turns en_pwm_mode off.
    r = runMainScript({"hwId " + idB},
                      {"connect", "init", "deviceSettings { amperage 20 amperageHold 261 speedThreshold 10 }",
                       "deviceSettings { speedThreshold 0 }", "motorSettings { irun 3 IRUN x MRES 4 }"});
    BOOST_TEST(r.verdicts["main"] == "failed 10/2 | failed to set motor parameter irun: parameter irun unknown"
                                     " | failed to set motor parameter IRUN: conversion of data to type \"j\" failed:"
                                     " \"IRUN\" is \"x\"");
    images = frames(tcpLog(on.b, fromB), "12");
    BOOST_REQUIRE(images.size() == 6u);
    BOOST_TEST(images[3].substr(3, 48) == hexWords({0x23214C, 0xF1405, 0xA, 0x4, 271424, 0x100AA}));
    BOOST_TEST(images[5].substr(3, 48) == hexWords({0x0423214C, 0xF1405, 0xA, 0, 271424, 0x100AA}));
}

// Before init each field keeps the last value given, and the fields go out in the order they were last
// given, as the same settings would after init: of DRVCTRL's two readings the later one counts.
BOOST_AUTO_TEST_CASE(motorSettings_before_init_write_the_last_value_of_each_field)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t from = on.a.logLines().size();
    auto r = runMainScript({"hwId " + idA, "deviceAddress 10.77.1.10"},
                           {"connect", "motorSettings { CS 20 }", "motorSettings { CS 10 MRES 4 CB 255 MRES 2 }", "init"});
    BOOST_TEST(r.verdicts["main"] == "passed 8/0");
    const Lines images = frames(tcpLog(on.a, from), "12");
    BOOST_REQUIRE(images.size() == 1u);
    BOOST_TEST(images[0].substr(3, 40) == hexWords({0xEF340, 0xF2, 0x82072, 0xD000A, 0xA0560}));
}

// The optional keys left out: "on" clear, the mask 0xFFFF, 100 samples and 100 ms after each.
BOOST_AUTO_TEST_CASE(optional_keys_left_out_take_their_defaults)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t from = on.a.logLines().size();
    auto r = runMainScript({"hwId " + idA, "deviceAddress 10.77.1.10"},
                           {"connect", "setPWM 2 { value 300 }", "setOutput 6", "getPressure { delay 0 }",
                            "getPressure { count 2 }"});
    BOOST_TEST(r.verdicts["main"] == "passed 10/0");
    const Lines sent = frames(tcpLog(on.a, from), "20 22 27");
    BOOST_REQUIRE(sent.size() == 104u);
    BOOST_TEST(text({sent[0], sent[1]}) == text({"20 022c010000", "22 ffff000006000000"}));
    BOOST_TEST(std::count(sent.begin(), sent.end(), "27 ") == 102);
    // the two samples of the second run, one delay apart
    std::smatch m;
    BOOST_REQUIRE_MESSAGE(std::regex_search(r.process.out, m,
                                            std::regex("time, ms\tpressure, kPa\n(\\d+)\t121\\.666667\n"
                                                       "(\\d+)\t121\\.666667\n$")),
                          r.process.out);
    const long gap = std::stol(m[2]) - std::stol(m[1]);
    BOOST_TEST((gap >= 100 && gap < 100 + 100 * sanitizerSlowdown), "samples " << gap << " ms apart");
}

// A command the board refuses (its reply carries the error flag) ends the case with the controller's
// error naming it; nothing says it was done, and nothing after it in the case is sent.
BOOST_AUTO_TEST_CASE(a_refused_command_ends_the_case_without_a_success_line)
{
    const std::string idC = "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4";
    board c{1, "10.77.1.12",
            {"--hwid", idC, "--tcp-error-flag", "0x10", "--tcp-error-flag", "0x15", "--tcp-error-flag", "0x14",
             "--tcp-error-flag", "0x22", "--tcp-error-flag", "0x25"}};
    const std::pair<const char*, std::string> rows[] = {
        {"storeDeviceSettings", "10 "},
        {"loadDefaultDeviceSettings", "15 "},  // no commit follows
        {"init", "13 12 14 "},                 // no variable is written
        {"setOutput 5", "22 "},
        {"getInput", "25 "},
    };
    for (const auto& [command, sent] : rows) {
        BOOST_TEST_CONTEXT(command)
        {
            std::size_t from = c.logLines().size();
            auto r = runMainScript({"hwId " + idC}, {"connect", command, "storeDeviceSettings"});
            BOOST_TEST(r.process.out == "");
            BOOST_TEST(r.verdicts["main"] == "aborted 4/1 | errorCommandRefused: std::exception");
            const Lines tcp = tcpLog(c, from);
            std::string codes;
            for (const std::string& frame : frames(tcp, "10 12 13 14 15 22 25"))
                codes += frame.substr(0, 3);
            BOOST_TEST(codes == sent);
            BOOST_TEST(frames(tcp, "2a").size() == 5u, "variable writes besides the disconnect's five");
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

// The shipped example finds its board by discovery, so it runs in a network of its own with one board,
// which tools/demo's options give a limit switch, a receiver and a faster clock.
BOOST_AUTO_TEST_SUITE(shipped_example)

// "main" stores a block whose diagnostic words are not the factory's, and init keeps the diagnostic
// words it reads: a board that keeps its settings must still pass the next run as it did the first.
BOOST_AUTO_TEST_CASE(main_passes_again_on_the_board_it_stored_its_settings_on)
{
    requireTestNetwork();
    scratchDir dir("qzsmc-example");
    const auto examples = testnetScript().parent_path().parent_path() / "examples";
    for (const char* file : {"qzsmc_test.info", "logger.xml"})
        writeFile(dir.path() / file, readFile(examples / file));
    const std::string settingsFile = dir.file("board-settings");
    board b{1, "10.77.1.10",
            {"--time-scale", "100", "--limit-switch", "-6000", "--receiver", "300", "--settings-file", settingsFile}};

    const std::string first = runTerminal(dir.path(), "main").verdicts["main"];
    BOOST_TEST(first.rfind("passed ", 0) == 0, "first run: " << first);
    // the five driver registers, then the block with channel 0's mask and polarity set
    BOOST_TEST(hex(readFile(settingsFile)).substr(40) == block({1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}));
    const std::string second = runTerminal(dir.path(), "main").verdicts["main"];
    BOOST_TEST(second == first, "second run: " << second);
}

BOOST_AUTO_TEST_SUITE_END()
