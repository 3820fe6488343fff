#ifndef QZ_BOARDSIM_FRAME_READER_HPP
#define QZ_BOARDSIM_FRAME_READER_HPP

#include "boardsim/wire.hpp"

#include <cstddef>
#include <optional>
#include <stdexcept>

namespace qz {
namespace boardsim {

// Control frame: [u16 LE total length, header included][command][payload].
constexpr std::size_t frameHeaderSize = 3;

bytes makeFrame(std::uint8_t command, const bytes& payload = {});

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

}  // namespace boardsim
}  // namespace qz

#endif
