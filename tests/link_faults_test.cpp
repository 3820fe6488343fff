// The device link under faults, over real sockets in a test network with one
// LAN, 10.77.1.1/24: bounded shutdown, fresh replies, paced attempts, recovery
// from a socket that cannot be opened, a bounded unsolicited queue that lets commands through, foreign
// datagrams. Each case names the fault it keeps out.
#define BOOST_TEST_MODULE link_faults
#include <boost/test/unit_test.hpp>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include <boost/asio/ip/udp.hpp>

#include "qzsmc/controller.hpp"
#include "support/common.hpp"
#include "support/link_fixture.hpp"

namespace {

// socket() fails with EMFILE while this is set, as when the process is out of descriptors.
std::atomic<bool> socketsExhausted{false};

}  // namespace

extern "C" int socket(int domain, int type, int protocol)
{
    if (socketsExhausted) {
        errno = EMFILE;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
}

namespace {

using boardLink = zk::hw::controller_base<qz::smc::device_options>;
using std::chrono::milliseconds;
using qz::test::msSince;

const char* const nobodyAddress = "10.77.1.99";  // on the LAN, no host behind it
using qz::test::boardAddress;
using qz::test::startBoard;

zk::hwId boardId()
{
    return qz::test::hwIdOf(qz::test::boardId);
}

std::unique_ptr<boardLink> linkAt(const char* address)
{
    return std::make_unique<boardLink>("QZ_SMC", "10.77.1.1", address, 28670, boardId());
}

// Runs f and returns its duration; a call still running after limit ends the
// run, since a hung join cannot be recovered in-process.
long timed(const std::string& what, const std::function<void()>& f, milliseconds limit = milliseconds(6000))
{
    const auto start = std::chrono::steady_clock::now();
    auto done = std::async(std::launch::async, f);
    if (done.wait_for(limit) != std::future_status::ready) {
        std::cerr << what << " still blocked after " << limit.count() << " ms" << std::endl;
        std::abort();
    }
    done.get();
    return msSince(start);
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(link_under_faults)

BOOST_AUTO_TEST_CASE(disconnect_and_destruction_are_bounded_in_every_state)
{
    struct state {
        const char* name;
        std::vector<std::string> board;
        bool boardRuns;  // false: the link aims at an address without a host
        bool connect;
        bool connects;
        long disconnectAtLeast;  // a device that keeps its side open is given its time
        long disconnectLimit;
    };
    const state states[] = {
        {"never connected", {}, true, false, false, 0, 500},
        {"connecting to an address nobody answers", {}, false, true, false, 0, 500},
        {"connecting to a board that drops its TCP", {qz::test::dropTcp}, true, true, false, 0, 500},
        {"refused", {"--tcp-refuse"}, true, true, false, 0, 500},
        {"connected", {}, true, true, true, 0, 1000},
        {"device holds the connection open", {"--tcp-hold-open", "60000"}, true, true, true, 2900, 3500},
    };
    for (const state& s : states) {
        BOOST_TEST_CONTEXT(s.name)
        {
            auto board = s.boardRuns ? startBoard(s.board) : nullptr;
            auto link = linkAt(s.boardRuns ? boardAddress : nobodyAddress);
            if (s.connect)
                BOOST_TEST(qz::test::connectAndWait(*link, 300, 600) == s.connects);
            const long disconnecting = timed("disconnect", [&] { link->disconnect(false); });
            BOOST_TEST(!link->connected());
            const long destroying = timed("destruction", [&] { link.reset(); });
            BOOST_TEST_MESSAGE(s.name << ": disconnect " << disconnecting << " ms, destruction " << destroying << " ms");
            BOOST_TEST(disconnecting >= s.disconnectAtLeast);
            BOOST_TEST(disconnecting <= s.disconnectLimit);
            BOOST_TEST(destroying <= 500);
        }
    }
}

BOOST_AUTO_TEST_CASE(a_reply_without_payload_copies_nothing_of_an_earlier_reply)
{
    auto board = startBoard();
    auto link = linkAt(boardAddress);
    BOOST_TEST_REQUIRE(qz::test::connectAndWait(*link));
    BOOST_TEST(link->readHardwareId() == boardId());
    // Setting a variable is confirmed by a bare 3-byte frame.
    const unsigned char setVariable[8] = {7, 0, 0, 0, 0, 0, 0, 0};
    std::array<unsigned char, 20> reply{};
    link->sendTCPControlCommandWithReply(0x2A, boost::asio::buffer(setVariable), boost::asio::buffer(reply));
    BOOST_TEST(qz::test::hex(reply) == std::string(40, '0'));
}

BOOST_AUTO_TEST_CASE(failed_attempts_are_paced_and_go_on)
{
    auto board = startBoard({"--tcp-refuse"});
    qz::test::logCapture log;
    auto link = linkAt(boardAddress);
    const double cpuBefore = cpuSeconds();
    link->connect(0);
    std::this_thread::sleep_for(milliseconds(1000));
    const std::size_t attempts = log.count("socket connection error");
    const double cpu = cpuSeconds() - cpuBefore;
    link.reset();
    BOOST_TEST(attempts >= 5u);
    BOOST_TEST(attempts <= 15u);
    BOOST_TEST(cpu < 0.3);
}

BOOST_AUTO_TEST_CASE(a_socket_that_cannot_be_opened_is_one_more_failed_attempt)
{
    // The board answers the first frame and then closes: the worker must open a new socket.
    auto board = startBoard({"--tcp-close-after", "1"});
    qz::test::logCapture log;
    auto link = linkAt(boardAddress);
    BOOST_TEST_REQUIRE(qz::test::connectAndWait(*link));
    socketsExhausted = true;
    link->sendTCPControlCommand(0x2B, boost::asio::buffer(std::array<unsigned char, 4>{2, 0, 0, 0}));
    const bool logged = log.waitFor("socket connection error: Too many open files", milliseconds(2000));
    socketsExhausted = false;
    BOOST_TEST(logged);
    const auto start = std::chrono::steady_clock::now();
    while (!link->connected() && msSince(start) < 2000)
        std::this_thread::sleep_for(milliseconds(10));
    BOOST_TEST(link->connected(), "reconnected after the descriptors came back");
}

BOOST_AUTO_TEST_CASE(a_flood_of_unsolicited_frames_is_bounded_and_commands_still_confirm)
{
    // Counts the frames the worker hands on.
    struct countingLink : boardLink {
        using boardLink::boardLink;
        void onMessage(socketType type, const unsigned char* frame, unsigned size) override
        {
            ++frames;
            boardLink::onMessage(type, frame, size);
        }
        std::atomic<std::uint64_t> frames{0};
    };
    auto board = startBoard({"--tcp-unsolicited-flood"});
    qz::test::logCapture log(zk::logger::info);  // as the terminal's example configuration keeps them
    countingLink link("QZ_SMC", "10.77.1.1", boardAddress, 28670, boardId());
    BOOST_TEST_REQUIRE(qz::test::connectAndWait(link));
    BOOST_TEST_REQUIRE(log.waitFor("oldest message(s) dropped", milliseconds(5000)));
    // Each command's reply comes behind whatever the socket buffers hold of the flood by then:
    // they have had time to fill.
    std::this_thread::sleep_for(milliseconds(2000));
    const std::uint64_t before = link.frames;
    const auto start = std::chrono::steady_clock::now();
    std::ostringstream confirmations;
    for (int i = 0; i < 5; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        BOOST_CHECK_NO_THROW(BOOST_TEST(link.readHardwareId() == boardId()));
        const long took = msSince(sent);
        confirmations << took << " ";
        // Behind no more than what the two sockets' buffers hold of the flood: milliseconds.
        BOOST_TEST(took < 400 * qz::test::sanitizerSlowdown);
    }
    std::this_thread::sleep_until(start + milliseconds(1000));
    const std::uint64_t drained = link.frames - before;
    const long ms = msSince(start);
    BOOST_TEST_MESSAGE("flood: " << drained * 1000 / ms << " frames/s drained; confirmed in " << confirmations.str()
                                 << "ms");
    BOOST_TEST(drained > 1000u, "the board went on flooding");

    std::size_t queued = 0;
    unsigned char code = 0;
    std::vector<unsigned char> payload;
    // Count what was waiting, not what keeps arriving meanwhile.
    link.disconnect(false);
    while (link.waitSpecialCommand(0, code, payload))
        ++queued;
    BOOST_TEST(queued == zk::hw::controlChannel::queueLimit);
    BOOST_TEST(code == 0x50);
}

BOOST_AUTO_TEST_CASE(a_foreign_datagram_is_not_taken_for_the_devices_reply)
{
    using udp = boost::asio::ip::udp;
    boost::asio::io_context io;
    udp::socket stranger(io, udp::endpoint(boost::asio::ip::make_address_v4("10.77.1.1"), 0));
    // A plausible configuration answer from another host: 20 id bytes, status 0, 45 bytes.
    std::vector<unsigned char> datagram(66, 0x5a);
    datagram[20] = 0;
    std::atomic<bool> sending{true};
    std::thread flood([&] {
        while (sending) {
            stranger.send_to(boost::asio::buffer(datagram), udp::endpoint(stranger.local_endpoint().address(), 28670));
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    boardLink::networkConfiguration config{};
    const auto start = std::chrono::steady_clock::now();
    const bool answered = boardLink::getNetworkConfiguration(
        boardId(), &config, udp::endpoint(boost::asio::ip::make_address_v4("10.77.1.1"), 28670),
        udp::endpoint(boost::asio::ip::make_address_v4(nobodyAddress), 43282));
    const long elapsed = msSince(start);
    sending = false;
    flood.join();
    BOOST_TEST(!answered);
    BOOST_TEST(qz::test::hex(&config, sizeof config) == std::string(90, '0'));
    BOOST_TEST(elapsed >= 950);
}

BOOST_AUTO_TEST_CASE(an_ipv6_device_address_without_local_interfaces_is_not_found)
{
    // A network namespace of this thread alone, with no interface up.
    std::thread alone([] {
        BOOST_TEST_REQUIRE(::unshare(CLONE_NEWNET) == 0);
        BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, "fd00::10", 28670, zk::hwId{}), boardLink::errorDeviceNotFound);
    });
    alone.join();
}

BOOST_AUTO_TEST_SUITE_END()
