// End-to-end: the real qzsmctest in fresh scratch directories, stdin from /dev/null.
// Only commands that send nothing appear in the scripts here.
#define BOOST_TEST_MODULE e2e_command_loop
#include <boost/test/unit_test.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/cstdlib.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#ifndef QZSMCTEST_PATH
#error "QZSMCTEST_PATH must name the qzsmctest executable"
#endif

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// A fresh directory that is removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "qzsmc-e2e-XXXXXX").string();
        BOOST_REQUIRE_MESSAGE(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return path_; }

    void write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path_ / name) << text;
    }

    std::string read(const std::string& name) const
    {
        std::ifstream in(path_ / name);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    fs::path path_;
};

struct Outcome {
    bool exited = false;  // false: killed by a signal
    int code = -1;        // exit code or signal number
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{};
};

// Local fork/exec runner: cwd = dir, stdin = /dev/null, stdout/stderr to files in dir.
Outcome runTester(const ScratchDir& dir, const Lines& args)
{
    const std::string outFile = (dir.path() / "child.out").string();
    const std::string errFile = (dir.path() / "child.err").string();
    std::vector<std::string> argvText{QZSMCTEST_PATH};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    BOOST_REQUIRE_MESSAGE(pid >= 0, "fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.path().c_str()) != 0 || dup2(in, 0) < 0 ||
            dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }

    // A hung child (e.g. "query" waiting on input) must fail the test, not stall it.
    const auto limit = start + std::chrono::seconds(60);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    Outcome result;
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    result.out = dir.read("child.out");
    result.err = dir.read("child.err");
    BOOST_REQUIRE_MESSAGE(done != 0, "qzsmctest did not finish within 60 s; stdout:\n" << result.out);
    result.exited = WIFEXITED(status);
    result.code = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    BOOST_TEST_MESSAGE("qzsmctest stdout:\n" << result.out << "stderr:\n" << result.err);
    return result;
}

// Framework options shared by the script runs: log to stdout interleaved with the
// commands' output, XML report into a file.
Lines scriptArgs(const std::string& runTest = "")
{
    Lines args{"--log_format=HRF", "--log_level=test_suite", "--color_output=no", "--report_format=XML",
               "--report_level=detailed", "--report_sink=report.xml"};
    if (!runTest.empty())
        args.push_back("--run_test=" + runTest);
    return args;
}

// The text after `marker` up to the next `stop`, or none.
boost::optional<std::string> textAfter(const std::string& line, const std::string& marker, const std::string& stop)
{
    const auto start = line.find(marker);
    if (start == std::string::npos)
        return boost::none;
    const auto from = start + marker.size();
    return line.substr(from, stop.empty() ? std::string::npos : line.find(stop, from) - from);
}

// stdout reduced to what the scripts decide: "enter <case>" for each started test
// case, "error: <msg>" for a failed check, "exception: <what>" for an exception
// that ended a case, and the commands' own lines.
Lines events(const std::string& out)
{
    Lines result;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("Running ", 0) == 0 || line.find("test module \"") != std::string::npos ||
            line.find("Leaving test case") != std::string::npos || line.find(": fatal error: in ") != std::string::npos ||
            line.rfind("Dynamic exception type:", 0) == 0 || line.find("last checkpoint") != std::string::npos ||
            line.find("did not check any assertions") != std::string::npos ||
            line.find("is skipped because disabled") != std::string::npos)
            continue;
        if (const auto name = textAfter(line, "Entering test case \"", "\""))
            result.push_back("enter " + *name);
        else if (const auto check = textAfter(line, ": error: in \"", ""))
            result.push_back("error: " + check->substr(check->find("\": ") + 3));
        else if (line.rfind("std::exception::what: ", 0) == 0)
            result.push_back("exception: " + line.substr(22));
        else
            result.push_back(line);
    }
    return result;
}

struct CaseResult {
    std::string result;
    int passed = -1;
    int failed = -1;
};

struct Report {
    std::string module;
    std::vector<std::string> order;
    std::map<std::string, CaseResult> cases;
};

Report readReport(const ScratchDir& dir)
{
    std::istringstream text(dir.read("report.xml"));
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(text, tree);
    Report report;
    const auto& suite = tree.get_child("TestResult.TestSuite");
    report.module = suite.get<std::string>("<xmlattr>.name");
    for (const auto& child : suite) {
        if (child.first != "TestCase")
            continue;
        const auto name = child.second.get<std::string>("<xmlattr>.name");
        report.order.push_back(name);
        // Read as text: the stream conversion trips a false maybe-uninitialized warning.
        report.cases[name] = {child.second.get<std::string>("<xmlattr>.result"),
                              std::stoi(child.second.get<std::string>("<xmlattr>.assertions_passed")),
                              std::stoi(child.second.get<std::string>("<xmlattr>.assertions_failed"))};
    }
    return report;
}

void checkCase(const Report& report, const std::string& name, const std::string& result, int passed, int failed)
{
    const auto found = report.cases.find(name);
    BOOST_REQUIRE_MESSAGE(found != report.cases.end(), "no report for test case " << name);
    BOOST_TEST(found->second.result == result, name << " result " << found->second.result);
    BOOST_TEST(found->second.passed == passed, name << " assertions passed " << found->second.passed);
    BOOST_TEST(found->second.failed == failed, name << " assertions failed " << found->second.failed);
}

constexpr int testFailure = boost::exit_test_failure;

}  // namespace

BOOST_AUTO_TEST_SUITE(test_module)

BOOST_AUTO_TEST_CASE(list_content_shows_module_and_cases_in_order)
{
    ScratchDir dir;
    const auto plain = runTester(dir, {"--list_content"});
    BOOST_TEST(plain.exited);
    BOOST_TEST(plain.code == 0);
    // The plain listing leaves the master suite out; one line per case, in order.
    BOOST_TEST(plain.err == "main*\nupdate_firmware*\nspeed*\nlimit*\n");

    const auto dot = runTester(dir, {"--list_content=DOT"});
    BOOST_TEST(dot.code == 0);
    BOOST_TEST(dot.err.find("tu1[shape=ellipse,peripheries=2,fontname=Helvetica,color=green,"
                            "label=\"QuorzelSingleMotorController\"]") != std::string::npos);
    // Each case is a direct child of the master suite, in registration order.
    Lines cases;
    std::istringstream dotLines(dot.err);
    std::string line, next;
    std::getline(dotLines, line);
    while (std::getline(dotLines, next)) {
        const auto name = textAfter(line, "shape=Mrecord,fontname=Helvetica,color=green,label=\"", "|");
        if (name && next.rfind("tu1 -> ", 0) == 0)
            cases.push_back(*name);
        line = next;
    }
    BOOST_TEST(cases == Lines({"main", "update_firmware", "speed", "limit"}), boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(each_case_runs_its_own_section_of_its_own_file)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info",
              "main { sleep 1 }\nupdate_firmware { sleep 2 }\nspeed { sleep 3 }\nlimit { sleep 4 }\n");
    dir.write("firmware.info",
              "main { sleep 11 }\nupdate_firmware { sleep 12 }\nspeed { sleep 13 }\nlimit { sleep 14 }\n");
    const auto run = runTester(dir, scriptArgs());
    BOOST_TEST(run.exited);
    BOOST_TEST(run.code == 0);
    BOOST_TEST(events(run.out) == Lines({"enter main", "sleeping for 1 ms", "enter update_firmware",
                                         "sleeping for 12 ms", "enter speed", "sleeping for 3 ms", "enter limit",
                                         "sleeping for 4 ms"}),
               boost::test_tools::per_element());
    const auto report = readReport(dir);
    BOOST_TEST(report.module == "QuorzelSingleMotorController");
    BOOST_TEST(report.order == Lines({"main", "update_firmware", "speed", "limit"}),
               boost::test_tools::per_element());
    for (const auto& name : report.order)
        checkCase(report, name, "passed", 1, 0);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(command_loop)

BOOST_AUTO_TEST_CASE(commands_run_in_file_order_past_an_unknown_key)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info", "defaultSpeed 100\n"
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
    const auto run = runTester(dir, scriptArgs("main"));
    BOOST_TEST(run.exited);
    BOOST_TEST(run.code == testFailure);
    // pingId and runProgram print nothing; the same command twice runs twice.
    BOOST_TEST(events(run.out) == Lines({"enter main", "sleeping for 0 ms", "error: command <moveMotr> not found",
                                         "sleeping for 150 ms", "sleeping for 150 ms"}),
               boost::test_tools::per_element());
    BOOST_TEST(run.elapsed.count() >= 300, "both sleeps slept; took " << run.elapsed.count() << " ms");
    // One check per command: six found, one not.
    const auto report = readReport(dir);
    checkCase(report, "main", "failed", 6, 1);
    BOOST_TEST(report.order == Lines({"main"}), boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(missing_or_empty_section_runs_and_checks_nothing)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info", "defaultSpeed fast\nmain\n{\n}\nlimit { sleep 0 }\n");
    const auto run = runTester(dir, scriptArgs("main,speed"));
    BOOST_TEST(run.exited);
    BOOST_TEST(run.code == 0);
    BOOST_TEST(events(run.out) == Lines({"enter main", "enter speed"}), boost::test_tools::per_element());
    const auto report = readReport(dir);
    checkCase(report, "main", "passed", 0, 0);
    checkCase(report, "speed", "passed", 0, 0);
}

BOOST_AUTO_TEST_CASE(unreadable_info_file_ends_only_its_case)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info", "main { sleep 1 }\nspeed { sleep 3 }\n");
    const auto missing = runTester(dir, scriptArgs());
    BOOST_TEST(missing.exited);
    BOOST_TEST(missing.code == testFailure);
    BOOST_TEST(events(missing.out) == Lines({"enter main", "sleeping for 1 ms", "enter update_firmware",
                                             "exception: firmware.info: cannot open file for reading",
                                             "enter speed", "sleeping for 3 ms", "enter limit"}),
               boost::test_tools::per_element());
    auto report = readReport(dir);
    checkCase(report, "main", "passed", 1, 0);
    checkCase(report, "update_firmware", "aborted", 0, 1);
    checkCase(report, "speed", "passed", 1, 0);
    checkCase(report, "limit", "passed", 0, 0);

    // A syntax error fails the same way, with the parser's message and line.
    dir.write("firmware.info", "update_firmware\n{\n    sleep 5\n");
    dir.write("qzsmc_test.info", "main\n{\n    sleep 1\n}\n}\nspeed { sleep 3 }\n");
    const auto malformed = runTester(dir, scriptArgs("main,update_firmware"));
    BOOST_TEST(malformed.code == testFailure);
    const auto lines = events(malformed.out);
    BOOST_REQUIRE_EQUAL(lines.size(), 4u);
    BOOST_TEST(lines[0] == "enter main");
    BOOST_TEST(lines[1].rfind("exception: qzsmc_test.info(5): ", 0) == 0, lines[1]);
    BOOST_TEST(lines[2] == "enter update_firmware");
    BOOST_TEST(lines[3].rfind("exception: firmware.info(", 0) == 0, lines[3]);
    report = readReport(dir);
    checkCase(report, "main", "aborted", 0, 1);
    checkCase(report, "update_firmware", "aborted", 0, 1);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(trivial_commands)

BOOST_AUTO_TEST_CASE(query_at_end_of_input_returns_at_once)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info", "limit\n{\n"
                                 "    query \"Mount the motor\"\n"
                                 "    query second\n"
                                 "    sleep 0\n"
                                 "}\n");
    const auto run = runTester(dir, scriptArgs("limit"));
    BOOST_TEST(run.code == 0);
    // The prompt has no newline: the next output continues its line.
    BOOST_TEST(events(run.out) == Lines({"enter limit", "Mount the motor", "press 'Enter' to continuesecond",
                                         "press 'Enter' to continuesleeping for 0 ms"}),
               boost::test_tools::per_element());
    checkCase(readReport(dir), "limit", "passed", 3, 0);
}

BOOST_AUTO_TEST_CASE(sleep_without_an_unsigned_number_ends_the_case_silently)
{
    ScratchDir dir;
    dir.write("qzsmc_test.info", "main\n{\n    sleep abc\n    sleep 0\n}\n"
                                 "speed\n{\n    sleep 0\n}\n"
                                 "limit\n{\n    sleep -5\n    sleep 0\n}\n");
    const auto run = runTester(dir, scriptArgs("main,speed,limit"));
    BOOST_TEST(run.exited);
    BOOST_TEST(run.code == testFailure);
    const auto lines = events(run.out);
    BOOST_REQUIRE_EQUAL(lines.size(), 6u);
    BOOST_TEST(lines[0] == "enter main");
    BOOST_TEST(lines[1].rfind("exception: conversion of data to type", 0) == 0, lines[1]);
    BOOST_TEST(lines[2] == "enter speed");
    BOOST_TEST(lines[3] == "sleeping for 0 ms");
    BOOST_TEST(lines[4] == "enter limit");
    BOOST_TEST(lines[5].rfind("exception: conversion of data to type", 0) == 0, lines[5]);
    // The failed sleep's own check passed; the exception is the one failure.
    const auto report = readReport(dir);
    checkCase(report, "main", "aborted", 1, 1);
    checkCase(report, "speed", "passed", 1, 0);
    checkCase(report, "limit", "aborted", 1, 1);
}

BOOST_AUTO_TEST_SUITE_END()
