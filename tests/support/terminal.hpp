// Running the real qzsmctest from end-to-end tests and reading what it reports:
// its stdout reduced to the events a script decides, and its XML report.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "support/process.hpp"

namespace qz::test {

// The qzsmctest executable of this build.
boost::filesystem::path terminalPath();

struct caseResult {
    std::string result;  // "passed", "failed", "aborted"
    int passed = -1;     // assertions
    int failed = -1;
};

struct terminalReport {
    std::string module;
    std::vector<std::string> order;
    std::map<std::string, caseResult> cases;
};

struct terminalRun {
    runResult process;
    std::chrono::milliseconds elapsed{};
    // stdout as "enter <case>", "error: <check message>", "exception: <what>" and
    // the commands' own lines, in order.
    std::vector<std::string> events;
    terminalReport report;  // empty when the run wrote none
};

// Runs qzsmctest in dir (which holds its INFO files), optionally only the
// test case runTest, with its log on stdout and its report in dir/report.xml.
// Writes qzsmc_test.info of the root keys and a "main" section of the commands into a
// fresh directory and runs the "main" test case there. With quietConsole a logger.xml
// sends the records to a file, so stdout holds only the commands' lines.
terminalRun runMainScript(const std::vector<std::string>& rootKeys, const std::vector<std::string>& commands,
                          bool quietConsole = false);

terminalRun runTerminal(const boost::filesystem::path& dir, const std::string& runTest = "",
                        std::chrono::milliseconds timeout = std::chrono::seconds(120),
                        const std::string& stdinText = "");

// The case's result and assertion counts, as a text for comparisons: "passed 6/0".
std::string caseSummary(const terminalReport& report, const std::string& name);

}  // namespace qz::test
