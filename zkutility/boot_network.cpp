#include "zkutility/boot_network.hpp"

#include <algorithm>

#include "zkutility/utility.hpp"

namespace zk {
namespace hw {
namespace boot {

namespace {

bool isProhibited(std::uint32_t address, const std::set<boost::asio::ip::address>& prohibited)
{
    return prohibited.count(boost::asio::ip::make_address_v4(address)) != 0;
}

}  // namespace

std::uint32_t addressOf(const unsigned char (&field)[4])
{
    return std::uint32_t{field[0]} << 24 | std::uint32_t{field[1]} << 16 | std::uint32_t{field[2]} << 8 | field[3];
}

void setAddress(unsigned char (&field)[4], std::uint32_t address)
{
    for (int i = 0; i < 4; ++i)
        field[i] = static_cast<unsigned char>(address >> (24 - 8 * i));
}

addressVerdict checkAddress(const networkRecord& record, std::uint32_t local,
                            const std::set<boost::asio::ip::address>& prohibited)
{
    const std::uint32_t device = addressOf(record.IP);
    const std::uint32_t mask = addressOf(record.Mask);
    addressVerdict verdict;
    verdict.otherSubnet = (local & mask) != (device & mask);
    verdict.prohibited = isProhibited(device, prohibited);
    return verdict;
}

bool drawAddress(networkRecord& record, std::uint32_t local, const std::set<boost::asio::ip::address>& prohibited,
                 const std::function<std::uint32_t()>& random)
{
    const std::uint32_t mask = addressOf(record.Mask);
    // Host 1 is the gateway's: a mask without host 2 leaves nothing to draw.
    const std::uint32_t highest = std::min(~mask, highestDrawnHost);
    // Only the last byte is drawn; the bytes above it stay the local address's.
    const std::uint32_t base = local & (0xFFFFFF00u | (mask & 0xFFu));
    bool anyFree = false;
    for (std::uint32_t v = 2; v <= highest && !anyFree; ++v)
        anyFree = !isProhibited(base | v, prohibited);
    if (!anyFree)
        return false;
    const std::uint32_t range = highest - 2;

    std::uint32_t address;
    do {
        address = base | (2 + (random() & 0x7FFFu) * range / 32767);
    } while (isProhibited(address, prohibited));

    setAddress(record.IP, address);
    const std::uint32_t gateway = addressOf(record.GW);
    setAddress(record.GW, (address & 0xFFFFFF00u) | (gateway & mask & 0xFFu) | 1);
    return true;
}

bool forceControlPort(networkRecord& record)
{
    if (getLE16(record.CtrlPort) == bootControlPort)
        return false;
    putLE16(record.CtrlPort, bootControlPort);
    return true;
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
