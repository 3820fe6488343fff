// The control channel of controller_base: frames out, confirmations and
// replies in. Framing is in control_frame, reply matching in controlChannel.
#ifndef ZK_HW_CONTROLLER_BASE_TCP_HPP
#define ZK_HW_CONTROLLER_BASE_TCP_HPP

#include "zkutility/controller_base.hpp"

#include <boost/asio/write.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/control_frame.hpp"

namespace zk {
namespace hw {

template <class Options>
unsigned controller_base<Options>::getHeaderSize(socketType)
{
    return frameHeaderSize;
}

template <class Options>
unsigned controller_base<Options>::getUnreadSize(socketType, const unsigned char* data, unsigned size)
{
    const long n = frameUnreadSize(data, size);
    if (n < 0)
        BOOST_THROW_EXCEPTION(errorWrongMessageHeader());
    return static_cast<unsigned>(n);
}

template <class Options>
bool controller_base<Options>::isReplyTo(unsigned char received, unsigned char pending)
{
    return received == pending;
}

template <class Options>
void controller_base<Options>::onMessage(socketType type, const unsigned char* frame, unsigned size)
{
    if (traceFrames_) {
        if (auto rec = netLog_.open_record(boost::log::keywords::severity = logger::trace)) {
            boost::log::record_ostream os(rec);
            os << remotePort(type) << ":(" << size << ")>: " << frameHex(frame, size, true);
            os.flush();
            netLog_.push_record(std::move(rec));
        }
    }
    channel_.onFrame(
        frame, size, [this](unsigned char received, unsigned char pending) { return isReplyTo(received, pending); },
        traceFrames_);
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
    auto lock = channel_.startCommand(command);
    const std::vector<unsigned char> frame = buildFrame(command, payload);
    {
        boost::lock_guard<boost::mutex> state(stateMutex_);
        tcp::socket* socket = sockets_[0].socket.get();
        if (!socket)
            BOOST_THROW_EXCEPTION(errorSocketNotInitialized());
        // remote_endpoint throws when the socket is not connected: nothing is sent then.
        // A standing connection is only asked for its port when the trace is kept.
        auto rec = netLog_.open_record(boost::log::keywords::severity = logger::trace);
        const unsigned short port = rec || !sockets_[0].connected ? socket->remote_endpoint().port() : 0;
        if (rec) {
            boost::log::record_ostream os(rec);
            os << port << ":(" << frame.size() << ")<: " << frameHex(frame.data(), frame.size(), false);
            os.flush();
            netLog_.push_record(std::move(rec));
        }
        boost::asio::write(*socket, boost::asio::buffer(frame));
    }
    if (!channel_.waitConfirmed(lock, confirmationTimeLimit))
        BOOST_THROW_EXCEPTION(errorTCPCommandConfirmationTimeout());
}

template <class Options>
std::size_t controller_base<Options>::sendTCPControlCommandWithReply(int command,
                                                                     const boost::asio::const_buffer& payload,
                                                                     const boost::asio::mutable_buffer& reply)
{
    sendTCPControlCommand(command, payload);
    return channel_.copyReply(reply);
}

template <class Options>
void controller_base<Options>::queryCommand(int command, const boost::asio::mutable_buffer& reply)
{
    sendTCPControlCommandWithReply(command, boost::asio::const_buffer(), reply);
}

template <class Options>
bool controller_base<Options>::commandRefused()
{
    return channel_.refused();
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
    return channel_.waitSpecial(milliseconds, command, payload);
}

template <class Options>
void controller_base<Options>::clearSpecialCommands()
{
    channel_.clearSpecial();
}

}  // namespace hw
}  // namespace zk

#endif
