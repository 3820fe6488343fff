#include "zkutility/controller_base_impl.hpp"
#include "zkutility/boot_options.hpp"

namespace zk {
namespace hw {

std::string frameHex(const unsigned char* frame, std::size_t size, bool trailingBlank)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size + 2);
    for (std::size_t i = 0; i < size; ++i) {
        if (i == 2 || i == 3)
            text += ' ';
        text += digits[frame[i] >> 4];
        text += digits[frame[i] & 0x0F];
    }
    if (trailingBlank && size == 3)
        text += ' ';
    return text;
}

template class controller_base<boot::options>;

}  // namespace hw
}  // namespace zk
