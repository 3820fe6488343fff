#include "support/terminal.hpp"

#include <signal.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "support/common.hpp"

namespace qz::test {

// "<type>: <what>" from the framework's diagnostic of an exception, the type without namespaces or wrapper.
static std::string exceptionText(const std::string& d)
{
    const auto end = d.find('\n', d.find("Dynamic exception type: ")), what = d.find("std::exception::what: ");
    if (end == std::string::npos || what == std::string::npos) return d;
    const auto name = d.rfind("::", end) + 2;
    return d.substr(name, d.find_first_of(">\n", name) - name) + ": " +
           d.substr(what + 22, d.find('\n', what) - what - 22);
}

Lines netRecord::boardOptions(const std::string& hwId) const
{
    return {"--hwid", hwId, "--gw", gw, "--dns1", dns1, "--dns2", dns2, "--mac", mac, "--name", name,
            "--dhcp", std::to_string(dhcp), "--ctrl-port", std::to_string(ctrlPort)};
}

Lines netRecord::printed() const
{
    std::string macText = "MAC:  ";
    for (std::size_t i = 0; i < 12; i += 2) macText += (i ? "-" : "") + mac.substr(i, 2);
    return {"IP   " + ip, "GW   " + gw, "Mask " + mask, "DNS1 " + dns1, "DNS2 " + dns2, macText,
            "Name " + (name + std::string(16, '\0')).substr(0, 16), std::string("DHCP ") + (dhcp ? "1" : "0"),
            "CtrlPort " + std::to_string(ctrlPort)};
}

runResult runTerminalWith(const boost::filesystem::path& dir, const Lines& args)
{
    const runResult result = run(Lines{QZSMCTEST_PATH} + args, dir.string(), std::chrono::seconds(120));
    // 0: every check passed, 201: some failed; anything else is a crash or a sanitizer's report.
    if (result.termSignal != 0 || (result.exitCode != 0 && result.exitCode != 201))
        throw std::runtime_error("qzsmctest did not end cleanly: " + result.describe());
    return result;
}

std::string xmlErrors(const boost::filesystem::path& file)
{
    const runResult lint = run({"xmllint", "--noout", file.string()}, "", std::chrono::seconds(30));
    return lint.exitCode == 0 && lint.err.empty() ? std::string() : lint.describe();
}

terminalRun runTerminal(const boost::filesystem::path& dir, const std::string& runTest)
{
    terminalRun r;
    const auto start = std::chrono::steady_clock::now();
    r.process = runTerminalWith(dir, {"--run_test=" + runTest, "--log_format=XML", "--log_level=test_suite",
                                      "--log_sink=log.xml", "--report_format=XML", "--report_level=detailed",
                                      "--report_sink=report.xml"});
    r.ms = msSince(start);

    boost::property_tree::ptree log, report;
    boost::property_tree::read_xml((dir / "log.xml").string(), log);
    boost::property_tree::read_xml((dir / "report.xml").string(), report);
    std::map<std::string, std::string> failures;
    for (const auto& [tag, testCase] : log.get_child("TestLog.TestSuite"))
        for (const auto& [kind, entry] : testCase)
            if (kind == "Error" || kind == "FatalError" || kind == "Exception" ||
                (kind == "Message" && entry.get("<xmlattr>.file", "") != "boost.test framework"))
                failures[testCase.get("<xmlattr>.name", "")] +=
                    " | " + (kind == "Exception" ? exceptionText(entry.data())
                             : kind == "Message" ? "message " + entry.data() : entry.data());
    const auto& suite = report.get_child("TestResult.TestSuite");
    r.module = suite.get("<xmlattr>.name", "");
    for (const auto& [tag, testCase] : suite)
        if (tag == "TestCase") {
            const auto attribute = [&](const std::string& name) { return testCase.get("<xmlattr>." + name, ""); };
            r.verdicts[attribute("name")] = attribute("result") + " " + attribute("assertions_passed") + "/" +
                                            attribute("assertions_failed") + failures[attribute("name")];
        }
    return r;
}

terminalRun runScript(const boost::filesystem::path& dir, const std::string& file, const std::string& section,
                      const Lines& rootKeys, const Lines& commands)
{
    writeFile(dir / file, text(rootKeys) + section + "\n{\n" + text(commands) + "}\n");
    writeFile(dir / "logger.xml", "<config><level>trace</level></config>\n");
    return runTerminal(dir, section);
}

terminalRun runMainScript(const Lines& rootKeys, const Lines& commands)
{
    scratchDir dir("qzsmc-e2e");
    return runScript(dir.path(), "qzsmc_test.info", "main", rootKeys, commands);
}

std::string writeScript(const boost::filesystem::path& dir, const Lines& rootKeys, const Sections& sections,
                        bool synchronous)
{
    std::string info = text(rootKeys), cases;
    for (const auto& [name, commands] : sections) {
        info += name + "\n{\n" + text(commands) + "}\n";
        cases += (cases.empty() ? "" : ",") + name;
    }
    writeFile(dir / "qzsmc_test.info", info);
    writeFile(dir / "logger.xml", std::string("<config><level>trace</level><synchronous>") +
                                      (synchronous ? "true" : "false") + "</synchronous></config>\n");
    return cases;
}

backgroundTerminal::backgroundTerminal(const Lines& rootKeys, const Sections& sections)
{
    const std::string cases = writeScript(dir_.path(), rootKeys, sections, false);
    ended_ = std::async(std::launch::async, [this, cases] {
        return run({"env", "--default-signal=INT", "/bin/sh", "-c", "echo $$ > pid; exec \"$0\" \"$@\"", QZSMCTEST_PATH,
                    "--run_test=" + cases, "--log_sink=log.txt", "--report_sink=report.txt"},
                   dir_.path().string(), std::chrono::seconds(120));
    });
}

backgroundTerminal::~backgroundTerminal()
{
    if (ended_.valid())
        ended_.wait();
}

void backgroundTerminal::signal(int sig)
{
    // The shell writes its pid, then becomes the terminal.
    std::string pid;
    for (int i = 0; i < 250 && (pid.empty() || pid.back() != '\n'); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (boost::filesystem::exists(dir_.path() / "pid"))
            pid = readFile(dir_.path() / "pid");
    }
    if (pid.empty() || ::kill(std::stoi(pid), sig) != 0)
        throw std::runtime_error("cannot signal the terminal (pid '" + pid + "')");
}

bool backgroundTerminal::endsWithin(std::chrono::milliseconds timeout)
{
    return ended_.wait_for(timeout) == std::future_status::ready;
}

runResult backgroundTerminal::result()
{
    return ended_.get();
}

std::string backgroundTerminal::log() const
{
    std::string all;
    for (const auto& file : boost::filesystem::directory_iterator(dir_.path() / "Logs"))
        all += readFile(file.path());
    return all;
}

std::string backgroundTerminal::reports() const
{
    std::string all;
    for (const char* name : {"log.txt", "report.txt"})
        if (boost::filesystem::exists(dir_.path() / name))
            all += readFile(dir_.path() / name);
    return all;
}

Lines terminalLog(const boost::filesystem::path& dir, const std::string& prefix)
{
    Lines messages;
    if (!boost::filesystem::is_directory(dir / "Logs"))
        return messages;
    std::vector<boost::filesystem::path> files(boost::filesystem::directory_iterator(dir / "Logs"), {});
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::istringstream in(readFile(file));
        for (std::string line; std::getline(in, line);)
            if (line.compare(line.find(']') + 1, prefix.size(), prefix) == 0)
                messages.push_back(line.substr(line.find(']') + 1 + prefix.size()));
    }
    return messages;
}

Lines boardLog(const board& b, std::size_t& from, const std::string& prefix)
{
    const Lines lines = b.logLines();
    Lines found;
    for (; from < lines.size(); ++from)
        if (lines[from].rfind(prefix, 0) == 0) found.push_back(lines[from].substr(prefix.size()));
    return found;
}

Lines tcpLog(const board& b, std::size_t& from)
{
    b.waitForLogText("tcp close", std::chrono::seconds(3), from);  // logged a moment after the terminal ends
    return boardLog(b, from, "tcp ");
}

bool waitForLines(const board& b, const std::string& line, long count, std::chrono::milliseconds timeout)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const Lines lines = b.logLines();
        if (std::count(lines.begin(), lines.end(), line) >= count) return true;
        if (msSince(start) >= timeout.count()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Lines frames(const Lines& tcp, const std::string& codes)
{
    Lines found;
    for (const std::string& line : tcp)
        if (line != "accept" && line != "close" && codes.find(line.substr(4, 2)) != std::string::npos)
            found.push_back(line.substr(4, 2) + " " + line.substr(6));
    return found;
}

Lines controlFrames(const board& b, std::size_t& from)
{
    Lines found = boardLog(b, from, "tcp ");
    found.erase(std::remove_if(found.begin(), found.end(), [](const std::string& f) { return f.size() <= 6; }),
                found.end());
    return found;
}

}  // namespace qz::test
