#ifndef ZK_UTILITY_HPP
#define ZK_UTILITY_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

namespace zk {

// 20 bytes that identify one board; text form is 40 hex digits, byte 0 first.
using hwId = std::array<unsigned char, 20>;

struct tagNetInfo;
using netInfo = boost::error_info<tagNetInfo, int>;

// Failure of the local network utilities; carries the failing call's code as netInfo.
struct NetworkError : virtual boost::exception, virtual std::exception {};

// IPv4 addresses of the interfaces that are up and not loopback, in the order
// the system lists them. Throws NetworkError with errno as netInfo.
template <class Container>
Container getInterfaces();

extern template std::vector<std::string> getInterfaces<std::vector<std::string>>();

// Little-endian fields of the device's records and frames.
inline std::uint16_t getLE16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t getLE32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void putLE16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void putLE32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Reads the hex digits of text into out, high half of each byte first, until size
// bytes are complete; any other character is skipped. An odd last digit leaves a
// byte with a low half of 0; bytes not reached keep their contents. True when twice
// the complete bytes equals the text's length: the text held those digits alone.
bool hexToBytes(const std::string& text, unsigned char* out, std::size_t size);

// Text a device sent, made safe to print or log: every control character (C0, DEL, C1 raw or as
// UTF-8) and every byte outside well-formed UTF-8 is written as \xNN, byte by byte, so that no
// device can move the cursor or rewrite what the console shows. keepNul leaves NUL bytes as
// they are (a record's NUL padding).
std::string printable(const std::string& text, bool keepNul = false);

}  // namespace zk

// zk::hexToBytes into the 20 bytes: true for a text of 40 digits and nothing else
// (and for an empty one).
bool hwIdFromString(zk::hwId& id, std::string text);

// 40 lower-case hex digits; the stream's flags and fill are left as they were.
std::ostream& operator<<(std::ostream& os, const zk::hwId& id);

namespace zk {
std::string toString(const hwId& id);
}

#endif
