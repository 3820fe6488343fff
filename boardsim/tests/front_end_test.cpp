// The board's network front end over real sockets, under tools/testnet with LAN 10.77.1.1/24.
#define BOOST_TEST_MODULE boardsim_front_end
#include <boost/test/unit_test.hpp>

#include "support/common.hpp"
#include "support/testnet.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <unistd.h>

namespace {

const std::string hwIdRequest("\x03\x00\x02", 3), hwIdReply = "170002" + std::string("0102030405060708090a0b0c0d0e0f1011121314");

const std::uint32_t boardAddress = 0x0a4d0114, bootAddress = 0x0a4d011e;  // 10.77.1.20, 10.77.1.30

// A control connection to the board (at 10.77.1.20 unless told) that sends `data` at once; a read
// gives up after 500 ms without a byte.
struct connection {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  explicit connection(const std::string& data, std::uint32_t address = boardAddress) {
    qz::test::requireTestNetwork();
    const timeval limit{0, 500000};
    const sockaddr_in board{AF_INET, htons(10000), {htonl(address)}, {}};
    BOOST_REQUIRE(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
                  ::connect(fd, reinterpret_cast<const sockaddr*>(&board), sizeof board) == 0 &&
                  ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()));
  }
  ~connection() { ::close(fd); }
  void send(const std::string& data) {
    BOOST_REQUIRE(::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()));
  }
  // Up to `most` bytes as hex, then " close" when the board closed the connection.
  std::string receive(std::size_t most) {
    std::string got;
    char buf[65536];
    ssize_t n = 1;
    while (got.size() < most && (n = ::recv(fd, buf, std::min(sizeof buf, most - got.size()), 0)) > 0)
      got.append(buf, static_cast<std::size_t>(n));
    return qz::test::hex(got) + (n == 0 ? " close" : "");
  }
};

std::string raw(std::initializer_list<unsigned char> b) { return std::string(b.begin(), b.end()); }

// Whether a control connection to the address is refused outright.
bool refused(std::uint32_t address) {
  qz::test::requireTestNetwork();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in board{AF_INET, htons(10000), {htonl(address)}, {}};
  const bool result = ::connect(fd, reinterpret_cast<const sockaddr*>(&board), sizeof board) != 0 && errno == ECONNREFUSED;
  ::close(fd);
  return result;
}

// Whether a control connection to the address is taken within 300 ms. For a case whose board has
// started, which checked the network: the check takes longer than a restart.
bool answers(std::uint32_t address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{0, 300000};
  const sockaddr_in board{AF_INET, htons(10000), {htonl(address)}, {}};
  const bool result = ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
                      ::connect(fd, reinterpret_cast<const sockaddr*>(&board), sizeof board) == 0;
  ::close(fd);
  return result;
}

// One UDP command with an empty payload to the device at the address; its answer's status byte and
// payload as hex, empty when none came within a second.
std::string udpCommand(std::uint32_t address, unsigned char command) {
  qz::test::requireTestNetwork();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const timeval limit{1, 0};
  const sockaddr_in device{AF_INET, htons(43282), {htonl(address)}, {}};
  const std::string request = std::string(20, '\0') + static_cast<char>(command);
  char reply[1024];
  ssize_t n = -1;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
      ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&device), sizeof device) > 0)
    n = ::recv(fd, reply, sizeof reply, 0);
  ::close(fd);
  return n > 20 ? qz::test::hex(std::string(reply + 20, static_cast<std::size_t>(n - 20))) : "";
}

// A 1 s program at slot 0 (a wait of 100000 ticks, then the end record), started through
// variables 1 and 0; then a read of variable 0.
const std::string oneSecondProgram =
    raw({15, 0, 0x2c, 0, 0, 0, 0, 0x20, 0, 0, 25, 0xa0, 0x86, 1, 0}) + raw({15, 0, 0x2c, 1, 0, 0, 0, 3, 0, 0, 25, 1, 0, 0, 0}) +
    raw({11, 0, 0x2a, 1, 0, 0, 0, 0, 0, 0, 0}) + raw({11, 0, 0x2a, 0, 0, 0, 0, 1, 0, 0, 0});
const std::string readState = raw({7, 0, 0x2b, 0, 0, 0, 0});

}  // namespace

// A connection the terminal lost without a word (the board moved to another address under it) must
// not keep the board from serving the next one.
BOOST_AUTO_TEST_CASE(a_new_connection_replaces_the_standing_one) {
  qz::test::board b(1, "10.77.1.20");
  connection first(hwIdRequest);
  BOOST_TEST(first.receive(23) == hwIdReply);
  connection second(hwIdRequest);
  BOOST_TEST(second.receive(23) == hwIdReply, b.logTail());
  BOOST_TEST(first.receive(1) == " close");
}

// Requests that came before the end of the terminal's stream are all answered before the close.
BOOST_AUTO_TEST_CASE(every_request_is_answered_before_the_close) {
  qz::test::board b(1, "10.77.1.20");
  std::string requests, replies;
  for (int i = 0; i < 50; ++i) requests += hwIdRequest, replies += hwIdReply;
  connection c(requests);
  ::shutdown(c.fd, SHUT_WR);
  const std::string got = c.receive(1 << 20);
  BOOST_TEST((got == replies + " close"), got.size() / hwIdReply.size() << " of 50 replies, ending " << got.substr(got.size() - 6));
}

// The hardware options of the command line reach the model.
BOOST_AUTO_TEST_CASE(the_command_line_wires_the_inputs_and_the_pressure) {
  qz::test::board b(1, "10.77.1.20", {"--inputs", "0x12345678", "--pressure", "7"});
  BOOST_TEST(connection(raw({3, 0, 0x25}) + raw({3, 0, 0x27})).receive(14) == "07002578563412" "07002707000000");
}

// Whole unsolicited frames without pause, and the reply to a request at a frame boundary among them.
BOOST_AUTO_TEST_CASE(a_flooding_board_still_answers) {
  qz::test::board b(1, "10.77.1.20", {"--tcp-unsolicited-flood"});
  std::string got = connection(hwIdRequest).receive(1 << 21);
  const std::size_t reply = got.find(hwIdReply);
  BOOST_REQUIRE((reply != std::string::npos && reply % 6 == 0));
  got.erase(reply, hwIdReply.size());
  std::string flood;
  while (flood.size() + 6 <= got.size()) flood += "030050";
  BOOST_TEST((got.size() > 4000000 && got.compare(0, flood.size(), flood) == 0));
}

// The board announces a program's end on its own, once; the time scale runs the 1 s program in about
// a millisecond.
BOOST_AUTO_TEST_CASE(a_program_end_is_announced_once) {
  qz::test::board b(1, "10.77.1.20", {"--time-scale", "1000"});
  const auto start = std::chrono::steady_clock::now();
  connection c(oneSecondProgram);
  BOOST_TEST(c.receive(15) == "03002c03002c03002a03002a030050");
  BOOST_TEST(qz::test::msSince(start) < 300 * qz::test::sanitizerSlowdown);
  c.send(readState);
  BOOST_TEST(c.receive(7) == "07002b00000000");
}

// 0x0B is answered and the connection ends; the boot loader comes up at its own address with the
// control port shut until UDP 0x7F, also while it is still moving there, and answers only there;
// after 0x0C the firmware returns at its old address once the connection has ended.
BOOST_AUTO_TEST_CASE(restart_into_the_boot_loader_and_back) {
  qz::test::board b(1, "10.77.1.20", {"--boot-ip", "10.77.1.30"});
  BOOST_TEST(connection(raw({3, 0, 0x0b})).receive(4) == "03000b close");
  BOOST_TEST(!answers(boardAddress), "taken at the old address while restarting");
  BOOST_REQUIRE_MESSAGE(b.waitForLogText("moved 10.77.1.30", std::chrono::seconds(2)), b.logTail());
  BOOST_TEST(refused(bootAddress));
  BOOST_TEST(udpCommand(bootAddress, 0x7f) == "00");
  BOOST_TEST(!answers(boardAddress), "the boot loader answers at the board's old address");
  connection boot(hwIdRequest + raw({3, 0, 0x0c}), bootAddress);
  BOOST_TEST(boot.receive(26) == hwIdReply + "03000c");
  ::shutdown(boot.fd, SHUT_WR);
  BOOST_TEST(boot.receive(1) == " close");
  BOOST_REQUIRE_MESSAGE(b.waitForLogText("moved 10.77.1.20", std::chrono::seconds(2)), b.logTail());
  BOOST_TEST(b.waitForLogText("restart QZ_SMC QZ_SMC sim 1.0", std::chrono::seconds(1)).has_value());
  BOOST_TEST(connection(hwIdRequest).receive(23) == hwIdReply);
}
