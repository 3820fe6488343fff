// The UDP exchanges of controller_base: discovery and the network
// configuration. Each runs its own event loop on the calling thread and shares
// nothing with the connection.
#ifndef ZK_HW_CONTROLLER_BASE_UDP_HPP
#define ZK_HW_CONTROLLER_BASE_UDP_HPP

#include "zkutility/controller_base.hpp"

#include <cstring>
#include <functional>

#include <boost/chrono.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/udp_datagram.hpp"

namespace zk {
namespace hw {
namespace detail {

// Closes the socket when the deadline passes, which aborts the pending receive.
inline void closeOnTimeout(boost::asio::ip::udp::socket& socket, const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    boost::system::error_code ignored;
    socket.close(ignored);
}

// Socket bound to the local endpoint, with broadcast allowed only for 255.255.255.255.
inline void openExchangeSocket(boost::asio::ip::udp::socket& socket, const boost::asio::ip::udp::endpoint& local,
                               const boost::asio::ip::udp::endpoint& target)
{
    const auto& a = target.address();
    socket.open(local.protocol());
    socket.bind(local);
    socket.set_option(boost::asio::socket_base::broadcast(a.is_v4() && a.to_v4() == boost::asio::ip::address_v4::broadcast()));
}

// Hands every datagram that arrives within timeLimit ms to take (bytes, size, sender), then
// returns: a collection always lasts its whole limit. The buffer is zeroed once, not per datagram.
template <class Take>
void receiveUntilDeadline(boost::asio::io_context& io, boost::asio::ip::udp::socket& socket, unsigned int timeLimit,
                          Take take)
{
    std::vector<unsigned char> received(1024, 0);
    boost::asio::ip::udp::endpoint sender;
    boost::asio::deadline_timer timer(io, boost::posix_time::milliseconds(timeLimit));
    timer.async_wait([&](const boost::system::error_code& e) { closeOnTimeout(socket, e); });
    std::function<void(const boost::system::error_code&, std::size_t)> onReceived =
        [&](const boost::system::error_code& e, std::size_t n) {
            if (e)
                return;
            take(received.data(), n, sender);
            socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
        };
    socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
    io.run();
}

}  // namespace detail

template <class Options>
void controller_base<Options>::sendUDPMessage(udp::socket& socket, unsigned char command,
                                              const boost::asio::const_buffer& payload, const udp::endpoint& target,
                                              const std::array<unsigned char, 20>& hwId)
{
    socket.send_to(boost::asio::buffer(buildRequest(hwId, command, payload)), target);
}

template <class Options>
std::pair<std::uint32_t, bool> controller_base<Options>::sendUDPCommand(const std::array<unsigned char, 20>& hwId,
                                                                        unsigned char command,
                                                                        const boost::asio::const_buffer& payload,
                                                                        const boost::asio::mutable_buffer& reply,
                                                                        const udp::endpoint& local,
                                                                        const udp::endpoint& target)
{
    boost::asio::io_context io;
    udp::socket socket(io);
    detail::openExchangeSocket(socket, local, target);
    sendUDPMessage(socket, command, payload, target, hwId);

    std::vector<unsigned char> received(1024, 0);
    udp::endpoint sender;
    boost::asio::deadline_timer timer(io, boost::posix_time::milliseconds(udpReplyTimeLimit));
    timer.async_wait([&](const boost::system::error_code& e) { detail::closeOnTimeout(socket, e); });

    udpReply result{0, false};
    // The first answer of the addressed device counts. Another host's datagram
    // must not pass for it: it would be taken as the device's configuration.
    std::function<void(const boost::system::error_code&, std::size_t)> onReceived =
        [&](const boost::system::error_code& e, std::size_t n) {
            if (e)
                return;
            if (!isReplyFrom(hwId, received.data(), n)) {
                socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
                return;
            }
            result = readReply(received.data(), n, reply);
            timer.cancel();
        };
    socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
    io.run();
    return {result.length, result.errorFlag};
}

template <class Options>
std::deque<typename controller_base<Options>::_devInfo>
controller_base<Options>::search(const std::string& deviceId, const udp::endpoint& local, unsigned short port,
                                 unsigned int timeLimit)
{
    boost::asio::io_context io;
    udp::socket socket(io);
    const udp::endpoint target(boost::asio::ip::address_v4::broadcast(), port);
    detail::openExchangeSocket(socket, local, target);
    sendUDPMessage(socket, 0, boost::asio::buffer(deviceId), target, std::array<unsigned char, 20>{});

    std::deque<_devInfo> found;
    // Every answer that arrives in time is a record.
    detail::receiveUntilDeadline(io, socket, timeLimit,
                                 [&](const unsigned char* datagram, std::size_t n, const udp::endpoint& sender) {
                                     _devInfo info;
                                     if (readDiscoveryReply(datagram, n, info.hwId, info.revision)) {
                                         info.endpoint = sender;
                                         found.push_back(std::move(info));
                                     }
                                 });
    return found;
}

template <class Options>
std::string controller_base<Options>::getRevisionString()
{
    const auto found = search(std::string(), udp::endpoint(localAddress_, localUdpPort), deviceUdpPort,
                              searchTimeLimit);
    for (const _devInfo& d : found)
        if (d.hwId == hwId_)
            return d.revision;
    BOOST_THROW_EXCEPTION(errorDeviceNotFound());
}

template <class Options>
bool controller_base<Options>::getNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                                       networkConfiguration* config, const udp::endpoint& local,
                                                       const udp::endpoint& device)
{
    const auto r = sendUDPCommand(hwId, 4, boost::asio::const_buffer(),
                                  boost::asio::buffer(config, sizeof(networkConfiguration)), local, device);
    return !r.second && r.first == sizeof(networkConfiguration);
}

template <class Options>
std::vector<typename controller_base<Options>::configAnswer>
controller_base<Options>::collectNetworkConfigurations(const std::array<unsigned char, 20>& hwId,
                                                       const udp::endpoint& local, const udp::endpoint& device,
                                                       unsigned int timeLimit)
{
    boost::asio::io_context io;
    udp::socket socket(io);
    detail::openExchangeSocket(socket, local, device);
    sendUDPMessage(socket, 4, boost::asio::const_buffer(), device, hwId);

    std::vector<configAnswer> answers;
    detail::receiveUntilDeadline(io, socket, timeLimit,
                                 [&](const unsigned char* datagram, std::size_t n, const udp::endpoint& sender) {
                                     if (!isReplyFrom(hwId, datagram, n))
                                         return;
                                     configAnswer answer;
                                     answer.endpoint = sender;
                                     std::memset(&answer.config, 0, sizeof answer.config);
                                     const udpReply r = readReply(
                                         datagram, n, boost::asio::buffer(&answer.config, sizeof answer.config));
                                     answer.complete = !r.errorFlag && r.length == sizeof answer.config;
                                     answers.push_back(answer);
                                 });
    return answers;
}

template <class Options>
void controller_base<Options>::setNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                                       const networkConfiguration* config,
                                                       const udp::endpoint& local, const udp::endpoint& device)
{
    boost::asio::io_context io;
    udp::socket socket(io);
    detail::openExchangeSocket(socket, local, device);
    sendUDPMessage(socket, 5, boost::asio::buffer(config, sizeof(networkConfiguration)), device, hwId);
    // Nothing the device answers is read; give it time to apply the change.
    {
        boost::asio::deadline_timer timer(io, boost::posix_time::milliseconds(200));
        timer.wait();
    }
    boost::this_thread::sleep_for(boost::chrono::milliseconds(200));
    socket.close();
}

template <class Options>
void controller_base<Options>::setDefaultNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                                              const udp::endpoint& local,
                                                              const udp::endpoint& device)
{
    BOOST_LOG_SEV(logger::main_logger::get(), logger::info)
        << "setting default network configuration for hwId=" << toString(hwId);
    boost::asio::io_context io;
    udp::socket socket(io);
    detail::openExchangeSocket(socket, local, device);
    sendUDPMessage(socket, 6, boost::asio::const_buffer(), device, hwId);
    boost::asio::deadline_timer timer(io, boost::posix_time::milliseconds(200));
    timer.wait();
    socket.close();
}

}  // namespace hw
}  // namespace zk

#endif
