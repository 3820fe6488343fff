// End-to-end: the real qzsmctest in fresh scratch directories, stdin from /dev/null.
// Only commands that send nothing appear in the scripts here.
#define BOOST_TEST_MODULE e2e_command_loop
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <boost/cstdlib.hpp>

#include "support/process.hpp"
#include "support/terminal.hpp"

using Lines = std::vector<std::string>;

namespace {

// A hung terminal (e.g. "query" waiting on input) must fail the test, not stall it.
constexpr std::chrono::seconds runLimit{60};

constexpr int testFailure = boost::exit_test_failure;

// The terminal with the script options of the support runner; it must finish.
qz::test::terminalRun runScripts(const qz::test::scratchDir& dir, const std::string& runTest = "")
{
    auto run = qz::test::runTerminal(dir.path(), runTest, runLimit);
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << run.process.out << "stderr:\n" << run.process.err);
    BOOST_REQUIRE_MESSAGE(!run.process.timedOut, "qzsmctest did not finish within 60 s; stdout:\n"
                                                     << run.process.out);
    return run;
}

bool exited(const qz::test::runResult& r)
{
    return r.termSignal == 0;
}

void write(const qz::test::scratchDir& dir, const std::string& name, const std::string& text)
{
    qz::test::writeFile(dir.path() / name, text);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(test_module)

BOOST_AUTO_TEST_CASE(list_content_shows_module_and_cases_in_order)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    const std::string terminal = qz::test::terminalPath().string();
    const auto plain = qz::test::run({terminal, "--list_content"}, dir.path().string(), runLimit);
    BOOST_REQUIRE(!plain.timedOut);
    BOOST_TEST(exited(plain));
    BOOST_TEST(plain.exitCode == 0);
    // The plain listing leaves the master suite out; one line per case, in order.
    BOOST_TEST(plain.err == "main*\nupdate_firmware*\nspeed*\nlimit*\n");

    const auto dot = qz::test::run({terminal, "--list_content=DOT"}, dir.path().string(), runLimit);
    BOOST_REQUIRE(!dot.timedOut);
    BOOST_TEST(dot.exitCode == 0);
    BOOST_TEST(dot.err.find("tu1[shape=ellipse,peripheries=2,fontname=Helvetica,color=green,"
                            "label=\"QuorzelSingleMotorController\"]") != std::string::npos);
    // Each case is a direct child of the master suite, in registration order.
    const std::string caseMarker = "shape=Mrecord,fontname=Helvetica,color=green,label=\"";
    Lines cases;
    std::istringstream dotLines(dot.err);
    std::string line, next;
    std::getline(dotLines, line);
    while (std::getline(dotLines, next)) {
        const auto at = line.find(caseMarker);
        if (at != std::string::npos && next.rfind("tu1 -> ", 0) == 0) {
            const auto from = at + caseMarker.size();
            cases.push_back(line.substr(from, line.find('|', from) - from));
        }
        line = next;
    }
    BOOST_TEST(cases == Lines({"main", "update_firmware", "speed", "limit"}), boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(each_case_runs_its_own_section_of_its_own_file)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info",
          "main { sleep 1 }\nupdate_firmware { sleep 2 }\nspeed { sleep 3 }\nlimit { sleep 4 }\n");
    write(dir, "firmware.info",
          "main { sleep 11 }\nupdate_firmware { sleep 12 }\nspeed { sleep 13 }\nlimit { sleep 14 }\n");
    const auto run = runScripts(dir);
    BOOST_TEST(exited(run.process));
    BOOST_TEST(run.process.exitCode == 0);
    BOOST_TEST(run.events == Lines({"enter main", "sleeping for 1 ms", "enter update_firmware", "sleeping for 12 ms",
                                    "enter speed", "sleeping for 3 ms", "enter limit", "sleeping for 4 ms"}),
               boost::test_tools::per_element());
    BOOST_TEST(run.report.module == "QuorzelSingleMotorController");
    BOOST_TEST(run.report.order == Lines({"main", "update_firmware", "speed", "limit"}),
               boost::test_tools::per_element());
    for (const auto& name : {"main", "update_firmware", "speed", "limit"})
        BOOST_TEST(qz::test::caseSummary(run.report, name) == "passed 1/0", name);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(command_loop)

BOOST_AUTO_TEST_CASE(commands_run_in_file_order_past_an_unknown_key)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info", "defaultSpeed 100\n"
                                  "main\n{\n"
                                  "    sleep 0\n"
                                  "    moveMotr { pos 10 }\n"
                                  "    pingId QZ_OTHER\n"
                                  "    runProgram\n"
                                  "    pingId \"\"\n"
                                  "    sleep 150\n"
                                  "    sleep 150\n"
                                  "}\n"
                                  "speed { sleep 99 }\n");
    const auto run = runScripts(dir, "main");
    BOOST_TEST(exited(run.process));
    BOOST_TEST(run.process.exitCode == testFailure);
    // pingId and runProgram print nothing; the same command twice runs twice.
    BOOST_TEST(run.events == Lines({"enter main", "sleeping for 0 ms", "error: command <moveMotr> not found",
                                    "sleeping for 150 ms", "sleeping for 150 ms"}),
               boost::test_tools::per_element());
    BOOST_TEST(run.elapsed.count() >= 300, "both sleeps slept; took " << run.elapsed.count() << " ms");
    // One check per command: six found, one not.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "failed 6/1");
    BOOST_TEST(run.report.order == Lines({"main"}), boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(missing_or_empty_section_runs_and_checks_nothing)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info", "defaultSpeed fast\nmain\n{\n}\nlimit { sleep 0 }\n");
    const auto run = runScripts(dir, "main,speed");
    BOOST_TEST(exited(run.process));
    BOOST_TEST(run.process.exitCode == 0);
    BOOST_TEST(run.events == Lines({"enter main", "enter speed"}), boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "passed 0/0");
    BOOST_TEST(qz::test::caseSummary(run.report, "speed") == "passed 0/0");
}

BOOST_AUTO_TEST_CASE(unreadable_info_file_ends_only_its_case)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info", "main { sleep 1 }\nspeed { sleep 3 }\n");
    const auto missing = runScripts(dir);
    BOOST_TEST(exited(missing.process));
    BOOST_TEST(missing.process.exitCode == testFailure);
    BOOST_TEST(missing.events == Lines({"enter main", "sleeping for 1 ms", "enter update_firmware",
                                        "exception: firmware.info: cannot open file for reading", "enter speed",
                                        "sleeping for 3 ms", "enter limit"}),
               boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(missing.report, "main") == "passed 1/0");
    BOOST_TEST(qz::test::caseSummary(missing.report, "update_firmware") == "aborted 0/1");
    BOOST_TEST(qz::test::caseSummary(missing.report, "speed") == "passed 1/0");
    BOOST_TEST(qz::test::caseSummary(missing.report, "limit") == "passed 0/0");

    // A syntax error fails the same way, with the parser's message and line.
    write(dir, "firmware.info", "update_firmware\n{\n    sleep 5\n");
    write(dir, "qzsmc_test.info", "main\n{\n    sleep 1\n}\n}\nspeed { sleep 3 }\n");
    const auto malformed = runScripts(dir, "main,update_firmware");
    BOOST_TEST(malformed.process.exitCode == testFailure);
    const auto& lines = malformed.events;
    BOOST_REQUIRE_EQUAL(lines.size(), 4u);
    BOOST_TEST(lines[0] == "enter main");
    BOOST_TEST(lines[1].rfind("exception: qzsmc_test.info(5): ", 0) == 0, lines[1]);
    BOOST_TEST(lines[2] == "enter update_firmware");
    BOOST_TEST(lines[3].rfind("exception: firmware.info(", 0) == 0, lines[3]);
    BOOST_TEST(qz::test::caseSummary(malformed.report, "main") == "aborted 0/1");
    BOOST_TEST(qz::test::caseSummary(malformed.report, "update_firmware") == "aborted 0/1");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(trivial_commands)

BOOST_AUTO_TEST_CASE(query_at_end_of_input_returns_at_once)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info", "limit\n{\n"
                                  "    query \"Mount the motor\"\n"
                                  "    query second\n"
                                  "    sleep 0\n"
                                  "}\n");
    const auto run = runScripts(dir, "limit");
    BOOST_TEST(run.process.exitCode == 0);
    // The prompt has no newline: the next output continues its line.
    BOOST_TEST(run.events == Lines({"enter limit", "Mount the motor", "press 'Enter' to continuesecond",
                                    "press 'Enter' to continuesleeping for 0 ms"}),
               boost::test_tools::per_element());
    BOOST_TEST(qz::test::caseSummary(run.report, "limit") == "passed 3/0");
}

BOOST_AUTO_TEST_CASE(sleep_without_an_unsigned_number_ends_the_case_silently)
{
    qz::test::scratchDir dir("qzsmc-e2e");
    write(dir, "qzsmc_test.info", "main\n{\n    sleep abc\n    sleep 0\n}\n"
                                  "speed\n{\n    sleep 0\n}\n"
                                  "limit\n{\n    sleep -5\n    sleep 0\n}\n");
    const auto run = runScripts(dir, "main,speed,limit");
    BOOST_TEST(exited(run.process));
    BOOST_TEST(run.process.exitCode == testFailure);
    const auto& lines = run.events;
    BOOST_REQUIRE_EQUAL(lines.size(), 6u);
    BOOST_TEST(lines[0] == "enter main");
    BOOST_TEST(lines[1].rfind("exception: conversion of data to type", 0) == 0, lines[1]);
    BOOST_TEST(lines[2] == "enter speed");
    BOOST_TEST(lines[3] == "sleeping for 0 ms");
    BOOST_TEST(lines[4] == "enter limit");
    BOOST_TEST(lines[5].rfind("exception: conversion of data to type", 0) == 0, lines[5]);
    // The failed sleep's own check passed; the exception is the one failure.
    BOOST_TEST(qz::test::caseSummary(run.report, "main") == "aborted 1/1");
    BOOST_TEST(qz::test::caseSummary(run.report, "speed") == "passed 1/0");
    BOOST_TEST(qz::test::caseSummary(run.report, "limit") == "aborted 1/1");
}

BOOST_AUTO_TEST_SUITE_END()
