// The board's settings block and driver registers: "setDiag", "loadDefaultDeviceSettings",
// "storeDeviceSettings", "deviceSettings", "motorSettings", "getDeviceSettings".
#include "tester.hpp"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <typeinfo>

#include <boost/format.hpp>
#include <boost/test/unit_test.hpp>
#include <boost/thread/locks.hpp>

#include "zkutility/utility.hpp"

namespace pt = boost::property_tree;

namespace {

constexpr int cmdStoreSettings = 0x10;
constexpr int cmdLoadDefaultSettings = 0x15;
constexpr int diagChannels = 6;

// Automatic base ("0x" hexadecimal, leading 0 octal), the whole text; none when it is no number.
// The word is 32 bits whatever the width of unsigned long here: a magnitude beyond it saturates to
// 0xFFFFFFFF rather than wrapping to its low bits, and a sign negates within 32 bits.
boost::optional<std::uint32_t> diagWord(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (!std::isalnum(static_cast<unsigned char>(*p)))  // no second sign or space after the first
        return boost::none;
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(p, &end, 0);
    if (end == p)
        return boost::none;
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0')
        return boost::none;
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull)
        return 0xFFFFFFFFu;
    const auto word = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - word : word;
}

// A channel's "mask" or "polar" when present; text that is no number ends the command.
void readDiagWord(const pt::ptree& channel, const std::string& name, const char* key, std::uint32_t& word)
{
    const auto text = channel.get_optional<std::string>(pt::ptree::path_type(key));
    if (!text)
        return;
    const auto value = diagWord(*text);
    if (!value)
        throwBadKeyText(name + "." + key, *text, typeid(unsigned long));
    word = *value;
}

}  // namespace

void _tester::setDiag(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    // Without a read since connecting the held block is all zeros; sent, it would zero the board's
    // limits and driver registers.
    if (!c_->settingsRead()) {
        boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
        c_->readSettings();
    }
    qz::smc::deviceSettings settings = c_->getDeviceSettings();
    for (int i = 0; i < diagChannels; ++i) {
        const std::string name = std::to_string(i);
        const auto channel = cmd.get_child_optional(pt::ptree::path_type(name));
        if (!channel)
            continue;
        readDiagWord(*channel, name, "mask", settings.diag_mask[i]);
        readDiagWord(*channel, name, "polar", settings.diag_polar[i]);
    }
    c_->setDeviceSettings(settings);
}

void _tester::loadDefaultDeviceSettings(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    sendEmpty(cmdLoadDefaultSettings);
    c_->commitSettings();
    std::cout << "default device settings loaded" << std::endl;
}

void _tester::storeDeviceSettings(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    sendEmpty(cmdStoreSettings);
    std::cout << "device settings stored" << std::endl;
}

void _tester::deviceSettings(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    // A signed value is refused: "-1" would be the highest current.
    if (const auto amperage = keyValue<unsigned int>(cmd, "amperage"))
        c_->setAmperage(static_cast<unsigned char>(*amperage));
    if (const auto hold = keyValue<unsigned int>(cmd, "amperageHold")) {
        // Only the six-register driver has a separate holding current.
        if (c_->model() && *c_->model() == 1)
            c_->setMotorParameter("IHOLD", static_cast<unsigned char>(*hold));
    }
    if (const auto threshold = cmd.get_optional<std::string>("speedThreshold")) {
        // Read as "%lf" reads it: a number may be followed by other text.
        double speed = 0.0;
        if (std::sscanf(threshold->c_str(), "%lf", &speed) != 1)
            throwBadKeyText("speedThreshold", *threshold, typeid(double));
        c_->setSpeedThreshold(speed);
    }
}

void _tester::motorSettings(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    for (const auto& field : cmd) {
        try {
            const unsigned int value = nodeValue<unsigned int>(field.second, field.first);
            c_->setMotorParameter(field.first.c_str(), value);
        } catch (const std::exception& e) {
            // The field name is the script's, and the controller's message may quote it.
            BOOST_ERROR(boost::format("failed to set motor parameter %s: %s") % zk::printable(field.first) %
                        zk::printable(e.what()));
        }
    }
}

void _tester::getDeviceSettings(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const qz::smc::deviceSettings held = c_->getDeviceSettings();
    {
        boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
        c_->readSettings();
    }
    BOOST_CHECK_MESSAGE(std::memcmp(&held, &c_->getDeviceSettings(), sizeof held) == 0,
                        "device or motor settings out of sync");
}
