#include "testnet.hpp"

#include <cstdio>

#include "process.hpp"

#include <fstream>
#include <iostream>
#include <stdexcept>
#include <thread>

#ifndef QZ_SOURCE_DIR
#error "QZ_SOURCE_DIR must name the source tree"
#endif

namespace qz::test {

namespace {

// tools/testnet gives a board 15 s to start; the rest is set-up and tear-down.
constexpr std::chrono::seconds scriptLimit{90};

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

runResult testnet(const std::vector<std::string>& args) {
  std::vector<std::string> argv{testnetScript().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, "", scriptLimit);
}

}  // namespace

boost::filesystem::path testnetScript() {
  return boost::filesystem::path(QZ_SOURCE_DIR) / "tools" / "testnet";
}

void requireTestNetwork() {
  // The script checks this process, its parent, against the run's pc namespace.
  const runResult check = testnet({"check"});
  if (check.exitCode != 0)
    throw std::runtime_error("refusing to touch the network: " + check.describe());
}

// board-start itself refuses outside a run, with the same check.
board::board(int lan, const std::string& address, const std::vector<std::string>& options) {
  std::vector<std::string> args{"board-start", std::to_string(lan), address};
  args.insert(args.end(), options.begin(), options.end());
  const runResult started = testnet(args);
  if (started.exitCode != 0)
    throw std::runtime_error("board on LAN " + std::to_string(lan) + " at " + address +
                             " did not start: " + started.describe());
  name_ = firstLine(started.out);
  running_ = true;
  const runResult log = testnet({"board-log", name_});
  if (log.exitCode != 0) {
    stop();
    throw std::runtime_error("board " + name_ + " has no log: " + log.describe());
  }
  logPath_ = firstLine(log.out);
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
  const runResult stopped = testnet({"board-stop", name_});
  if (stopped.exitCode != 0)
    throw std::runtime_error("board " + name_ + " did not stop: " + stopped.describe());
}

std::vector<std::string> board::readLog(bool completeOnly) const {
  std::vector<std::string> lines;
  std::ifstream f(logPath_.string(), std::ios::binary);
  std::string line;
  // The last line without its newline may still be being written.
  while (std::getline(f, line) && !(f.eof() && completeOnly)) lines.push_back(line);
  return lines;
}

std::vector<std::string> board::logLines() const { return readLog(false); }

std::string board::logTail(std::size_t count) const {
  const auto lines = logLines();
  std::string s = "log of board " + name_ + " (" + logPath_.string() + "):";
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    s += "\n  " + lines[i];
  return s;
}

std::optional<std::string> board::waitForLogLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout,
    std::size_t fromLine) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const bool last = std::chrono::steady_clock::now() >= deadline;
    const auto lines = readLog(running_);
    for (std::size_t i = fromLine; i < lines.size(); ++i)
      if (match(lines[i])) return lines[i];
    if (last) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<std::string> board::waitForLogText(const std::string& text,
                                                 std::chrono::milliseconds timeout,
                                                 std::size_t fromLine) const {
  return waitForLogLine([&](const std::string& l) { return l.find(text) != std::string::npos; },
                        timeout, fromLine);
}

std::vector<std::string> board::udpDatagrams(unsigned command) const
{
  char code[3];
  std::snprintf(code, sizeof code, "%02x", command);
  std::vector<std::string> found;
  for (const std::string& line : logLines())
    if (line.rfind("udp ", 0) == 0 && line.size() >= 4 + 42 && line.compare(4 + 40, 2, code) == 0)
      found.push_back(line.substr(4));
  return found;
}

}  // namespace qz::test
