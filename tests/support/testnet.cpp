#include "testnet.hpp"

#include "common.hpp"
#include "process.hpp"

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qz::test {

namespace {

// tools/testnet's output; throws with its explanation when it fails.
std::string testnet(const std::vector<std::string>& args, const std::string& what) {
  std::vector<std::string> argv{testnetScript().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  // A board gets 15 s to start; the rest is set-up and tear-down.
  const runResult r = run(argv, "", std::chrono::seconds(90));
  if (r.exitCode != 0) throw std::runtime_error(what + ": " + r.describe());
  return r.out;
}

}  // namespace

boost::filesystem::path testnetScript() {
  return boost::filesystem::path(QZ_SOURCE_DIR) / "tools" / "testnet";
}

// The script checks this process, its parent, against the run's pc namespace.
void requireTestNetwork() { testnet({"check"}, "refusing to touch the network"); }

// board-start itself refuses outside a run, with the same check.
board::board(int lan, const std::string& address, const std::vector<std::string>& options) {
  std::vector<std::string> args{"board-start", std::to_string(lan), address};
  args.insert(args.end(), options.begin(), options.end());
  std::istringstream started(testnet(args, "board on LAN " + std::to_string(lan) + " at " + address + " did not start"));
  std::string log;
  std::getline(std::getline(started, name_), log);
  logPath_ = log;
  running_ = true;
}

board::~board() {
  try {
    stop();
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
  }
}

void board::stop() {
  if (!running_) return;
  running_ = false;
  testnet({"board-stop", name_}, "board " + name_ + " did not stop");
}

// tools/testnet keeps the pid of the board's process in the run's state directory.
void board::signal(int sig) const {
  const char* run = std::getenv("QZ_TESTNET_DIR");
  const std::string pid = run ? readFile(std::string(run) + "/boards/" + name_ + "/pid") : "";
  if (pid.empty() || readFile("/proc/" + std::to_string(std::stoi(pid)) + "/comm") != "qzsmc-board\n" ||
      ::kill(std::stoi(pid), sig) != 0)
    throw std::runtime_error("cannot signal board " + name_ + " (pid '" + pid + "')");
}

std::vector<std::string> board::readLog(bool completeOnly) const {
  std::vector<std::string> lines;
  std::ifstream f(logPath_.string(), std::ios::binary);
  // The last line without its newline may still be being written.
  for (std::string line; std::getline(f, line) && !(f.eof() && completeOnly);) lines.push_back(line);
  return lines;
}

std::vector<std::string> board::logLines() const { return readLog(false); }

std::string board::logTail(std::size_t count) const {
  const auto lines = logLines();
  std::string s = "log of board " + name_ + " (" + logPath_.string() + "):";
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) s += "\n  " + lines[i];
  return s;
}

std::optional<std::string> board::waitForLogLine(const std::function<bool(const std::string&)>& match,
                                                 std::chrono::milliseconds timeout, std::size_t fromLine) const {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const bool last = msSince(start) >= timeout.count();
    const auto lines = readLog(running_);
    for (std::size_t i = fromLine; i < lines.size(); ++i)
      if (match(lines[i])) return lines[i];
    if (last) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<std::string> board::waitForLogText(const std::string& text, std::chrono::milliseconds timeout,
                                                 std::size_t fromLine) const {
  return waitForLogLine([&](const std::string& l) { return l.find(text) != std::string::npos; }, timeout, fromLine);
}

std::vector<std::string> board::udpDatagrams(unsigned command) const {
  const unsigned char code = static_cast<unsigned char>(command);
  std::vector<std::string> found;
  for (const std::string& line : logLines())
    if (line.rfind("udp ", 0) == 0 && line.size() >= 4 + 42 && line.compare(4 + 40, 2, hex(&code, 1)) == 0)
      found.push_back(line.substr(4));
  return found;
}

}  // namespace qz::test
