// Networked tests and the isolated test network made by tools/testnet: the
// guard every such test runs first, and simulated boards started per test.
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz::test {

// Every test that sends anything over the network calls this first. It throws
// std::runtime_error unless this process runs in the pc namespace of a live
// tools/testnet run (the rule of `tools/testnet check`), so no packet can
// leave anywhere but our own namespaces.
void requireTestNetwork();

// tools/testnet in the source tree.
boost::filesystem::path testnetScript();

// A board option that tools/testnet handles itself: the board's namespace drops every TCP
// packet it receives, so a connect to it stays in SYN-SENT (no answer, no reset). UDP works.
inline const std::string dropTcp = "--drop-tcp";

// A simulated board in its own namespace on one of the run's LANs, started by
// `tools/testnet board-start` and stopped when the object goes.
class board {
public:
  // lan counts from 1 in --lan order; address is IPv4, optionally with "/N". options go to
  // qzsmc-board (see boardsim/README.md), dropTcp to tools/testnet.
  // Throws std::runtime_error with tools/testnet's explanation when the board
  // does not start.
  board(int lan, const std::string& address, const std::vector<std::string>& options = {});
  ~board();
  board(const board&) = delete;
  board& operator=(const board&) = delete;

  const std::string& name() const { return name_; }
  // Stops the board and removes its namespace; the log stays.
  void stop();
  // Sends sig to the board's process: SIGSTOP hangs it with its connections open, SIGKILL ends it
  // without a word. A stopped board must be killed (or continued) before it is stopped.
  void signal(int sig) const;

  std::vector<std::string> logLines() const;
  // The hex of every datagram of one UDP command the board received (hwId, command, payload).
  std::vector<std::string> udpDatagrams(unsigned command) const;
  // The last lines of the log, for failure messages.
  std::string logTail(std::size_t count = 20) const;
  // Waits for a log line at index fromLine or later that satisfies match.
  // While the board runs only complete lines count.
  std::optional<std::string> waitForLogLine(const std::function<bool(const std::string&)>& match,
                                            std::chrono::milliseconds timeout, std::size_t fromLine = 0) const;
  std::optional<std::string> waitForLogText(const std::string& text, std::chrono::milliseconds timeout,
                                            std::size_t fromLine = 0) const;

private:
  std::vector<std::string> readLog(bool completeOnly) const;

  std::string name_;
  boost::filesystem::path logPath_;
  bool running_ = false;
};

}  // namespace qz::test
