#include "testnet.hpp"

#include "process.hpp"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>

#ifndef QZ_SOURCE_DIR
#error "QZ_SOURCE_DIR must name the source tree"
#endif

namespace qz::test {

namespace {

// tools/testnet waits up to QZ_TESTNET_START_TIMEOUT (15 s) for a board; the
// rest is set-up and tear-down.
constexpr std::chrono::seconds boardStartLimit{90};
constexpr std::chrono::seconds boardStopLimit{30};
constexpr std::chrono::milliseconds logPollInterval{20};

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// False also for a zombie: a run whose main process has ended is not live.
bool processAlive(const std::string& pid) {
  std::ifstream f("/proc/" + pid + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return false;
  const auto close = stat.rfind(") ");
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool allOf(const std::string& s, const char* chars) {
  return !s.empty() && s.find_first_not_of(chars) == std::string::npos;
}

// The pid part of a run prefix "qz<pid>-<4 hex digits>", empty when it is not one.
std::string prefixPid(const std::string& prefix) {
  const auto dash = prefix.find('-');
  if (prefix.rfind("qz", 0) != 0 || dash == std::string::npos || prefix.size() != dash + 5)
    return "";
  const std::string pid = prefix.substr(2, dash - 2);
  if (!allOf(pid, "0123456789") || !allOf(prefix.substr(dash + 1), "0123456789abcdef")) return "";
  return pid;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string testNetworkProblem() {
  const std::string prefix = env("QZ_TESTNET"), pc = env("QZ_TESTNET_PC");
  if (prefix.empty() || pc.empty())
    return "QZ_TESTNET/QZ_TESTNET_PC are not set (run under tools/testnet)";
  const std::string pid = prefixPid(prefix);
  if (pid.empty()) return "QZ_TESTNET='" + prefix + "' is not a test network prefix";
  if (pc != prefix + "-pc") return "QZ_TESTNET_PC='" + pc + "' does not belong to '" + prefix + "'";
  if (!processAlive(pid)) return "the run " + prefix + " has ended";
  struct stat theirs, mine;
  if (::stat(("/run/netns/" + pc).c_str(), &theirs) != 0)
    return "namespace " + pc + " does not exist";
  if (::stat("/proc/self/ns/net", &mine) != 0)
    return "cannot identify this process's network namespace";
  if (mine.st_dev != theirs.st_dev || mine.st_ino != theirs.st_ino)
    return "this process is not in namespace " + pc;
  return "";
}

void requireTestNetwork() {
  const std::string problem = testNetworkProblem();
  if (!problem.empty())
    throw std::runtime_error("not inside a test network, refusing to touch the network: " +
                             problem);
}

testNetwork currentTestNetwork() {
  requireTestNetwork();
  return {env("QZ_TESTNET"), env("QZ_TESTNET_PC"), env("QZ_TESTNET_DIR"), env("QZ_BOARD_BIN")};
}

boost::filesystem::path sourceDir() { return QZ_SOURCE_DIR; }

boost::filesystem::path testnetScript() { return sourceDir() / "tools" / "testnet"; }

board::board(int lan, const std::string& address, const std::vector<std::string>& options)
    : net_(currentTestNetwork()) {
  std::vector<std::string> argv{testnetScript().string(), "board-start", std::to_string(lan),
                                address};
  argv.insert(argv.end(), options.begin(), options.end());
  const runResult started = run(argv, "", boardStartLimit);
  if (started.exitCode != 0)
    throw std::runtime_error("board on LAN " + std::to_string(lan) + " at " + address +
                             " did not start: " + started.describe());
  name_ = trimmed(started.out);
  running_ = true;
  const runResult log = run({testnetScript().string(), "board-log", name_}, "", boardStopLimit);
  if (log.exitCode != 0) {
    const std::string problem = log.describe();
    stop();
    throw std::runtime_error("board " + name_ + " has no log: " + problem);
  }
  logPath_ = trimmed(log.out);
}

board::~board() {
  try {
    stop();
  } catch (const std::exception& e) {
    std::cerr << "board " << name_ << ": stop failed: " << e.what() << '\n';
  }
}

std::string board::namespaceName() const { return net_.prefix + "-" + name_; }

void board::stop() {
  if (!running_) return;
  running_ = false;
  const runResult stopped = run({testnetScript().string(), "board-stop", name_}, "", boardStopLimit);
  if (stopped.exitCode != 0)
    throw std::runtime_error("board " + name_ + " did not stop: " + stopped.describe());
}

std::vector<std::string> board::readLog(bool completeOnly) const {
  std::vector<std::string> lines;
  std::ifstream f(logPath_.string(), std::ios::binary);
  if (!f) return lines;
  std::string line;
  while (std::getline(f, line)) {
    if (f.eof() && completeOnly) break;  // no newline yet: still being written
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> board::logLines() const { return readLog(false); }

std::string board::logTail(std::size_t count) const {
  const auto lines = logLines();
  std::ostringstream s;
  s << "log of board " << name_ << " (" << logPath_.string() << "):";
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    s << "\n  " << lines[i];
  return s.str();
}

std::optional<std::string> board::waitForLogLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout,
    std::size_t fromLine) const {
  const auto deadline = clock::now() + timeout;
  for (;;) {
    const bool last = clock::now() >= deadline;
    const auto lines = readLog(running_);
    for (std::size_t i = fromLine; i < lines.size(); ++i)
      if (match(lines[i])) return lines[i];
    if (last) return std::nullopt;
    std::this_thread::sleep_for(logPollInterval);
  }
}

std::optional<std::string> board::waitForLogText(const std::string& text,
                                                 std::chrono::milliseconds timeout,
                                                 std::size_t fromLine) const {
  return waitForLogLine(
      [&text](const std::string& line) { return line.find(text) != std::string::npos; }, timeout,
      fromLine);
}

}  // namespace qz::test
