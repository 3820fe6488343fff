// The terminal's one controller connection and the board's identity over it:
// "connect", "disconnect", "init", "readNetworkConfig", "readHardwareId".
#include "tester.hpp"

#include <cstring>
#include <iostream>
#include <memory>

#include <boost/test/unit_test.hpp>
#include <boost/thread/lock_guard.hpp>

#include "qzsmc/controller.hpp"

namespace pt = boost::property_tree;

namespace {
constexpr unsigned connectTimeLimit = 5000;  // ms
constexpr int cmdReadHardwareId = 2;
constexpr int cmdReadNetworkConfig = 4;
}

void _tester::connect(const pt::ptree&)
{
    const auto hwIdText = config_.get_optional<std::string>("hwId");
    const auto deviceAddress = config_.get_optional<std::string>("deviceAddress");
    std::array<unsigned char, 20> hwId{};
    if (hwIdText)
        hwIdFromString(hwId, *hwIdText);  // a bad text keeps what was parsed; no check here

    // The new controller is complete before the old one goes: a failed construction keeps it.
    std::unique_ptr<qz::smc::controller> fresh(
        new qz::smc::controller(deviceId(), deviceAddress ? deviceAddress->c_str() : nullptr, hwId));
    std::swap(c_, fresh);
    fresh.reset();

    c_->connect(connectTimeLimit);
    {
        boost::unique_lock<boost::mutex> lock(c_->getStateMutex());
        c_->waitConnected(lock, connectTimeLimit);
    }
    BOOST_CHECK(c_->connected());
}

void _tester::disconnect(const pt::ptree&)
{
    if (c_ && c_->connected())
        c_->disconnect(false);
    c_.reset();
}

void _tester::init(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    c_->init();
    std::cout << "device initialized" << std::endl;
}

void _tester::readNetworkConfig(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    // Cleared first, so a short reply cannot print stale bytes.
    qz::smc::controller::networkConfiguration config;
    std::memset(&config, 0, sizeof config);
    {
        boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
        c_->readNetworkConfig(&config);
        c_->throwIfRefused(cmdReadNetworkConfig);
    }
    std::cout << "device network configuration:" << std::endl;
    printNetworkConfig(config);
}

void _tester::readHardwareId(const pt::ptree&)
{
    BOOST_REQUIRE(c_ && c_->connected());
    std::array<unsigned char, 20> id;
    {
        boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
        id = c_->readHardwareId();
        c_->throwIfRefused(cmdReadHardwareId);
    }
    std::cout << "hwId " << id << std::endl;
}
