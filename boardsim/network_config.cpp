#include "boardsim/network_config.hpp"

#include <algorithm>

namespace qz {
namespace boardsim {

bool networkConfig::operator==(const networkConfig& o) const
{
    return ip == o.ip && gw == o.gw && mask == o.mask && dns1 == o.dns1 && dns2 == o.dns2 &&
           mac == o.mac && name == o.name && dhcp == o.dhcp && ctrlPort == o.ctrlPort;
}

std::size_t configRecordSize(personality kind)
{
    return kind == personality::board ? 45 : 44;
}

bytes encodeConfig(const networkConfig& config, personality kind)
{
    bytes out;
    for (const ipv4* a : {&config.ip, &config.gw, &config.mask, &config.dns1, &config.dns2})
        out.insert(out.end(), a->begin(), a->end());
    out.insert(out.end(), config.mac.begin(), config.mac.end());
    out.insert(out.end(), config.name.begin(), config.name.end());
    if (kind == personality::board)
        out.push_back(config.dhcp);
    putLE16(out, config.ctrlPort);
    return out;
}

std::optional<networkConfig> decodeConfig(const bytes& record, personality kind)
{
    if (record.size() != configRecordSize(kind))
        return std::nullopt;
    networkConfig config;
    auto p = record.begin();
    for (ipv4* a : {&config.ip, &config.gw, &config.mask, &config.dns1, &config.dns2}) {
        std::copy(p, p + 4, a->begin());
        p += 4;
    }
    std::copy(p, p + 6, config.mac.begin());
    p += 6;
    std::copy(p, p + 16, config.name.begin());
    p += 16;
    if (kind == personality::board)
        config.dhcp = *p++;
    config.ctrlPort = getLE16(&*p);
    return config;
}

std::array<std::uint8_t, 16> nameField(const std::string& text)
{
    std::array<std::uint8_t, 16> field{};
    std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
    return field;
}

std::string dotted(const ipv4& address)
{
    return std::to_string(address[0]) + '.' + std::to_string(address[1]) + '.' +
           std::to_string(address[2]) + '.' + std::to_string(address[3]);
}

unsigned prefixLength(const ipv4& mask)
{
    unsigned n = 0;
    for (std::uint8_t b : mask) {
        for (int bit = 7; bit >= 0; --bit) {
            if (!(b >> bit & 1))
                return n;
            ++n;
        }
    }
    return n;
}

}  // namespace boardsim
}  // namespace qz
