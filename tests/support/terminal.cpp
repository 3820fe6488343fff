#include "support/terminal.hpp"

#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

namespace qz::test {

namespace {

// The text after marker up to the next stop (to the end when stop is empty).
boost::optional<std::string> textAfter(const std::string& line, const std::string& marker, const std::string& stop)
{
    const auto start = line.find(marker);
    if (start == std::string::npos)
        return boost::none;
    const auto from = start + marker.size();
    return line.substr(from, stop.empty() ? std::string::npos : line.find(stop, from) - from);
}

}  // namespace

boost::filesystem::path terminalPath()
{
    return QZSMCTEST_PATH;
}

std::vector<std::string> terminalArgs(const std::string& runTest)
{
    std::vector<std::string> args{"--log_format=HRF",    "--log_level=test_suite", "--color_output=no",
                                  "--report_format=XML", "--report_level=detailed", "--report_sink=report.xml"};
    if (!runTest.empty())
        args.push_back("--run_test=" + runTest);
    return args;
}

terminalRun runTerminal(const boost::filesystem::path& dir, const std::string& runTest,
                        std::chrono::milliseconds timeout, const std::string& stdinText)
{
    std::vector<std::string> argv{terminalPath().string()};
    for (const std::string& a : terminalArgs(runTest))
        argv.push_back(a);
    boost::filesystem::remove(dir / "report.xml");
    terminalRun r;
    const auto start = std::chrono::steady_clock::now();
    r.process = run(argv, dir.string(), timeout, stdinText);
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    r.events = terminalEvents(r.process.out);
    r.report = readTerminalReport(dir);
    return r;
}

std::vector<std::string> terminalEvents(const std::string& out)
{
    std::vector<std::string> result;
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

terminalReport readTerminalReport(const boost::filesystem::path& dir)
{
    terminalReport report;
    if (!boost::filesystem::exists(dir / "report.xml"))
        return report;
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml((dir / "report.xml").string(), tree);
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

std::string caseSummary(const terminalReport& report, const std::string& name)
{
    const auto found = report.cases.find(name);
    if (found == report.cases.end())
        return "no report for " + name;
    return found->second.result + " " + std::to_string(found->second.passed) + "/" +
           std::to_string(found->second.failed);
}

}  // namespace qz::test
