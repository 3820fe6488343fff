#include "zkutility/udp_datagram.hpp"

#include <algorithm>

namespace zk {
namespace hw {

std::vector<unsigned char> buildRequest(const std::array<unsigned char, 20>& hwId, unsigned char command,
                                        const boost::asio::const_buffer& payload)
{
    std::vector<unsigned char> datagram(hwId.begin(), hwId.end());
    datagram.push_back(command);
    const auto* p = static_cast<const unsigned char*>(payload.data());
    if (payload.size() != 0)
        datagram.insert(datagram.end(), p, p + payload.size());
    return datagram;
}

bool isReplyFrom(const std::array<unsigned char, 20>& hwId, const unsigned char* datagram, std::size_t n)
{
    if (std::all_of(hwId.begin(), hwId.end(), [](unsigned char b) { return b == 0; }))
        return true;
    return n >= hwId.size() && std::equal(hwId.begin(), hwId.end(), datagram);
}

udpReply readReply(const unsigned char* datagram, std::size_t n, const boost::asio::mutable_buffer& reply)
{
    udpReply r{0, false};
    if (n > 20)
        r.errorFlag = (datagram[20] & 0x80) != 0;
    if (n > datagramHeaderSize) {
        r.length = static_cast<std::uint32_t>(std::min(n - datagramHeaderSize, reply.size()));
        if (r.length != 0)
            std::copy_n(datagram + datagramHeaderSize, r.length, static_cast<unsigned char*>(reply.data()));
    }
    return r;
}

bool readDiscoveryReply(const unsigned char* datagram, std::size_t n, std::array<unsigned char, 20>& hwId,
                        std::string& revision)
{
    if (n < datagramHeaderSize)
        return false;
    std::copy_n(datagram, hwId.size(), hwId.begin());
    const unsigned char* begin = datagram + datagramHeaderSize;
    revision.assign(begin, std::find(begin, datagram + n, 0));
    return true;
}

}  // namespace hw
}  // namespace zk
