#include "process.hpp"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

namespace {

using clock = std::chrono::steady_clock;

// After the child has exited, how long to keep reading output that its
// descendants may still be writing into the inherited pipes.
constexpr std::chrono::milliseconds drainGrace{300};
// Between SIGTERM and SIGKILL when the time limit has passed.
constexpr std::chrono::milliseconds killGrace{1000};

std::string errnoMessage(const std::string& what, int error) {
  return what + ": " + std::system_category().message(error);
}

class fileDescriptor {
public:
  fileDescriptor() = default;
  explicit fileDescriptor(int fd) : fd_(fd) {}
  ~fileDescriptor() { reset(); }
  fileDescriptor(const fileDescriptor&) = delete;
  fileDescriptor& operator=(const fileDescriptor&) = delete;
  fileDescriptor(fileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  fileDescriptor& operator=(fileDescriptor&& other) noexcept {
    if (this != &other) {
      reset(other.fd_);
      other.fd_ = -1;
    }
    return *this;
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

struct pipePair {
  fileDescriptor read, write;
};

pipePair makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(errnoMessage("pipe2", errno));
  pipePair p;
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
  return p;
}

// Looks the program up in PATH in the parent: after fork only
// async-signal-safe calls are allowed, which rules out execvp.
std::string resolveProgram(const std::string& name) {
  if (name.empty()) throw std::runtime_error("run: empty program name");
  if (name.find('/') != std::string::npos) return name;
  const char* env = std::getenv("PATH");
  std::istringstream dirs(env && *env ? env : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  throw std::runtime_error("run: program '" + name + "' not found in PATH");
}

// Puts fd on target for the child, without the close-on-exec flag.
bool placeFd(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

void closeFrom(int first) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  for (int fd = first; fd < 4096; ++fd) ::close(fd);
}

[[noreturn]] void childFailed(int reportFd) {
  const int error = errno;
  (void)!::write(reportFd, &error, sizeof error);
  ::_exit(127);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(const char* path, char* const* argv, const char* cwd, int in, int out,
                            int err, int report) {
  ::setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Ignored signals survive exec; the child should start with defaults.
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) ::signal(sig, SIG_DFL);
  if (!placeFd(in, 0) || !placeFd(out, 1) || !placeFd(err, 2)) childFailed(report);
  if (cwd && ::chdir(cwd) != 0) childFailed(report);
  // Keep only stdio and the close-on-exec report pipe: no test fd leaks in.
  for (int fd = 3; fd < report; ++fd) ::close(fd);
  closeFrom(report + 1);
  ::execv(path, argv);
  childFailed(report);
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Writes to the child's stdin without letting SIGPIPE end this process when
// the child has gone: the signal is blocked for this thread and a pending one
// is consumed.
ssize_t writeNoSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  const ssize_t n = ::write(fd, data, size);
  const int error = errno;
  if (n < 0 && error == EPIPE) {
    const timespec zero{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return n;
}

// Appends what is readable; false once the pipe is at its end.
bool readSome(int fd, std::string& into) {
  char buf[65536];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  return false;
}

}  // namespace

std::string runResult::describe() const {
  std::ostringstream s;
  if (termSignal != 0)
    s << "killed by signal " << termSignal;
  else
    s << "exit " << exitCode;
  if (timedOut) s << " (timed out)";
  if (!err.empty()) {
    constexpr std::size_t keep = 2000;
    s << ", stderr: " << (err.size() > keep ? "..." + err.substr(err.size() - keep) : err);
  }
  return s.str();
}

runResult run(const std::vector<std::string>& argv, const std::string& cwd,
              std::chrono::milliseconds timeout, const std::string& stdinText) {
  if (argv.empty()) throw std::runtime_error("run: no program given");
  const std::string path = resolveProgram(argv.front());
  std::vector<char*> cargv;
  cargv.reserve(argv.size() + 1);
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);

  pipePair out = makePipe(), err = makePipe(), report = makePipe();
  pipePair in;
  if (stdinText.empty()) {
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) throw std::runtime_error(errnoMessage("open /dev/null", errno));
    in.read.reset(devNull);
  } else {
    in = makePipe();
  }

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(errnoMessage("fork", errno));
  if (pid == 0)
    execChild(path.c_str(), cargv.data(), cwd.empty() ? nullptr : cwd.c_str(), in.read.get(),
              out.write.get(), err.write.get(), report.write.get());

  // Also in the parent, so a kill of the group cannot race the child's setpgid.
  ::setpgid(pid, pid);
  in.read.reset();
  out.write.reset();
  err.write.reset();
  report.write.reset();

  int execError = 0;
  ssize_t got;
  while ((got = ::read(report.read.get(), &execError, sizeof execError)) < 0 && errno == EINTR) {
  }
  if (got > 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw std::runtime_error(errnoMessage("run: cannot start '" + argv.front() + "'" +
                                              (cwd.empty() ? "" : " in '" + cwd + "'"),
                                          execError));
  }

  if (in.write) ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
  fileDescriptor exitFd(openPidFd(pid));

  runResult result;
  std::size_t written = 0;
  const auto start = clock::now();
  const auto deadline = start + timeout;
  clock::time_point killAt{}, exitedAt{};
  bool exited = false, killed = false;
  int status = 0;

  for (;;) {
    if (!exited) {
      const pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        exited = true;
        exitedAt = clock::now();
        exitFd.reset();
        in.write.reset();
      }
    }
    const auto now = clock::now();
    if (exited && (!out.read && !err.read)) break;
    if (exited && now - exitedAt >= drainGrace) break;
    if (!exited && now >= deadline && !result.timedOut) {
      result.timedOut = true;
      ::kill(-pid, SIGTERM);
      killAt = now + killGrace;
    }
    if (!exited && result.timedOut && !killed && now >= killAt) {
      ::kill(-pid, SIGKILL);
      killed = true;
    }

    pollfd fds[4];
    nfds_t n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (out.read) { outIdx = static_cast<int>(n); fds[n++] = {out.read.get(), POLLIN, 0}; }
    if (err.read) { errIdx = static_cast<int>(n); fds[n++] = {err.read.get(), POLLIN, 0}; }
    if (in.write) { inIdx = static_cast<int>(n); fds[n++] = {in.write.get(), POLLOUT, 0}; }
    if (exitFd) fds[n++] = {exitFd.get(), POLLIN, 0};

    clock::time_point next;
    if (exited)
      next = exitedAt + drainGrace;
    else if (!result.timedOut)
      next = deadline;
    else if (!killed)
      next = killAt;
    else
      next = now + std::chrono::seconds(1);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
                std::chrono::milliseconds(1);
    // Without a pid fd the child's exit is noticed by polling.
    if (!exited && !exitFd) wait = std::min(wait, std::chrono::milliseconds(20));
    wait = std::max(wait, std::chrono::milliseconds(0));
    const int ready = ::poll(fds, n, static_cast<int>(wait.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(errnoMessage("run: poll", errno));
    }
    if (outIdx >= 0 && fds[outIdx].revents && !readSome(out.read.get(), result.out)) out.read.reset();
    if (errIdx >= 0 && fds[errIdx].revents && !readSome(err.read.get(), result.err)) err.read.reset();
    if (inIdx >= 0 && fds[inIdx].revents) {
      const ssize_t w = writeNoSigpipe(in.write.get(), stdinText.data() + written,
                                       stdinText.size() - written);
      if (w > 0) written += static_cast<std::size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == stdinText.size())
        in.write.reset();
    }
  }

  if (result.timedOut) ::kill(-pid, SIGKILL);  // whatever of the group is left
  if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
    result.exitCode = 128 + result.termSignal;
  } else {
    result.exitCode = WEXITSTATUS(status);
  }
  return result;
}

scratchDir::scratchDir(const std::string& tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data()))
    throw std::runtime_error(errnoMessage("mkdtemp " + pattern, errno));
  path_ = buf.data();
}

scratchDir::~scratchDir() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(path_, ec);
  if (ec) std::cerr << "scratchDir: cannot remove " << path_ << ": " << ec.message() << '\n';
}

std::string scratchDir::file(const std::string& name) const { return (path_ / name).string(); }

void writeFile(const boost::filesystem::path& file, const std::string& content) {
  std::ofstream f(file.string(), std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot create " + file.string());
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
  f.close();
  if (!f) throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const boost::filesystem::path& file) {
  std::ifstream f(file.string(), std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + file.string());
  std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw std::runtime_error("cannot read " + file.string());
  return content;
}

}  // namespace qz::test
