#include "zkutility/boot_controller.hpp"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/format.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/boot_network.hpp"
#include "zkutility/utility.hpp"

namespace zk {
namespace hw {
namespace boot {

namespace {

constexpr int cmdStartFirmware = 0x0C;
constexpr unsigned connectTimeLimit = 5000;  // ms
// Sent in this order; the boot loader takes a connection after either.
constexpr unsigned char wakeCommands[] = {0x7F, 6};

boost::format dotted(const char* text, const unsigned char (&a)[4])
{
    return boost::format(text) % int{a[0]} % int{a[1]} % int{a[2]} % int{a[3]};
}

}  // namespace

controller::controller(const char* localAddress, const std::array<unsigned char, 20>& hwId,
                       std::set<boost::asio::ip::address> prohibited)
    : base("BOOT_LOADER", localAddress, nullptr, localUdpPort, hwId),
      log_(boost::log::keywords::channel = "btldr"),
      prohibited_(std::move(prohibited))
{
}

controller::~controller()
{
    disconnect(true);
    // A start or soft reset that failed leaves the link standing. It is closed here, while the
    // worker still runs: only the worker sees the device's close that the base's disconnect
    // waits for, so with the worker gone that wait would run out its whole limit.
    if (connected()) {
        try {
            base::disconnect(false);
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(log_, logger::error) << "failed to disconnect: " << e.what();
        }
    }
    // The worker must not run into this object once its own part is gone.
    stopIO();
}

void controller::disconnect(bool softReset)
{
    if (!connected())
        return;
    try {
        if (softReset && updateUnfinished()) {
            // A reset too could start the firmware: the boot loader must be there for the next update.
            BOOST_LOG_SEV(log_, logger::error) << "firmware not started: an update did not end";
            softReset = false;
        }
        if (softReset)
            sendTCPControlCommand(cmdStartFirmware, boost::asio::const_buffer());
        base::disconnect(softReset);
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(log_, logger::error) << "failed to disconnect: " << e.what();
    }
}

void controller::ensureDeviceReadyToUpdate()
{
    BOOST_LOG_SEV(log_, logger::trace)
        << "checking if we are connected, change network options and connect if required";
    if (connected())
        return;

    const udp::endpoint local(localAddress(), localUdpPort);
    const udp::endpoint broadcast(boost::asio::ip::address_v4::broadcast(), deviceUdpPort);
    networkRecord record{};
    // A record that did not arrive would move the boot loader to whatever it holds.
    if (!getNetworkConfiguration(hardwareId(), &record, local, broadcast))
        BOOST_THROW_EXCEPTION(errorNetworkConfigurationNotRead());

    const std::uint32_t localV4 = localAddress().to_v4().to_uint();
    const addressVerdict verdict = checkAddress(record, localV4, prohibited_);
    if (verdict.otherSubnet)
        BOOST_LOG_SEV(log_, logger::info) << dotted("address %d.%d.%d.%d is in a different subnet", record.IP);
    if (verdict.prohibited)
        BOOST_LOG_SEV(log_, logger::info) << dotted("address %d.%d.%d.%d is prohibited", record.IP);
    if (verdict.move()) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        if (!drawAddress(record, localV4, prohibited_, [] { return static_cast<std::uint32_t>(std::rand()); }))
            BOOST_THROW_EXCEPTION(errorNoAddressAvailable());
    }
    const bool portSet = forceControlPort(record);

    if (verdict.move() || portSet) {
        BOOST_LOG_SEV(log_, logger::info)
            << boost::format("will set device address %d.%d.%d.%d, default gateway %d.%d.%d.%d, port %d and use "
                             "it for connection") %
                   int{record.IP[0]} % int{record.IP[1]} % int{record.IP[2]} % int{record.IP[3]} % int{record.GW[0]} %
                   int{record.GW[1]} % int{record.GW[2]} % int{record.GW[3]} % getLE16(record.CtrlPort);
        setNetworkConfiguration(hardwareId(), &record, local, broadcast);
        const auto moved = boost::asio::ip::make_address_v4(addressOf(record.IP));
        {
            // A worker left from an earlier attempt reads it when it tries again.
            boost::lock_guard<boost::mutex> lock(stateMutex_);
            deviceAddress_ = moved;
        }
        networkRecord readBack{};
        getNetworkConfiguration(hardwareId(), &readBack, local, udp::endpoint(moved, deviceUdpPort));
        if (std::memcmp(&record, &readBack, sizeof record) != 0)
            BOOST_THROW_EXCEPTION(std::runtime_error("network configuration does not changed"));
    }

    const udp::endpoint target(boost::asio::ip::make_address_v4(addressOf(record.IP)), deviceUdpPort);
    for (unsigned char command : wakeCommands) {
        std::array<unsigned char, 3> reply{};
        const auto [received, refused] = sendUDPCommand(hardwareId(), command, boost::asio::const_buffer(),
                                                        boost::asio::buffer(reply), local, target);
        if (refused) {
            if (received > 0)
                BOOST_LOG_SEV(log_, logger::warning)
                    << boost::format("bad response on command 0x%x: 0x%x") % unsigned{command} % unsigned{reply[0]};
            else
                BOOST_LOG_SEV(log_, logger::warning)
                    << boost::format("bad response on command 0x%x (no data)") % unsigned{command};
            continue;
        }
        connect(connectTimeLimit);
        {
            boost::unique_lock<boost::mutex> lock(getStateMutex());
            waitConnected(lock, connectTimeLimit);
        }
        if (connected())
            return;
    }
    if (!connected())
        BOOST_THROW_EXCEPTION(errorSocketNotInitialized());
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
