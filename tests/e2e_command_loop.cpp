// End-to-end: the real qzsmctest's test module and command loop, stdin from /dev/null.
// Only commands that send nothing appear in the scripts here.
#define BOOST_TEST_MODULE e2e_command_loop
#include <boost/test/unit_test.hpp>

#include "support/terminal.hpp"

using namespace qz::test;

BOOST_AUTO_TEST_SUITE(command_loop)

BOOST_AUTO_TEST_CASE(each_case_runs_its_own_section_command_by_command)
{
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "qzsmc_test.info",
              "main\n{\n    sleep 1\n    moveMotr { pos 10 }\n    pingId QZ_OTHER\n    runProgram\n    sleep 150\n"
              "    sleep 150\n}\nupdate_firmware { sleep 2 }\n"
              "speed\n{\n    query \"Mount the motor\"\n    query second\n    sleep 3\n}\n"
              "limit\n{\n    sleep 4\n    sleep -5\n    sleep 0\n}\n");
    writeFile(dir.path() / "firmware.info",
              "main { sleep 11 }\nupdate_firmware { sleep 12 }\nspeed { sleep 13 }\nlimit { sleep 14 }\n");
    auto r = runTerminal(dir.path());
    // The cases run in order. An unknown key is one failed check and the loop goes on; pingId and
    // runProgram print nothing; "query" at end of input goes on at once, its prompt without a newline.
    BOOST_TEST(r.process.out == "sleeping for 1 ms\nsleeping for 150 ms\nsleeping for 150 ms\nsleeping for 12 ms\n"
                                "Mount the motor\npress 'Enter' to continuesecond\n"
                                "press 'Enter' to continuesleeping for 3 ms\nsleeping for 4 ms\n");
    BOOST_TEST(r.ms >= 300, "both sleeps slept; took " << r.ms << " ms");
    BOOST_TEST(r.module == "QuorzelSingleMotorController");
    BOOST_TEST(r.verdicts["main"] == "failed 5/1 | command <moveMotr> not found");
    BOOST_TEST(r.verdicts["update_firmware"] == "passed 1/0");
    BOOST_TEST(r.verdicts["speed"] == "passed 3/0");
    BOOST_TEST(r.verdicts["limit"] ==
               "aborted 2/1 | ptree_bad_data: conversion of data to type \"j\" failed: \"sleep\" is \"-5\"");
}

BOOST_AUTO_TEST_CASE(a_missing_file_section_or_number_ends_only_its_case)
{
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "qzsmc_test.info", "main\n{\n}\nlimit\n{\n    sleep abc\n    sleep 0\n}\n");
    auto r = runTerminal(dir.path());
    BOOST_TEST(r.process.out.empty(), r.process.out);
    BOOST_TEST(r.verdicts["main"] == "passed 0/0");
    BOOST_TEST(r.verdicts["update_firmware"] ==
               "aborted 0/1 | info_parser_error: firmware.info: cannot open file for reading");
    BOOST_TEST(r.verdicts["speed"] == "passed 0/0");
    BOOST_TEST(r.verdicts["limit"] ==
               "aborted 1/1 | ptree_bad_data: conversion of data to type \"j\" failed: \"sleep\" is \"abc\"");
}

BOOST_AUTO_TEST_CASE(a_script_and_an_included_file_saved_with_a_byte_order_mark_run)
{
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "qzsmc_test.info", "\xEF\xBB\xBFmain\n{\n    sleep 1\n#include \"in.info\"\n}\n");
    writeFile(dir.path() / "in.info", "\xEF\xBB\xBFsleep 2\n");
    auto r = runTerminal(dir.path(), "main");
    BOOST_TEST(r.process.out == "sleeping for 1 ms\nsleeping for 2 ms\n");
    BOOST_TEST(r.verdicts["main"] == "passed 2/0");
}

BOOST_AUTO_TEST_CASE(a_script_nested_past_256_levels_is_refused_before_its_tree_is_built)
{
    // n levels of "a {" around inner, in an unused section (its own level counts).
    const auto nest = [](int n, const std::string& inner) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "a {\n";
        s += inner;
        for (int i = 0; i < n; ++i) s += "}\n";
        return "unused\n{\n" + s + "}\n";
    };
    const std::string passed = "passed 1/0", refused = "aborted 0/1 | info_parser_error: ";
    // Braces inside quotes, comments, continued lines and words open nothing.
    const std::string noBraces = "k \"{ {\" ; { {\nc \"{\" \\\n  \"{\"\nw{ x{\n";
    struct { const char *what; std::string script, included, verdict; } const rows[] = {
        {"200,000 levels", nest(200000, ""), "", refused + "qzsmc_test.info(262): nested deeper than 256 levels"},
        {"256 levels", nest(255, ""), "", passed},
        {"braces that open nothing", nest(254, noBraces), "", passed},
        {"closed levels count no more", nest(200, "") + nest(200, ""), "", passed},
        {"an included file counts from where it is included", nest(150, "#include \"in.info\"\n"),
         nest(105, ""), refused + "in.info(107): nested deeper than 256 levels"},
    };
    for (const auto& row : rows) {
        BOOST_TEST_CONTEXT(row.what)
        {
            scratchDir dir("qzsmc-e2e");
            writeFile(dir.path() / "qzsmc_test.info", "main\n{\n    sleep 0\n}\n" + row.script);
            writeFile(dir.path() / "in.info", row.included);
            auto r = runTerminal(dir.path(), "main");
            BOOST_TEST(r.verdicts["main"] == row.verdict);
            BOOST_TEST(r.process.out == (row.verdict == passed ? "sleeping for 0 ms\n" : ""));
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
