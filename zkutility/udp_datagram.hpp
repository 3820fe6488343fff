// The UDP datagrams of the device protocol: request [hwId][command][payload],
// reply [hwId][status, bit 7 = error][payload].
#ifndef ZK_HW_UDP_DATAGRAM_HPP
#define ZK_HW_UDP_DATAGRAM_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace zk {
namespace hw {

constexpr std::size_t datagramHeaderSize = 21;  // hwId and command or status byte

std::vector<unsigned char> buildRequest(const std::array<unsigned char, 20>& hwId, unsigned char command,
                                        const boost::asio::const_buffer& payload);

struct udpReply {
    std::uint32_t length;  // payload bytes copied
    bool errorFlag;
};

// Whether a datagram may answer a request that carried hwId. A request to all
// zeros takes any answer; one to a device takes only that device's.
bool isReplyFrom(const std::array<unsigned char, 20>& hwId, const unsigned char* datagram, std::size_t n);

// Copies the reply's payload to the start of reply, as much as fits.
udpReply readReply(const unsigned char* datagram, std::size_t n, const boost::asio::mutable_buffer& reply);

// A discovery answer: hwId and the revision text up to its first zero byte.
// False, and nothing filled, for a datagram too short to carry hwId and status.
bool readDiscoveryReply(const unsigned char* datagram, std::size_t n, std::array<unsigned char, 20>& hwId,
                        std::string& revision);

}  // namespace hw
}  // namespace zk

#endif
