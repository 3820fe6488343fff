#ifndef QZ_BOARDSIM_SETTINGS_HPP
#define QZ_BOARDSIM_SETTINGS_HPP

#include "boardsim/identity.hpp"
#include "boardsim/wire.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz {
namespace boardsim {

// The settings image: the driver's register words (u32 LE), then the 68-byte settings block.
constexpr std::size_t settingsBlockSize = 68;

std::size_t registerCount(driverModel model);      // 5 or 6
std::size_t settingsImageSize(driverModel model);  // 88 or 92

// The image a board leaves the factory with, and loads again on command 0x15.
bytes factorySettings(driverModel model);

// The register words at the front of an image.
std::vector<std::uint32_t> registerWords(const bytes& image, driverModel model);

// Where command 0x10 keeps the image across runs: the raw image bytes, nothing else.
class settingsFile {
public:
    // An empty path keeps nothing across runs.
    explicit settingsFile(std::string path = {});

    // None when there is no file (yet); throws std::runtime_error when it cannot be read or
    // does not hold exactly expectedSize bytes.
    std::optional<bytes> load(std::size_t expectedSize) const;

    // Replaces the file as a whole; throws std::runtime_error when that fails.
    void store(const bytes& image) const;

private:
    std::string path_;
};

}  // namespace boardsim
}  // namespace qz

#endif
