// Receiver scans: "scanRxShadow" and "scanRxReflect".
#include "tester.hpp"

#include <cstdint>
#include <iostream>
#include <string>

#include <boost/format.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/throw_exception.hpp>
#include <boost/test/unit_test.hpp>

namespace pt = boost::property_tree;

namespace {

constexpr unsigned int largestInt = 0x7FFFFFFF;

// The controller holds these counts and times as int: a larger one is refused, not wrapped.
int asInt(const char* key, unsigned int value)
{
    if (value > largestInt)
        BOOST_THROW_EXCEPTION(pt::ptree_bad_data(std::string("\"") + key + "\" " + std::to_string(value) +
                                                     " out of range: at most 2147483647",
                                                 value));
    return static_cast<int>(value);
}

// A key with a default: absent, or a text that is no number, gives the default; a sign or a value
// over 32 bits is refused (ptree_bad_data), as a required key's is.
int optionalUnsigned(const pt::ptree& cmd, const char* key, unsigned int fallback)
{
    const auto node = cmd.get_child_optional(pt::ptree::path_type(key));
    if (!node || !node->get_value_optional<long long>())
        return asInt(key, fallback);
    return asInt(key, node->get_value<unsigned int>(unsignedText()));
}

}  // namespace

void _tester::scanRxShadow(const pt::ptree& cmd)
{
    scanRx(cmd, false, 5000);
}

void _tester::scanRxReflect(const pt::ptree& cmd)
{
    scanRx(cmd, true, 50000);
}

void _tester::scanRx(const pt::ptree& cmd, bool reflect, unsigned int defaultExposure)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const std::int32_t start = c_->getValue(2);

    qz::smc::controller::scanParameters p;
    p.reflect = reflect;
    p.handshake = reflect;
    p.count = asInt("count", cmd.get<unsigned int>("count", unsignedText()));
    p.step = cmd.get<int>("step");
    // The root defaults of the motion commands win over a scan's own keys.
    p.speed = defaultSpeed_ ? *defaultSpeed_ : cmd.get<int>("speed", 0x7FFFFFFF);
    p.accel = defaultAccel_ ? *defaultAccel_ : cmd.get<int>("accel", 100000);
    p.decel = cmd.get<int>("decel", p.accel);
    p.calm = optionalUnsigned(cmd, "calm", 0);
    p.pulse = optionalUnsigned(cmd, "pulse", 1000);
    p.exposure = optionalUnsigned(cmd, "exposure", defaultExposure);

    c_->finishScan(p);
    // Wraps as the board's 32-bit position counter does.
    const std::int32_t tgt = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.step) *
                                                           static_cast<std::uint32_t>(p.count) +
                                                       static_cast<std::uint32_t>(start));
    const std::int32_t curPos = c_->getValue(2);
    std::cout << boost::format("Target: %d, current: %d") % tgt % curPos << std::endl;
    BOOST_CHECK(tgt == curPos);
}
