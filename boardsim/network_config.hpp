#ifndef QZ_BOARDSIM_NETWORK_CONFIG_HPP
#define QZ_BOARDSIM_NETWORK_CONFIG_HPP

#include "boardsim/identity.hpp"
#include "boardsim/wire.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace qz {
namespace boardsim {

using ipv4 = std::array<std::uint8_t, 4>;  // first dotted component first

// The board's network configuration. On the wire: IP, GW, Mask, DNS1, DNS2 (4 bytes each),
// MAC (6), Name (16, zero-padded), DHCP (1, board only), CtrlPort (u16 LE), back to back.
struct networkConfig {
    ipv4 ip{};
    ipv4 gw{};
    ipv4 mask{};
    ipv4 dns1{};
    ipv4 dns2{};
    std::array<std::uint8_t, 6> mac{};
    std::array<std::uint8_t, 16> name{};
    std::uint8_t dhcp = 0;
    std::uint16_t ctrlPort = 10000;

    bool operator==(const networkConfig& o) const;
    bool operator!=(const networkConfig& o) const { return !(*this == o); }
};

// 45 bytes for the board, 44 for the boot loader (which has no DHCP byte).
std::size_t configRecordSize(personality kind);

bytes encodeConfig(const networkConfig& config, personality kind);

// Only a record of exactly the personality's size is accepted. The boot loader's record has no
// DHCP byte, so a decoded one reads DHCP off.
std::optional<networkConfig> decodeConfig(const bytes& record, personality kind);

// Name text cut to 16 bytes and zero-padded, as the record holds it.
std::array<std::uint8_t, 16> nameField(const std::string& text);

std::string dotted(const ipv4& address);

// Count of leading one bits: the prefix length the board gives its interface.
unsigned prefixLength(const ipv4& mask);

}  // namespace boardsim
}  // namespace qz

#endif
