// Commands that work over UDP on every local interface, without a connection:
// "search", "displayConfig" and "configure_network".
#include "tester.hpp"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/format.hpp>
#include <boost/locale/format.hpp>
#include <boost/test/unit_test.hpp>

#include "qzsmc/controller.hpp"
#include "zkutility/utility.hpp"

namespace pt = boost::property_tree;

namespace {

using boardLink = qz::smc::controller::base;
using udp = boost::asio::ip::udp;

const udp::endpoint broadcastTarget(boost::asio::ip::address_v4::broadcast(), boardLink::deviceUdpPort);

udp::endpoint localEndpoint(const std::string& interface)
{
    return udp::endpoint(boost::asio::ip::make_address_v4(interface), boardLink::localUdpPort);
}

// Writes one address field when its key is present; a bad text throws before anything is sent.
void readIPv4Field(const pt::ptree& cmd, unsigned char (&field)[4], const char* key)
{
    if (const auto text = cmd.get_optional<std::string>(key)) {
        const auto bytes = boost::asio::ip::make_address_v4(*text).to_bytes();
        std::memcpy(field, bytes.data(), 4);
    }
}

// Hex digits alone (twelve for a whole MAC); any other text leaves the MAC as it is.
void readMAC(const pt::ptree& cmd, unsigned char (&mac)[6])
{
    const auto text = cmd.get_optional<std::string>("MAC");
    if (!text)
        return;
    unsigned char bytes[8] = {};
    std::memcpy(bytes, mac, 6);  // digits that are missing keep the board's bytes
    if (zk::hexToBytes(*text, bytes, sizeof bytes))
        std::memcpy(mac, bytes, 6);
}

boost::asio::ip::address_v4 address(const unsigned char (&field)[4])
{
    return boost::asio::ip::address_v4({field[0], field[1], field[2], field[3]});
}

// Why the record would take the board off the network; empty when it would not.
std::string addressProblem(const boardLink::networkConfiguration& config)
{
    const auto ip = address(config.IP);
    if (ip.is_unspecified() || ip == boost::asio::ip::address_v4::broadcast() || ip.is_loopback() ||
        ip.is_multicast())
        return "IP " + ip.to_string() + " is not a unicast host address - network configuration not sent";
    // A contiguous mask leaves host bits of the form 0...01...1.
    const std::uint32_t hostBits = ~address(config.Mask).to_uint();
    if (hostBits == 0xFFFFFFFFu || (hostBits & (hostBits + 1)) != 0)
        return "Mask " + address(config.Mask).to_string() +
               " is not a contiguous non-zero mask - network configuration not sent";
    // A /31 or /32 has no network or broadcast address: both of a /31's addresses are hosts.
    const std::uint32_t host = ip.to_uint() & hostBits;
    if (hostBits > 1 && host == 0)
        return "IP " + ip.to_string() + " is the network address of its subnet - network configuration not sent";
    if (hostBits > 1 && host == hostBits)
        return "IP " + ip.to_string() + " is the broadcast address of its subnet - network configuration not sent";
    return std::string();
}

}  // namespace

void printNetworkConfig(const qz::smc::device_options::networkConfiguration& config)
{
    using boost::locale::format;
    const auto address = [](const char* label, const unsigned char* b) {
        std::cout << format(std::string(label) + "{1}.{2}.{3}.{4}") % int(b[0]) % int(b[1]) % int(b[2]) % int(b[3])
                  << std::endl;
    };
    address("IP   ", config.IP);
    address("GW   ", config.GW);
    address("Mask ", config.Mask);
    address("DNS1 ", config.DNS1);
    address("DNS2 ", config.DNS2);
    const unsigned char* m = config.MAC;
    std::cout << boost::format("MAC:  %02x-%02x-%02x-%02x-%02x-%02x") % int(m[0]) % int(m[1]) % int(m[2]) % int(m[3])
                     % int(m[4]) % int(m[5])
              << std::endl;
    std::cout << format("Name {1}") % std::string(config.Name, sizeof config.Name) << std::endl;
    std::cout << format("DHCP {1}") % (config.DHCP != 0 ? 1 : 0) << std::endl;
    std::cout << format("CtrlPort {1}") % zk::getLE16(config.CtrlPort) << std::endl;
}

std::string _tester::deviceId() const
{
    return pingId_ ? *pingId_ : std::string("QZ_SMC");
}

std::array<unsigned char, 20> _tester::configHwId()
{
    std::array<unsigned char, 20> configHwId{};
    if (const auto hwIdStr = config_.get_optional<std::string>("hwId"))
        BOOST_CHECK(hwIdFromString(configHwId,*hwIdStr));
    return configHwId;
}

void _tester::search(const pt::ptree& cmd)
{
    const std::string id = deviceId();
    discovered_.clear();
    const auto interfaces = zk::getInterfaces<std::vector<std::string>>();
    std::cout << boost::format("searching for device with id %s on interfaces:") % id << std::endl;
    const auto useHwId = cmd.get_optional<unsigned int>("useHwId", unsignedText());
    int number = 1;
    for (const std::string& interface : interfaces) {
        std::cout << number++ << ") " << interface << std::endl;
        for (const auto& device : boardLink::search(id, localEndpoint(interface), boardLink::deviceUdpPort,
                                               boardLink::searchTimeLimit)) {
            std::cout << "deviceAddress " << device.endpoint.address().to_string() << std::endl;
            std::cout << "hwId " << device.hwId << " ; revision : " << device.revision << std::endl;
            discovered_.push_back(device);
        }
        if (useHwId && *useHwId < discovered_.size())
            config_.put("hwId", zk::toString(discovered_[*useHwId].hwId));
    }
    BOOST_CHECK(!discovered_.empty());
}

void _tester::displayConfig(const pt::ptree&)
{
    const auto id = configHwId();
    for (const std::string& interface : zk::getInterfaces<std::vector<std::string>>()) {
        boardLink::networkConfiguration config;
        std::memset(&config, 0, sizeof config);
        if (!boardLink::getNetworkConfiguration(id, &config, localEndpoint(interface), broadcastTarget))
            continue;
        std::cout << "Device configuration at " << interface << std::endl;
        std::cout << "hwId " << id << std::endl;
        printNetworkConfig(config);
    }
}

void _tester::configure_network(const pt::ptree& cmd)
{
    const auto id = configHwId();
    const bool haveHwId = static_cast<bool>(config_.get_optional<std::string>("hwId"));
    const bool setDefault = static_cast<bool>(cmd.get_child_optional("setDefault"));
    if (!haveHwId && !setDefault) {
        // The all-zero id reaches every board: each would take the first one's record.
        BOOST_ERROR("hwId not defined - can't set network configuration");
        return;
    }
    bool deviceFound = false;
    for (const std::string& interface : zk::getInterfaces<std::vector<std::string>>()) {
        const udp::endpoint local = localEndpoint(interface);
        boardLink::networkConfiguration config;
        std::memset(&config, 0, sizeof config);
        if (!boardLink::getNetworkConfiguration(id, &config, local, broadcastTarget))
            continue;
        BOOST_CHECK_MESSAGE(!deviceFound, "duplicate device hwId found");
        deviceFound = true;

        if (setDefault) {
            if (!haveHwId)
                std::cerr << "hwId not defined - can't set default network configuration";
            else
                boardLink::setDefaultNetworkConfiguration(id, local, broadcastTarget);
            continue;
        }

        readIPv4Field(cmd, config.IP, "IP");
        readIPv4Field(cmd, config.Mask, "Mask");
        readIPv4Field(cmd, config.GW, "GW");
        readIPv4Field(cmd, config.DNS1, "DNS1");
        readIPv4Field(cmd, config.DNS2, "DNS2");
        readMAC(cmd, config.MAC);
        if (const auto name = cmd.get_optional<std::string>("Name")) {
            const std::string text = name->substr(0, name->find('\0'));
            std::memset(config.Name, 0, sizeof config.Name);
            std::memcpy(config.Name, text.data(), std::min(text.size(), sizeof config.Name));
        }
        config.DHCP = static_cast<unsigned char>(cmd.get<int>("DHCP", config.DHCP));
        zk::putLE16(config.CtrlPort,
                    static_cast<std::uint16_t>(cmd.get<int>("CtrlPort", zk::getLE16(config.CtrlPort))));

        const std::string problem = addressProblem(config);
        if (!problem.empty()) {
            BOOST_ERROR(problem);
            continue;
        }
        boardLink::setNetworkConfiguration(id, &config, local, broadcastTarget);
        boardLink::networkConfiguration t;
        std::memset(&t, 0, sizeof t);
        boardLink::getNetworkConfiguration(id, &t, local, broadcastTarget);
        BOOST_CHECK(!memcmp(&config,&t,sizeof(t)));
    }
    BOOST_CHECK(deviceFound);
}
