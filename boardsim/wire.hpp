#ifndef QZ_BOARDSIM_WIRE_HPP
#define QZ_BOARDSIM_WIRE_HPP

// The board's side of the wire: byte order, control frames and UDP datagrams. Written apart from
// the terminal's codec on purpose, so that a mistake in one shows up against the other.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qz {
namespace boardsim {

using bytes = std::vector<std::uint8_t>;
using hardwareId = std::array<std::uint8_t, 20>;

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

// ---- control frames (TCP) -------------------------------------------------------------------

// [u16 LE total length, header included][command][payload], both ways.
constexpr std::size_t frameHeaderSize = 3;
constexpr std::uint8_t errorFlag = 0x80;            // in a reply's command byte: refused
constexpr std::uint8_t statusMessageCode = 0xFF;    // a status-code message: [len][0xFF][status]

bytes makeFrame(std::uint8_t command, const bytes& payload = {});
bytes statusFrame(std::uint8_t status);

// A complete frame's command byte and payload.
inline std::uint8_t frameCommand(const bytes& frame) { return frame.at(2); }
inline bytes framePayload(const bytes& frame) { return bytes(frame.begin() + frameHeaderSize, frame.end()); }

// Cuts the control connection's byte stream into frames, however TCP splits it.
class frameReader {
public:
    // A length field below the header size: the stream cannot be resynchronised.
    struct errorBadLength : std::runtime_error {
        explicit errorBadLength(unsigned length);
        unsigned length;
    };

    void feed(const std::uint8_t* data, std::size_t size);

    // The next complete frame, header included; none while it is still incomplete.
    std::optional<bytes> next();

private:
    bytes pending_;
};

// ---- datagrams (UDP) ------------------------------------------------------------------------

// Request [hwId 20][command][payload]; reply [the board's hwId 20][status][payload].
constexpr std::size_t datagramHeaderSize = 21;

struct datagram {
    hardwareId id;
    std::uint8_t command;  // the status byte in a reply
    bytes payload;
};

// None when it is shorter than its header.
std::optional<datagram> parseDatagram(const bytes& data);
bytes makeDatagram(const hardwareId& id, std::uint8_t status, const bytes& payload = {});

}  // namespace boardsim
}  // namespace qz

#endif
