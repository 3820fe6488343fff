// Where the boot loader must move before it can be connected: plain functions
// over its network record, no socket.
#ifndef ZK_HW_BOOT_NETWORK_HPP
#define ZK_HW_BOOT_NETWORK_HPP

#include <cstdint>
#include <functional>
#include <set>

#include <boost/asio/ip/address.hpp>

#include "zkutility/boot_options.hpp"

namespace zk {
namespace hw {
namespace boot {

using networkRecord = options::networkConfiguration;

// The boot loader listens there once it has been told so.
constexpr std::uint16_t bootControlPort = 10000;
// Host numbers above this are not drawn (the top ones are broadcast and its neighbours).
constexpr std::uint32_t highestDrawnHost = 253;

std::uint32_t addressOf(const unsigned char (&field)[4]);
void setAddress(unsigned char (&field)[4], std::uint32_t address);

struct addressVerdict {
    bool otherSubnet = false;
    bool prohibited = false;
    bool move() const { return otherSubnet || prohibited; }
};

// Is the record's address outside the local address's subnet (the record's mask), or prohibited?
addressVerdict checkAddress(const networkRecord& record, std::uint32_t local,
                            const std::set<boost::asio::ip::address>& prohibited);

// Moves the record's address to host v of the local address's subnet, v from 2 to
// min(NOT mask, 253) drawn from random (values 0 to 32767) until the address is not
// prohibited, and its gateway to host 1 of that subnet. False, and the record as it
// was, when the mask leaves no such host that is not prohibited.
bool drawAddress(networkRecord& record, std::uint32_t local, const std::set<boost::asio::ip::address>& prohibited,
                 const std::function<std::uint32_t()>& random);

// Sets the control port to bootControlPort; true when it was another.
bool forceControlPort(networkRecord& record);

}  // namespace boot
}  // namespace hw
}  // namespace zk

#endif
