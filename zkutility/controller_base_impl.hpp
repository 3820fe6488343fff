// Member definitions of controller_base; included only by the files that
// instantiate it explicitly, so the heavy Asio code is compiled once per device kind.
#ifndef ZK_HW_CONTROLLER_BASE_IMPL_HPP
#define ZK_HW_CONTROLLER_BASE_IMPL_HPP

#include "zkutility/controller_base.hpp"

#include <algorithm>
#include <functional>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/chrono.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/format.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

namespace zk {
namespace hw {

namespace detail {

inline bool isLimitedBroadcast(const boost::asio::ip::address& a)
{
    return a.is_v4() && a.to_v4() == boost::asio::ip::address_v4::broadcast();
}

// Mask of the address's historic class: A /8, B /16, C /24, the rest /32.
inline std::uint32_t classfulMask(std::uint32_t address)
{
    if ((address & 0x80000000u) == 0) return 0xFF000000u;
    if ((address & 0xC0000000u) == 0x80000000u) return 0xFFFF0000u;
    if ((address & 0xE0000000u) == 0xC0000000u) return 0xFFFFFF00u;
    return 0xFFFFFFFFu;
}

inline bool allZero(const std::array<unsigned char, 20>& id)
{
    return std::all_of(id.begin(), id.end(), [](unsigned char b) { return b == 0; });
}

inline const char* statusName(unsigned char code)
{
    switch (code) {
    case 0x00: return "unknown error";
    case 0x01: return "unknown command";
    case 0x02: return "wrong data";
    case 0x03: return "wrong request mode";
    case 0xCE: return "TCP critical error";
    default: return "unknown code";
    }
}

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
    socket.open(local.protocol());
    socket.bind(local);
    socket.set_option(boost::asio::socket_base::broadcast(isLimitedBroadcast(target.address())));
}

}  // namespace detail

// ---------------------------------------------------------------- construction

template <class Options>
controller_base<Options>::controller_base(const std::string& name, const char* localAddress,
                                          const char* deviceAddress, unsigned short localUdpPort,
                                          const std::array<unsigned char, 20>& hwId)
    : netLog_(boost::log::keywords::channel = "net"), hwId_(hwId), connectTimer_(io_)
{
    BOOST_LOG_SEV(netLog_, logger::info) << "controller_base created";

    if (localAddress)
        localAddress_ = boost::asio::ip::make_address(localAddress);

    bool foundByDiscovery = false;
    if (deviceAddress) {
        deviceAddress_ = boost::asio::ip::make_address(deviceAddress);
    } else {
        BOOST_LOG_SEV(netLog_, logger::info) << "searching for device";
        for (const std::string& interface : getInterfaces<std::vector<std::string>>()) {
            const auto address = boost::asio::ip::make_address(interface);
            const auto found = search(name, udp::endpoint(address, localUdpPort), deviceUdpPort, searchTimeLimit);
            const auto match = std::find_if(found.begin(), found.end(), [&](const _devInfo& d) {
                return detail::allZero(hwId_) || d.hwId == hwId_;
            });
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
        const std::uint32_t device = deviceAddress_.to_v4().to_uint();
        for (const std::string& interface : getInterfaces<std::vector<std::string>>()) {
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
    work_.reset();
    if (worker_) {
        io_.stop();
        stopWorkerThread();
    }
    BOOST_LOG_SEV(netLog_, logger::info) << "controller_base destroyed";
}

// ---------------------------------------------------------------- UDP

template <class Options>
void controller_base<Options>::sendUDPMessage(udp::socket& socket, unsigned char command,
                                              const boost::asio::const_buffer& payload, const udp::endpoint& target,
                                              const std::array<unsigned char, 20>& hwId)
{
    std::vector<unsigned char> datagram(hwId.begin(), hwId.end());
    datagram.push_back(command);
    const auto* p = static_cast<const unsigned char*>(payload.data());
    datagram.insert(datagram.end(), p, p + payload.size());
    socket.send_to(boost::asio::buffer(datagram), target);
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

    std::uint32_t length = 0;
    bool errorFlag = false;
    // Only the first datagram counts; its sender and hwId are not compared.
    socket.async_receive_from(boost::asio::buffer(received), sender,
                              [&](const boost::system::error_code& e, std::size_t n) {
                                  if (e)
                                      return;
                                  if (n > 20)
                                      errorFlag = (received[20] & 0x80) != 0;
                                  if (n > 21) {
                                      length = static_cast<std::uint32_t>(std::min(n - 21, reply.size()));
                                      std::copy_n(received.data() + 21, length, static_cast<unsigned char*>(reply.data()));
                                  }
                                  timer.cancel();
                              });
    io.run();
    return {length, errorFlag};
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
    std::vector<unsigned char> received(1024, 0);
    udp::endpoint sender;
    boost::asio::deadline_timer timer(io, boost::posix_time::milliseconds(timeLimit));
    timer.async_wait([&](const boost::system::error_code& e) { detail::closeOnTimeout(socket, e); });

    // Every datagram that arrives in time is a record; a search always lasts its whole limit.
    std::function<void(const boost::system::error_code&, std::size_t)> onReceived =
        [&](const boost::system::error_code& e, std::size_t n) {
            if (e)
                return;
            // A datagram without hwId and status byte cannot be a reply: skip it.
            if (n >= 21) {
                _devInfo info;
                std::copy_n(received.begin(), 20, info.hwId.begin());
                const auto begin = received.begin() + 21;
                info.revision.assign(begin, std::find(begin, received.begin() + n, 0));
                info.endpoint = sender;
                found.push_back(std::move(info));
            }
            socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
        };
    socket.async_receive_from(boost::asio::buffer(received), sender, onReceived);
    io.run();
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
void controller_base<Options>::setNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                                       const networkConfiguration* config,
                                                       const udp::endpoint& local, const udp::endpoint& device)
{
    boost::asio::io_context io;
    udp::socket socket(io);
    detail::openExchangeSocket(socket, local, device);
    sendUDPMessage(socket, 5, boost::asio::buffer(config, sizeof(networkConfiguration)), device, hwId);
    // The device answers nothing that is read; give it time to apply the change.
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

// ---------------------------------------------------------------- TCP frames

template <class Options>
unsigned controller_base<Options>::getHeaderSize(socketType)
{
    return 3;
}

template <class Options>
unsigned controller_base<Options>::getUnreadSize(socketType, const unsigned char* data, unsigned size)
{
    if (size < 2)
        BOOST_THROW_EXCEPTION(errorWrongMessageHeader());
    const unsigned length = data[0] | (data[1] << 8);
    if (length < 3)
        BOOST_THROW_EXCEPTION(errorWrongMessageHeader());
    return length - 3;
}

template <class Options>
bool controller_base<Options>::isReplyTo(unsigned char received, unsigned char pending)
{
    return received == pending;
}

template <class Options>
void controller_base<Options>::onMessage(socketType type, const unsigned char* frame, unsigned size)
{
    const std::string hex = frameHex(frame, size, true);
    if (auto rec = netLog_.open_record(boost::log::keywords::severity = logger::trace)) {
        boost::log::record_ostream os(rec);
        os << remotePort(type) << ":(" << size << ")>: " << hex;
        os.flush();
        netLog_.push_record(std::move(rec));
    }

    const unsigned char code = frame[2] & 0x7F;
    if (frame[2] & 0x80) {
        if (code == 0x7F) {
            // A status code never confirms a command. Without its status byte there is nothing to name.
            if (size > 3)
                BOOST_LOG_SEV(netLog_, logger::warning)
                    << boost::format("status code: %s (0x%02x)") % detail::statusName(frame[3])
                           % static_cast<unsigned>(frame[3]);
            else
                BOOST_LOG_SEV(netLog_, logger::warning) << "status code message without status byte";
            return;
        }
        BOOST_LOG_SEV(netLog_, logger::error)
            << boost::format("device request error, cmd: 0x%02x, data: %s") % static_cast<unsigned>(code) % hex;
    }

    bool reply = false;
    {
        boost::lock_guard<boost::mutex> lock(tcpCommandMutex_);
        if (isReplyTo(code, static_cast<unsigned char>(pendingCommand_ & 0xFF))) {
            reply = true;
            confirmed_ = true;
            if (size > 3) {
                boost::lock_guard<boost::mutex> replyLock(replyMutex_);
                reply_.assign(frame + 3, frame + size);
            }
        }
    }
    if (reply) {
        confirmCond_.notify_all();
        return;
    }

    BOOST_LOG_SEV(netLog_, logger::trace)
        << boost::format("special command received, cmd: 0x%02x") % static_cast<unsigned>(code);
    {
        boost::lock_guard<boost::mutex> lock(specialMutex_);
        specialMessages_.push_back(specialMessage{std::vector<unsigned char>(frame + 3, frame + size), code});
        ++specialCount_;
    }
    specialCond_.notify_all();
}

template <class Options>
unsigned short controller_base<Options>::remotePort(unsigned i)
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    boost::system::error_code e;
    return sockets_[i].socket ? sockets_[i].socket->remote_endpoint(e).port() : 0;
}

template <class Options>
void controller_base<Options>::sendTCPControlCommand(int command, const boost::asio::const_buffer& payload)
{
    boost::unique_lock<boost::mutex> lock(tcpCommandMutex_);
    pendingCommand_ = command;
    confirmed_ = false;

    std::vector<unsigned char> frame(3 + payload.size());
    frame[0] = static_cast<unsigned char>(frame.size() & 0xFF);
    frame[1] = static_cast<unsigned char>((frame.size() >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>(command & 0xFF);
    std::copy_n(static_cast<const unsigned char*>(payload.data()), payload.size(), frame.data() + 3);

    {
        boost::lock_guard<boost::mutex> state(stateMutex_);
        tcp::socket* socket = sockets_[0].socket.get();
        if (!socket)
            BOOST_THROW_EXCEPTION(errorSocketNotInitialized());
        // remote_endpoint throws when the socket is not connected: nothing is sent then.
        const std::string trace = boost::str(boost::format("%u:(%u)<: %s") % socket->remote_endpoint().port()
                                             % frame.size() % frameHex(frame.data(), frame.size(), false));
        BOOST_LOG_SEV(netLog_, logger::trace) << trace;
        boost::asio::write(*socket, boost::asio::buffer(frame));
    }

    const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(confirmationTimeLimit);
    while (!confirmed_) {
        if (confirmCond_.wait_until(lock, deadline) == boost::cv_status::timeout && !confirmed_)
            BOOST_THROW_EXCEPTION(errorTCPCommandConfirmationTimeout());
    }
}

template <class Options>
void controller_base<Options>::sendTCPControlCommandWithReply(int command, const boost::asio::const_buffer& payload,
                                                              const boost::asio::mutable_buffer& reply)
{
    sendTCPControlCommand(command, payload);
    boost::lock_guard<boost::mutex> lock(replyMutex_);
    std::copy_n(reply_.data(), std::min(reply_.size(), reply.size()), static_cast<unsigned char*>(reply.data()));
}

template <class Options>
void controller_base<Options>::queryCommand(int command, const boost::asio::mutable_buffer& reply)
{
    sendTCPControlCommandWithReply(command, boost::asio::const_buffer(), reply);
}

template <class Options>
std::array<unsigned char, 20> controller_base<Options>::readHardwareId()
{
    std::array<unsigned char, 20> id{};
    queryCommand(2, boost::asio::buffer(id));
    return id;
}

template <class Options>
void controller_base<Options>::readNetworkConfig(networkConfiguration* config)
{
    queryCommand(4, boost::asio::buffer(config, sizeof(networkConfiguration)));
}

template <class Options>
void controller_base<Options>::restartToBootLoader()
{
    sendTCPControlCommand(11, boost::asio::const_buffer());
}

template <class Options>
bool controller_base<Options>::waitSpecialCommand(std::int64_t milliseconds, unsigned char& command,
                                                  std::vector<unsigned char>& payload)
{
    const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(milliseconds);
    boost::unique_lock<boost::mutex> lock(specialMutex_);
    while (specialCount_ == 0) {
        if (specialCond_.wait_until(lock, deadline) == boost::cv_status::timeout && specialCount_ == 0)
            return false;
    }
    command = specialMessages_.front().command;
    payload = std::move(specialMessages_.front().payload);
    specialMessages_.pop_front();
    --specialCount_;
    return true;
}

template <class Options>
void controller_base<Options>::clearSpecialCommands()
{
    boost::lock_guard<boost::mutex> lock(specialMutex_);
    specialMessages_.clear();
    specialCount_ = 0;
}

// ---------------------------------------------------------------- connection

template <class Options>
bool controller_base<Options>::connected()
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    return sockets_[0].connected;
}

template <class Options>
bool controller_base<Options>::allConnected() const
{
    return std::all_of(sockets_.begin(), sockets_.end(), [](const socketSlot& s) { return s.connected; });
}

template <class Options>
bool controller_base<Options>::waitConnected(boost::unique_lock<boost::mutex>& lock, std::int64_t milliseconds)
{
    const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(milliseconds);
    while (!allConnected() && !connectCancelled_) {
        if (stateCond_.wait_until(lock, deadline) == boost::cv_status::timeout)
            break;
    }
    return allConnected() || connectCancelled_;
}

template <class Options>
void controller_base<Options>::connect(unsigned timeLimit)
{
    // A worker still running from an earlier connect is retired first: its loop is
    // stopped, so the join is quick, and its attempts are replaced by the new ones.
    if (worker_) {
        io_.stop();
        stopWorkerThread();
        io_.restart();
    }
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        connectCancelled_ = false;
        sockets_[0].port = controlPort;
        sockets_[0].connected = false;
    }
    startIO(0);
    if (timeLimit != 0) {
        connectTimer_.expires_from_now(boost::posix_time::milliseconds(timeLimit));
        connectTimer_.async_wait(boost::bind(&controller_base::onConnectTimeout, this, boost::placeholders::_1));
    }
    work_ = std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
        io_.get_executor());
    startWorkerThread();
}

template <class Options>
void controller_base<Options>::startIO(unsigned i)
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    socketSlot& slot = sockets_[i];
    // Replacing the socket aborts whatever the old one had pending.
    slot.socket = std::make_unique<tcp::socket>(io_);
    const tcp::endpoint endpoint(deviceAddress_, slot.port);
    slot.socket->open(endpoint.protocol());
    slot.socket->async_connect(endpoint, boost::bind(&controller_base::onSocketConnected, this, i,
                                                     boost::placeholders::_1));
}

template <class Options>
void controller_base<Options>::onSocketConnected(unsigned i, const boost::system::error_code& error)
{
    // An aborted attempt belonged to a socket that was replaced or closed on purpose.
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        BOOST_LOG_SEV(netLog_, logger::error) << boost::format("socket connection error: %s") % error.message();
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        socketSlot& slot = sockets_[i];
        if (slot.socket) {
            const tcp::endpoint endpoint(deviceAddress_, slot.port);
            if (!slot.socket->is_open())
                slot.socket->open(endpoint.protocol());
            slot.socket->async_connect(endpoint, boost::bind(&controller_base::onSocketConnected, this, i,
                                                             boost::placeholders::_1));
        }
    } else {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        if (sockets_[i].socket) {
            sockets_[i].connected = true;
            BOOST_LOG_SEV(netLog_, logger::info) << boost::format("socket %d connected") % i;
        }
    }

    if (!connected()) {
        stateCond_.notify_all();
        return;
    }
    connectTimer_.cancel();
    sockets_[0].buffer.assign(getHeaderSize(socketType(0)), 0);
    readHeader(0);
    BOOST_LOG_SEV(netLog_, logger::info) << "connected successfully";
    stateCond_.notify_all();
}

template <class Options>
void controller_base<Options>::onConnectTimeout(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (connected())
        return;
    BOOST_LOG_SEV(netLog_, logger::warning) << "canceling connection by timeout";
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        connectCancelled_ = true;
    }
    stateCond_.notify_all();
}

template <class Options>
void controller_base<Options>::readHeader(unsigned i)
{
    socketSlot& slot = sockets_[i];
    boost::asio::async_read(*slot.socket, boost::asio::buffer(slot.buffer),
                            boost::bind(&controller_base::onHeaderReceived, this, i, boost::placeholders::_1,
                                        boost::placeholders::_2));
}

template <class Options>
void controller_base<Options>::onHeaderReceived(unsigned i, const boost::system::error_code& error, std::size_t)
{
    if (error) {
        onReadFailed(i, error);
        return;
    }
    socketSlot& slot = sockets_[i];
    const unsigned n = getUnreadSize(socketType(i), slot.buffer.data(), static_cast<unsigned>(slot.buffer.size()));
    if (n == 0) {
        onMessageReceived(i);
        return;
    }
    const std::size_t header = slot.buffer.size();
    slot.buffer.resize(header + n, 0);
    boost::asio::async_read(*slot.socket, boost::asio::buffer(slot.buffer.data() + header, n),
                            boost::bind(&controller_base::onPayloadReceived, this, i, boost::placeholders::_1,
                                        boost::placeholders::_2));
}

template <class Options>
void controller_base<Options>::onPayloadReceived(unsigned i, const boost::system::error_code& error, std::size_t)
{
    if (error)
        onReadFailed(i, error);
    else
        onMessageReceived(i);
}

template <class Options>
void controller_base<Options>::onReadFailed(unsigned i, const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    // Read error or end of stream: the connection is gone; open it again unless stopping.
    onSocketDisconnected(i);
    bool stopping;
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        stopping = stop_;
    }
    if (!stopping)
        startIO(i);
}

template <class Options>
void controller_base<Options>::onMessageReceived(unsigned i)
{
    socketSlot& slot = sockets_[i];
    onMessage(socketType(i), slot.buffer.data(), static_cast<unsigned>(slot.buffer.size()));
    slot.buffer.resize(getHeaderSize(socketType(i)));
    readHeader(i);
}

template <class Options>
void controller_base<Options>::onSocketDisconnected(unsigned i)
{
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        socketSlot& slot = sockets_[i];
        if (!slot.socket)
            return;
        // A socket the peer already reset fails to shut down; it must go all the same,
        // or every later read would fail on it again at once.
        boost::system::error_code ignored;
        slot.socket->shutdown(tcp::socket::shutdown_both, ignored);
        slot.socket->close(ignored);
        slot.socket.reset();
        if (slot.connected) {
            slot.connected = false;
            BOOST_LOG_SEV(netLog_, logger::info) << boost::format("socked %d disconnected") % i;
        }
    }
    stateCond_.notify_all();
}

template <class Options>
void controller_base<Options>::receiveThread()
{
    for (;;) {
        try {
            boost::this_thread::interruption_point();
            io_.run();
            return;
        } catch (const boost::thread_interrupted&) {
            io_.stop();
            return;
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(netLog_, logger::error) << "exception in receive thread: "
                                                  << boost::diagnostic_information(e);
            // The bytes of the faulty frame are dropped; the stream goes on with a new header.
            bool haveSocket, stopping;
            {
                boost::lock_guard<boost::mutex> lock(stateMutex_);
                haveSocket = sockets_[0].socket && sockets_[0].connected;
                stopping = stop_;
            }
            if (haveSocket) {
                sockets_[0].buffer.resize(getHeaderSize(socketType(0)));
                readHeader(0);
            } else if (!stopping) {
                startIO(0);
            }
            if (const boost::system::error_code* code = boost::get_error_info<devInfo>(e))
                BOOST_LOG_SEV(netLog_, logger::error) << code->message();
        }
    }
}

template <class Options>
void controller_base<Options>::startWorkerThread()
{
    worker_ = std::make_unique<boost::thread>(boost::bind(&controller_base::receiveThread, this));
}

template <class Options>
void controller_base<Options>::stopWorkerThread()
{
    worker_->interrupt();
    worker_->join();
    worker_.reset();
}

template <class Options>
void controller_base<Options>::disconnect(bool softReset)
{
    if (softReset) {
        BOOST_LOG_SEV(netLog_, logger::info) << "soft reset";
        sendTCPControlCommand(1, boost::asio::const_buffer());
    }
    bool closedByDevice;
    {
        boost::unique_lock<boost::mutex> lock(stateMutex_);
        stop_ = true;
        if (sockets_[0].socket)
            sockets_[0].socket->shutdown(tcp::socket::shutdown_send);
        const auto deadline =
            boost::chrono::steady_clock::now() + boost::chrono::milliseconds(disconnectTimeLimit);
        while (sockets_[0].connected) {
            if (stateCond_.wait_until(lock, deadline) == boost::cv_status::timeout)
                break;
        }
        closedByDevice = !sockets_[0].connected;
    }
    work_.reset();
    if (worker_) {
        // A device that never closes its side would keep the read pending for ever.
        if (!closedByDevice)
            io_.stop();
        stopWorkerThread();
    }
    io_.restart();
    onSocketDisconnected(0);
    BOOST_LOG_SEV(netLog_, logger::info) << "disconnected";
}

}  // namespace hw
}  // namespace zk

#endif
