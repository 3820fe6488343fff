// Self-test of the test support. "process" and "outside" run anywhere; the suite "testnet" runs
// under tools/testnet with LANs 10.77.1.1/24 and 172.20.2.1/24 (testnet-selftest.sh, which also
// checks the clean-up).
#define BOOST_TEST_MODULE testnet_selftest
#include <boost/test/unit_test.hpp>

#include "common.hpp"
#include "process.hpp"
#include "testnet.hpp"

#include <boost/filesystem/operations.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;
using qz::test::board;
using qz::test::run;

namespace {

sockaddr_in ipv4(const std::string& ip, unsigned short port) {
  sockaddr_in a{AF_INET, htons(port), {}, {}};
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// A datagram from the pc's address `from` to the board port at `to`; the answers within 1 s by
// sender, up to `wanted` of them.
std::map<std::string, std::string> answers(const std::string& from, const std::string& to, const std::string& payload,
                                           std::size_t wanted = 1) {
  qz::test::requireTestNetwork();
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
  const sockaddr_in local = ipv4(from, 0), remote = ipv4(to, 43282);
  const bool sent = ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
                    ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                    ::sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&remote),
                             sizeof remote) == static_cast<ssize_t>(payload.size());
  const auto start = std::chrono::steady_clock::now();
  std::map<std::string, std::string> got;
  pollfd in{s, POLLIN, 0};
  const auto left = [&] { return static_cast<int>(std::max(0L, 1000 - qz::test::msSince(start))); };
  while (sent && got.size() < wanted && ::poll(&in, 1, left()) == 1) {
    char answer[512], sender[INET_ADDRSTRLEN] = "";
    sockaddr_in address{};
    socklen_t size = sizeof address;
    const ssize_t n = ::recvfrom(s, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&address), &size);
    if (n < 0)
      break;
    ::inet_ntop(AF_INET, &address.sin_addr, sender, sizeof sender);
    got[sender] = std::string(answer, static_cast<std::size_t>(n));
  }
  ::close(s);
  BOOST_REQUIRE_MESSAGE(sent, "cannot send from " << from << " to " << to);
  return got;
}

// The first answer within 1 s.
std::string ask(const std::string& from, const std::string& to, const std::string& payload) {
  const auto got = answers(from, to, payload);
  return got.empty() ? std::string() : got.begin()->second;
}

const std::string discovery(21, '\0');

}  // namespace

BOOST_AUTO_TEST_CASE(process) {
  const auto r = run({"sh", "-c", "cat; pwd; echo err >&2; exit 3"}, "/", 10s, "in ");
  BOOST_TEST((r.exitCode == 3 && r.out == "in /\n" && r.err == "err\n"), r.describe() << ", stdout: " << r.out);
  const auto start = std::chrono::steady_clock::now();
  const auto hung = run({"sh", "-c", "sleep 60 & echo $!; wait"}, "", 200ms);
  BOOST_TEST((hung.timedOut && hung.termSignal == SIGKILL && qz::test::msSince(start) < 1000), hung.describe());
  // The whole group goes at the limit: the background sleep is gone, or a zombie nobody reaped yet.
  std::this_thread::sleep_for(50ms);
  std::string sleeper;
  std::getline(std::ifstream("/proc/" + std::to_string(std::stoi(hung.out)) + "/stat"), sleeper);
  BOOST_TEST((sleeper.empty() || sleeper.find(") Z") != std::string::npos), sleeper);
  BOOST_CHECK_THROW(run({"qz-no-such-program"}, "", 5s), std::runtime_error);
}

// Also run in a board's namespace, with the run's environment, by "testnet".
BOOST_AUTO_TEST_CASE(outside) {
  BOOST_CHECK_THROW(qz::test::requireTestNetwork(), std::runtime_error);
  BOOST_CHECK_THROW(board(1, "10.77.1.99"), std::runtime_error);
}

BOOST_AUTO_TEST_SUITE(testnet)

BOOST_AUTO_TEST_CASE(the_guard_passes_in_the_pc_only_and_a_board_goes_with_its_namespace) {
  BOOST_CHECK_NO_THROW(qz::test::requireTestNetwork());
  board b(1, "10.77.1.20");
  const std::string ns = std::string(std::getenv("QZ_TESTNET")) + "-" + b.name();
  const auto inBoard = run({"ip", "netns", "exec", ns, boost::filesystem::read_symlink("/proc/self/exe").string(),
                            "--run_test=outside"}, "", 60s);
  BOOST_TEST(inBoard.exitCode == 0, "the guard passed in a board's namespace: " << inBoard.out);
  b.stop();
  BOOST_TEST(!boost::filesystem::exists("/run/netns/" + ns));
  BOOST_CHECK_THROW(board(3, "10.77.3.10"), std::runtime_error);  // no LAN 3
}

BOOST_AUTO_TEST_CASE(broadcast_reaches_only_its_own_lan) {
  board lan1(1, "10.77.1.20"), lan2(2, "172.20.2.20");
  for (const auto& [from, reached, missed] :
       {std::tuple{"10.77.1.1", &lan1, &lan2}, std::tuple{"172.20.2.1", &lan2, &lan1}}) {
    const std::string probe = discovery + "probe from " + from;  // an id no board has: no answer
    BOOST_TEST(ask(from, "255.255.255.255", probe).empty());
    BOOST_TEST(reached->waitForLogText("udp " + qz::test::hex(probe), 1s).has_value(), reached->logTail());
    BOOST_TEST(!missed->waitForLogText(qz::test::hex(probe), 0ms).has_value(), missed->logTail());
  }
}

// The silent address device-link tests need: a connect stays in SYN-SENT, no answer and no reset.
BOOST_AUTO_TEST_CASE(a_board_with_tcp_dropped_leaves_a_connect_pending_and_answers_udp) {
  board b(1, "10.77.1.40", {qz::test::dropTcp});
  BOOST_TEST(!ask("10.77.1.1", "10.77.1.40", discovery).empty(), "no answer to discovery");
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const sockaddr_in to = ipv4("10.77.1.40", 10000);
  pollfd connecting{s, POLLOUT, 0};
  BOOST_TEST((::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == -1 && ::poll(&connecting, 1, 3000) == 0),
             "the connect ended (answered or reset) within 3 s");
  const auto ss = run({"ss", "-Htn", "state", "syn-sent", "dst", "10.77.1.40"}, "", 5s);
  ::close(s);
  BOOST_TEST(ss.out.find("10.77.1.40:10000") != std::string::npos, "not in SYN-SENT: " << ss.out << ss.describe());
}

// Boards answer discovery to the link-layer address they last learnt for the pc: should the pc's
// change when another board goes, their answers go to a port that is gone, for seconds.
BOOST_AUTO_TEST_CASE(the_pc_keeps_its_lan_address_while_boards_stop) {
  const auto mac = [](const std::string& link) {
    std::string address;
    std::getline(std::ifstream("/sys/class/net/" + link + "/address"), address);
    return address;
  };
  const std::string pc = mac("lan2");
  std::map<std::string, std::unique_ptr<board>> boards;  // LAN 2: no board of the run's own there
  for (const std::string address : {"172.20.2.50", "172.20.2.51", "172.20.2.52"})
    boards[address] = std::make_unique<board>(2, address);
  BOOST_TEST(mac("lan2") == pc, "boards started");
  BOOST_TEST_REQUIRE(answers("172.20.2.1", "255.255.255.255", discovery, 3).size() == 3u);
  while (!boards.empty()) {
    // The port with the lowest address first: a bridge with no address of its own has taken that one.
    const auto gone = std::min_element(boards.begin(), boards.end(), [&](const auto& a, const auto& b) {
      return mac("port-" + a.second->name()) < mac("port-" + b.second->name());
    });
    const std::string stopped = gone->first;
    boards.erase(gone);
    BOOST_TEST(mac("lan2") == pc, stopped << " stopped");
    const auto got = answers("172.20.2.1", "255.255.255.255", discovery, boards.size());
    BOOST_TEST(got.size() == boards.size(),
               got.size() << " of " << boards.size() << " answered after " << stopped << " stopped");
  }
}

BOOST_AUTO_TEST_SUITE_END()
