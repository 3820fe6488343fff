// Access for networked tests to the isolated test network made by
// tools/testnet: the guard every such test runs first, and simulated boards
// started per test case.
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz::test {

// The run of tools/testnet this process belongs to, from its environment.
struct testNetwork {
  std::string prefix;                 // QZ_TESTNET: prefix of the run's namespaces
  std::string pcNamespace;            // QZ_TESTNET_PC: where the terminal runs
  boost::filesystem::path stateDir;   // QZ_TESTNET_DIR: board logs and run state
  boost::filesystem::path boardBin;   // QZ_BOARD_BIN: the board executable
};

// Empty when this process runs inside the pc namespace of a live test network
// run; otherwise why it does not. Same rule as `tools/testnet check`.
std::string testNetworkProblem();

// Every test that sends anything over the network calls this first: it throws
// std::runtime_error (failing the test case) unless testNetworkProblem() is
// empty, so no packet can leave anywhere but our own namespaces.
void requireTestNetwork();

// requireTestNetwork(), then the run's description.
testNetwork currentTestNetwork();

// The source tree, and tools/testnet in it.
boost::filesystem::path sourceDir();
boost::filesystem::path testnetScript();

// A simulated board in its own namespace on one of the run's LANs, started by
// `tools/testnet board-start` and stopped when the object goes.
class board {
public:
  using clock = std::chrono::steady_clock;

  // lan counts from 1 in --lan order; address is IPv4, with "/N" when it
  // should not take its LAN's prefix length. Throws std::runtime_error with
  // tools/testnet's explanation when the board does not start.
  board(int lan, const std::string& address, const std::vector<std::string>& options = {});
  ~board();
  board(const board&) = delete;
  board& operator=(const board&) = delete;

  const std::string& name() const { return name_; }
  // The network namespace the board runs in.
  std::string namespaceName() const;
  const boost::filesystem::path& logPath() const { return logPath_; }
  bool running() const { return running_; }

  // Stops the board and removes its namespace; the log stays. Does nothing
  // the second time.
  void stop();

  // The log's lines so far (none while it does not exist).
  std::vector<std::string> logLines() const;
  // The last lines of the log as one text, for failure messages.
  std::string logTail(std::size_t count = 20) const;

  // Waits until a log line at index fromLine or later satisfies match and
  // returns it; nothing when timeout passes first. While the board runs only
  // complete lines count, so a half-written line never matches.
  std::optional<std::string> waitForLogLine(const std::function<bool(const std::string&)>& match,
                                            std::chrono::milliseconds timeout,
                                            std::size_t fromLine = 0) const;
  // The same for a line that contains text.
  std::optional<std::string> waitForLogText(const std::string& text,
                                            std::chrono::milliseconds timeout,
                                            std::size_t fromLine = 0) const;

private:
  std::vector<std::string> readLog(bool completeOnly) const;

  testNetwork net_;
  std::string name_;
  boost::filesystem::path logPath_;
  bool running_ = false;
};

}  // namespace qz::test
