#include "boardsim/frame_reader.hpp"

namespace qz {
namespace boardsim {

bytes makeFrame(std::uint8_t command, const bytes& payload)
{
    bytes frame;
    putLE16(frame, static_cast<std::uint16_t>(payload.size() + frameHeaderSize));
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
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

}  // namespace boardsim
}  // namespace qz
