#include "boardsim/wire.hpp"

#include <algorithm>

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

bytes makeFrame(std::uint8_t command, const bytes& payload)
{
    bytes frame;
    putLE16(frame, static_cast<std::uint16_t>(payload.size() + frameHeaderSize));
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

bytes statusFrame(std::uint8_t status)
{
    return makeFrame(statusMessageCode, {status});
}

frameReader::errorBadLength::errorBadLength(unsigned len)
    : std::runtime_error("frame length field " + std::to_string(len) + " is below 3"), length(len)
{
}

void frameReader::feed(const std::uint8_t* data, std::size_t size)
{
    pending_.insert(pending_.end(), data, data + size);
}

std::optional<bytes> frameReader::next()
{
    if (pending_.size() < 2)
        return std::nullopt;
    std::size_t length = getLE16(pending_.data());
    if (length < frameHeaderSize)
        throw errorBadLength(static_cast<unsigned>(length));
    if (pending_.size() < length)
        return std::nullopt;
    bytes frame(pending_.begin(), pending_.begin() + length);
    pending_.erase(pending_.begin(), pending_.begin() + length);
    return frame;
}

std::optional<datagram> parseDatagram(const bytes& data)
{
    if (data.size() < datagramHeaderSize)
        return std::nullopt;
    datagram d;
    std::copy_n(data.begin(), d.id.size(), d.id.begin());
    d.command = data[d.id.size()];
    d.payload.assign(data.begin() + datagramHeaderSize, data.end());
    return d;
}

bytes makeDatagram(const hardwareId& id, std::uint8_t status, const bytes& payload)
{
    bytes out(id.begin(), id.end());
    out.push_back(status);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace boardsim
}  // namespace qz
