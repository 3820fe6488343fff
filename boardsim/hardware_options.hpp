#ifndef QZ_BOARDSIM_HARDWARE_OPTIONS_HPP
#define QZ_BOARDSIM_HARDWARE_OPTIONS_HPP

#include "boardsim/board_devices.hpp"

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace qz {
namespace boardsim {

// What is wired to the board: its input lines and pressure sensor as the run starts them, and the
// limit switch if one is fitted.
struct hardwareOptions {
    std::uint32_t inputWord = 0;
    std::uint32_t pressureRaw = boardDevices::defaultPressureRaw;
    std::optional<limitSwitchOptions> limit;
    std::optional<std::uint32_t> receiverReadout;  // ticks; a receiver is fitted when given
};

// The hardware options of the qzsmc-board command line (boardsim/README.md); parseHardware
// throws std::invalid_argument on a bad value.
void addHardwareOptions(boost::program_options::options_description& all);
hardwareOptions parseHardware(const boost::program_options::variables_map& vm);

// A signed 32-bit number: an optional '-', then decimal or 0x-hexadecimal; throws
// std::invalid_argument.
std::int32_t parseSigned(const std::string& text);

}  // namespace boardsim
}  // namespace qz

#endif
