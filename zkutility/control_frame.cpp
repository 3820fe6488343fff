#include "zkutility/control_frame.hpp"

#include <algorithm>

namespace zk {
namespace hw {

std::vector<unsigned char> buildFrame(int command, const boost::asio::const_buffer& payload)
{
    // The callers keep payloads within the 16-bit length field.
    std::vector<unsigned char> frame(frameHeaderSize + payload.size());
    frame[0] = static_cast<unsigned char>(frame.size() & 0xFF);
    frame[1] = static_cast<unsigned char>((frame.size() >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>(command & 0xFF);
    if (payload.size() != 0)
        std::copy_n(static_cast<const unsigned char*>(payload.data()), payload.size(), frame.data() + frameHeaderSize);
    return frame;
}

long frameUnreadSize(const unsigned char* header, std::size_t size)
{
    if (size < 2)
        return -1;
    const unsigned length = header[0] | (header[1] << 8);
    if (length < frameHeaderSize)
        return -1;
    return static_cast<long>(length - frameHeaderSize);
}

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

const char* statusName(unsigned char code)
{
    switch (code) {
    case 0x00: return "unknown error";
    case 0x01: return "unknown command";
    case 0x02: return "wrong data";
    case 0x03: return "wrong request mode";
    case 0xCE: return "TCP critical error";
    default: return "unknown code";
    }
}

}  // namespace hw
}  // namespace zk
