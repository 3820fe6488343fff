#include "process.hpp"

#include <boost/filesystem/operations.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace qz::test {

namespace {

[[noreturn]] void fail(const std::string& what, int error = errno) {
  throw std::runtime_error(what + ": " + std::system_category().message(error));
}

// The child's input and outputs are unnamed files, not pipes: nothing to drain while it runs, and
// a grandchild that keeps them open cannot hold run() up.
using file = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

file unnamedFile(const std::string& content = "") {
  file f(std::tmpfile(), &std::fclose);
  if (!f || std::fwrite(content.data(), 1, content.size(), f.get()) != content.size() || std::fflush(f.get()) != 0)
    fail("run: tmpfile");
  std::rewind(f.get());
  return f;
}

}  // namespace

std::string runResult::describe() const {
  std::string s = termSignal ? "signal " + std::to_string(termSignal) : "exit " + std::to_string(exitCode);
  if (timedOut) s += " (timed out)";
  if (!err.empty()) s += ", stderr: " + err.substr(err.size() > 2000 ? err.size() - 2000 : 0);
  return s;
}

runResult run(const std::vector<std::string>& argv, const std::string& cwd,
              std::chrono::milliseconds timeout, const std::string& stdinText) {
  if (argv.empty()) throw std::runtime_error("run: no program given");
  const file fds[3] = {unnamedFile(stdinText), unnamedFile(), unnamedFile()};
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, fileno(fds[i].get()), i);
  // A socket of the test left open in a child (or a board it starts) would keep connections
  // alive that the test believes closed.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attr;  // its own process group, to kill all of it at the limit
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) fail("run: cannot start '" + argv[0] + "'" + (cwd.empty() ? "" : " in '" + cwd + "'"), error);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  runResult r;
  int status = 0;
  for (pid_t done; (done = ::waitpid(pid, &status, WNOHANG)) != pid;) {
    if (done < 0 && errno != EINTR) fail("run: waitpid");
    if (!r.timedOut && std::chrono::steady_clock::now() >= deadline) r.timedOut = ::kill(-pid, SIGKILL) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.exitCode = r.termSignal ? 128 + r.termSignal : WEXITSTATUS(status);
  r.out = readFile("/proc/self/fd/" + std::to_string(fileno(fds[1].get())));
  r.err = readFile("/proc/self/fd/" + std::to_string(fileno(fds[2].get())));
  return r;
}

scratchDir::scratchDir(const std::string& tag)
    : path_(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path(tag + "-%%%%%%%%")) {
  boost::filesystem::create_directory(path_);
}

scratchDir::~scratchDir() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(path_, ec);
  if (ec) std::cerr << "scratchDir: cannot remove " << path_ << ": " << ec.message() << '\n';
}

void writeFile(const boost::filesystem::path& file, const std::string& content) {
  std::ofstream f(file.string(), std::ios::binary | std::ios::trunc);
  if (!f.write(content.data(), static_cast<std::streamsize>(content.size())) || (f.close(), !f))
    throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const boost::filesystem::path& file) {
  std::ifstream f(file.string(), std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + file.string());
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace qz::test
