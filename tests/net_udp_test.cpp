// The device link's UDP side against simulated boards, over real sockets. Runs under
// tools/testnet with two LANs: 10.77.1.1/24 and the class-B 172.20.0.1/16.
#define BOOST_TEST_MODULE net_udp
#include <boost/test/unit_test.hpp>

#include <cstring>
#include <thread>

#include "support/link_fixture.hpp"
#include "zkutility/boot_options.hpp"

namespace {

using qz::test::boardLink;
using qz::test::hwIdOf;
using qz::test::msSince;

const std::string idA = qz::test::boardId, idB(40, 'b'), idC(40, 'c');
const boost::asio::ip::udp::endpoint lan1(boost::asio::ip::make_address("10.77.1.1"), 28670);
boost::asio::ip::udp::endpoint at(const char* address) { return {boost::asio::ip::make_address(address), 43282}; }

// On LAN 1 a board that answers 300 ms late with a bare 21-byte discovery reply, and one that
// answers at once and twice; on LAN 2 one outside the pc's own /24.
struct boards {
    qz::test::board slow{1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "300", "--revision", "",
                                           "--udp-no-terminator"}};
    qz::test::board fast{1, "10.77.1.11", {"--hwid", idB, "--revision", "rev B", "--udp-discovery-twice"}};
    qz::test::board far{2, "172.20.3.10", {"--hwid", idC, "--revision", "QZ_SMC TMC 2.1", "--udp-no-terminator"}};
};
std::unique_ptr<boards> net;

// Reads the configuration of the board at 10.77.1.20, asked with the all-zero hwId that every board
// answers, into a record of 0xEE bytes: the result, and the record's first byte afterwards; then
// asks again for the exchange's own view, so that a flag or length the result hides is seen too.
template <class Options>
std::string readConfiguration()
{
    using link = zk::hw::controller_base<Options>;
    typename Options::networkConfiguration config;
    std::memset(&config, 0xEE, sizeof config);
    const bool got = link::getNetworkConfiguration({}, &config, lan1, at("10.77.1.20"));
    const auto [copied, refused] =
        link::sendUDPCommand({}, 4, boost::asio::const_buffer(), boost::asio::buffer(&config, sizeof config), lan1,
                             at("10.77.1.20"));
    return (got ? "got" : "none") + std::string(", IP[0] ") + std::to_string(config.IP[0]) + ", " +
           std::to_string(copied) + " bytes" + (refused ? ", refused" : "");
}

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(shared_boards, *qz::test::shared(net, [] { return std::make_unique<boards>(); }))

BOOST_AUTO_TEST_CASE(a_search_lasts_its_limit_and_records_every_reply_in_arrival_order)
{
    const auto start = std::chrono::steady_clock::now();
    const auto found = boardLink::search("QZ_SMC", lan1, 43282, 1000);
    BOOST_TEST(msSince(start) >= 1000);
    BOOST_REQUIRE_EQUAL(found.size(), 3u);
    using qz::test::hex;
    BOOST_TEST(hex(found[0].hwId) + hex(found[1].hwId) + hex(found[2].hwId) == idB + idB + idA);
    BOOST_TEST((found[1].endpoint == at("10.77.1.11") && found[2].endpoint == at("10.77.1.10")));
    BOOST_TEST((found[1].revision == "rev B" && found[2].revision == ""), "a bare reply took an earlier one's text");
    BOOST_TEST(boardLink::search("OTHER", lan1, 43282, 1000).empty());
}

BOOST_AUTO_TEST_CASE(discovery_takes_the_first_matching_reply_and_the_interface_it_came_through_if_any)
{
    const auto commands4 = net->fast.udpDatagrams(4).size();
    boardLink any("QZ_SMC", nullptr, nullptr, 28670, zk::hwId{});
    BOOST_TEST(qz::test::hex(any.hardwareId()) + " at " + any.deviceAddress().to_string() + " via " +
                   any.localAddress().to_string() == idB + " at 10.77.1.11 via 10.77.1.1");
    BOOST_TEST((!any.connected() && net->fast.udpDatagrams(4).size() == commands4));
    const zk::hwId nobody = hwIdOf(std::string(40, 'd'));
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, nullptr, 28670, nobody), boardLink::errorDeviceNotFound);
    // The wanted board answers on LAN 2 only, after LAN 1's full second.
    qz::test::logCapture log;
    const auto start = std::chrono::steady_clock::now();
    boardLink wanted("QZ_SMC", nullptr, nullptr, 28670, hwIdOf(idC));
    BOOST_TEST(msSince(start) >= 1000);
    BOOST_TEST(wanted.localAddress().to_string() == "172.20.0.1");
    BOOST_TEST(log.count("[net][info] device found at 172.20.3.10") == 1u, log.dump());
}

BOOST_AUTO_TEST_CASE(a_given_address_takes_the_interface_of_its_class_if_any_and_reads_the_configuration_once)
{
    const auto commands0 = net->far.udpDatagrams(0).size(), commands4 = net->far.udpDatagrams(4).size();
    qz::test::logCapture log;
    boardLink link("QZ_SMC", nullptr, "172.20.3.10", 28670, hwIdOf(idC));
    BOOST_TEST(log.count("[net][info] found matching local interface at 172.20.0.1") == 1u, log.dump());
    BOOST_TEST((net->far.udpDatagrams(4).size() == commands4 + 1 && net->far.udpDatagrams(0).size() == commands0),
               net->far.logTail());
    // The revision comes from a discovery with an empty id.
    BOOST_TEST(link.getRevisionString() == "QZ_SMC TMC 2.1");
    BOOST_TEST(net->far.udpDatagrams(0).back() == std::string(42, '0'));
    BOOST_CHECK_THROW(boardLink("QZ_SMC", nullptr, "192.168.1.20", 28670, {}), boardLink::errorDeviceNotFound);
}

// Every answer to UDP command 4 until the deadline, each with its sender: both boards answer the
// all-zero id; a request to one board takes only its answers, not a stranger's plausible one.
BOOST_AUTO_TEST_CASE(a_configuration_collection_takes_every_answer_for_the_hwId_until_its_deadline)
{
    const auto answers = [](const zk::hwId& id) {
        std::string seen;
        for (const auto& a : boardLink::collectNetworkConfigurations(id, lan1, at("255.255.255.255"), 1000))
            seen += a.endpoint.address().to_string() + " IP[3] " + std::to_string(a.config.IP[3]) +
                    (a.complete ? " complete; " : "; ");
        return seen;
    };
    const auto start = std::chrono::steady_clock::now();
    BOOST_TEST(answers({}) == "10.77.1.11 IP[3] 11 complete; 10.77.1.10 IP[3] 10 complete; ");
    BOOST_TEST(msSince(start) >= 1000);

    std::thread stranger([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // before the slow board answers
        boost::asio::io_context io;
        boost::asio::ip::udp::socket s(io, boost::asio::ip::udp::endpoint(lan1.address(), 0));
        std::vector<unsigned char> datagram(66, 0x5a);
        datagram[20] = 0;
        s.send_to(boost::asio::buffer(datagram), lan1);
    });
    BOOST_TEST(answers(hwIdOf(idA)) == "10.77.1.10 IP[3] 10 complete; ");
    stranger.join();
}

BOOST_AUTO_TEST_SUITE_END()

// A reply counts only when it fills the record (the board's 45 bytes, the boot loader's 44) without
// the error flag; what it holds is copied all the same. The flag is read from any reply that has the
// status byte, the 21-byte refusal without payload too; one of 20 bytes has neither flag nor payload.
BOOST_AUTO_TEST_CASE(a_configuration_reply_counts_when_it_fills_the_record_without_the_error_flag)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {  // the board's options, what was read
        {{"--udp-config-length", "65"}, "none, IP[0] 10, 44 bytes"},
        {{"--udp-config-length", "70"}, "got, IP[0] 10, 45 bytes"},
        {{"--udp-config-length", "20"}, "none, IP[0] 238, 0 bytes"},
        {{"--udp-status", "0x80"}, "none, IP[0] 10, 45 bytes, refused"},
        {{"--udp-status", "0x80", "--udp-config-length", "21"}, "none, IP[0] 238, 0 bytes, refused"},
        {{"--boot-loader", "--udp-config-length", "65"}, "got, IP[0] 10, 44 bytes"}};
    for (const auto& [options, read] : rows) {
        BOOST_TEST_INFO_SCOPE(boost::algorithm::join(options, " "));
        qz::test::board b(1, "10.77.1.20", options);
        BOOST_TEST(read == (options[0] == "--boot-loader" ? readConfiguration<zk::hw::boot::options>()
                                                          : readConfiguration<qz::smc::device_options>()));
    }
}
