// Receiver scans: "scanRxShadow" and "scanRxReflect".
#include "tester.hpp"

#include <cstdint>
#include <iostream>

#include <boost/format.hpp>
#include <boost/test/unit_test.hpp>

namespace pt = boost::property_tree;

namespace {

// The controller holds counts and times as int and reads them back as unsigned 32-bit: a value up to
// 2^32 - 1 travels as its bit pattern.
int asBits(unsigned int value)
{
    return static_cast<int>(value);
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
    p.count = asBits(requiredKey<unsigned int>(cmd, "count"));
    p.step = requiredKey<int>(cmd, "step");
    // The root defaults of the motion commands win over a scan's own keys, which are then not read.
    p.speed = defaultSpeed_ ? *defaultSpeed_ : keyValue<int>(cmd, "speed", 0x7FFFFFFF);
    p.accel = defaultAccel_ ? *defaultAccel_ : keyValue<int>(cmd, "accel", 100000);
    p.decel = keyValue<int>(cmd, "decel", p.accel);
    p.calm = asBits(keyValue<unsigned int>(cmd, "calm", 0));
    p.pulse = asBits(keyValue<unsigned int>(cmd, "pulse", 1000));
    p.exposure = asBits(keyValue<unsigned int>(cmd, "exposure", defaultExposure));

    c_->finishScan(p);
    // Wraps as the board's 32-bit position counter does.
    const std::int32_t tgt = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.step) *
                                                           static_cast<std::uint32_t>(p.count) +
                                                       static_cast<std::uint32_t>(start));
    const std::int32_t curPos = c_->getValue(2);
    std::cout << boost::format("Target: %d, current: %d") % tgt % curPos << std::endl;
    BOOST_CHECK(tgt == curPos);
}
