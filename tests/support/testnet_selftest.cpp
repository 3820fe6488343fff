// Self-test of the test support: the process runner (suite "process", runs
// anywhere), the test-network guard outside a test network (suite "outside")
// and the test network itself (suite "testnet", run by testnet-selftest.sh
// under tools/testnet with tests/support/fake-board as the board).
#define BOOST_TEST_MODULE testnet_selftest
#include <boost/test/unit_test.hpp>

#include "process.hpp"
#include "testnet.hpp"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using qz::test::board;
using qz::test::run;
using qz::test::runResult;

namespace {

using clock_type = std::chrono::steady_clock;

long long msSince(clock_type::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

bool processGone(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return true;
  const auto close = stat.rfind(") ");
  return close != std::string::npos && stat[close + 2] == 'Z';
}

bool waitGone(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = clock_type::now() + limit;
  while (!processGone(pid)) {
    if (clock_type::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool namespaceExists(const std::string& name) { return fs::exists("/run/netns/" + name); }

// Namespaces of this run, from `ip netns list`.
std::vector<std::string> runNamespaces() {
  const runResult r = run({"ip", "netns", "list"}, "", 10s);
  BOOST_REQUIRE_MESSAGE(r.exitCode == 0, "ip netns list: " << r.describe());
  const std::string prefix = std::getenv("QZ_TESTNET");
  std::vector<std::string> names;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string name = line.substr(0, line.find(' '));
    if (name.rfind(prefix + "-", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The pid a fake board writes into its first log line ("start pid=N ...").
pid_t fakeBoardPid(const board& b) {
  const auto line = b.waitForLogText("start pid=", 5s);
  BOOST_REQUIRE_MESSAGE(line, "no start line; " << b.logTail());
  return static_cast<pid_t>(std::stol(line->substr(line->find('=') + 1)));
}

// The board's address as `ip` shows it in its namespace, with prefix length.
std::string boardAddress(const board& b) {
  const runResult r = run({"ip", "-n", b.namespaceName(), "-4", "-o", "addr", "show", "dev",
                           "veth-" + b.name()},
                          "", 10s);
  BOOST_REQUIRE_MESSAGE(r.exitCode == 0, r.describe());
  const auto at = r.out.find(" inet ");
  BOOST_REQUIRE_MESSAGE(at != std::string::npos, "no address in: " << r.out);
  const auto from = at + 6;
  return r.out.substr(from, r.out.find(' ', from) - from);
}

struct reply {
  std::string from;
  std::string text;
};

// Sends payload from local:any to dest:43282 (SO_BROADCAST set) and collects
// the replies that arrive within listen.
std::vector<reply> probe(const std::string& local, const std::string& dest,
                         const std::string& payload, std::chrono::milliseconds listen) {
  qz::test::requireTestNetwork();
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  BOOST_REQUIRE(s >= 0);
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, local.c_str(), &a.sin_addr);
  const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  sockaddr_in d{};
  d.sin_family = AF_INET;
  d.sin_port = htons(43282);
  ::inet_pton(AF_INET, dest.c_str(), &d.sin_addr);
  const bool sent = bound && ::sendto(s, payload.data(), payload.size(), 0,
                                      reinterpret_cast<sockaddr*>(&d), sizeof d) ==
                                 static_cast<ssize_t>(payload.size());
  std::vector<reply> replies;
  const auto deadline = clock_type::now() + listen;
  while (sent) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            clock_type::now());
    if (left.count() <= 0) break;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    replies.push_back({text, std::string(buf, static_cast<std::size_t>(n))});
  }
  ::close(s);
  BOOST_REQUIRE_MESSAGE(sent, "could not send from " << local << " to " << dest);
  return replies;
}

std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += digits[c >> 4];
    h += digits[c & 15];
  }
  return h;
}

// Restores an environment variable when the scope ends.
class envOverride {
public:
  envOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = std::string(old);
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~envOverride() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string selfExe() { return fs::read_symlink("/proc/self/exe").string(); }

}  // namespace

BOOST_AUTO_TEST_SUITE(process)

BOOST_AUTO_TEST_CASE(captures_output_and_exit_code) {
  const runResult r = run({"sh", "-c", "echo out; echo err >&2; exit 3"}, "", 10s);
  BOOST_TEST(r.exitCode == 3);
  BOOST_TEST(r.termSignal == 0);
  BOOST_TEST(!r.timedOut);
  BOOST_TEST(r.out == "out\n");
  BOOST_TEST(r.err == "err\n");
  BOOST_TEST(r.describe().find("exit 3") != std::string::npos, r.describe());
  BOOST_TEST(r.describe().find("err") != std::string::npos, r.describe());
}

BOOST_AUTO_TEST_CASE(passes_stdin_text_or_dev_null) {
  BOOST_TEST(run({"cat"}, "", 10s, "one\ntwo\n").out == "one\ntwo\n");
  const runResult none = run({"sh", "-c", "readlink /proc/self/fd/0"}, "", 10s);
  BOOST_TEST(none.out == "/dev/null\n");
}

BOOST_AUTO_TEST_CASE(moves_megabytes_both_ways_without_deadlock) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  const runResult echoed = run({"cat"}, "", 30s, big);
  BOOST_TEST(echoed.exitCode == 0);
  BOOST_TEST((echoed.out == big), "cat returned " << echoed.out.size() << " of " << big.size()
                                                  << " bytes, or other bytes");
  const runResult both =
      run({"sh", "-c", "head -c 2000000 /dev/zero; head -c 1500000 /dev/zero >&2"}, "", 30s);
  BOOST_TEST(both.out.size() == 2000000u);
  BOOST_TEST(both.err.size() == 1500000u);
}

BOOST_AUTO_TEST_CASE(child_that_ignores_stdin_does_not_break_the_caller) {
  const runResult r = run({"true"}, "", 10s, std::string(4 << 20, 'x'));
  BOOST_TEST(r.exitCode == 0, r.describe());
}

BOOST_AUTO_TEST_CASE(runs_in_the_given_directory_with_name_lookup) {
  qz::test::scratchDir dir;
  const runResult r = run({"pwd", "-P"}, dir.path().string(), 10s);
  BOOST_TEST(r.out == fs::canonical(dir.path()).string() + "\n");
}

BOOST_AUTO_TEST_CASE(reports_death_by_signal) {
  const runResult r = run({"sh", "-c", "kill -TERM $$"}, "", 10s);
  BOOST_TEST(r.termSignal == SIGTERM);
  BOOST_TEST(r.exitCode == 128 + SIGTERM);
  BOOST_TEST(!r.timedOut);
}

BOOST_AUTO_TEST_CASE(timeout_kills_the_whole_process_group) {
  const auto start = clock_type::now();
  const runResult r = run({"sh", "-c", "sleep 60 & echo $!; wait"}, "", 300ms);
  const auto took = msSince(start);
  BOOST_TEST(r.timedOut);
  BOOST_TEST(r.termSignal == SIGTERM, r.describe());
  BOOST_TEST(took < 5000);
  BOOST_REQUIRE_MESSAGE(!r.out.empty(), "no pid of the background sleep");
  const pid_t sleeper = std::stoi(r.out);
  BOOST_TEST(waitGone(sleeper, 3s), "background sleep " << sleeper << " survived the timeout");
}

BOOST_AUTO_TEST_CASE(timeout_escalates_to_kill) {
  const auto start = clock_type::now();
  const runResult r = run({"sh", "-c", "trap '' TERM; sleep 60"}, "", 200ms);
  BOOST_TEST(r.timedOut);
  BOOST_TEST(r.termSignal == SIGKILL, r.describe());
  BOOST_TEST(msSince(start) < 5000);
}

BOOST_AUTO_TEST_CASE(output_held_open_by_a_descendant_does_not_block) {
  const auto start = clock_type::now();
  const runResult r = run({"sh", "-c", "sleep 30 & echo $!"}, "", 20s);
  const auto took = msSince(start);
  BOOST_TEST(r.exitCode == 0);
  BOOST_TEST(!r.timedOut);
  BOOST_TEST(took < 5000, "run waited for the descendant");
  if (!r.out.empty()) ::kill(std::stoi(r.out), SIGKILL);
}

BOOST_AUTO_TEST_CASE(unstartable_programs_throw) {
  BOOST_CHECK_THROW(run({"/nonexistent/qz-program"}, "", 5s), std::runtime_error);
  BOOST_CHECK_THROW(run({"qz-no-such-program-in-path"}, "", 5s), std::runtime_error);
  BOOST_CHECK_THROW(run({"true"}, "/nonexistent/qz-dir", 5s), std::runtime_error);
  BOOST_CHECK_THROW(run({}, "", 5s), std::runtime_error);
  try {
    run({"/nonexistent/qz-program"}, "", 5s);
  } catch (const std::runtime_error& e) {
    BOOST_TEST(std::string(e.what()).find("/nonexistent/qz-program") != std::string::npos,
               e.what());
  }
}

BOOST_AUTO_TEST_CASE(parallel_runs_keep_their_outputs_apart) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 15; ++i) {
        const std::string word = std::to_string(t) + "-" + std::to_string(i);
        const runResult r = run({"sh", "-c", "cat; echo \"$0\" >&2", word}, "", 20s, word);
        if (r.exitCode != 0 || r.out != word || r.err != word + "\n") ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  BOOST_TEST(wrong == 0);
}

BOOST_AUTO_TEST_CASE(scratch_directory_is_removed_with_its_contents) {
  fs::path where;
  {
    qz::test::scratchDir dir("qzselftest");
    where = dir.path();
    BOOST_TEST(fs::is_directory(where));
    BOOST_TEST(where.filename().string().rfind("qzselftest-", 0) == 0u);
    fs::create_directory(where / "sub");
    qz::test::writeFile(where / "sub" / "f.txt", "x");
    BOOST_TEST(dir.file("a") == (where / "a").string());
  }
  BOOST_TEST(!fs::exists(where));
}

BOOST_AUTO_TEST_CASE(file_helpers_round_trip_bytes) {
  qz::test::scratchDir dir;
  const std::string content("a\0b\r\nc\xff", 7);
  qz::test::writeFile(dir.path() / "f", content);
  BOOST_TEST(qz::test::readFile(dir.path() / "f") == content);
  qz::test::writeFile(dir.path() / "f", "short");
  BOOST_TEST(qz::test::readFile(dir.path() / "f") == "short");
  BOOST_CHECK_THROW(qz::test::readFile(dir.path() / "missing"), std::runtime_error);
  BOOST_CHECK_THROW(qz::test::writeFile(dir.path() / "no" / "f", "x"), std::runtime_error);
}

BOOST_AUTO_TEST_SUITE_END()

// Run outside any test network (and, by the networked suite, inside a board's
// namespace): the guard must refuse.
BOOST_AUTO_TEST_SUITE(outside)

BOOST_AUTO_TEST_CASE(guard_refuses_here) {
  BOOST_TEST(!qz::test::testNetworkProblem().empty());
  BOOST_CHECK_THROW(qz::test::requireTestNetwork(), std::runtime_error);
  BOOST_CHECK_THROW(board(1, "10.77.1.10"), std::runtime_error);
  const runResult check = run({qz::test::testnetScript().string(), "check"}, "", 10s);
  BOOST_TEST(check.exitCode == 1, check.describe());
  BOOST_TEST(check.err.find("not inside a test network") != std::string::npos, check.err);
}

BOOST_AUTO_TEST_CASE(guard_refuses_forged_environments) {
  const std::string alive = "qz" + std::to_string(::getpid()) + "-beef";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"", ""}, "not set"},
      {{"qz12-beef", ""}, "not set"},
      {{"qz-beef", "qz-beef-pc"}, "not a test network prefix"},
      {{"xz12-beef", "xz12-beef-pc"}, "not a test network prefix"},
      {{alive, alive + "-b1"}, "does not belong"},
      // pid 0 never names a live run
      {{"qz0-beef", "qz0-beef-pc"}, "has ended"},
      {{alive, alive + "-pc"}, "does not exist"},
  };
  for (const auto& [values, why] : cases) {
    envOverride prefix("QZ_TESTNET", values[0].empty() ? nullptr : values[0].c_str());
    envOverride pc("QZ_TESTNET_PC", values[1].empty() ? nullptr : values[1].c_str());
    const std::string problem = qz::test::testNetworkProblem();
    BOOST_TEST(problem.find(why) != std::string::npos,
               "QZ_TESTNET='" << values[0] << "' QZ_TESTNET_PC='" << values[1] << "': expected '"
                              << why << "', got '" << problem << "'");
    BOOST_CHECK_THROW(qz::test::requireTestNetwork(), std::runtime_error);
    const runResult check = run({qz::test::testnetScript().string(), "check"}, "", 10s);
    BOOST_TEST(check.exitCode == 1, "check with forged '" << values[0] << "': " << check.describe());
    BOOST_TEST(check.err.find(why) != std::string::npos, check.err);
  }
}

BOOST_AUTO_TEST_SUITE_END()

namespace {
struct insideTestNetwork {
  insideTestNetwork() { qz::test::requireTestNetwork(); }
};
}  // namespace

BOOST_FIXTURE_TEST_SUITE(testnet, insideTestNetwork)

BOOST_AUTO_TEST_CASE(guard_passes_and_environment_is_complete) {
  BOOST_TEST(qz::test::testNetworkProblem() == "");
  const auto net = qz::test::currentTestNetwork();
  const auto dash = net.prefix.find('-');
  BOOST_TEST((net.prefix.rfind("qz", 0) == 0 && dash != std::string::npos && dash > 2 &&
              net.prefix.find_first_not_of("0123456789", 2) == dash &&
              net.prefix.size() == dash + 5 &&
              net.prefix.find_first_not_of("0123456789abcdef", dash + 1) == std::string::npos),
             "prefix '" << net.prefix << "' is not qz<pid>-<4 hex digits>");
  BOOST_TEST(net.pcNamespace == net.prefix + "-pc");
  BOOST_TEST(fs::is_directory(net.stateDir));
  BOOST_TEST(net.boardBin.is_absolute());
  BOOST_TEST(net.boardBin.filename() == "fake-board");
  const runResult check = run({qz::test::testnetScript().string(), "check"}, "", 10s);
  BOOST_TEST(check.exitCode == 0, check.describe());
}

BOOST_AUTO_TEST_CASE(guard_refuses_in_another_namespace_of_the_run) {
  const auto net = qz::test::currentTestNetwork();
  const std::string b1 = net.prefix + "-b1";
  const runResult guard =
      run({"ip", "netns", "exec", b1, selfExe(), "--run_test=outside/guard_refuses_here"}, "", 60s);
  BOOST_TEST(guard.exitCode == 0, "the guard let a process in " << b1 << " pass: " << guard.out
                                                                 << guard.describe());
}

BOOST_AUTO_TEST_CASE(pc_interfaces_are_exactly_the_lans_in_order) {
  ifaddrs* list = nullptr;
  BOOST_REQUIRE(::getifaddrs(&list) == 0);
  std::vector<std::string> seen;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    char addr[INET_ADDRSTRLEN], mask[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, addr, sizeof addr);
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr, mask,
                sizeof mask);
    seen.push_back(std::string(i->ifa_name) + " " + addr + " " + mask);
  }
  ::freeifaddrs(list);
  const std::vector<std::string> expected{"lan1 10.77.1.1 255.255.255.0",
                                          "lan2 172.20.2.1 255.255.255.0"};
  BOOST_TEST(seen == expected, boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(initial_board_runs_with_its_interface_and_log) {
  const auto net = qz::test::currentTestNetwork();
  const fs::path log = net.stateDir / "b1.log";
  const runResult where = run({qz::test::testnetScript().string(), "board-log", "b1"}, "", 10s);
  BOOST_TEST(where.out == log.string() + "\n", where.describe());
  const std::string text = qz::test::readFile(log);
  const std::string expected = "arg --iface\narg veth-b1\narg --log\narg " + log.string() + "\n";
  BOOST_TEST(text.find(expected) != std::string::npos, text);
  BOOST_TEST(text.find("listening udp 43282") != std::string::npos, text);
  BOOST_TEST(namespaceExists(net.prefix + "-b1"));
}

BOOST_AUTO_TEST_CASE(broadcast_reaches_the_boards_of_its_lan_only) {
  board lan2(2, "172.20.2.20");
  const std::string lan1Probe = "probe-lan1", lan2Probe = "probe-lan2";

  const auto fromLan1 = probe("10.77.1.1", "255.255.255.255", lan1Probe, 700ms);
  BOOST_REQUIRE_EQUAL(fromLan1.size(), 1u);
  BOOST_TEST(fromLan1[0].from == "10.77.1.10");
  BOOST_TEST(fromLan1[0].text == "veth-b1");

  const auto fromLan2 = probe("172.20.2.1", "255.255.255.255", lan2Probe, 700ms);
  BOOST_REQUIRE_EQUAL(fromLan2.size(), 1u);
  BOOST_TEST(fromLan2[0].from == "172.20.2.20");
  BOOST_TEST(fromLan2[0].text == "veth-" + lan2.name());

  BOOST_TEST(!lan2.waitForLogText(hex(lan1Probe), 100ms), lan2.logTail());
  const std::string b1Log =
      qz::test::readFile(qz::test::currentTestNetwork().stateDir / "b1.log");
  BOOST_TEST(b1Log.find("data " + hex(lan1Probe)) != std::string::npos, b1Log);
  BOOST_TEST(b1Log.find(hex(lan2Probe)) == std::string::npos, b1Log);
}

BOOST_AUTO_TEST_CASE(dynamic_board_starts_and_stops) {
  const auto before = runNamespaces();
  board b(1, "10.77.1.30", {"--first", "x", "--second"});
  const auto net = qz::test::currentTestNetwork();
  BOOST_TEST((b.name().size() > 1 && b.name()[0] == 'b' &&
              b.name().find_first_not_of("0123456789", 1) == std::string::npos),
             "board name '" << b.name() << "' is not b<number>");
  BOOST_TEST(b.running());
  BOOST_TEST(b.logPath() == net.stateDir / (b.name() + ".log"));
  BOOST_TEST(b.namespaceName() == net.prefix + "-" + b.name());
  BOOST_TEST(namespaceExists(b.namespaceName()));
  BOOST_TEST(::if_nametoindex(("port-" + b.name()).c_str()) != 0u);
  BOOST_TEST(boardAddress(b) == "10.77.1.30/24");
  BOOST_TEST(b.waitForLogText("arg --first", 1s).has_value(), b.logTail());
  const auto lines = b.logLines();
  const auto first = std::find(lines.begin(), lines.end(), "arg --first");
  BOOST_REQUIRE(first != lines.end());
  BOOST_REQUIRE(lines.end() - first >= 3);
  BOOST_TEST(first[1] == "arg x");
  BOOST_TEST(first[2] == "arg --second");
  const pid_t pid = fakeBoardPid(b);
  BOOST_TEST(!processGone(pid));

  const auto replies = probe("10.77.1.1", "10.77.1.30", "direct", 500ms);
  BOOST_REQUIRE_EQUAL(replies.size(), 1u);
  BOOST_TEST(replies[0].text == "veth-" + b.name());

  BOOST_REQUIRE(b.waitForLogText("data " + hex("direct"), 2s));
  const auto linesBeforeStop = b.logLines();
  b.stop();
  BOOST_TEST(!b.running());
  BOOST_TEST(!namespaceExists(b.namespaceName()));
  BOOST_TEST(::if_nametoindex(("port-" + b.name()).c_str()) == 0u, "veth pair left in the pc");
  BOOST_TEST(waitGone(pid, 2s), "board process " << pid << " survived stop");
  BOOST_TEST(b.logLines() == linesBeforeStop, boost::test_tools::per_element());
  b.stop();
  BOOST_TEST(runNamespaces() == before, boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(address_keeps_an_explicit_prefix_length) {
  board b(2, "172.20.2.40/16");
  BOOST_TEST(boardAddress(b) == "172.20.2.40/16");
}

BOOST_AUTO_TEST_CASE(board_goes_with_its_object) {
  std::string ns;
  pid_t pid = 0;
  {
    board b(2, "172.20.2.41");
    ns = b.namespaceName();
    pid = fakeBoardPid(b);
    BOOST_TEST(namespaceExists(ns));
  }
  BOOST_TEST(!namespaceExists(ns));
  BOOST_TEST(waitGone(pid, 2s));
}

BOOST_AUTO_TEST_CASE(stop_kills_a_board_that_ignores_term_and_its_strays) {
  board b(1, "10.77.1.31", {"--fake-ignore-term", "--fake-spawn-child"});
  const pid_t pid = fakeBoardPid(b);
  const auto childLine = b.waitForLogText("child pid=", 2s);
  BOOST_REQUIRE_MESSAGE(childLine, b.logTail());
  const pid_t child = std::stoi(childLine->substr(childLine->find('=') + 1));
  BOOST_TEST(!processGone(child));
  b.stop();
  BOOST_TEST(waitGone(pid, 2s), "board " << pid << " ignored TERM and survived");
  BOOST_TEST(waitGone(child, 2s), "stray " << child << " in the board's namespace survived");
  BOOST_TEST(!namespaceExists(b.namespaceName()));
}

BOOST_AUTO_TEST_CASE(failed_starts_explain_and_leave_nothing) {
  const auto before = runNamespaces();
  struct attempt {
    int lan;
    std::string address;
    std::vector<std::string> options;
    std::string why;
  };
  envOverride fast("QZ_TESTNET_START_TIMEOUT", "1");
  const std::vector<attempt> attempts{
      {3, "10.77.3.10", {}, "no LAN 3"},
      {0, "10.77.1.10", {}, "LAN '0' is not a LAN number"},
      {1, "10.77.1.300", {}, "not an IPv4 address"},
      {1, "10.77.1.51", {"--fake-exit", "4"}, "exited during start (status 4)"},
      {1, "10.77.1.52", {"--fake-no-listen"}, "not listening on UDP port 43282"},
  };
  for (const auto& a : attempts) {
    try {
      board b(a.lan, a.address, a.options);
      BOOST_ERROR("board on LAN " << a.lan << " at " << a.address << " started");
    } catch (const std::runtime_error& e) {
      BOOST_TEST(std::string(e.what()).find(a.why) != std::string::npos,
                 "expected '" << a.why << "' in: " << e.what());
    }
  }
  BOOST_TEST(runNamespaces() == before, boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(waiting_for_log_lines) {
  board b(1, "10.77.1.32");
  BOOST_REQUIRE(b.waitForLogText("listening", 2s));
  const auto start = clock_type::now();
  BOOST_TEST(!b.waitForLogText("never written", 200ms));
  BOOST_TEST(msSince(start) >= 200);

  const std::size_t mark = b.logLines().size();
  BOOST_TEST(!b.waitForLogText("listening", 50ms, mark), "lines before the mark must not match");
  probe("10.77.1.1", "10.77.1.32", "hello", 300ms);
  const auto line = b.waitForLogLine(
      [](const std::string& l) { return l.rfind("udp from 10.77.1.1:", 0) == 0; }, 5s, mark);
  BOOST_REQUIRE_MESSAGE(line, b.logTail());
  BOOST_TEST(line->find("data " + hex("hello")) != std::string::npos, *line);
}

// The run's clean-up must remove it; testnet-selftest.sh checks that after
// the run.
BOOST_AUTO_TEST_CASE(board_left_running_for_the_run_to_remove) {
  const runResult r = run({qz::test::testnetScript().string(), "board-start", "2", "172.20.2.50",
                           "--fake-spawn-child"},
                          "", 60s);
  BOOST_REQUIRE_MESSAGE(r.exitCode == 0, r.describe());
  const std::string name = r.out.substr(0, r.out.find('\n'));
  BOOST_TEST(namespaceExists(qz::test::currentTestNetwork().prefix + "-" + name));
}

BOOST_AUTO_TEST_SUITE_END()
