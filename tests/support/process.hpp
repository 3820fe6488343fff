// Running programs from end-to-end tests: a child process with captured
// output and a time limit, scratch directories and small file helpers.
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace qz::test {

struct runResult {
  int exitCode = -1;    // the exit status, or 128 + signal
  int termSignal = 0;   // the signal that ended the process, 0 when it exited
  bool timedOut = false;
  std::string out, err;

  // "exit 3" or "signal 9 (timed out)", plus stderr: for test messages.
  std::string describe() const;
};

// Runs argv[0] (a path, or a name looked up in PATH) in cwd (empty: here) and
// returns when it exits; stdinText is its whole input. At the time limit the
// child's process group is killed. Throws std::runtime_error when the program
// cannot be started. Thread-safe.
runResult run(const std::vector<std::string>& argv, const std::string& cwd,
              std::chrono::milliseconds timeout, const std::string& stdinText = "");

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class scratchDir {
public:
  explicit scratchDir(const std::string& tag = "qztest");
  ~scratchDir();
  scratchDir(const scratchDir&) = delete;
  scratchDir& operator=(const scratchDir&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
  boost::filesystem::path path_;
};

// Both throw std::runtime_error on failure.
void writeFile(const boost::filesystem::path& file, const std::string& content);
std::string readFile(const boost::filesystem::path& file);

}  // namespace qz::test
