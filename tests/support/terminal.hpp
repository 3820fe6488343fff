// Running the real qzsmctest from end-to-end tests and reading what it reports.
#pragma once

#include <future>
#include <map>
#include <numeric>

#include "support/process.hpp"
#include "support/testnet.hpp"

namespace qz::test {

using Lines = std::vector<std::string>;

inline Lines operator+(Lines a, const Lines& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

// The lines as a program prints them, each ended by a newline.
inline std::string text(const Lines& lines)
{
    return std::accumulate(lines.begin(), lines.end(), std::string(),
                           [](const std::string& all, const std::string& line) { return all + line + "\n"; });
}

// A board's network configuration as the tests state it; its IP and mask come from its LAN.
struct netRecord {
    std::string ip, gw = "10.77.1.254", mask = "255.255.255.0", dns1 = "10.77.1.53", dns2 = "9.9.9.9";
    std::string mac = "025a00000701", name = "bench-board-0007";  // mac: 12 lower-case hex digits
    unsigned dhcp = 1, ctrlPort = 10000;

    // The options of a simulated board with this record.
    Lines boardOptions(const std::string& hwId) const;
    // The nine lines the terminal prints for it: the 16 name bytes come out cut or NUL-filled.
    Lines printed() const;
};

struct terminalRun {
    runResult process;  // its stdout holds only the commands' own lines
    long ms = 0;
    std::string module;  // the master test suite
    // Per case, from the framework's XML report and log: "<result> <passed>/<failed>", then
    // " | <message>" per failed check, " | <type>: <what>" per exception and " | message <text>"
    // per log message of the terminal's own (not the framework's), in order.
    std::map<std::string, std::string> verdicts;
};

// Runs the test cases runTest of qzsmctest in dir, which holds its INFO files. Throws
// std::runtime_error when it hangs, crashes or ends other than the framework ends a run.
terminalRun runTerminal(const boost::filesystem::path& dir, const std::string& runTest = "*");

// Runs qzsmctest in dir with args alone (its log and report options among them), as a CI job runs
// it. Throws as runTerminal does.
runResult runTerminalWith(const boost::filesystem::path& dir, const Lines& args);

// What xmllint finds wrong with file; empty when it is well-formed XML.
std::string xmlErrors(const boost::filesystem::path& file);

// Runs the case `section` of a fresh INFO file of the root keys and that section of the
// commands, in dir, with a logger.xml that keeps the log records off stdout (they go to
// dir/Logs, see terminalLog).
terminalRun runScript(const boost::filesystem::path& dir, const std::string& file, const std::string& section,
                      const Lines& rootKeys, const Lines& commands);
// Sections of commands, each a test case, in file order.
using Sections = std::vector<std::pair<std::string, Lines>>;
// Writes dir/qzsmc_test.info of the root keys and the sections, and a logger.xml of trace records
// (flushed one by one when synchronous); returns the cases for --run_test.
std::string writeScript(const boost::filesystem::path& dir, const Lines& rootKeys, const Sections& sections,
                        bool synchronous);

// runScript of qzsmc_test.info's "main" in a scratch directory of its own.
terminalRun runMainScript(const Lines& rootKeys, const Lines& commands);
// The case "main" of the root keys and commands run from a shell on a thread of its own, as a user
// runs the terminal, so that it can be sent a signal meanwhile. tools/testnet starts its command in
// the background, which ignores SIGINT; a user's shell does not, so the shell here starts with it
// as the default. The log records (dir/Logs) are not flushed one by one.
class backgroundTerminal {
public:
    backgroundTerminal(const Lines& rootKeys, const Lines& commands) : backgroundTerminal(rootKeys, {{"main", commands}}) {}
    // The sections, each a case run in this order.
    backgroundTerminal(const Lines& rootKeys, const Sections& sections);
    ~backgroundTerminal();  // waits for the run, which ends at run()'s time limit at the latest
    // Sends sig to the terminal once it has started.
    void signal(int sig);
    // Whether it has ended within timeout, and then how.
    bool endsWithin(std::chrono::milliseconds timeout);
    runResult result();
    // The text of its log files.
    std::string log() const;
    // The framework's log and report, for failure messages.
    std::string reports() const;

private:
    scratchDir dir_{"qzsmc-background"};
    std::future<runResult> ended_;
};

// The records of the terminal's log files in dir/Logs that start with prefix (cut off) after
// their time stamp: "[btldr][info] " gives the messages of that channel and severity.
Lines terminalLog(const boost::filesystem::path& dir, const std::string& prefix);

// The lines of a board's log past line `from` that start with prefix (cut off); `from` moves
// to the log's end.
Lines boardLog(const board& b, std::size_t& from, const std::string& prefix);
// The control frames a board received past line `from`, in hex, without its connection events.
Lines controlFrames(const board& b, std::size_t& from);

// The control-connection lines of a board's log past line `from` ("accept", "close" and each
// frame's hex), read once the board has logged the end of the terminal's connection.
Lines tcpLog(const board& b, std::size_t& from);

// Waits until the board's log holds count lines equal to line.
bool waitForLines(const board& b, const std::string& line, long count, std::chrono::milliseconds timeout);

// "<code> <payload>" in hex of each frame among tcpLog's lines whose code is in `codes` ("12 13").
Lines frames(const Lines& tcp, const std::string& codes);

}  // namespace qz::test
