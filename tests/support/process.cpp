#include "process.hpp"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qz::test {

namespace {

using clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what, int error = errno) {
  throw std::runtime_error(what + ": " + std::system_category().message(error));
}

// The child's descriptors on our side; closed however run() ends.
struct childFds {
  int in = -1, out[2] = {-1, -1}, err[2] = {-1, -1};
  ~childFds() {
    for (int fd : {in, out[0], out[1], err[0], err[1]})
      if (fd >= 0) ::close(fd);
  }
};

// stdin is a file, not a pipe: nothing to feed, no SIGPIPE when it goes unread.
int openStdin(const std::string& text) {
  if (text.empty()) return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int fd = ::memfd_create("qz-stdin", MFD_CLOEXEC);
  if (fd >= 0 && (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
                  ::lseek(fd, 0, SEEK_SET) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const childFds& fds) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds.in, 0);
  posix_spawn_file_actions_adddup2(&actions, fds.out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds.err[1], 2);
  // A socket of the test left open in a child (or a board it starts) would
  // keep connections alive that the test believes closed.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own group, to kill all of it at the limit; signals as for a fresh process.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0)
    fail("run: cannot start '" + argv[0] + "'" + (cwd.empty() ? "" : " in '" + cwd + "'"), error);
  return pid;
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
  childFds fds;
  fds.in = openStdin(stdinText);
  if (fds.in < 0) fail("run: stdin");
  if (::pipe2(fds.out, O_CLOEXEC) != 0 || ::pipe2(fds.err, O_CLOEXEC) != 0) fail("run: pipe2");
  const pid_t pid = spawn(argv, cwd, fds);
  for (int* fd : {&fds.in, &fds.out[1], &fds.err[1]}) {
    ::close(*fd);
    *fd = -1;
  }

  runResult r;
  auto deadline = clock::now() + timeout;
  const auto expire = [&] {
    if (r.timedOut || clock::now() < deadline) return;
    r.timedOut = true;
    ::kill(-pid, SIGKILL);
    deadline = clock::now() + std::chrono::seconds(1);  // to drain what is left
  };
  pollfd polled[2] = {{fds.out[0], POLLIN, 0}, {fds.err[0], POLLIN, 0}};
  std::string* into[2] = {&r.out, &r.err};
  while ((polled[0].fd >= 0 || polled[1].fd >= 0) && !(r.timedOut && clock::now() >= deadline)) {
    expire();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (::poll(polled, 2, static_cast<int>(std::max<long long>(left.count(), 0)) + 1) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = ::read(polled[i].fd, buf, sizeof buf);
      if (n > 0)
        into[i]->append(buf, static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR)
        polled[i].fd = -1;
    }
  }
  // A child may close its output and live on: the limit still holds.
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    expire();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.exitCode = r.termSignal ? 128 + r.termSignal : WEXITSTATUS(status);
  return r;
}

scratchDir::scratchDir(const std::string& tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) fail("mkdtemp " + pattern);
  path_ = pattern;
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
