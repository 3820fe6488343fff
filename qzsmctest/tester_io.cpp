// Outputs, inputs and the pressure sensor: "setPump", "setLight", "setPWM", "setOutput",
// "getInput", "getPressure".
#include "tester.hpp"

#include <chrono>
#include <cstdint>
#include <iostream>

#include <boost/chrono/duration.hpp>
#include <boost/format.hpp>
#include <boost/test/unit_test.hpp>
#include <boost/thread/thread.hpp>

#include "zkutility/utility.hpp"

namespace pt = boost::property_tree;

namespace {

constexpr int cmdGetInputs = 0x25;
constexpr int cmdGetPressure = 0x27;

constexpr std::uint32_t pumpOutput = 4;
constexpr unsigned char lightChannel = 1;
constexpr std::uint32_t dutyMask = 0x3FF;
constexpr std::uint32_t pwmOn = 0x80000000u;

void sendOutputs(qz::smc::controller& c, std::uint32_t mask, std::uint32_t value)
{
    unsigned char record[8];
    zk::putLE32(record, mask);
    zk::putLE32(record + 4, value);
    c.setOutputs(record);
}

void sendPWM(qz::smc::controller& c, unsigned char channel, std::uint32_t word)
{
    unsigned char record[5] = {channel};
    zk::putLE32(record + 1, word);
    c.setPWM(record);
}

}  // namespace

void _tester::setPump(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const bool on = nodeValue<bool>(cmd, "setPump");
    sendOutputs(*c_, pumpOutput, on ? 0xFFFFFFFFu : 0);
    std::cout << boost::format("pump: %d") % (on ? 1 : 0) << std::endl;
}

void _tester::setLight(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const unsigned int value = nodeValue<unsigned int>(cmd, "setLight");
    sendPWM(*c_, lightChannel, value & dutyMask);
    std::cout << boost::format("light: %d") % value << std::endl;
}

void _tester::setPWM(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const unsigned int channel = nodeValue<unsigned int>(cmd, "setPWM");
    const unsigned int value = requiredKey<unsigned int>(cmd, "value");
    const unsigned int on = keyValue<unsigned int>(cmd, "on", 0);
    sendPWM(*c_, static_cast<unsigned char>(channel), (value & dutyMask) | ((on & 1) ? pwmOn : 0));
    std::cout << boost::format("pwm #%d: %d (%d)") % channel % value % on << std::endl;
}

void _tester::setOutput(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const unsigned int value = nodeValue<unsigned int>(cmd, "setOutput");
    const unsigned int mask = keyValue<unsigned int>(cmd, "mask", 0xFFFF);
    sendOutputs(*c_, mask, value);
    std::cout << boost::format("output : 0x%08x (0x%08x)") % value % mask << std::endl;
}

void _tester::getInput(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    const std::uint32_t input = queryWord(cmdGetInputs);
    std::cout << boost::format("input : 0x%08x") % input << std::endl;
}

void _tester::getPressure(const pt::ptree& cmd)
{
    BOOST_REQUIRE(c_ && c_->connected());
    // A signed count or delay is refused: "-1" would be 2^32 - 1 samples, or ms after each.
    const unsigned int count = keyValue<unsigned int>(cmd, "count", 100);
    const unsigned int delay = keyValue<unsigned int>(cmd, "delay", 100);
    const auto t0 = std::chrono::steady_clock::now();
    std::cout << "time, ms\tpressure, kPa" << std::endl;
    for (unsigned int i = 0; i < count; ++i) {
        const std::uint32_t raw = queryWord(cmdGetPressure);
        const double pressure = (raw / 65535.0 + 0.095) / 0.009;
        const std::int64_t elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count() /
            1000000;
        std::cout << boost::format("%d\t%f") % elapsed % pressure << std::endl;
        boost::this_thread::sleep_for(boost::chrono::milliseconds(delay));
    }
}
