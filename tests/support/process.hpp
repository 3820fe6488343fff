// Running programs from end-to-end tests: a child process with captured
// output and a time limit, scratch directories and small file helpers.
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace qz::test {

struct runResult {
  // The exit status, or 128 + signal number when a signal ended the process.
  int exitCode = -1;
  // The signal that ended the process, 0 when it exited.
  int termSignal = 0;
  // The time limit passed and the process group was killed.
  bool timedOut = false;
  std::string out;
  std::string err;

  // One line for test messages: "exit 3", "signal 9 (timed out)", plus stderr.
  std::string describe() const;
};

// Runs argv[0] (a path, or a name looked up in PATH) with the arguments, in
// cwd (empty: the current directory). stdinText is written to the child's
// standard input; an empty text gives it /dev/null. The child leads a process
// group of its own; at the time limit the group gets SIGTERM and, a second
// later, SIGKILL. Throws std::runtime_error when the program cannot be
// started. Safe to call from several threads at once.
runResult run(const std::vector<std::string>& argv, const std::string& cwd,
              std::chrono::milliseconds timeout, const std::string& stdinText = "");

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes.
class scratchDir {
public:
  explicit scratchDir(const std::string& tag = "qztest");
  ~scratchDir();
  scratchDir(const scratchDir&) = delete;
  scratchDir& operator=(const scratchDir&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  // path() / name, as a string for argv and cwd.
  std::string file(const std::string& name) const;

private:
  boost::filesystem::path path_;
};

// Writes (replaces) a file; throws std::runtime_error on failure.
void writeFile(const boost::filesystem::path& file, const std::string& content);
// Reads a whole file; throws std::runtime_error when it cannot be read.
std::string readFile(const boost::filesystem::path& file);

}  // namespace qz::test
