// One datagram, as any device on the LAN might send it, through the reply
// readers; each result is checked against what they are documented to give.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zkutility/udp_datagram.hpp"

namespace {

using zk::hw::datagramHeaderSize;

constexpr unsigned char untouched = 0xA5;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// The buffer has exactly size bytes, so ASan reports any write past it.
void checkReply(const unsigned char* d, std::size_t n, std::size_t size)
{
    std::vector<unsigned char> reply(size, untouched);
    const zk::hw::udpReply r = zk::hw::readReply(d, n, boost::asio::buffer(reply));
    const std::size_t copied = n > datagramHeaderSize ? std::min(n - datagramHeaderSize, size) : 0;
    check(r.length == copied);
    check(r.errorFlag == (n > 20 && (d[20] & 0x80) != 0));
    check(copied == 0 || std::equal(reply.begin(), reply.begin() + copied, d + datagramHeaderSize));
    check(std::all_of(reply.begin() + copied, reply.end(), [](unsigned char b) { return b == untouched; }));
}

void checkSender(const unsigned char* d, std::size_t n)
{
    const std::array<unsigned char, 20> anyDevice{};
    check(zk::hw::isReplyFrom(anyDevice, d, n));
    std::array<unsigned char, 20> device{};
    if (n < device.size()) {
        device[0] = 1;
        check(!zk::hw::isReplyFrom(device, d, n));
        return;
    }
    std::copy_n(d, device.size(), device.begin());
    check(zk::hw::isReplyFrom(device, d, n));
    device[d[0] % device.size()] ^= 0x01;
    const bool anyAgain = std::all_of(device.begin(), device.end(), [](unsigned char b) { return b == 0; });
    check(zk::hw::isReplyFrom(device, d, n) == anyAgain);
}

void checkDiscovery(const unsigned char* d, std::size_t n)
{
    std::array<unsigned char, 20> hwId;
    hwId.fill(untouched);
    std::string revision = "before";
    const bool read = zk::hw::readDiscoveryReply(d, n, hwId, revision);
    check(read == (n >= datagramHeaderSize));
    if (!read) {
        check(std::all_of(hwId.begin(), hwId.end(), [](unsigned char b) { return b == untouched; }));
        check(revision == "before");
        return;
    }
    const std::size_t text = n - datagramHeaderSize;
    check(std::equal(hwId.begin(), hwId.end(), d));
    check(revision.size() <= text);
    check(revision.find('\0') == std::string::npos);
    check(std::memcmp(revision.data(), d + datagramHeaderSize, revision.size()) == 0);
    // Cut at the first zero byte, or the whole rest when there is none.
    check(revision.size() == text || d[datagramHeaderSize + revision.size()] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The board's record is 45 bytes, the boot loader's 44.
    checkReply(data, size, 45);
    checkReply(data, size, 44);
    checkReply(data, size, 0);
    checkSender(data, size);
    checkDiscovery(data, size);
    return 0;
}
