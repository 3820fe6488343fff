#include "boardsim/wire.hpp"

namespace qz {
namespace boardsim {

std::string toHex(const bytes& data)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * data.size());
    for (std::uint8_t b : data) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

}  // namespace boardsim
}  // namespace qz
