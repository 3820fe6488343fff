#include "boardsim/identity.hpp"

namespace qz {
namespace boardsim {

driverModel driverModelOf(const std::string& revision)
{
    return revision.find("TMC") != std::string::npos ? driverModel::sixRegister
                                                     : driverModel::fiveRegister;
}

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<hardwareId> parseHardwareId(const std::string& text)
{
    hardwareId hwId;
    if (text.size() != 2 * hwId.size())
        return std::nullopt;
    for (std::size_t i = 0; i < hwId.size(); ++i) {
        int hi = hexDigit(text[2 * i]);
        int lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        hwId[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return hwId;
}

}  // namespace boardsim
}  // namespace qz
