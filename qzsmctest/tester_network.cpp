// Commands that work over UDP on every local interface, without a connection:
// "search", "displayConfig" and "configure_network".
#include "tester.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/format.hpp>
#include <boost/locale/format.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/test/unit_test.hpp>
#include <boost/throw_exception.hpp>

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

using ipv4Field = std::array<unsigned char, 4>;

// An address key when present; a text that is not an IPv4 address throws, before anything is sent.
boost::optional<ipv4Field> readIPv4Field(const pt::ptree& cmd, const char* key)
{
    const auto text = cmd.get_optional<std::string>(key);
    if (!text)
        return boost::none;
    return boost::asio::ip::make_address_v4(*text).to_bytes();
}

// The leading MAC bytes that "MAC" gives (twelve digits give all six). A text that is not hex
// digits alone would be left out unseen while the read-back still passes: it ends the command.
boost::optional<std::vector<unsigned char>> readMAC(const pt::ptree& cmd)
{
    const auto node = cmd.get_child_optional("MAC");
    if (!node)
        return boost::none;
    unsigned char bytes[8] = {};
    if (!zk::hexToBytes(node->data(), bytes, sizeof bytes))
        BOOST_THROW_EXCEPTION(pt::ptree_bad_data(
            "conversion of data to hexadecimal digits failed: \"MAC\" is \"" + zk::printable(node->data()) + "\"",
            node->data()));
    return std::vector<unsigned char>(bytes, bytes + std::min<std::size_t>(node->data().size() / 2, 6));
}

// What "configure_network" sets; the fields it does not name stay as the board holds them.
struct networkChanges {
    boost::optional<ipv4Field> ip, mask, gw, dns1, dns2;
    boost::optional<std::vector<unsigned char>> mac;
    boost::optional<std::string> name;
    boost::optional<int> dhcp, ctrlPort;

    void applyTo(boardLink::networkConfiguration& config) const
    {
        const auto put = [](unsigned char (&field)[4], const boost::optional<ipv4Field>& value) {
            if (value)
                std::memcpy(field, value->data(), 4);
        };
        put(config.IP, ip);
        put(config.Mask, mask);
        put(config.GW, gw);
        put(config.DNS1, dns1);
        put(config.DNS2, dns2);
        if (mac)
            std::memcpy(config.MAC, mac->data(), mac->size());
        if (name) {
            std::memset(config.Name, 0, sizeof config.Name);
            std::memcpy(config.Name, name->data(), std::min(name->size(), sizeof config.Name));
        }
        if (dhcp)
            config.DHCP = static_cast<unsigned char>(*dhcp);
        if (ctrlPort)
            zk::putLE16(config.CtrlPort, static_cast<std::uint16_t>(*ctrlPort));
    }
};

// Every key, read before anything is sent: a bad one ends the command with nothing sent anywhere.
networkChanges readChanges(const pt::ptree& cmd)
{
    networkChanges c;
    c.ip = readIPv4Field(cmd, "IP");
    c.mask = readIPv4Field(cmd, "Mask");
    c.gw = readIPv4Field(cmd, "GW");
    c.dns1 = readIPv4Field(cmd, "DNS1");
    c.dns2 = readIPv4Field(cmd, "DNS2");
    c.mac = readMAC(cmd);
    if (const auto name = cmd.get_optional<std::string>("Name"))
        c.name = name->substr(0, name->find('\0'));
    c.dhcp = keyValue<int>(cmd, "DHCP");
    c.ctrlPort = keyValue<int>(cmd, "CtrlPort");
    return c;
}

boost::asio::ip::address_v4 address(const unsigned char (&field)[4])
{
    return boost::asio::ip::address_v4({field[0], field[1], field[2], field[3]});
}

// Why the address or mask the script sets would take the board off the network; empty when it
// would not. What the board already holds is not judged: it is sent back as it is.
std::string addressProblem(const boardLink::networkConfiguration& config, const networkChanges& changes)
{
    const auto ip = address(config.IP);
    if (changes.ip && (ip.is_unspecified() || ip == boost::asio::ip::address_v4::broadcast() || ip.is_loopback() ||
                       ip.is_multicast()))
        return "IP " + ip.to_string() + " is not a unicast host address - network configuration not sent";
    // A contiguous mask leaves host bits of the form 0...01...1.
    const std::uint32_t hostBits = ~address(config.Mask).to_uint();
    const bool contiguous = hostBits != 0xFFFFFFFFu && (hostBits & (hostBits + 1)) == 0;
    if (changes.mask && !contiguous)
        return "Mask " + address(config.Mask).to_string() +
               " is not a contiguous non-zero mask - network configuration not sent";
    // A /31 or /32 has no network or broadcast address: both of a /31's addresses are hosts. A mask
    // the board holds that gives no subnet leaves nothing to judge the IP against.
    const std::uint32_t host = ip.to_uint() & hostBits;
    if (changes.ip && contiguous && hostBits > 1 && host == 0)
        return "IP " + ip.to_string() + " is the network address of its subnet - network configuration not sent";
    if (changes.ip && contiguous && hostBits > 1 && host == hostBits)
        return "IP " + ip.to_string() + " is the broadcast address of its subnet - network configuration not sent";
    return std::string();
}

// The devices that answered, once each, in the order of their first answers.
std::vector<boost::asio::ip::address> answeredBy(const std::vector<boardLink::configAnswer>& answers)
{
    std::vector<boost::asio::ip::address> devices;
    for (const auto& a : answers)
        if (std::find(devices.begin(), devices.end(), a.endpoint.address()) == devices.end())
            devices.push_back(a.endpoint.address());
    return devices;
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
    std::cout << format("Name {1}") % zk::printable(std::string(config.Name, sizeof config.Name), true) << std::endl;
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
    const auto useHwId = keyValue<unsigned int>(cmd, "useHwId");
    int number = 1;
    for (const std::string& interface : interfaces) {
        std::cout << number++ << ") " << interface << std::endl;
        const std::size_t first = discovered_.size();
        for (const auto& device : boardLink::search(id, localEndpoint(interface), boardLink::deviceUdpPort,
                                               boardLink::searchTimeLimit)) {
            // A board that answers twice is still one board: its first answer stands.
            const auto same = [&](const qz::smc::controller::_devInfo& d) {
                return d.hwId == device.hwId && d.endpoint.address() == device.endpoint.address();
            };
            if (std::any_of(discovered_.begin() + first, discovered_.end(), same))
                continue;
            std::cout << "deviceAddress " << device.endpoint.address().to_string() << std::endl;
            std::cout << "hwId " << device.hwId << " ; revision : " << zk::printable(device.revision) << std::endl;
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
    const networkChanges changes = setDefault ? networkChanges() : readChanges(cmd);
    bool deviceFound = false;
    for (const std::string& interface : zk::getInterfaces<std::vector<std::string>>()) {
        const udp::endpoint local = localEndpoint(interface);
        // Every answer until the deadline: the request goes to every board on the LAN, and the
        // record sent would reach each board that answers for this id (with no root hwId, all).
        const auto answers =
            boardLink::collectNetworkConfigurations(id, local, broadcastTarget, boardLink::udpReplyTimeLimit);
        const auto devices = answeredBy(answers);
        if (devices.empty() || (devices.size() == 1 && !answers.front().complete))
            continue;
        BOOST_CHECK_MESSAGE(!deviceFound, "duplicate device hwId found");
        deviceFound = true;

        if (setDefault && !haveHwId) {
            std::cerr << "hwId not defined - can't set default network configuration";
            continue;
        }
        if (devices.size() > 1) {
            std::string which;
            for (const auto& d : devices)
                which += (which.empty() ? "" : ", ") + d.to_string();
            BOOST_ERROR("several devices answered for hwId " << zk::toString(id) << ": " << which << " - "
                                                             << (setDefault ? "default " : "")
                                                             << "network configuration not sent");
            continue;
        }
        if (setDefault) {
            boardLink::setDefaultNetworkConfiguration(id, local, broadcastTarget);
            continue;
        }

        boardLink::networkConfiguration config = answers.front().config;
        changes.applyTo(config);
        const std::string problem = addressProblem(config, changes);
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
