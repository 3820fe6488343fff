#ifndef QZ_BOARDSIM_IDENTITY_HPP
#define QZ_BOARDSIM_IDENTITY_HPP

#include "boardsim/wire.hpp"

#include <optional>
#include <string>

namespace qz {
namespace boardsim {

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

// Exactly 40 hex digits, nothing else; none otherwise.
std::optional<hardwareId> parseHardwareId(const std::string& text);

}  // namespace boardsim
}  // namespace qz

#endif
