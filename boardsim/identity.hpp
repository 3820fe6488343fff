#ifndef QZ_BOARDSIM_IDENTITY_HPP
#define QZ_BOARDSIM_IDENTITY_HPP

#include <array>
#include <cstdint>
#include <string>

namespace qz {
namespace boardsim {

using hardwareId = std::array<std::uint8_t, 20>;

// The same hardware runs either the board's firmware or its boot loader.
enum class personality { board, bootLoader };

// Which motor-driver chip the board carries; the firmware's revision text tells.
enum class driverModel { fiveRegister = 0, sixRegister = 1 };

struct identity {
    hardwareId hwId{};
    std::string revision;
    std::string deviceId;
    personality kind = personality::board;
};

// "TMC" anywhere in the revision text (case matters) means the six-register chip.
driverModel driverModelOf(const std::string& revision);

// Exactly 40 hex digits, nothing else; false leaves hwId unspecified.
bool parseHardwareId(const std::string& text, hardwareId& hwId);

}  // namespace boardsim
}  // namespace qz

#endif
