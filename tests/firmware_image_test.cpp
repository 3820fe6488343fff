// The firmware update's plain functions: image layouts, reply checks and the boot loader's moves.
#define BOOST_TEST_MODULE firmware_image
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <numeric>

#include "zkutility/boot_network.hpp"
#include "zkutility/firmware_image.hpp"
#include "zkutility/utility.hpp"

namespace bdata = boost::unit_test::data;
using namespace zk::hw::boot;
using boost::asio::ip::make_address_v4;

namespace {

std::vector<unsigned char> pattern(std::size_t size)
{
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 200);
    return data;
}

bool zeros(const unsigned char* begin, const unsigned char* end)
{
    return std::all_of(begin, end, [](unsigned char b) { return b == 0; });
}

networkRecord recordOf(const char* ip, const char* gw, const char* mask)
{
    networkRecord r{};
    setAddress(r.IP, make_address_v4(ip).to_uint());
    setAddress(r.GW, make_address_v4(gw).to_uint());
    setAddress(r.Mask, make_address_v4(mask).to_uint());
    return r;
}

std::string text(const unsigned char (&a)[4]) { return make_address_v4(addressOf(a)).to_string(); }

std::set<boost::asio::ip::address> addresses(std::initializer_list<const char*> list)
{
    std::set<boost::asio::ip::address> s;
    for (const char* a : list)
        s.insert(boost::asio::ip::make_address(a));
    return s;
}

const std::uint32_t local = make_address_v4("192.168.1.20").to_uint();

}  // namespace

const std::size_t armSizes[] = {0, 100, 32760, 32761, 65529, armMaxImageSize};
const std::size_t armSectors[] = {1, 1, 1, 2, 3, 256};

BOOST_DATA_TEST_CASE(arm_image_is_the_bytes_zeros_and_a_then_b_in_whole_sectors,
                     bdata::make(armSizes) ^ bdata::make(armSectors), size, sectors)
{
    const auto data = pattern(size);
    const auto image = armImage(data.data(), size, 0xA1B2C3D4);
    BOOST_TEST(armSectorCount(size) == sectors);
    BOOST_TEST_REQUIRE(image.size() == sectors * armSectorSize);
    const unsigned char* trailer = image.data() + image.size() - armTrailerSize;
    BOOST_TEST((std::equal(data.begin(), data.end(), image.begin()) && zeros(image.data() + size, trailer)));
    BOOST_TEST(zk::getLE32(trailer) == 0xA1B2C3D4u);
    BOOST_TEST(zk::getLE32(trailer + 4) == std::accumulate(data.begin(), data.end(), std::uint32_t{0}));
}

const std::size_t fpgaSizes[] = {0, 1, 528, 529};
const std::size_t fpgaBlocks[] = {0, 1, 1, 2};

BOOST_DATA_TEST_CASE(fpga_image_is_the_bytes_and_zeros_to_whole_blocks,
                     bdata::make(fpgaSizes) ^ bdata::make(fpgaBlocks), size, blocks)
{
    const auto data = pattern(size);
    const auto image = fpgaImage(data.data(), size);
    BOOST_TEST_REQUIRE(image.size() == blocks * fpgaBlockSize);
    BOOST_TEST(std::equal(data.begin(), data.end(), image.begin()));
    BOOST_TEST(zeros(image.data() + size, image.data() + image.size()));
}

// A status or a block counts only when all its bytes arrived; the buffer's bytes beyond them are no reply.
BOOST_AUTO_TEST_CASE(replies_accept_only_a_whole_zero_status_or_a_whole_equal_block)
{
    const auto block = pattern(armBlockSize);
    auto other = block;
    other.back() ^= 1;
    const unsigned char status2[] = {0, 0, 0, 0, 2, 0, 0, 0}, firstWordSet[] = {9, 9, 9, 9, 0, 0, 0, 0};
    const unsigned char zero[8] = {}, high[] = {0, 0, 0, 0x80};
    struct Case { const char* what; bool result, expected; } const cases[] = {
        {"erase 0", eraseAccepted(zero, 4), true},
        {"erase high byte", eraseAccepted(high, 4), false},
        {"erase 3 bytes", eraseAccepted(zero, 3), false},
        {"write 0", writeAccepted(zero, 8), true},
        {"write, first word unused", writeAccepted(firstWordSet, 8), true},
        {"write status 2", writeAccepted(status2, 8), false},
        {"write 7 bytes", writeAccepted(zero, 7), false},
        {"block equal", blockVerified(block.data(), armBlockSize, block.data(), armBlockSize), true},
        {"block short", blockVerified(block.data(), armBlockSize, block.data(), armBlockSize - 1), false},
        {"block last byte", blockVerified(block.data(), armBlockSize, other.data(), armBlockSize), false},
    };
    for (const Case& c : cases)
        BOOST_TEST(c.result == c.expected, c.what);
}

// Every rand value once: the drawn hosts are 2 to 253 without the prohibited ones.
BOOST_AUTO_TEST_CASE(a_24_mask_draws_hosts_2_to_253_outside_the_prohibited_set_with_gateway_1)
{
    const auto prohibited = addresses({"192.168.1.2", "192.168.1.100", "192.168.1.253"});
    std::uint32_t r = 0;
    std::set<int> hosts;
    while (r <= 32767) {
        networkRecord record = recordOf("10.1.2.3", "10.1.2.254", "255.255.255.0");
        BOOST_TEST_REQUIRE(drawAddress(record, local, prohibited, [&r] { return r++; }));
        BOOST_TEST_REQUIRE((text(record.IP).rfind("192.168.1.", 0) == 0 && text(record.GW) == "192.168.1.1"));
        hosts.insert(record.IP[3]);
    }
    BOOST_TEST((hosts.size() == 249u && *hosts.begin() == 3 && *hosts.rbegin() == 252 && !hosts.count(100)));
}

BOOST_AUTO_TEST_CASE(a_draw_keeps_the_network_part_and_the_gateway_bits_under_the_mask)
{
    struct Case { const char* mask; const char* gw; const char* ip; const char* newGw; } const cases[] = {
        {"255.255.0.0", "172.16.9.200", "192.168.1.253", "192.168.1.1"},
        {"255.255.255.240", "172.16.9.200", "192.168.1.31", "192.168.1.193"},
        {"255.255.255.252", "10.1.2.22", "192.168.1.23", "192.168.1.21"},
    };
    for (const Case& c : cases) {
        networkRecord record = recordOf("10.1.2.3", c.gw, c.mask);
        BOOST_TEST_REQUIRE(drawAddress(record, local, {}, [] { return 32767u; }), c.mask);
        BOOST_TEST((text(record.IP) == c.ip && text(record.GW) == c.newGw), c.mask);
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
        const networkRecord before = recordOf("10.1.2.3", "10.1.2.1", c.mask);
        networkRecord record = before;
        BOOST_TEST(!drawAddress(record, local, c.prohibited, [] { return 0u; }), c.mask);
        BOOST_TEST(std::memcmp(&record, &before, sizeof record) == 0, c.mask);
    }
}
