#include "boardsim/hardware_options.hpp"

#include "boardsim/faults.hpp"

#include <stdexcept>
#include <string>

namespace qz {
namespace boardsim {

std::int32_t parseSigned(const std::string& text)
{
    if (!text.empty() && text[0] == '-')
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(parseNumber(text.substr(1), 0x80000000)));
    return static_cast<std::int32_t>(parseNumber(text, 0x7FFFFFFF));
}

void addHardwareOptions(boost::program_options::options_description& all)
{
    namespace po = boost::program_options;
    auto text = [] { return po::value<std::string>(); };
    po::options_description hardware("hardware");
    hardware.add_options()
        ("inputs", text(), "digital-input word (0)")
        ("pressure", text(), "raw pressure reading (53537, about 101.3 kPa)")
        ("limit-switch", text(), "POS: a limit switch at POS microsteps (> 0: active at >= POS, < 0: at <= POS)")
        ("limit-jitter", text(), "N: each approach trips up to N microsteps early or late (0 to 255)")
        ("limit-sticky", text(), "N: the switch releases only N microsteps back from where it tripped")
        ("receiver", text(), "TICKS: a receiver on inputs 0x20/0x40, busy TICKS ticks after each handshake");
    all.add(hardware);
}

hardwareOptions parseHardware(const boost::program_options::variables_map& vm)
{
    auto given = [&vm](const char* name) { return vm.count(name) > 0; };
    auto number = [&vm](const char* name, unsigned long max) {
        return parseNumber(vm[name].as<std::string>(), max);
    };

    hardwareOptions h;
    if (given("inputs"))
        h.inputWord = static_cast<std::uint32_t>(number("inputs", 0xFFFFFFFF));
    if (given("pressure"))
        h.pressureRaw = static_cast<std::uint32_t>(number("pressure", 0xFFFFFFFF));
    if (given("limit-switch")) {
        limitSwitchOptions l;
        l.position = parseSigned(vm["limit-switch"].as<std::string>());
        if (l.position == 0)
            throw std::invalid_argument("--limit-switch needs a side: a position above or below 0");
        if (given("limit-jitter"))
            l.jitter = static_cast<std::uint32_t>(number("limit-jitter", 255));
        if (given("limit-sticky"))
            l.sticky = static_cast<std::uint32_t>(number("limit-sticky", 0x7FFFFFFF));
        h.limit = l;
    } else if (given("limit-jitter") || given("limit-sticky")) {
        throw std::invalid_argument("--limit-jitter and --limit-sticky need --limit-switch");
    }
    if (given("receiver"))
        h.receiverReadout = static_cast<std::uint32_t>(number("receiver", 0xFFFFFFFF));
    return h;
}

}  // namespace boardsim
}  // namespace qz
