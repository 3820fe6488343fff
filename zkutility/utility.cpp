#include "zkutility/utility.hpp"

#include <cerrno>
#include <iomanip>
#include <sstream>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <boost/throw_exception.hpp>

namespace zk {

template <class Container>
Container getInterfaces()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        BOOST_THROW_EXCEPTION(NetworkError() << netInfo(errno));

    Container result;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            result.insert(result.end(), text);
    }
    ::freeifaddrs(list);
    return result;
}

template std::vector<std::string> getInterfaces<std::vector<std::string>>();

std::string toString(const hwId& id)
{
    std::ostringstream os;
    os << id;
    return os.str();
}

}  // namespace zk

namespace {

int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence at p (at most `left` bytes), 0 when there is none.
std::size_t utf8Length(const unsigned char* p, std::size_t left, std::uint32_t& code)
{
    std::size_t length;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2;
        code = p[0] & 0x1F;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3;
        code = p[0] & 0x0F;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4;
        code = p[0] & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not well-formed.
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

}  // namespace

std::string zk::printable(const std::string& text, bool keepNul)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        std::size_t length = 1;
        bool escape;
        if (p[i] < 0x80) {
            escape = (p[i] < 0x20 || p[i] == 0x7F) && !(p[i] == 0 && keepNul);
        } else {
            std::uint32_t code = 0;
            length = utf8Length(p + i, size - i, code);
            escape = length == 0 || code <= 0x9F;  // a stray byte, or a C1 control
            if (length == 0)
                length = 1;
        }
        for (std::size_t end = i + length; i < end; ++i) {
            if (escape) {
                out += "\\x";
                out += digits[p[i] >> 4];
                out += digits[p[i] & 0x0F];
            } else {
                out += static_cast<char>(p[i]);
            }
        }
    }
    return out;
}

bool zk::hexToBytes(const std::string& text, unsigned char* out, std::size_t size)
{
    std::size_t filled = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < text.size() && filled < size; ++i) {
        const int v = hexValue(static_cast<unsigned char>(text[i]));
        if (v < 0)
            continue;
        if (digits % 2 == 0) {
            out[filled] = static_cast<unsigned char>(v << 4);
        } else {
            out[filled] |= static_cast<unsigned char>(v);
            ++filled;
        }
        ++digits;
    }
    return 2 * filled == text.size();
}

bool hwIdFromString(zk::hwId& id, std::string text)
{
    return zk::hexToBytes(text, id.data(), id.size());
}

std::ostream& operator<<(std::ostream& os, const zk::hwId& id)
{
    // Replace every flag: uppercase, showbase or left adjustment left on the
    // caller's stream would change the digits or the 40-character width.
    const std::ios_base::fmtflags flags = os.flags(std::ios_base::hex | std::ios_base::right);
    const char fill = os.fill('0');
    for (unsigned char b : id)
        os << std::setw(2) << static_cast<unsigned>(b);
    os.flags(flags);
    os.fill(fill);
    return os;
}
