#ifndef QZ_BOARDSIM_INTERFACE_ADDRESS_HPP
#define QZ_BOARDSIM_INTERFACE_ADDRESS_HPP

#include "boardsim/network_config.hpp"

#include <array>
#include <optional>
#include <string>

namespace qz {
namespace boardsim {

// The board's own network interface: where it reads its address at start and where it moves
// when the terminal gives it a new one.
class interfaceAddress {
public:
    struct address {
        ipv4 ip;
        ipv4 mask;
    };

    // Throws std::runtime_error outside a namespace made by "ip netns add": moving would change
    // the addresses of a real interface.
    explicit interfaceAddress(std::string name);

    const std::string& name() const { return name_; }

    // The interface's first IPv4 address and its MAC, when it has them.
    std::optional<address> ipAddress() const;
    std::optional<std::array<std::uint8_t, 6>> macAddress() const;

    // Replaces every address of the interface by this one and routes everything over it, so the
    // board answers a terminal in any subnet on its wire. Throws std::runtime_error.
    void move(const ipv4& ip, const ipv4& mask) const;

private:
    std::string name_;
};

}  // namespace boardsim
}  // namespace qz

#endif
