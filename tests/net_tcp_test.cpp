// The device link's TCP control channel and connection against simulated
// boards, over real sockets. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_tcp
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <boost/filesystem.hpp>

#include "qzsmc/device_options.hpp"
#include "support/connect.hpp"
#include "support/log_capture.hpp"
#include "support/testnet.hpp"
#include "zkutility/controller_base.hpp"

namespace {

using boardLink = zk::hw::controller_base<qz::smc::device_options>;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const boardId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
const char* const boardAddress = "10.77.1.10";

zk::hwId id(const char* text)
{
    zk::hwId h{};
    hwIdFromString(h, text);
    return h;
}

long msSince(clock_type::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count());
}

std::size_t threadCount()
{
    std::size_t n = 0;
    for (boost::filesystem::directory_iterator i("/proc/self/task"), end; i != end; ++i)
        ++n;
    return n;
}

// A board with the given faults and a link to it; connect() waits for the connection.
struct fixture {
    explicit fixture(std::vector<std::string> faults = {})
    {
        qz::test::requireTestNetwork();
        faults.insert(faults.begin(), {"--hwid", boardId});
        board = std::make_unique<qz::test::board>(1, boardAddress, faults);
        link = std::make_unique<boardLink>("QZ_SMC", "10.77.1.1", boardAddress, 28670, id(boardId));
    }

    bool connect(unsigned limit = 5000) { return qz::test::connectAndWait(*link, limit); }

    qz::test::logCapture log;
    std::unique_ptr<qz::test::board> board;
    std::unique_ptr<boardLink> link;
};

}  // namespace

BOOST_AUTO_TEST_SUITE(framing)

BOOST_AUTO_TEST_CASE(trace_lines_of_sent_and_received_frames)
{
    fixture f;
    BOOST_REQUIRE(f.connect());
    const unsigned char variable[2] = {0x02, 0x00};
    f.link->sendTCPControlCommand(0x2B, boost::asio::buffer(variable));
    f.link->sendTCPControlCommand(0x01, boost::asio::const_buffer());
    BOOST_TEST(f.log.count("[net][trace] 10000:(5)<: 0500 2b 0200") == 1u, f.log.dump());
    BOOST_TEST(f.log.count("[net][trace] 10000:(3)<: 0300 01") == 1u, f.log.dump());
    // The received trace always has a blank after the command byte.
    BOOST_TEST(f.log.count("[net][trace] 10000:(3)>: 0300 01 ") == 1u, f.log.dump());
    BOOST_TEST(f.board->waitForLogText("tcp 05002b0200", milliseconds(500)).has_value(), f.board->logTail());
}

BOOST_AUTO_TEST_CASE(a_reply_without_payload_confirms_and_keeps_the_earlier_payload)
{
    fixture f;
    BOOST_REQUIRE(f.connect());
    // No payload received yet: the buffer stays as it was.
    unsigned char untouched[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    f.link->sendTCPControlCommandWithReply(0x14, boost::asio::const_buffer(), boost::asio::buffer(untouched));
    BOOST_TEST(untouched[0] == 0xEE);

    BOOST_TEST(f.link->readHardwareId() == id(boardId));
    std::array<unsigned char, 20> again{};
    f.link->sendTCPControlCommandWithReply(0x14, boost::asio::const_buffer(), boost::asio::buffer(again));
    BOOST_TEST(again == id(boardId));
}

BOOST_AUTO_TEST_CASE(status_code_messages_never_confirm)
{
    struct row {
        const char* status;
        const char* logged;
    };
    for (const row& r : {row{"0x00", "status code: unknown error (0x00)"},
                         row{"0x01", "status code: unknown command (0x01)"},
                         row{"0x02", "status code: wrong data (0x02)"},
                         row{"0x03", "status code: wrong request mode (0x03)"},
                         row{"0xce", "status code: TCP critical error (0xce)"},
                         row{"0x04", "status code: unknown code (0x04)"}}) {
        fixture f({"--tcp-status", std::string("0x14:") + r.status});
        BOOST_REQUIRE(f.connect());
        const auto start = clock_type::now();
        BOOST_CHECK_THROW(f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer()),
                          boardLink::errorTCPCommandConfirmationTimeout);
        BOOST_TEST(msSince(start) >= 1000);
        BOOST_TEST(f.log.count(std::string("[net][warning] ") + r.logged) == 1u, f.log.dump());
        // Nothing was queued as unsolicited either.
        unsigned char code = 0;
        std::vector<unsigned char> payload;
        BOOST_TEST(!f.link->waitSpecialCommand(0, code, payload));
    }
}

BOOST_AUTO_TEST_CASE(an_error_flag_reply_confirms_and_is_logged)
{
    fixture f({"--tcp-error-flag", "2"});
    BOOST_REQUIRE(f.connect());
    BOOST_TEST(f.link->readHardwareId() == id(boardId));
    BOOST_TEST(f.log.count(std::string("[net][error] device request error, cmd: 0x02, data: 1700 82 ") + boardId) ==
                   1u,
               f.log.dump());
}

BOOST_AUTO_TEST_CASE(another_code_is_queued_as_unsolicited)
{
    fixture f({"--tcp-other-code", "0x14:0x55"});
    BOOST_REQUIRE(f.connect());
    BOOST_CHECK_THROW(f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer()),
                      boardLink::errorTCPCommandConfirmationTimeout);
    BOOST_TEST(f.log.count("[net][trace] special command received, cmd: 0x55") == 1u, f.log.dump());
    unsigned char code = 0;
    std::vector<unsigned char> payload{1, 2, 3};
    BOOST_REQUIRE(f.link->waitSpecialCommand(0, code, payload));
    BOOST_TEST(code == 0x55);
    BOOST_TEST(payload.empty());
    // Empty queue: false after the limit.
    const auto start = clock_type::now();
    BOOST_TEST(!f.link->waitSpecialCommand(100, code, payload));
    BOOST_TEST(msSince(start) >= 100);
}

BOOST_AUTO_TEST_CASE(unsolicited_messages_come_out_in_arrival_order_and_can_be_cleared)
{
    fixture f({"--tcp-unsolicited-after-reply"});
    BOOST_REQUIRE(f.connect());
    f.link->readHardwareId();
    f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer());
    unsigned char code = 0;
    std::vector<unsigned char> payload;
    BOOST_REQUIRE(f.link->waitSpecialCommand(1000, code, payload));
    BOOST_TEST(code == 0x50);
    BOOST_REQUIRE(f.link->waitSpecialCommand(1000, code, payload));
    BOOST_TEST(code == 0x50);
    f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer());
    BOOST_REQUIRE(f.log.waitFor("10000:(3)>: 0300 50 ", milliseconds(1000)));
    std::this_thread::sleep_for(milliseconds(100));
    f.link->clearSpecialCommands();
    BOOST_TEST(!f.link->waitSpecialCommand(0, code, payload));
}

BOOST_AUTO_TEST_CASE(a_length_below_3_drops_three_bytes_and_the_stream_goes_on)
{
    for (const char* length : {"0", "1", "2"}) {
        fixture f({"--tcp-bad-length", std::string("2:") + length});
        BOOST_REQUIRE(f.connect());
        BOOST_TEST(f.link->readHardwareId() == id(boardId));
        BOOST_TEST(f.log.count("[net][error] exception in receive thread: ") == 1u, f.log.dump());
        BOOST_TEST(f.link->connected());
    }
}

BOOST_AUTO_TEST_CASE(no_socket_no_send)
{
    fixture f;
    BOOST_CHECK_THROW(f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer()),
                      boardLink::errorSocketNotInitialized);
    BOOST_TEST(f.board->logLines().size() == 1u, f.board->logTail());  // the one command-4 datagram
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(connection)

BOOST_AUTO_TEST_CASE(a_refusing_board_ends_the_wait_at_the_limit)
{
    fixture f({"--tcp-refuse"});
    const auto start = clock_type::now();
    f.link->connect(1000);
    bool result;
    {
        boost::unique_lock<boost::mutex> lock(f.link->getStateMutex());
        result = f.link->waitConnected(lock, 5000);
    }
    const long ms = msSince(start);
    BOOST_TEST(result);  // cancelled by the time limit
    BOOST_TEST(!f.link->connected());
    BOOST_TEST(ms >= 1000);
    BOOST_TEST(ms < 1500);
    BOOST_TEST(f.log.count("[net][warning] canceling connection by timeout") == 1u, f.log.dump());
    // Attempts go on after the limit.
    const std::size_t errors = f.log.count("[net][error] socket connection error: ");
    BOOST_TEST(errors > 0u);
    std::this_thread::sleep_for(milliseconds(200));
    BOOST_TEST(f.log.count("[net][error] socket connection error: ") > errors);
}

BOOST_AUTO_TEST_CASE(without_a_limit_the_wait_ends_only_at_its_own_limit)
{
    fixture f({"--tcp-refuse"});
    f.link->connect(0);
    boost::unique_lock<boost::mutex> lock(f.link->getStateMutex());
    const auto start = clock_type::now();
    BOOST_TEST(!f.link->waitConnected(lock, 700));
    BOOST_TEST(msSince(start) >= 700);
}

BOOST_AUTO_TEST_CASE(a_closed_connection_is_opened_again)
{
    fixture f({"--tcp-close-after", "2"});
    BOOST_REQUIRE(f.connect());
    f.link->readHardwareId();
    f.link->readHardwareId();  // the board answers, then closes
    BOOST_REQUIRE(f.log.waitFor("[net][info] socked 0 disconnected", milliseconds(2000)));
    const int lost = f.log.find("socked 0 disconnected");
    const auto reconnected = [&] { return f.log.find("[net][info] socket 0 connected", lost) > lost; };
    for (int i = 0; i < 200 && !reconnected(); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    BOOST_TEST(reconnected(), f.log.dump());
    BOOST_TEST(f.link->readHardwareId() == id(boardId));
    std::size_t accepts = 0;
    for (const std::string& line : f.board->logLines())
        accepts += line == "tcp accept";
    BOOST_TEST(accepts == 2u);
}

BOOST_AUTO_TEST_CASE(disconnect_returns_when_the_board_closes)
{
    fixture f;
    BOOST_REQUIRE(f.connect());
    const auto start = clock_type::now();
    f.link->disconnect(false);
    BOOST_TEST(msSince(start) < 1000);
    BOOST_TEST(!f.link->connected());
    const int lost = f.log.find("[net][info] socked 0 disconnected");
    const int done = f.log.find("[net][info] disconnected");
    BOOST_TEST(lost >= 0, f.log.dump());
    BOOST_TEST(done > lost, f.log.dump());
    BOOST_CHECK_THROW(f.link->sendTCPControlCommand(0x14, boost::asio::const_buffer()),
                      boardLink::errorSocketNotInitialized);
}

BOOST_AUTO_TEST_CASE(soft_reset_goes_out_before_the_close)
{
    fixture f;
    BOOST_REQUIRE(f.connect());
    f.link->disconnect(true);
    BOOST_TEST(f.log.find("[net][info] soft reset") >= 0);
    BOOST_TEST(f.board->waitForLogText("tcp 030001", milliseconds(500)).has_value(), f.board->logTail());
}

BOOST_AUTO_TEST_CASE(disconnect_is_bounded_when_the_board_never_closes)
{
    fixture f({"--tcp-hold-open", "60000"});
    BOOST_REQUIRE(f.connect());
    const auto start = clock_type::now();
    f.link->disconnect(false);
    const long ms = msSince(start);
    BOOST_TEST(ms >= 3000);
    BOOST_TEST(ms < 4000);
    BOOST_TEST(!f.link->connected());
    BOOST_TEST(f.log.find("[net][info] disconnected") >= 0);
}

BOOST_AUTO_TEST_CASE(a_second_connect_replaces_the_first_attempt)
{
    qz::test::requireTestNetwork();
    qz::test::logCapture log;
    // Nobody at the address yet: the first attempt cannot succeed.
    boardLink link("QZ_SMC", "10.77.1.1", "10.77.1.20", 28670, id(boardId));
    link.connect(300);
    {
        boost::unique_lock<boost::mutex> lock(link.getStateMutex());
        BOOST_TEST(link.waitConnected(lock, 2000));
    }
    BOOST_TEST(!link.connected());
    qz::test::board board(1, "10.77.1.20", {"--hwid", boardId});
    const auto start = clock_type::now();
    link.connect(5000);
    BOOST_TEST(msSince(start) < 500);  // the caller does not wait for the old worker's attempts
    {
        boost::unique_lock<boost::mutex> lock(link.getStateMutex());
        link.waitConnected(lock, 5000);
    }
    BOOST_TEST(link.connected(), log.dump());
    BOOST_TEST(link.readHardwareId() == id(boardId));
}

BOOST_AUTO_TEST_CASE(destruction_without_connection_and_no_thread_left_behind)
{
    const std::size_t before = threadCount();
    {
        fixture f;
        BOOST_TEST(f.link.get() != nullptr);
        f.link.reset();
        const auto lines = f.log.lines();
        BOOST_REQUIRE(!lines.empty());
        BOOST_TEST(lines.back() == "[net][info] controller_base destroyed");
        BOOST_TEST(f.log.find("disconnected") < 0, f.log.dump());
    }
    {
        fixture f;
        BOOST_REQUIRE(f.connect());
        BOOST_TEST(threadCount() > before);
        f.link.reset();  // connected: the destructor disconnects
        BOOST_TEST(f.log.find("[net][info] disconnected") >= 0, f.log.dump());
    }
    {
        fixture f({"--tcp-refuse"});
        f.link->connect(200);
        std::this_thread::sleep_for(milliseconds(300));
        f.link.reset();  // never connected, attempts still running
    }
    BOOST_TEST(threadCount() == before);
}

BOOST_AUTO_TEST_SUITE_END()
