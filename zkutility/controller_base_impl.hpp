// Member definitions of controller_base; included only by the files that
// instantiate it explicitly, so the heavy Asio code is compiled once per device kind.
#ifndef ZK_HW_CONTROLLER_BASE_IMPL_HPP
#define ZK_HW_CONTROLLER_BASE_IMPL_HPP

#include "zkutility/controller_base.hpp"

#include <algorithm>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/controller_base_connection.hpp"
#include "zkutility/controller_base_tcp.hpp"
#include "zkutility/controller_base_udp.hpp"

namespace zk {
namespace hw {
namespace detail {

// Mask of the address's historic class: A /8, B /16, C /24, the rest /32.
inline std::uint32_t classfulMask(std::uint32_t address)
{
    if ((address & 0x80000000u) == 0) return 0xFF000000u;
    if ((address & 0xC0000000u) == 0x80000000u) return 0xFFFF0000u;
    if ((address & 0xE0000000u) == 0xC0000000u) return 0xFFFFFF00u;
    return 0xFFFFFFFFu;
}

}  // namespace detail

template <class Options>
controller_base<Options>::controller_base(const std::string& name, const char* localAddress,
                                          const char* deviceAddress, unsigned short localUdpPort,
                                          const std::array<unsigned char, 20>& hwId)
    : netLog_(boost::log::keywords::channel = "net"), hwId_(hwId), connectTimer_(io_), retryTimer_(io_),
      channel_(netLog_)
{
    BOOST_LOG_SEV(netLog_, logger::info) << "controller_base created";

    if (localAddress)
        localAddress_ = boost::asio::ip::make_address(localAddress);

    bool foundByDiscovery = false;
    if (deviceAddress) {
        deviceAddress_ = boost::asio::ip::make_address(deviceAddress);
    } else {
        BOOST_LOG_SEV(netLog_, logger::info) << "searching for device";
        const bool anyDevice = std::all_of(hwId_.begin(), hwId_.end(), [](unsigned char b) { return b == 0; });
        for (const std::string& interface : getInterfaces<std::vector<std::string>>()) {
            const auto address = boost::asio::ip::make_address(interface);
            const auto found = search(name, udp::endpoint(address, localUdpPort), deviceUdpPort, searchTimeLimit);
            const auto match = std::find_if(found.begin(), found.end(),
                                            [&](const _devInfo& d) { return anyDevice || d.hwId == hwId_; });
            if (match == found.end())
                continue;
            deviceAddress_ = match->endpoint.address();
            foundByDiscovery = true;
            hwId_ = match->hwId;
            BOOST_LOG_SEV(netLog_, logger::info) << "device found at " << deviceAddress_.to_string();
            if (localAddress_.is_unspecified())
                localAddress_ = address;
            break;
        }
    }

    if (localAddress_.is_unspecified() && !deviceAddress_.is_unspecified()) {
        BOOST_LOG_SEV(netLog_, logger::info) << "searching for local interface";
        for (const std::string& interface : getInterfaces<std::vector<std::string>>()) {
            // Converted per interface: without interfaces there is nothing to match, not a bad cast.
            const std::uint32_t device = deviceAddress_.to_v4().to_uint();
            const std::uint32_t local = boost::asio::ip::make_address(interface).to_v4().to_uint();
            if ((device & detail::classfulMask(device)) == (local & detail::classfulMask(local))) {
                localAddress_ = boost::asio::ip::make_address_v4(local);
                BOOST_LOG_SEV(netLog_, logger::info) << "found matching local interface at " << interface;
                break;
            }
        }
    }

    if (localAddress_.is_unspecified() || deviceAddress_.is_unspecified())
        BOOST_THROW_EXCEPTION(errorDeviceNotFound());

    if (!foundByDiscovery) {
        networkConfiguration scratch{};
        getNetworkConfiguration(hwId_, &scratch, udp::endpoint(localAddress_, localUdpPort),
                                udp::endpoint(deviceAddress_, deviceUdpPort));
    }
}

template <class Options>
controller_base<Options>::~controller_base()
{
    if (connected()) {
        try {
            controller_base::disconnect(false);
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(netLog_, logger::error) << boost::diagnostic_information(e);
        }
    }
    stopIO();
    BOOST_LOG_SEV(netLog_, logger::info) << "controller_base destroyed";
}

}  // namespace hw
}  // namespace zk

#endif
