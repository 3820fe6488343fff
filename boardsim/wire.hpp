#ifndef QZ_BOARDSIM_WIRE_HPP
#define QZ_BOARDSIM_WIRE_HPP

#include <cstdint>
#include <string>
#include <vector>

namespace qz {
namespace boardsim {

using bytes = std::vector<std::uint8_t>;

// Every multi-byte number on the board's wire is little-endian.
inline void putLE16(bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void putLE32(bytes& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::uint16_t getLE16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t getLE32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Lower-case, two digits per byte, no separators: the traffic log's form.
std::string toHex(const bytes& data);

}  // namespace boardsim
}  // namespace qz

#endif
