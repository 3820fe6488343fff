#include "boardsim/hardware_options.hpp"

#include "boardsim/faults.hpp"

#include <string>

namespace qz {
namespace boardsim {

void addHardwareOptions(boost::program_options::options_description& all)
{
    namespace po = boost::program_options;
    auto text = [] { return po::value<std::string>(); };
    po::options_description hardware("hardware");
    hardware.add_options()
        ("inputs", text(), "digital-input word (0)")
        ("pressure", text(), "raw pressure reading (53537, about 101.3 kPa)");
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
    return h;
}

}  // namespace boardsim
}  // namespace qz
