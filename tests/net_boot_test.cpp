// The boot-loader controller against the simulated board restarted into its boot loader:
// readiness (moves, wake-up replies, connection) and the firmware updates with their faults.
// Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_boot
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

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

// A board on LAN 1 told to restart into its boot loader (asleep until UDP 0x7F or 6), or with
// an address, a boot loader started there (awake); and a boot-loader controller that found it.
// The log from the controller's construction on.
struct bootRig {
    explicit bootRig(std::vector<std::string> options = {}, addressSet prohibited = {}, const char* address = nullptr)
    {
        options.insert(options.begin(), {"--hwid", qz::test::boardId});
        if (address) {
            options.push_back("--boot-loader");
            board = std::make_unique<qz::test::board>(1, address, options);
        } else {
            board = std::make_unique<qz::test::board>(1, qz::test::boardAddress, options);
            qz::test::linkTo<> running;
            running.link->restartToBootLoader();
            running.link->disconnect(false);
        }
        c = std::make_unique<controller>(nullptr, qz::test::hwIdOf(qz::test::boardId), std::move(prohibited));
    }
    // Frames and datagrams the board has received, in order.
    Lines traffic() const
    {
        Lines lines;
        for (const std::string& l : board->logLines())
            if (l.rfind("tcp ", 0) == 0 || l.rfind("udp ", 0) == 0)
                lines.push_back(l);
        return lines;
    }
    Lines framesSince(std::size_t mark) const
    {
        Lines frames;
        const Lines all = traffic();
        for (std::size_t i = mark; i < all.size(); ++i)
            if (all[i].rfind("tcp ", 0) == 0 && all[i] != "tcp accept" && all[i] != "tcp close")
                frames.push_back(all[i].substr(4));
        return frames;
    }
    std::size_t countPrefix(const Lines& frames, const std::string& prefix) const
    {
        return std::count_if(frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(prefix, 0) == 0; });
    }

    std::unique_ptr<qz::test::board> board;
    qz::test::logCapture log;
    std::unique_ptr<controller> c;
};

std::vector<unsigned char> imageOf(std::size_t size, const std::string& text = "")
{
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 13 + 1);
    std::copy(text.begin(), text.end(), data.begin() + 64);
    data[64 + text.size()] = 0;
    return data;
}

std::string le32(std::uint32_t v)
{
    unsigned char b[4];
    zk::putLE32(b, v);
    return qz::test::hex(b, 4);
}

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

BOOST_AUTO_TEST_SUITE(readiness)

struct moveCase {
    const char* what;
    std::vector<std::string> options;
    addressSet prohibited;
    const char* expectedLine;  // the info line that says why it moves, or none
    bool drawn;
    const char* startedAt = nullptr;  // a boot loader started there
};
std::ostream& operator<<(std::ostream& os, const moveCase& c) { return os << c.what; }

const moveCase moveCases[] = {
    {"stays", {}, {}, nullptr, false},
    {"port only", {"--boot-ctrl-port", "10001", "--boot-gw", "10.77.1.99"}, {}, nullptr, false},
    {"prohibited", {}, {boost::asio::ip::make_address("10.77.1.10")}, "address 10.77.1.10 is prohibited", true},
    {"other subnet", {}, {}, "address 10.77.9.10 is in a different subnet", true, "10.77.9.10"},
};

BOOST_DATA_TEST_CASE(the_boot_loader_moves_only_when_it_must_and_is_connected_where_it_is, bdata::make(moveCases), m)
{
    addressSet prohibited = m.prohibited;
    // A crowded subnet still leaves a host to draw.
    for (int host = 3; host < 250; ++host)
        if (host != 10)
            prohibited.insert(boost::asio::ip::make_address_v4(0x0A4D0100u + host));
    bootRig r(m.options, prohibited, m.startedAt);
    r.c->ensureDeviceReadyToUpdate();
    BOOST_TEST_REQUIRE(r.c->connected());

    const Lines info = r.log.matching("[btldr][info]");
    const Lines setLines = r.log.matching("will set device address ");
    const std::string address = r.c->deviceAddress().to_string();
    if (m.drawn) {
        BOOST_TEST(r.log.count(m.expectedLine) == 1u, r.log.dump());
        const int host = std::stoi(address.substr(address.rfind('.') + 1));
        BOOST_TEST((address.rfind("10.77.1.", 0) == 0 && host >= 2 && host <= 253 &&
                    prohibited.count(r.c->deviceAddress()) == 0), address);
        BOOST_TEST(setLines == Lines{"[btldr][info] will set device address " + address +
                                     ", default gateway 10.77.1.1, port 10000 and use it for connection"},
                   boost::test_tools::per_element());
        BOOST_TEST(r.board->waitForLogText("moved " + address, 1s).has_value());
    } else {
        BOOST_TEST(address == qz::test::boardAddress);
        if (m.options.empty())
            BOOST_TEST(info.empty(), r.log.dump());
        else
            BOOST_TEST(info == Lines{"[btldr][info] will set device address 10.77.1.10, default gateway 10.77.1.99, "
                                     "port 10000 and use it for connection"},
                       boost::test_tools::per_element());
    }
    BOOST_TEST(r.board->udpDatagrams(5).size() == (info.empty() ? 0u : 1u));
    // The wake-up goes to where the boot loader now is; the second command is not needed.
    BOOST_TEST(r.board->udpDatagrams(0x7F).size() == 1u);
    BOOST_TEST(r.board->udpDatagrams(6).empty());

    // Connected: only the trace line, no datagram.
    const std::size_t datagrams = r.traffic().size();
    r.c->ensureDeviceReadyToUpdate();
    BOOST_TEST(r.traffic().size() == datagrams);
    BOOST_TEST(r.log.count("[btldr][trace] checking if we are connected") == 2u);
}

// Without its record, or without a host to move it to, the boot loader is left where it is.
BOOST_AUTO_TEST_CASE(no_record_or_no_free_host_fails_before_anything_is_set)
{
    addressSet everyHost;
    for (int host = 2; host <= 253; ++host)
        everyHost.insert(boost::asio::ip::make_address_v4(0x0A4D0100u + host));
    {
        bootRig r({"--udp-silent", "4"});
        BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorNetworkConfigurationNotRead);
        BOOST_TEST((r.board->udpDatagrams(5).empty() && r.board->udpDatagrams(0x7F).empty()));
    }
    {
        bootRig r({"--udp-config-length", "64"});
        BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorNetworkConfigurationNotRead);
        BOOST_TEST((r.board->udpDatagrams(5).empty() && r.board->udpDatagrams(0x7F).empty()));
    }
    bootRig r({}, everyHost);
    BOOST_CHECK_THROW(r.c->ensureDeviceReadyToUpdate(), controller::errorNoAddressAvailable);
    BOOST_TEST((r.board->udpDatagrams(5).empty() && r.board->udpDatagrams(0x7F).empty()));
    BOOST_TEST(r.log.count("address 10.77.1.10 is prohibited") == 1u);
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

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(update)

BOOST_AUTO_TEST_CASE(empty_images_and_an_oversized_arm_image)
{
    bootRig r;
    const std::size_t start = r.traffic().size();
    std::vector<unsigned char> tooLarge(zk::hw::boot::armMaxImageSize + 1);
    BOOST_CHECK_THROW(r.c->updateARMFirmware(tooLarge.data(), static_cast<unsigned>(tooLarge.size()), false),
                      controller::errorARMImageTooLarge);
    BOOST_TEST(r.traffic().size() == start, "sent for a refused image");

    r.c->updateARMFirmware(nullptr, 0, false);
    const Lines frames = r.framesSince(start);
    BOOST_TEST_REQUIRE(frames.size() == 1u + 1u + 128u + 128u);
    BOOST_TEST(frames[0] == "030002");
    BOOST_TEST(frames[1] == "04000700");
    BOOST_TEST(frames[129].substr(0, 14) == "070108" + le32(127));
    // Block 127 ends with A (the hwId's words a1a2a3a4.. summed) and B = 0.
    BOOST_TEST(frames[129].substr(frames[129].size() - 16) == le32(0xa4a3a2a1u + 0xa8a7a6a5u + 0xacabaaa9u +
                                                                   0xb0afaeadu + 0xb4b3b2b1u) + "00000000");
    BOOST_TEST(frames[257] == "070009" + le32(127));
    BOOST_TEST(r.log.count("[btldr][info] ARM firmware updated, 0 original size,  1 sectors of 32768 bytes each "
                           "erased, 128 blocks of 256 bytes each written and verified") == 1u, r.log.dump());

    const std::size_t afterArm = r.traffic().size();
    r.c->updateFPGAFirmware(nullptr, 0, false);
    BOOST_TEST(r.traffic().size() == afterArm, "the empty FPGA image sent something");
    BOOST_TEST(r.log.count("[btldr][info] FPGA firmware updated, 0 bytes (complemented up to 0 blocks of 528 bytes "
                           "each) written") == 1u);
}

// Each fault ends the run at its sector or block; the frame that failed is the last one sent.
struct faultCase {
    const char* what;
    std::vector<std::string> options;
    bool arm;
    std::size_t size;
    std::function<void(controller&, const std::vector<unsigned char>&)> expectThrow;
    std::optional<unsigned> detail;
    std::string lastFrame;
    const char* absent;  // a command that must not have been sent
};
std::ostream& operator<<(std::ostream& os, const faultCase& c) { return os << c.what; }

template <class Error>
std::function<void(controller&, const std::vector<unsigned char>&)> fails(bool arm, std::optional<unsigned>* detail)
{
    return [arm, detail](controller& c, const std::vector<unsigned char>& data) {
        try {
            if (arm)
                c.updateARMFirmware(data.data(), static_cast<unsigned>(data.size()), false);
            else
                c.updateFPGAFirmware(data.data(), static_cast<unsigned>(data.size()), false);
            BOOST_ERROR("no error");
        } catch (const Error& e) {
            const unsigned* n = boost::get_error_info<zk::hw::boot::blockNumberInfo>(e);
            *detail = n ? std::optional<unsigned>(*n) : std::nullopt;
        }
    };
}

std::optional<unsigned> caught;
const faultCase faultCases[] = {
    {"erase of sector 3", {"--boot-erase-fail", "3"}, true, 4 * 32768 - 8,
     fails<controller::errorARMBlockEraseFailed>(true, &caught), 3, "04000703", "070108"},
    {"write of ARM block 5", {"--boot-write-fail", "5"}, true, 1000,
     fails<controller::errorARMBlockWriteFailed>(true, &caught), 5, "070108" + le32(5), "070009"},
    {"read-back of ARM block 130", {"--boot-corrupt", "130"}, true, 40000,
     fails<controller::errorARMBlockVerificationFailed>(true, &caught), 130, "070009" + le32(130), nullptr},
    {"write of FPGA block 5", {"--boot-fpga-write-fail", "5"}, false, 10 * 528,
     fails<controller::errorFPGABlockWriteFailed>(false, &caught), std::nullopt, "170226" + le32(5), "070025"},
    {"read-back of FPGA block 2", {"--boot-fpga-corrupt", "2"}, false, 10 * 528,
     fails<controller::errorFPGABlockVerificationFailed>(false, &caught), 2, "070025" + le32(2), nullptr},
};

BOOST_DATA_TEST_CASE(each_fault_gives_its_error_and_detail_and_ends_the_run, bdata::make(faultCases), f)
{
    bootRig r(f.options);
    r.c->ensureDeviceReadyToUpdate();
    const std::size_t start = r.traffic().size();
    caught = 999;
    f.expectThrow(*r.c, imageOf(f.size));
    BOOST_TEST((caught == f.detail), "detail " << (caught ? std::to_string(*caught) : "none"));
    const Lines frames = r.framesSince(start);
    BOOST_TEST_REQUIRE(!frames.empty());
    BOOST_TEST(frames.back().substr(0, f.lastFrame.size()) == f.lastFrame);
    if (f.absent)
        BOOST_TEST(r.countPrefix(frames, f.absent) == 0u);
    if (f.what == std::string("read-back of ARM block 130"))
        BOOST_TEST(r.countPrefix(frames, "070108") == 256u, "not every block was written before the read-back");
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
    const std::size_t datagrams = r.board->udpDatagrams(0x7F).size() + r.board->udpDatagrams(4).size();
    const auto fpga = imageOf(3000);
    r.c->updateFPGAFirmware(fpga.data(), static_cast<unsigned>(fpga.size()), false);
    BOOST_TEST(r.board->udpDatagrams(0x7F).size() + r.board->udpDatagrams(4).size() == datagrams);
    BOOST_TEST(r.log.count("FPGA firmware updated, 3000 bytes (complemented up to 6 blocks of 528 bytes each)") == 1u);

    const std::size_t mark = r.board->logLines().size();
    r.c.reset();
    BOOST_TEST(r.board->waitForLogText("tcp 03000c", 2s, mark).has_value());
    BOOST_TEST(r.log.count("failed to disconnect") == 0u, r.log.dump());
    qz::test::linkTo<> back;
    BOOST_TEST(back.link->getRevisionString() == "QZ_SMC fw 2.7 updated");
}

BOOST_AUTO_TEST_SUITE_END()
