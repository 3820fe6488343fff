#include "boardsim/faults.hpp"

#include <stdexcept>

namespace qz {
namespace boardsim {

unsigned long parseNumber(const std::string& text, unsigned long max)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        throw std::invalid_argument("not a number: '" + text + "'");
    unsigned long value;
    try {
        value = std::stoul(digits, nullptr, hex ? 16 : 10);
    } catch (const std::out_of_range&) {
        throw std::invalid_argument("number too large: '" + text + "'");
    }
    if (value > max)
        throw std::invalid_argument("'" + text + "' is above " + std::to_string(max));
    return value;
}

std::optional<std::uint8_t> parseCode(const std::string& text)
{
    if (text == "all")
        return std::nullopt;
    return static_cast<std::uint8_t>(parseNumber(text, 0xFF));
}

std::pair<std::optional<std::uint8_t>, unsigned long> parseCodeValue(
    const std::string& text, unsigned long max, std::optional<unsigned long> valueDefault)
{
    auto colon = text.find(':');
    if (colon == std::string::npos) {
        if (!valueDefault)
            throw std::invalid_argument("expected CODE:VALUE, got '" + text + "'");
        return {parseCode(text), *valueDefault};
    }
    return {parseCode(text.substr(0, colon)), parseNumber(text.substr(colon + 1), max)};
}

}  // namespace boardsim
}  // namespace qz
