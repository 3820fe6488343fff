// The device link's TCP control channel and connection against simulated
// boards, over real sockets. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_tcp
#include <boost/test/unit_test.hpp>

#include <boost/filesystem.hpp>

#include "support/link_fixture.hpp"

namespace {

using qz::test::boardLink;
using rig = qz::test::linkTo<>;
using Lines = std::vector<std::string>;
using boost::test_tools::per_element;
using qz::test::hex;
using qz::test::msSince;
using std::chrono::steady_clock;

const boost::asio::const_buffer none;
std::unique_ptr<qz::test::board> board;  // the frames suite's

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

// The board's replies are faulted per command code: status-code messages for 0x60 to 0x65, and a
// header of length 0, 1 and 2 before the replies to 0x13, 0x25 and 0x27.
BOOST_AUTO_TEST_SUITE(frames, *qz::test::shared(board, [] {
    return qz::test::startBoard({"--tcp-status", "0x60:0x00", "--tcp-status", "0x61:0x01", "--tcp-status", "0x62:0x02",
        "--tcp-status", "0x63:0x03", "--tcp-status", "0x64:0xce", "--tcp-status", "0x65:0x04", "--tcp-bad-length",
        "0x13:0", "--tcp-bad-length", "0x25:1", "--tcp-bad-length", "0x27:2"});
}))

BOOST_AUTO_TEST_CASE(status_code_messages_are_named_and_confirm_nothing)
{
    rig f;
    const char* const named[] = {"unknown error (0x00)", "unknown command (0x01)", "wrong data (0x02)",
                                 "wrong request mode (0x03)", "TCP critical error (0xce)", "unknown code (0x04)"};
    for (int i = 0; i < 6; ++i) {
        const auto start = steady_clock::now();
        BOOST_CHECK_THROW(f.link->sendTCPControlCommand(0x60 + i, none), boardLink::errorTCPCommandConfirmationTimeout);
        BOOST_TEST(msSince(start) >= 1000);
        BOOST_TEST(f.log.count(std::string("[net][warning] status code: ") + named[i]) == 1u, f.log.dump());
    }
    BOOST_TEST(f.log.count("special command received") == 0u, "a status-code message was queued");
}

BOOST_AUTO_TEST_CASE(a_header_below_3_is_logged_with_its_throw_site_and_the_next_3_bytes_are_a_header)
{
    rig f;
    std::vector<unsigned char> reply(100);
    for (int code : {0x13, 0x25, 0x27})
        BOOST_CHECK_NO_THROW(f.link->queryCommand(code, boost::asio::buffer(reply)));
    const Lines errors = f.log.matching("[net][error] exception in receive thread: ");
    BOOST_REQUIRE_EQUAL(errors.size(), 3u);
    for (const char* text : {"zkutility/", "getUnreadSize", "errorWrongMessageHeader"})
        BOOST_TEST(errors[0].find(text) != std::string::npos, errors[0]);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_CASE(unsolicited_messages_come_out_in_arrival_order_until_taken_or_cleared)
{
    const auto b = qz::test::startBoard({"--tcp-other-code", "2:0x55", "--tcp-unsolicited-after-reply"});
    rig f;
    // The hwId comes under code 0x55, then an empty 0x50 follows.
    BOOST_CHECK_THROW(f.link->readHardwareId(), boardLink::errorTCPCommandConfirmationTimeout);
    unsigned char code = 0;
    std::vector<unsigned char> payload;
    BOOST_TEST((f.link->waitSpecialCommand(0, code, payload) && code == 0x55 && hex(payload) == qz::test::boardId));
    BOOST_TEST((f.link->waitSpecialCommand(0, code, payload) && code == 0x50 && payload.empty()));
    const auto start = steady_clock::now();
    BOOST_TEST((!f.link->waitSpecialCommand(100, code, payload) && msSince(start) >= 100));
    f.link->sendTCPControlCommand(0x14, none);
    BOOST_REQUIRE(f.log.waitFor("special command received, cmd: 0x50", std::chrono::seconds(1), 2));
    f.link->clearSpecialCommands();
    BOOST_TEST(!f.link->waitSpecialCommand(0, code, payload));
}

BOOST_AUTO_TEST_CASE(every_way_of_closing_waits_for_the_board_and_leaves_no_thread)
{
    const auto b = qz::test::startBoard();
    const auto threads = std::distance(boost::filesystem::directory_iterator("/proc/self/task"), {});
    for (const std::string way : {"disconnect", "soft reset", "destroy"}) {
        BOOST_TEST_INFO_SCOPE(way);
        const std::size_t mark = b->logLines().size();
        rig f;
        const auto start = steady_clock::now();
        way == "destroy" ? f.link.reset() : f.link->disconnect(way == "soft reset");
        BOOST_TEST(msSince(start) < 1000);
        f.link.reset();
        const Lines info = f.log.matching("[net][info] ");
        BOOST_TEST(Lines(info.end() - 3, info.end()) ==
                       (Lines{"[net][info] socked 0 disconnected", "[net][info] disconnected",
                              "[net][info] controller_base destroyed"}),
                   per_element());
        BOOST_TEST(std::count(info.begin(), info.end(), "[net][info] soft reset") == (way == "soft reset"));
        BOOST_REQUIRE(b->waitForLogText("tcp close", std::chrono::seconds(2), mark));
        BOOST_TEST(b->waitForLogText("tcp 030001", {}, mark).has_value() == (way == "soft reset"));
    }
    BOOST_TEST(std::distance(boost::filesystem::directory_iterator("/proc/self/task"), {}) == threads);
}

// Nobody at the address yet: connect's time limit ends the wait, not the attempts, and without one only
// the wait's own limit ends it. Each connect replaces the attempts of the one before at once.
BOOST_AUTO_TEST_CASE(the_time_limit_ends_the_wait_and_a_second_connect_replaces_the_attempts)
{
    rig f(false);
    // connect's limit, the wait's, and when and how the wait ends: cancelled by the limit or at its own
    const std::tuple<unsigned, unsigned, long, bool> rows[] = {{1000, 5000, 1000, true}, {0, 700, 700, false}};
    for (const auto& [limit, wait, ms, cancelled] : rows) {
        BOOST_TEST_INFO_SCOPE("connect(" << limit << ")");
        const auto start = steady_clock::now();
        BOOST_TEST(!qz::test::connectAndWait(*f.link, limit, wait));
        BOOST_TEST((msSince(start) >= ms && msSince(start) < ms + 500), msSince(start) << " ms");
        boost::unique_lock<boost::mutex> lock(f.link->getStateMutex());
        BOOST_TEST(f.link->waitConnected(lock, 0) == cancelled);
    }
    BOOST_TEST(f.log.count("[net][warning] canceling connection by timeout") == 1u, f.log.dump());
    const auto b = qz::test::startBoard();
    const auto start = steady_clock::now();
    BOOST_TEST(qz::test::connectAndWait(*f.link, 5000, 5000));
    // Up to a second until the pc asks for the board's link-layer address again; the rest is the
    // link's own work, slower under a sanitizer.
    BOOST_TEST(msSince(start) < 1000 + 100 * (qz::test::sanitizerSlowdown - 1),
               "the new attempt waited for the earlier ones");
    BOOST_TEST(hex(f.link->readHardwareId()) == qz::test::boardId);
}
