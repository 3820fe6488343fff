// The boot-loader controller against the simulated board restarted into its boot loader:
// readiness (moves, wake-up, connection) and the updates with their faults.
// Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_boot
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>

#include "support/link_fixture.hpp"
#include "zkutility/boot_controller.hpp"
#include "zkutility/firmware_image.hpp"

namespace {

namespace bdata = boost::unit_test::data;
using zk::hw::boot::controller;
using Lines = std::vector<std::string>;
using addressSet = std::set<boost::asio::ip::address>;
using namespace std::chrono_literals;

// A board on LAN 1 told to restart into its boot loader (asleep until UDP 0x7F or 6), and a
// boot-loader controller that found it, with the log from its construction on.
struct bootRig {
    explicit bootRig(std::vector<std::string> options = {}, addressSet prohibited = {})
        : board(qz::test::startBoard(std::move(options)))
    {
        qz::test::linkTo<> running;
        running.link->restartToBootLoader();
        running.link->disconnect(false);
        c = std::make_unique<controller>(nullptr, qz::test::hwIdOf(qz::test::boardId), std::move(prohibited));
    }
    // The hex of the frames the board received from line mark of its log on.
    Lines framesSince(std::size_t mark) const
    {
        const Lines all = board->logLines();
        Lines frames;
        for (std::size_t i = mark; i < all.size(); ++i)
            if (all[i].rfind("tcp ", 0) == 0 && all[i] != "tcp accept" && all[i] != "tcp close")
                frames.push_back(all[i].substr(4));
        return frames;
    }
    std::size_t datagrams() const { return board->udpDatagrams(5).size() + board->udpDatagrams(0x7F).size(); }

    std::unique_ptr<qz::test::board> board;
    qz::test::logCapture log;
    std::unique_ptr<controller> c;
};

std::size_t startingWith(const Lines& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::vector<unsigned char> imageOf(std::size_t size, const std::string& text = "")
{
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 13 + 1);
    std::copy(text.c_str(), text.c_str() + text.size() + 1, data.begin() + 64);
    return data;
}

std::string le32(std::uint32_t v)
{
    unsigned char b[4];
    zk::putLE32(b, v);
    return qz::test::hex(b, 4);
}

addressSet lan1Hosts(int from, int to, int except = 0)
{
    addressSet s;
    for (int host = from; host <= to; ++host)
        if (host != except)
            s.insert(boost::asio::ip::make_address_v4(0x0A4D0100u + host));
    return s;
}

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(readiness)

struct moveCase {
    const char* what;
    std::vector<std::string> options;
    const char* reason;  // the info line that says why it moves, or none
    const char* setLine;  // the "will set" line when the address stays
};
std::ostream& operator<<(std::ostream& os, const moveCase& c) { return os << c.what; }

const moveCase moveCases[] = {
    {"stays", {}, nullptr, nullptr},
    {"port only", {"--boot-ctrl-port", "10001", "--boot-gw", "10.77.1.99"}, nullptr,
     "10.77.1.10, default gateway 10.77.1.99"},
    {"prohibited", {"--boot-gw", "10.77.1.99"}, "address 10.77.1.10 is prohibited", nullptr},
    {"other subnet", {"--boot-ip", "10.77.9.10"}, "address 10.77.9.10 is in a different subnet", nullptr},
};

BOOST_DATA_TEST_CASE(the_boot_loader_moves_only_when_it_must_and_is_connected_where_it_is, bdata::make(moveCases), m)
{
    // A crowded subnet, with the board's own address prohibited only where the case says so.
    const addressSet prohibited = lan1Hosts(3, 249, m.what == std::string("prohibited") ? 0 : 10);
    bootRig r(m.options, prohibited);
    r.c->ensureDeviceReadyToUpdate();
    BOOST_TEST_REQUIRE(r.c->connected());

    const Lines setLines = r.log.matching("[btldr][info] will set device address ");
    const std::string address = r.c->deviceAddress().to_string();
    const std::string tail = ", port 10000 and use it for connection";
    if (m.reason) {
        BOOST_TEST(r.log.count(m.reason) == 1u, r.log.dump());
        const int host = std::stoi(address.substr(address.rfind('.') + 1));
        BOOST_TEST((address.rfind("10.77.1.", 0) == 0 && host >= 2 && host <= 253 &&
                    !prohibited.count(r.c->deviceAddress())));
        const std::string set = "[btldr][info] will set device address " + address + ", default gateway 10.77.1.1";
        BOOST_TEST(setLines == Lines{set + tail});
        BOOST_TEST(r.board->waitForLogText("moved " + address, 1s).has_value());
    } else {
        BOOST_TEST(address == qz::test::boardAddress);
        BOOST_TEST(r.log.count("[btldr][info]") == setLines.size(), r.log.dump());
        const std::string set = std::string("[btldr][info] will set device address ") + (m.setLine ? m.setLine : "");
        BOOST_TEST(setLines == (m.setLine ? Lines{set + tail} : Lines{}));
    }
    BOOST_TEST(r.board->udpDatagrams(5).size() == setLines.size());
    // The wake-up goes to where the boot loader now is; the second command is not needed.
    BOOST_TEST((r.board->udpDatagrams(0x7F).size() == 1u && r.board->udpDatagrams(6).empty()));

    const std::size_t mark = r.board->logLines().size();
    r.c->ensureDeviceReadyToUpdate();
    BOOST_TEST(r.board->logLines().size() == mark, "connected, yet sent something");
}

// Without its record, or without a host to move it to, the boot loader is left where it is.
BOOST_AUTO_TEST_CASE(no_record_or_no_free_host_fails_before_anything_is_set)
{
    const std::pair<std::vector<std::string>, addressSet> cases[] = {
        {{"--udp-silent", "4"}, {}}, {{"--udp-config-length", "64"}, {}}, {{}, lan1Hosts(2, 253)}};
    for (const auto& [options, prohibited] : cases) {
        bootRig r(options, prohibited);
        if (prohibited.empty())
            BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorNetworkConfigurationNotRead);
        else
            BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorNoAddressAvailable);
        BOOST_TEST(r.datagrams() == 0u);
    }
}

BOOST_AUTO_TEST_CASE(a_refused_wake_up_is_logged_and_the_next_command_tried)
{
    {
        bootRig r({"--boot-wake-error", "0x7f:5"});
        r.c->ensureDeviceReadyToUpdate();
        BOOST_TEST(r.c->connected());
        BOOST_TEST(r.log.count("[btldr][warning] bad response on command 0x7f: 0x5") == 1u, r.log.dump());
        BOOST_TEST(r.board->udpDatagrams(6).size() == 1u);
    }
    bootRig r({"--boot-wake-error", "0x7f:5", "--boot-wake-error", "6:0x11"});
    BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorSocketNotInitialized);
    BOOST_TEST(r.log.count("[btldr][warning] bad response on command 0x6: 0x11") == 1u, r.log.dump());
    BOOST_TEST(r.log.count("socket connection error") == 0u, "a connection was tried");
}

// The boot loader listens on the control port its record holds: a link that connects to 10000
// without setting that port finds nothing there; the controller sets it and connects.
BOOST_AUTO_TEST_CASE(only_a_control_port_set_to_10000_gets_a_connection)
{
    bootRig r({"--boot-ctrl-port", "10001"});
    std::array<unsigned char, 3> reply{};
    controller::sendUDPCommand(r.c->hardwareId(), 0x7F, boost::asio::const_buffer(), boost::asio::buffer(reply),
                               {r.c->localAddress(), controller::localUdpPort},
                               {r.c->deviceAddress(), controller::deviceUdpPort});
    {
        qz::test::linkTo<controller::base> unmoved(false);
        BOOST_TEST(!qz::test::connectAndWait(*unmoved.link, 500, 1000));
    }
    r.c->ensureDeviceReadyToUpdate();
    BOOST_TEST(r.c->connected());
}

// Destruction closes the link within about 3 s also when the boot loader does not confirm the
// start (0x0C) or the soft reset: that command waits out its 1 s, then the close is seen at once.
BOOST_DATA_TEST_CASE(destruction_ends_within_3_s_when_a_command_is_not_confirmed, bdata::make({"0x0c", "0x01"}), code)
{
    bootRig r({"--tcp-silent", code});
    r.c->ensureDeviceReadyToUpdate();
    const std::size_t mark = r.board->logLines().size();
    const auto start = std::chrono::steady_clock::now();
    r.c.reset();
    const long ms = qz::test::msSince(start);
    BOOST_TEST((ms >= 1000 && ms < 3000 * qz::test::sanitizerSlowdown), ms << " ms");
    BOOST_TEST(r.board->waitForLogText("tcp close", 1s, mark).has_value());
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(update)

BOOST_AUTO_TEST_CASE(empty_images_and_an_oversized_arm_image)
{
    bootRig r;
    const std::size_t start = r.board->logLines().size();
    std::vector<unsigned char> tooLarge(zk::hw::boot::armMaxImageSize + 1);
    BOOST_CHECK_THROW(r.c->updateARMFirmware(tooLarge.data(), static_cast<unsigned>(tooLarge.size()), false),
                      controller::errorARMImageTooLarge);
    BOOST_TEST(r.board->logLines().size() == start, "sent for a refused image");

    r.c->updateARMFirmware(nullptr, 0, false);
    const Lines frames = r.framesSince(start);
    BOOST_TEST_REQUIRE(frames.size() == 1u + 1u + 128u + 128u);
    BOOST_TEST((frames[0] == "030002" && frames[1] == "04000700" && frames[257] == "070009" + le32(127)));
    // Block 127 ends with A, the sum of the hwId's words (a1a2a3a4...), and B = 0.
    const std::uint32_t a = 0xa4a3a2a1u + 0xa8a7a6a5u + 0xacabaaa9u + 0xb0afaeadu + 0xb4b3b2b1u;
    BOOST_TEST(frames[129] == "070108" + le32(127) + std::string(2 * 248, '0') + le32(a) + "00000000");
    BOOST_TEST(r.log.count("[btldr][info] ARM firmware updated, 0 original size,  1 sectors of 32768 bytes each "
                           "erased, 128 blocks of 256 bytes each written and verified") == 1u, r.log.dump());

    const std::size_t afterArm = r.board->logLines().size();
    r.c->updateFPGAFirmware(nullptr, 0, false);
    BOOST_TEST(r.board->logLines().size() == afterArm, "the empty FPGA image sent something");
    BOOST_TEST(r.log.count("[btldr][info] FPGA firmware updated, 0 bytes (complemented up to 0 blocks of 528 bytes "
                           "each) written") == 1u);
}

template <class Error>
bool isA(const std::exception& e) { return dynamic_cast<const Error*>(&e) != nullptr; }

// Each fault ends the run at its sector or block: that frame is the last one sent. The error
// names the update itself as its thrower.
struct faultCase {
    const char* what;
    std::vector<std::string> options;
    bool arm;
    std::size_t size;
    bool (*expected)(const std::exception&);
    std::optional<unsigned> detail;
    std::string lastFrame;
    std::size_t writes;
};
std::ostream& operator<<(std::ostream& os, const faultCase& c) { return os << c.what; }

const faultCase faultCases[] = {
    {"ARM erase 3", {"--boot-erase-fail", "3"}, true, 4 * 32768 - 8, isA<controller::errorARMBlockEraseFailed>, 3,
     "04000703", 0},
    {"ARM write 5", {"--boot-write-fail", "5"}, true, 1000, isA<controller::errorARMBlockWriteFailed>, 5,
     "070108" + le32(5), 6},
    {"ARM read-back 130", {"--boot-corrupt", "130"}, true, 40000, isA<controller::errorARMBlockVerificationFailed>,
     130, "070009" + le32(130), 256},
    {"FPGA write 5", {"--boot-fpga-write-fail", "5"}, false, 5280, isA<controller::errorFPGABlockWriteFailed>,
     std::nullopt, "170226" + le32(5), 6},
    {"FPGA write refused", {"--tcp-error-flag", "0x26"}, false, 5280, isA<controller::errorFPGABlockWriteFailed>,
     std::nullopt, "170226" + le32(0), 1},
    // One block more than the board's store holds: only the board knows its size, and refuses the block.
    {"FPGA past the store", {}, false, 8193 * 528, isA<controller::errorFPGABlockWriteFailed>, std::nullopt,
     "170226" + le32(8192), 8193},
    {"FPGA read-back 2", {"--boot-fpga-corrupt", "2"}, false, 5280, isA<controller::errorFPGABlockVerificationFailed>,
     2, "070025" + le32(2), 10},
};

BOOST_DATA_TEST_CASE(each_fault_gives_its_error_and_detail_and_ends_the_run, bdata::make(faultCases), f)
{
    bootRig r(f.options);
    r.c->ensureDeviceReadyToUpdate();
    const std::size_t start = r.board->logLines().size();
    const auto data = imageOf(f.size);
    try {
        if (f.arm)
            r.c->updateARMFirmware(data.data(), static_cast<unsigned>(data.size()), false);
        else
            r.c->updateFPGAFirmware(data.data(), static_cast<unsigned>(data.size()), false);
        BOOST_ERROR("no error");
    } catch (const controller::deviceError& e) {
        BOOST_TEST(f.expected(e), boost::diagnostic_information(e));
        const std::string thrower = std::string("void zk::hw::boot::controller::") +
                                    (f.arm ? "updateARMFirmware" : "updateFPGAFirmware") +
                                    "(const void*, unsigned int, bool)";
        const char* const* function = boost::get_error_info<boost::throw_function>(e);
        BOOST_TEST((function && *function == thrower), boost::diagnostic_information(e));
        const unsigned* n = boost::get_error_info<zk::hw::boot::blockNumberInfo>(e);
        BOOST_TEST(((n ? std::optional<unsigned>(*n) : std::nullopt) == f.detail), "detail " << (n ? int(*n) : -1));
    }
    const Lines frames = r.framesSince(start);
    BOOST_TEST_REQUIRE(!frames.empty());
    BOOST_TEST(frames.back().rfind(f.lastFrame, 0) == 0u, frames.back());
    BOOST_TEST(startingWith(frames, f.arm ? "070108" : "170226") == f.writes);
}

// The boot loader drops the link mid-way once; the retry writes the whole image again, the FPGA
// image follows over the same connection, and the board comes back running the new firmware.
BOOST_AUTO_TEST_CASE(an_update_cut_midway_and_retried_ends_with_the_new_firmware)
{
    bootRig r({"--boot-cut-after", "100"});
    const auto arm = imageOf(40000, "QZ_SMC fw 2.7 updated");
    BOOST_CHECK_THROW(r.c->updateARMFirmware(arm.data(), static_cast<unsigned>(arm.size()), false),
                      controller::deviceError);
    r.c->updateARMFirmware(arm.data(), static_cast<unsigned>(arm.size()), false);
    const std::size_t datagrams = r.datagrams();
    const auto fpga = imageOf(3000);
    r.c->updateFPGAFirmware(fpga.data(), static_cast<unsigned>(fpga.size()), false);
    BOOST_TEST(r.datagrams() == datagrams);

    const std::size_t mark = r.board->logLines().size();
    r.c.reset();
    BOOST_TEST(r.board->waitForLogText("tcp 03000c", 2s, mark).has_value());
    BOOST_TEST(r.log.count("failed to disconnect") == 0u, r.log.dump());
    qz::test::linkTo<> back;
    BOOST_TEST(back.link->getRevisionString() == "QZ_SMC fw 2.7 updated");
}

BOOST_AUTO_TEST_SUITE_END()
