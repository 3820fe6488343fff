#include "support/terminal.hpp"

#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

namespace qz::test {

namespace {

bool contains(const std::string& s, const char* text) { return s.find(text) != std::string::npos; }

// The framework's own lines, which say nothing about the script.
bool noise(const std::string& line)
{
    for (const char* start : {"Running ", "Dynamic exception type:"})
        if (line.rfind(start, 0) == 0)
            return true;
    for (const char* text : {"test module \"", "Leaving test case", ": fatal error: in ", "last checkpoint",
                             "did not check any assertions", "is skipped because disabled"})
        if (contains(line, text))
            return true;
    return line.empty();
}

std::vector<std::string> events(const std::string& out)
{
    static const std::string enter = "Entering test case \"", error = ": error: in \"",
                             exception = "std::exception::what: ";
    std::vector<std::string> result;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (noise(line))
            continue;
        if (const auto at = line.find(enter); at != std::string::npos) {
            const auto from = at + enter.size();
            result.push_back("enter " + line.substr(from, line.find('"', from) - from));
        } else if (const auto at = line.find(error); at != std::string::npos)
            result.push_back("error: " + line.substr(line.find("\": ", at + error.size()) + 3));
        else if (line.rfind(exception, 0) == 0)
            result.push_back("exception: " + line.substr(exception.size()));
        else
            result.push_back(line);
    }
    return result;
}

terminalReport readReport(const boost::filesystem::path& file)
{
    terminalReport report;
    if (!boost::filesystem::exists(file))
        return report;
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(file.string(), tree);
    const auto& suite = tree.get_child("TestResult.TestSuite");
    report.module = suite.get<std::string>("<xmlattr>.name");
    for (const auto& [tag, child] : suite) {
        if (tag != "TestCase")
            continue;
        const auto name = child.get<std::string>("<xmlattr>.name");
        report.order.push_back(name);
        // Read as text: the stream conversion trips a false maybe-uninitialized warning.
        report.cases[name] = {child.get<std::string>("<xmlattr>.result"),
                              std::stoi(child.get<std::string>("<xmlattr>.assertions_passed")),
                              std::stoi(child.get<std::string>("<xmlattr>.assertions_failed"))};
    }
    return report;
}

}  // namespace

boost::filesystem::path terminalPath()
{
    return QZSMCTEST_PATH;
}

terminalRun runTerminal(const boost::filesystem::path& dir, const std::string& runTest,
                        std::chrono::milliseconds timeout, const std::string& stdinText)
{
    std::vector<std::string> argv{terminalPath().string(), "--log_format=HRF",    "--log_level=test_suite",
                                  "--color_output=no",     "--report_format=XML", "--report_level=detailed",
                                  "--report_sink=report.xml"};
    if (!runTest.empty())
        argv.push_back("--run_test=" + runTest);
    boost::filesystem::remove(dir / "report.xml");
    terminalRun r;
    const auto start = std::chrono::steady_clock::now();
    r.process = run(argv, dir.string(), timeout, stdinText);
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    r.events = events(r.process.out);
    r.report = readReport(dir / "report.xml");
    return r;
}

std::string caseSummary(const terminalReport& report, const std::string& name)
{
    const auto found = report.cases.find(name);
    if (found == report.cases.end())
        return "no report for " + name;
    return found->second.result + " " + std::to_string(found->second.passed) + "/" +
           std::to_string(found->second.failed);
}

terminalRun runMainScript(const std::vector<std::string>& rootKeys, const std::vector<std::string>& commands,
                          bool quietConsole)
{
    std::string script;
    for (const std::string& k : rootKeys)
        script += k + "\n";
    script += "main\n{\n";
    for (const std::string& c : commands)
        script += "    " + c + "\n";
    scratchDir dir("qzsmc-e2e");
    writeFile(dir.path() / "qzsmc_test.info", script + "}\n");
    if (quietConsole)
        writeFile(dir.path() / "logger.xml",
                  "<config><synchronous>true</synchronous><folder>Logs</folder><level>trace</level></config>\n");
    return runTerminal(dir.path(), "main", std::chrono::seconds(60));
}

}  // namespace qz::test
