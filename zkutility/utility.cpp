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

}  // namespace

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
