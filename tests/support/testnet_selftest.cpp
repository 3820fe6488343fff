// Self-test of the test support. Suites "process" and "outside" run anywhere;
// "testnet" runs under tools/testnet with LANs 10.77.1.1/24 and
// 172.20.2.1/24 (testnet-selftest.sh, which also checks the clean-up).
#define BOOST_TEST_MODULE testnet_selftest
#include <boost/test/unit_test.hpp>

#include "process.hpp"
#include "testnet.hpp"

#include <boost/filesystem/operations.hpp>

#include <csignal>
#include <cstdlib>
#include <tuple>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using qz::test::board;
using qz::test::run;
using qz::test::runResult;

namespace {

bool namespaceExists(const board& b) {
  return boost::filesystem::exists("/run/netns/" + std::string(std::getenv("QZ_TESTNET")) + "-" +
                                   b.name());
}

std::string hex(const std::string& s) {
  std::string h;
  for (unsigned char c : s) h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
  return h;
}

// A datagram from the pc's address on one LAN to 255.255.255.255, board port.
void broadcast(const std::string& from, const std::string& payload) {
  qz::test::requireTestNetwork();
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in local{AF_INET, 0, {}, {}}, all{AF_INET, htons(43282), {INADDR_BROADCAST}, {}};
  ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  const bool sent = ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    ::sendto(s, payload.data(), payload.size(), 0,
                             reinterpret_cast<sockaddr*>(&all), sizeof all) > 0;
  ::close(s);
  BOOST_REQUIRE_MESSAGE(sent, "cannot broadcast from " << from);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(process)

BOOST_AUTO_TEST_CASE(runs_captures_and_kills_the_group_at_the_limit) {
  const runResult r = run({"sh", "-c", "cat; echo err >&2; exit 3"}, "/", 10s, "in");
  BOOST_TEST(r.exitCode == 3, r.describe());
  BOOST_TEST(r.out == "in");
  BOOST_TEST(r.err == "err\n");
  // The background sleep holds the output open: only a group kill ends it.
  const auto start = std::chrono::steady_clock::now();
  const runResult hung = run({"sh", "-c", "sleep 60 & wait"}, "", 200ms);
  BOOST_TEST(hung.timedOut);
  BOOST_TEST(hung.termSignal == SIGKILL);
  BOOST_TEST((std::chrono::steady_clock::now() - start < 1s));
  BOOST_CHECK_THROW(run({"qz-no-such-program"}, "", 5s), std::runtime_error);
}

BOOST_AUTO_TEST_SUITE_END()

// Also run in a board's namespace, with the run's environment, by "testnet".
BOOST_AUTO_TEST_SUITE(outside)

BOOST_AUTO_TEST_CASE(guard_refuses) {
  BOOST_CHECK_THROW(qz::test::requireTestNetwork(), std::runtime_error);
  BOOST_CHECK_THROW(board(1, "10.77.1.99"), std::runtime_error);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(testnet)

BOOST_AUTO_TEST_CASE(guard_passes_in_the_pc_only) {
  BOOST_CHECK_NO_THROW(qz::test::requireTestNetwork());
  board b(1, "10.77.1.20");
  const std::string self = boost::filesystem::read_symlink("/proc/self/exe").string();
  const runResult inBoard = run({"ip", "netns", "exec", std::string(std::getenv("QZ_TESTNET")) +
                                 "-" + b.name(), self, "--run_test=outside"}, "", 60s);
  BOOST_TEST(inBoard.exitCode == 0, "the guard passed in a board's namespace: " << inBoard.out);
}

BOOST_AUTO_TEST_CASE(broadcast_reaches_only_its_own_lan) {
  board lan1(1, "10.77.1.20"), lan2(2, "172.20.2.20");
  for (const auto& [from, reached, missed] :
       {std::tuple{"10.77.1.1", &lan1, &lan2}, std::tuple{"172.20.2.1", &lan2, &lan1}}) {
    const std::string probe = std::string("probe from ") + from;
    broadcast(from, probe);
    BOOST_TEST(reached->waitForLogText("udp " + hex(probe), 3s).has_value(), reached->logTail());
    BOOST_TEST(!missed->waitForLogText(hex(probe), 300ms).has_value(), missed->logTail());
  }
}

BOOST_AUTO_TEST_CASE(board_stops_with_its_namespace) {
  board b(1, "10.77.1.30");
  BOOST_TEST(namespaceExists(b));
  b.stop();
  BOOST_TEST(!namespaceExists(b));
  BOOST_CHECK_THROW(board(3, "10.77.3.10"), std::runtime_error);  // no LAN 3
}

BOOST_AUTO_TEST_SUITE_END()
