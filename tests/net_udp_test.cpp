// The device link's UDP side against simulated boards, over real sockets.
// Runs under tools/testnet with two LANs: 10.77.1.1/24 and 172.20.2.1/24.
#define BOOST_TEST_MODULE net_udp
#include <boost/test/unit_test.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>

#include "qzsmc/device_options.hpp"
#include "support/log_capture.hpp"
#include "support/testnet.hpp"
#include "zkutility/boot_options.hpp"
#include "zkutility/controller_base.hpp"

namespace {

using boardLink = zk::hw::controller_base<qz::smc::device_options>;
using bootLink = zk::hw::controller_base<zk::hw::boot::options>;
using udp = boost::asio::ip::udp;
using clock_type = std::chrono::steady_clock;

const char* const idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
const char* const idB = "b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4";

const udp::endpoint lan1(boost::asio::ip::make_address("10.77.1.1"), 28670);
const udp::endpoint lan2(boost::asio::ip::make_address("172.20.2.1"), 28670);

zk::hwId id(const char* text)
{
    zk::hwId h{};
    BOOST_REQUIRE(hwIdFromString(h, text));
    return h;
}

udp::endpoint at(const char* address)
{
    return udp::endpoint(boost::asio::ip::make_address(address), 43282);
}

long msSince(clock_type::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
}

struct inTestNetwork {
    inTestNetwork() { qz::test::requireTestNetwork(); }
};

}  // namespace

BOOST_FIXTURE_TEST_SUITE(discovery, inTestNetwork)

BOOST_AUTO_TEST_CASE(empty_lan_returns_nothing_after_the_full_limit)
{
    const auto start = clock_type::now();
    const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
    const long ms = msSince(start);
    BOOST_TEST(found.empty());
    BOOST_TEST(ms >= 1000);
    BOOST_TEST(ms < 1400);
}

BOOST_AUTO_TEST_CASE(records_come_in_arrival_order)
{
    // The later board answers first: order is arrival, not address or start order.
    qz::test::board early(1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "300"});
    qz::test::board late(1, "10.77.1.11", {"--hwid", idB, "--revision", "rev B"});
    const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
    BOOST_REQUIRE_EQUAL(found.size(), 2u);
    BOOST_TEST(found[0].hwId == id(idB));
    BOOST_TEST(found[0].revision == "rev B");
    BOOST_TEST(found[0].endpoint == at("10.77.1.11"));
    BOOST_TEST(found[1].hwId == id(idA));
    BOOST_TEST(found[1].endpoint == at("10.77.1.10"));
}

BOOST_AUTO_TEST_CASE(a_board_answering_twice_gives_two_records)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA, "--udp-discovery-twice"});
    const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
    BOOST_REQUIRE_EQUAL(found.size(), 2u);
    BOOST_TEST(found[0].hwId == found[1].hwId);
}

BOOST_AUTO_TEST_CASE(device_id_selects_and_empty_id_matches_any)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA});
    BOOST_TEST(boardLink::search("OTHER", lan1, 43282, 1000).empty());
    BOOST_TEST(boardLink::search("", lan1, 43282, 1000).size() == 1u);
    // The empty id goes out as a 21-byte datagram: zero hwId and command 0 only.
    BOOST_TEST(b.waitForLogText("udp " + std::string(42, '0'), std::chrono::milliseconds(500)).has_value());
    bool exact = false;
    for (const std::string& line : b.logLines())
        exact |= line == "udp " + std::string(42, '0');
    BOOST_TEST(exact, "no 21-byte discovery datagram in\n" << b.logTail());
}

BOOST_AUTO_TEST_CASE(revision_text_rules)
{
    {
        qz::test::board b(1, "10.77.1.10", {"--revision", "QZ_SMC TMC 2.1", "--udp-no-terminator"});
        const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
        BOOST_REQUIRE_EQUAL(found.size(), 1u);
        BOOST_TEST(found[0].revision == "QZ_SMC TMC 2.1");
    }
    {
        // Exactly 21 bytes: hwId and status, no text at all.
        qz::test::board b(1, "10.77.1.10", {"--revision", "", "--udp-no-terminator"});
        const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
        BOOST_REQUIRE_EQUAL(found.size(), 1u);
        BOOST_TEST(found[0].revision.empty());
    }
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_FIXTURE_TEST_SUITE(network_configuration, inTestNetwork)

BOOST_AUTO_TEST_CASE(board_reply_length_thresholds)
{
    struct row {
        const char* length;
        bool result;
        std::uint32_t copied;  // payload bytes, as many as fit into 64
    };
    for (const row& r : {row{"66", true, 45}, row{"65", false, 44}, row{"70", true, 49}, row{"20", false, 0}}) {
        qz::test::board b(1, "10.77.1.10", {"--hwid", idA, "--name", "lengthtest", "--udp-config-length", r.length});
        boardLink::networkConfiguration config;
        std::memset(&config, 0xEE, sizeof config);
        BOOST_TEST(boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")) == r.result,
                   "reply of " << r.length << " bytes");
        if (r.copied >= 42)
            BOOST_TEST(std::string(config.Name) == "lengthtest");
        if (r.copied == 0)
            BOOST_TEST(config.IP[0] == 0xEE, "a 20-byte reply must copy nothing");

        unsigned char raw[64];
        const auto result =
            boardLink::sendUDPCommand(id(idA), 4, boost::asio::const_buffer(), boost::asio::buffer(raw), lan1,
                                      at("10.77.1.10"));
        BOOST_TEST(result.first == r.copied);
        BOOST_TEST(!result.second);
    }
}

BOOST_AUTO_TEST_CASE(boot_loader_reply_length_thresholds)
{
    for (const auto& r : {std::make_pair("65", true), std::make_pair("64", false), std::make_pair("69", true)}) {
        qz::test::board b(1, "10.77.1.10", {"--boot-loader", "--hwid", idA, "--udp-config-length", r.first});
        bootLink::networkConfiguration config{};
        BOOST_TEST(bootLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")) == r.second,
                   "boot loader reply of " << r.first << " bytes");
    }
}

BOOST_AUTO_TEST_CASE(error_status_fails_but_the_record_was_overwritten)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA, "--udp-status", "0x80"});
    boardLink::networkConfiguration config;
    std::memset(&config, 0, sizeof config);
    BOOST_TEST(!boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")));
    const unsigned char expected[4] = {10, 77, 1, 10};
    BOOST_TEST(std::memcmp(config.IP, expected, 4) == 0);
}

BOOST_AUTO_TEST_CASE(broadcast_option_only_for_the_limited_broadcast)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA});
    boardLink::networkConfiguration config{};
    const udp::endpoint all(boost::asio::ip::address_v4::broadcast(), 43282);
    BOOST_TEST(boardLink::getNetworkConfiguration(id(idA), &config, lan1, all));
    // A subnet broadcast needs the option, which only 255.255.255.255 gets: the send is refused.
    BOOST_CHECK_THROW(boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.255")),
                      boost::system::system_error);
    BOOST_TEST(boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")));
}

BOOST_AUTO_TEST_CASE(no_answer_gives_false_after_the_limit)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA, "--udp-silent", "4"});
    boardLink::networkConfiguration config{};
    const auto start = clock_type::now();
    BOOST_TEST(!boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")));
    BOOST_TEST(msSince(start) >= 1000);
}

BOOST_AUTO_TEST_CASE(set_takes_effect_and_the_board_moves)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA});
    boardLink::networkConfiguration config{};
    BOOST_REQUIRE(boardLink::getNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10")));
    config.IP[3] = 42;
    std::strncpy(config.Name, "moved board", sizeof config.Name);

    auto start = clock_type::now();
    boardLink::setNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.10"));
    const long setMs = msSince(start);
    BOOST_TEST(setMs >= 400);
    BOOST_TEST(setMs < 700);

    boardLink::networkConfiguration readBack{};
    BOOST_REQUIRE(boardLink::getNetworkConfiguration(id(idA), &readBack, lan1, at("10.77.1.42")));
    BOOST_TEST(std::memcmp(&config, &readBack, sizeof config) == 0);

    start = clock_type::now();
    boardLink::setDefaultNetworkConfiguration(id(idA), lan1, at("10.77.1.42"));
    const long defaultMs = msSince(start);
    BOOST_TEST(defaultMs >= 200);
    BOOST_TEST(defaultMs < 500);
    BOOST_REQUIRE(b.waitForLogText("moved 10.77.1.10", std::chrono::milliseconds(2000)));
    BOOST_TEST(boardLink::getNetworkConfiguration(id(idA), &readBack, lan1, at("10.77.1.10")));
    BOOST_TEST(readBack.IP[3] == 10);
}

BOOST_AUTO_TEST_CASE(set_returns_after_400_ms_without_a_device)
{
    boardLink::networkConfiguration config{};
    const auto start = clock_type::now();
    boardLink::setNetworkConfiguration(id(idA), &config, lan1, at("10.77.1.99"));
    BOOST_TEST(msSince(start) >= 400);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_FIXTURE_TEST_SUITE(construction, inTestNetwork)

BOOST_AUTO_TEST_CASE(all_zero_id_takes_the_first_board_to_answer)
{
    qz::test::board slow(1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "300"});
    qz::test::board fast(1, "10.77.1.11", {"--hwid", idB});
    boardLink link("QZ_SMC", nullptr, nullptr, 28670, zk::hwId{});
    BOOST_TEST(link.hardwareId() == id(idB));
    BOOST_TEST(link.deviceAddress().to_string() == "10.77.1.11");
    BOOST_TEST(link.localAddress().to_string() == "10.77.1.1");
    BOOST_TEST(!link.connected());
}

BOOST_AUTO_TEST_CASE(a_wanted_id_on_the_second_lan_is_found_after_the_first_lans_full_second)
{
    qz::test::board other(1, "10.77.1.10", {"--hwid", idA});
    qz::test::board wanted(2, "172.20.2.10", {"--hwid", idB});
    qz::test::logCapture log;
    const auto start = clock_type::now();
    boardLink link("QZ_SMC", nullptr, nullptr, 28670, id(idB));
    BOOST_TEST(msSince(start) >= 1000);
    BOOST_TEST(link.deviceAddress().to_string() == "172.20.2.10");
    BOOST_TEST(link.localAddress().to_string() == "172.20.2.1");
    BOOST_TEST(log.count("[net][info] device found at 172.20.2.10") == 1u, log.dump());
}

BOOST_AUTO_TEST_CASE(a_given_local_address_stays)
{
    qz::test::board wanted(2, "172.20.2.10", {"--hwid", idB});
    boardLink link("QZ_SMC", "10.77.1.1", nullptr, 28670, id(idB));
    BOOST_TEST(link.localAddress().to_string() == "10.77.1.1");
    BOOST_TEST(link.deviceAddress().to_string() == "172.20.2.10");
}

BOOST_AUTO_TEST_CASE(a_given_address_picks_the_classful_subnet_and_sends_one_command_4)
{
    qz::test::board b(2, "172.20.2.10", {"--hwid", idB});
    qz::test::logCapture log;
    boardLink link("QZ_SMC", nullptr, "172.20.2.10", 28670, id(idB));
    BOOST_TEST(link.localAddress().to_string() == "172.20.2.1");
    BOOST_TEST(log.count("[net][info] found matching local interface at 172.20.2.1") == 1u, log.dump());
    BOOST_REQUIRE(b.waitForLogText("udp ", std::chrono::milliseconds(500)));
    BOOST_TEST(b.udpDatagrams(4).size() == 1u, b.logTail());
    BOOST_TEST(b.udpDatagrams(0).size() == 0u, b.logTail());
}

BOOST_AUTO_TEST_CASE(discovery_sends_no_command_4)
{
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA});
    boardLink link("QZ_SMC", nullptr, nullptr, 28670, zk::hwId{});
    BOOST_TEST(b.udpDatagrams(4).size() == 0u, b.logTail());
    BOOST_TEST(b.udpDatagrams(0).size() == 1u, b.logTail());
    BOOST_TEST(link.getRevisionString() == "QZ_SMC sim 1.0");
}

BOOST_AUTO_TEST_CASE(device_not_found)
{
    // No local interface in 192.168.1.0/24.
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, "192.168.1.20", 28670, zk::hwId{}),
                      boardLink::errorDeviceNotFound);
    // Nobody answers discovery.
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, nullptr, 28670, zk::hwId{}), boardLink::errorDeviceNotFound);
    // Only another board answers.
    qz::test::board other(1, "10.77.1.10", {"--hwid", idA});
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, nullptr, 28670, id(idB)), boardLink::errorDeviceNotFound);
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, "not an address", 28670, zk::hwId{}),
                      boost::system::system_error);
}

BOOST_AUTO_TEST_CASE(revision_read_matches_the_hardware_id_only)
{
    // A given address without the board's hwId cannot read its revision.
    qz::test::board b(1, "10.77.1.10", {"--hwid", idA});
    boardLink link("QZ_SMC", nullptr, "10.77.1.10", 28670, zk::hwId{});
    BOOST_CHECK_THROW(link.getRevisionString(), boardLink::errorDeviceNotFound);
    boardLink named("QZ_SMC", nullptr, "10.77.1.10", 28670, id(idA));
    BOOST_TEST(named.getRevisionString() == "QZ_SMC sim 1.0");
}

BOOST_AUTO_TEST_SUITE_END()
