// The TCP control frame: [total length, 16-bit little-endian, header included][command][payload].
// A device's command byte carries the error flag in bit 7; 0xFF is a status-code message.
#ifndef ZK_HW_CONTROL_FRAME_HPP
#define ZK_HW_CONTROL_FRAME_HPP

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace zk {
namespace hw {

constexpr unsigned frameHeaderSize = 3;
constexpr unsigned char frameErrorFlag = 0x80;
constexpr unsigned char statusCodeCommand = 0x7F;

// The frame that carries command (its low 8 bits) and payload.
std::vector<unsigned char> buildFrame(int command, const boost::asio::const_buffer& payload);

// Payload bytes still to read after a header; -1 when the header is shorter than
// the length field or announces fewer bytes than a header.
long frameUnreadSize(const unsigned char* header, std::size_t size);

// The frame's bytes in the trace layout: length bytes together, a blank, the
// command byte, then (when present, or always when trailingBlank) a blank and the payload.
std::string frameHex(const unsigned char* frame, std::size_t size, bool trailingBlank);

// Name of a status code of a status-code message.
const char* statusName(unsigned char code);

}  // namespace hw
}  // namespace zk

#endif
