// Receiver scans: "scanRxShadow" and "scanRxReflect".
#include "tester.hpp"

#include <cstdint>
#include <iostream>

#include <boost/format.hpp>
#include <boost/test/unit_test.hpp>

namespace pt = boost::property_tree;

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
    p.count = static_cast<int>(cmd.get<unsigned int>("count"));
    p.step = cmd.get<int>("step");
    // The root defaults of the motion commands win over a scan's own keys.
    p.speed = defaultSpeed_ ? *defaultSpeed_ : cmd.get<int>("speed", 0x7FFFFFFF);
    p.accel = defaultAccel_ ? *defaultAccel_ : cmd.get<int>("accel", 100000);
    p.decel = cmd.get<int>("decel", p.accel);
    p.calm = static_cast<int>(cmd.get<unsigned int>("calm", 0));
    p.pulse = static_cast<int>(cmd.get<unsigned int>("pulse", 1000));
    p.exposure = static_cast<int>(cmd.get<unsigned int>("exposure", defaultExposure));

    c_->scanMove(p)->wait();
    // Wraps as the board's 32-bit position counter does.
    const std::int32_t tgt = static_cast<std::int32_t>(static_cast<std::uint32_t>(p.step) *
                                                           static_cast<std::uint32_t>(p.count) +
                                                       static_cast<std::uint32_t>(start));
    const std::int32_t curPos = c_->getValue(2);
    std::cout << boost::format("Target: %d, current: %d") % tgt % curPos << std::endl;
    BOOST_CHECK(tgt == curPos);
}
