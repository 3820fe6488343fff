// The boot loader's side of the firmware update without a boot loader: image layouts,
// the reply checks, and where the boot loader's network record is moved.
#define BOOST_TEST_MODULE firmware_image
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <numeric>

#include "support/common.hpp"
#include "zkutility/boot_network.hpp"
#include "zkutility/firmware_image.hpp"
#include "zkutility/utility.hpp"

namespace bdata = boost::unit_test::data;
using namespace zk::hw::boot;

namespace {

std::vector<unsigned char> pattern(std::size_t size)
{
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 200);
    return data;
}

networkRecord recordOf(const char* ip, const char* gw, const char* mask, std::uint16_t port)
{
    networkRecord r{};
    setAddress(r.IP, boost::asio::ip::make_address_v4(ip).to_uint());
    setAddress(r.GW, boost::asio::ip::make_address_v4(gw).to_uint());
    setAddress(r.Mask, boost::asio::ip::make_address_v4(mask).to_uint());
    std::memcpy(r.Name, "boot", 4);
    zk::putLE16(r.CtrlPort, port);
    return r;
}

std::string text(const unsigned char (&a)[4])
{
    return boost::asio::ip::make_address_v4(addressOf(a)).to_string();
}

std::set<boost::asio::ip::address> addresses(std::initializer_list<const char*> list)
{
    std::set<boost::asio::ip::address> s;
    for (const char* a : list)
        s.insert(boost::asio::ip::make_address(a));
    return s;
}

}  // namespace

BOOST_AUTO_TEST_SUITE(image_layout)

const std::size_t armSizes[] = {0, 100, 32760, 32761, 65528, 65529, armMaxImageSize};
const std::size_t armSectors[] = {1, 1, 1, 2, 2, 3, 256};

BOOST_DATA_TEST_CASE(arm_image_is_the_bytes_zeros_and_the_trailer_in_whole_sectors,
                     bdata::make(armSizes) ^ bdata::make(armSectors), size, sectors)
{
    const auto data = pattern(size);
    const std::uint32_t idSum = 0xA1B2C3D4;
    const auto image = armImage(data.data(), size, idSum);
    BOOST_TEST(armSectorCount(size) == sectors);
    BOOST_TEST_REQUIRE(image.size() == sectors * armSectorSize);
    BOOST_TEST(std::equal(data.begin(), data.end(), image.begin()));
    const std::size_t trailer = image.size() - armTrailerSize;
    BOOST_TEST(std::all_of(image.begin() + size, image.begin() + trailer, [](unsigned char b) { return b == 0; }));
    BOOST_TEST(zk::getLE32(&image[trailer]) == idSum);
    const std::uint32_t sum = std::accumulate(data.begin(), data.end(), std::uint32_t{0});
    BOOST_TEST(zk::getLE32(&image[trailer + 4]) == sum);
}

BOOST_AUTO_TEST_CASE(empty_arm_image_is_one_sector_of_zeros_then_a_and_b_zero)
{
    const auto image = armImage(nullptr, 0, 0x01020304);
    BOOST_TEST_REQUIRE(image.size() == 128 * armBlockSize);
    BOOST_TEST(qz::test::hex(&image[32760], 8) == "0403020100000000");
    BOOST_TEST(std::all_of(image.begin(), image.begin() + 32760, [](unsigned char b) { return b == 0; }));
}

BOOST_AUTO_TEST_CASE(trailer_word_a_sums_the_hardware_id_words_modulo_2_32)
{
    std::array<unsigned char, 20> id;
    std::iota(id.begin(), id.end(), 1);
    BOOST_TEST(hardwareIdSum(id) == 0x04030201u + 0x08070605u + 0x0c0b0a09u + 0x100f0e0du + 0x14131211u);
    id.fill(0xFF);
    BOOST_TEST(hardwareIdSum(id) == 0xFFFFFFFBu);
}

const std::size_t fpgaSizes[] = {0, 1, 528, 529, 1056};
const std::size_t fpgaBlocks[] = {0, 1, 1, 2, 2};

BOOST_DATA_TEST_CASE(fpga_image_is_the_bytes_and_zeros_to_whole_blocks,
                     bdata::make(fpgaSizes) ^ bdata::make(fpgaBlocks), size, blocks)
{
    const auto data = pattern(size);
    const auto image = fpgaImage(data.data(), size);
    BOOST_TEST(fpgaBlockCount(size) == blocks);
    BOOST_TEST_REQUIRE(image.size() == blocks * fpgaBlockSize);
    BOOST_TEST(std::equal(data.begin(), data.end(), image.begin()));
    BOOST_TEST(std::all_of(image.begin() + size, image.end(), [](unsigned char b) { return b == 0; }));
}

BOOST_AUTO_TEST_CASE(a_write_request_is_the_block_number_then_that_block)
{
    const auto image = pattern(3 * fpgaBlockSize);
    std::vector<unsigned char> request(1000, 0xEE);
    blockRequest(request, 2, image.data(), fpgaBlockSize);
    BOOST_TEST_REQUIRE(request.size() == 4 + fpgaBlockSize);
    BOOST_TEST(qz::test::hex(request.data(), 4) == "02000000");
    BOOST_TEST(std::equal(request.begin() + 4, request.end(), image.begin() + 2 * fpgaBlockSize));
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(replies)

// A status is only a status when all its bytes arrived; the reply buffer's zeros beyond them are not.
struct replyCase {
    const char* what;
    std::vector<unsigned char> reply;
    std::size_t received;
    bool accepted;
};

BOOST_AUTO_TEST_CASE(erase_and_write_accept_a_whole_zero_status_only)
{
    const replyCase erases[] = {
        {"zero status", {0, 0, 0, 0}, 4, true},
        {"status 1", {1, 0, 0, 0}, 4, false},
        {"high byte", {0, 0, 0, 0x80}, 4, false},
        {"3 bytes", {0, 0, 0, 0}, 3, false},
        {"none", {0, 0, 0, 0}, 0, false},
    };
    for (const replyCase& c : erases)
        BOOST_TEST(eraseAccepted(c.reply.data(), c.received) == c.accepted, "erase, " << c.what);
    const replyCase writes[] = {
        {"zero status", {0, 0, 0, 0, 0, 0, 0, 0}, 8, true},
        {"first word unused", {9, 9, 9, 9, 0, 0, 0, 0}, 8, true},
        {"status 2", {0, 0, 0, 0, 2, 0, 0, 0}, 8, false},
        {"high byte", {0, 0, 0, 0, 0, 0, 0, 1}, 8, false},
        {"7 bytes", {0, 0, 0, 0, 0, 0, 0, 0}, 7, false},
        {"4 bytes", {0, 0, 0, 0, 0, 0, 0, 0}, 4, false},
    };
    for (const replyCase& c : writes)
        BOOST_TEST(writeAccepted(c.reply.data(), c.received) == c.accepted, "write, " << c.what);
}

BOOST_AUTO_TEST_CASE(read_back_verifies_only_a_whole_equal_block)
{
    const auto block = pattern(armBlockSize);
    auto reply = block;
    BOOST_TEST(blockVerified(block.data(), armBlockSize, reply.data(), armBlockSize));
    BOOST_TEST(!blockVerified(block.data(), armBlockSize, reply.data(), armBlockSize - 1), "short read-back");
    reply.back() ^= 1;
    BOOST_TEST(!blockVerified(block.data(), armBlockSize, reply.data(), armBlockSize), "last byte differs");
    reply.back() ^= 1;
    reply.front() ^= 0x80;
    BOOST_TEST(!blockVerified(block.data(), armBlockSize, reply.data(), armBlockSize), "first byte differs");
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(network_record)

const std::uint32_t local = boost::asio::ip::make_address_v4("192.168.1.20").to_uint();

BOOST_AUTO_TEST_CASE(address_moves_when_in_another_subnet_or_prohibited)
{
    struct Case { const char* ip; const char* mask; bool otherSubnet, prohibited; } const cases[] = {
        {"192.168.1.77", "255.255.255.0", false, false},
        {"192.168.2.77", "255.255.255.0", true, false},
        {"192.168.2.77", "255.255.0.0", false, false},
        {"192.168.1.50", "255.255.255.0", false, true},
        {"10.0.0.50", "255.255.255.0", true, true},
    };
    const auto prohibited = addresses({"192.168.1.50", "10.0.0.50"});
    for (const Case& c : cases) {
        const addressVerdict v = checkAddress(recordOf(c.ip, "0.0.0.0", c.mask, 10000), local, prohibited);
        BOOST_TEST((v.otherSubnet == c.otherSubnet && v.prohibited == c.prohibited),
                   c.ip << "/" << c.mask << ": other subnet " << v.otherSubnet << ", prohibited " << v.prohibited);
    }
}

// Every rand value once: the drawn host numbers cover 2 to 253 and miss the prohibited ones.
BOOST_AUTO_TEST_CASE(a_24_mask_draws_hosts_2_to_253_outside_the_prohibited_set_and_gateway_1)
{
    const auto prohibited = addresses({"192.168.1.2", "192.168.1.100", "192.168.1.253"});
    std::uint32_t r = 0;
    const auto next = [&r] { return r++; };
    std::set<int> hosts;
    while (r <= 32767) {
        networkRecord record = recordOf("10.1.2.3", "10.1.2.254", "255.255.255.0", 7);
        BOOST_TEST_REQUIRE(drawAddress(record, local, prohibited, next));
        BOOST_TEST_REQUIRE(text(record.IP).rfind("192.168.1.", 0) == 0u, text(record.IP));
        BOOST_TEST_REQUIRE(text(record.GW) == "192.168.1.1");
        hosts.insert(record.IP[3]);
    }
    BOOST_TEST(hosts.size() == 252u - 3u);
    BOOST_TEST(*hosts.begin() == 3);
    BOOST_TEST(*hosts.rbegin() == 252);
    BOOST_TEST(!hosts.count(100));
}

BOOST_AUTO_TEST_CASE(draw_keeps_the_network_part_and_the_gateway_bits_under_the_mask)
{
    const auto next = [] { return std::uint32_t{32767}; };
    struct Case { const char* mask; const char* gw; const char* ip; const char* newGw; } const cases[] = {
        {"255.255.0.0", "172.16.9.200", "192.168.1.253", "192.168.1.1"},
        {"255.255.255.240", "172.16.9.200", "192.168.1.31", "192.168.1.193"},
        {"255.255.255.252", "10.1.2.22", "192.168.1.23", "192.168.1.21"},
    };
    for (const Case& c : cases) {
        networkRecord record = recordOf("10.1.2.3", c.gw, c.mask, 10000);
        BOOST_TEST_REQUIRE(drawAddress(record, local, {}, next), c.mask);
        BOOST_TEST(text(record.IP) == c.ip, c.mask);
        BOOST_TEST(text(record.GW) == c.newGw, c.mask);
    }
}

// The draw would repeat for ever: it refuses, and the record stays as it was.
BOOST_AUTO_TEST_CASE(no_free_host_is_refused_without_touching_the_record)
{
    struct Case { const char* mask; std::set<boost::asio::ip::address> prohibited; } const cases[] = {
        {"255.255.255.252", addresses({"192.168.1.22", "192.168.1.23"})},
        {"255.255.255.254", {}},
        {"255.255.255.255", {}},
    };
    for (const Case& c : cases) {
        const networkRecord before = recordOf("10.1.2.3", "10.1.2.1", c.mask, 10000);
        networkRecord record = before;
        BOOST_TEST(!drawAddress(record, local, c.prohibited, [] { return std::uint32_t{0}; }), c.mask);
        BOOST_TEST(std::memcmp(&record, &before, sizeof record) == 0, c.mask);
    }
}

BOOST_AUTO_TEST_CASE(control_port_is_forced_to_10000_little_endian)
{
    networkRecord record = recordOf("10.1.2.3", "10.1.2.1", "255.255.255.0", 10000);
    BOOST_TEST(!forceControlPort(record));
    zk::putLE16(record.CtrlPort, 10001);
    BOOST_TEST(forceControlPort(record));
    BOOST_TEST(qz::test::hex(record.CtrlPort, 2) == "1027");
}

BOOST_AUTO_TEST_SUITE_END()
