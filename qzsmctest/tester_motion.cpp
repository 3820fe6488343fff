// Motion commands: "moveMotor".
#include "tester.hpp"

#include <cstdlib>
#include <iostream>

#include <boost/format.hpp>
#include <boost/test/unit_test.hpp>

namespace pt = boost::property_tree;

void _tester::moveMotor(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    int pos = cmd.get<int>("pos");
    const int speed = getSpeed(cmd);
    const int accel = getAccel(cmd);
    if (cmd.get_optional<bool>("random").value_or(false)) {
        // Uniform in [-pos, +pos], whatever the platform's rand() range.
        const double r = std::rand();
        pos = static_cast<int>(((2.0 * r) / RAND_MAX - 1.0) * pos);
    }
    c_->moveTo(pos, speed, accel)->wait();
    const int curPos = c_->getValue(2);
    std::cout << boost::format("Target: %d, current: %d") % pos % curPos << std::endl;
    BOOST_CHECK(curPos == pos);
}
