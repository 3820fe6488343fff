// The connection of controller_base: its worker thread, connect attempts,
// the read chain that cuts frames, reconnection and disconnect.
#ifndef ZK_HW_CONTROLLER_BASE_CONNECTION_HPP
#define ZK_HW_CONTROLLER_BASE_CONNECTION_HPP

#include "zkutility/controller_base.hpp"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/format.hpp>
#include <boost/thread/lock_guard.hpp>

namespace zk {
namespace hw {

template <class Options>
bool controller_base<Options>::connected()
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    return sockets_[0].connected;
}

template <class Options>
std::uint64_t controller_base<Options>::connections()
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    return connections_;
}

template <class Options>
bool controller_base<Options>::allConnected() const
{
    return std::all_of(sockets_.begin(), sockets_.end(), [](const socketSlot& s) { return s.connected; });
}

template <class Options>
bool controller_base<Options>::isCurrent(unsigned i, std::uint64_t generation)
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    return sockets_[i].socket && sockets_[i].generation == generation;
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
    // A worker still running from an earlier connect is retired first: its loop
    // is stopped, so the join is quick, and its attempts are replaced by new ones.
    if (worker_) {
        io_.stop();
        stopWorkerThread();
    }
    io_.restart();
    retryTimer_.cancel();
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        connectCancelled_ = false;
        disconnecting_ = false;
        sockets_[0].port = controlPort;
        sockets_[0].connected = false;
    }
    startIO(0);
    if (timeLimit != 0) {
        connectTimer_.expires_from_now(boost::posix_time::milliseconds(timeLimit));
        connectTimer_.async_wait(boost::bind(&controller_base::onConnectTimeout, this, connectTimer_.expires_at(),
                                             boost::placeholders::_1));
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
    const std::uint64_t generation = ++slot.generation;
    lastAttempt_ = boost::chrono::steady_clock::now();
    slot.reading = false;
    const tcp::endpoint endpoint(deviceAddress_, slot.port);
    slot.socket->open(endpoint.protocol());
    // Set before connecting, so the window offered to the device fits it. Without it the
    // connection still works, only a flood's frames queue longer.
    boost::system::error_code ignored;
    slot.socket->set_option(tcp::socket::receive_buffer_size(socketReceiveBuffer), ignored);
    slot.socket->async_connect(endpoint, boost::bind(&controller_base::onSocketConnected, this, i, generation,
                                                     boost::placeholders::_1));
}

template <class Options>
void controller_base<Options>::scheduleConnect(unsigned i)
{
    boost::chrono::steady_clock::duration wait;
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        wait = lastAttempt_ + boost::chrono::milliseconds(attemptInterval) - boost::chrono::steady_clock::now();
    }
    if (wait <= boost::chrono::steady_clock::duration::zero()) {
        attemptConnect(i);
        return;
    }
    retryTimer_.expires_from_now(
        boost::posix_time::microseconds(boost::chrono::duration_cast<boost::chrono::microseconds>(wait).count()));
    retryTimer_.async_wait([this, i](const boost::system::error_code& error) {
        if (!error)
            attemptConnect(i);
    });
}

template <class Options>
void controller_base<Options>::attemptConnect(unsigned i)
{
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        if (disconnecting_)
            return;
    }
    try {
        startIO(i);
    } catch (const boost::system::system_error& e) {
        // A socket that cannot be opened now (out of descriptors) is one more failed attempt.
        BOOST_LOG_SEV(netLog_, logger::error) << boost::format("socket connection error: %s") % e.code().message();
        scheduleConnect(i);
    }
}

template <class Options>
void controller_base<Options>::onSocketConnected(unsigned i, std::uint64_t generation,
                                                 const boost::system::error_code& error)
{
    // An attempt of a socket that was replaced or closed on purpose is over.
    if (error == boost::asio::error::operation_aborted || !isCurrent(i, generation))
        return;
    if (error) {
        BOOST_LOG_SEV(netLog_, logger::error) << boost::format("socket connection error: %s") % error.message();
        scheduleConnect(i);
    } else {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        sockets_[i].connected = true;
        ++connections_;
        BOOST_LOG_SEV(netLog_, logger::info) << boost::format("socket %d connected") % i;
    }

    if (!connected()) {
        stateCond_.notify_all();
        return;
    }
    connectTimer_.cancel();
    startReading(0);
    BOOST_LOG_SEV(netLog_, logger::info) << "connected successfully";
    stateCond_.notify_all();
}

template <class Options>
void controller_base<Options>::onConnectTimeout(boost::posix_time::ptime armed, const boost::system::error_code& error)
{
    // A wait re-armed by a later connect is not this one's.
    if (error == boost::asio::error::operation_aborted || connectTimer_.expires_at() != armed)
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

// The worker thread alone touches a slot's buffer and starts its reads.
template <class Options>
void controller_base<Options>::startReading(unsigned i)
{
    socketSlot& slot = sockets_[i];
    slot.buffer.assign(receiveChunk, 0);
    slot.begin = slot.end = 0;
    readMore(i);
}

template <class Options>
void controller_base<Options>::readMore(unsigned i)
{
    socketSlot& slot = sockets_[i];
    // The part of a frame read so far moves to the front, so the rest of it fits behind.
    if (slot.begin != 0) {
        std::copy(slot.buffer.begin() + slot.begin, slot.buffer.begin() + slot.end, slot.buffer.begin());
        slot.end -= slot.begin;
        slot.begin = 0;
    }
    slot.reading = true;
    slot.socket->async_read_some(boost::asio::buffer(slot.buffer.data() + slot.end, slot.buffer.size() - slot.end),
                                 boost::bind(&controller_base::onReceived, this, i, slot.generation,
                                             boost::placeholders::_1, boost::placeholders::_2));
}

template <class Options>
void controller_base<Options>::onReceived(unsigned i, std::uint64_t generation, const boost::system::error_code& error,
                                          std::size_t bytes)
{
    if (error == boost::asio::error::operation_aborted || !isCurrent(i, generation))
        return;
    sockets_[i].reading = false;
    if (error) {
        onReadFailed(i);
        return;
    }
    sockets_[i].end += bytes;
    cutFrames(i);
}

// Each complete frame goes to onMessage in turn, then the next bytes are read.
template <class Options>
void controller_base<Options>::cutFrames(unsigned i)
{
    socketSlot& slot = sockets_[i];
    const unsigned header = getHeaderSize(socketType(i));
    // Asked once per read, not twice per frame: under a flood, opening a record that
    // the filter then drops costs more than all else a frame needs.
    traceFrames_ = static_cast<bool>(netLog_.open_record(boost::log::keywords::severity = logger::trace));
    while (slot.end - slot.begin >= header) {
        unsigned char* frame = slot.buffer.data() + slot.begin;
        unsigned n;
        try {
            n = getUnreadSize(socketType(i), frame, header);
        } catch (...) {
            // The faulty header is dropped; receiveThread logs it and goes on with the bytes after it.
            slot.begin += header;
            throw;
        }
        if (slot.end - slot.begin < header + n)
            break;
        // Taken before the frame is handled: a handler that throws does not see it again.
        slot.begin += header + n;
        onMessage(socketType(i), frame, header + n);
    }
    readMore(i);
}

template <class Options>
void controller_base<Options>::onReadFailed(unsigned i)
{
    // Read error or end of stream: the connection is gone; open it again unless stopping.
    onSocketDisconnected(i);
    bool stopping;
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        stopping = stop_;
    }
    if (!stopping)
        scheduleConnect(i);
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
            bool reading, stopping;
            std::uint64_t generation;
            {
                boost::lock_guard<boost::mutex> lock(stateMutex_);
                reading = sockets_[0].socket && sockets_[0].connected;
                stopping = stop_;
                generation = sockets_[0].generation;
            }
            if (reading) {
                // Frames received after the faulty one are handed on first, outside this catch.
                boost::asio::post(io_, [this, generation] {
                    if (isCurrent(0, generation) && !sockets_[0].reading)
                        cutFrames(0);
                });
            } else if (!stopping) {
                scheduleConnect(0);
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
void controller_base<Options>::stopIO()
{
    {
        boost::lock_guard<boost::mutex> lock(stateMutex_);
        disconnecting_ = true;
    }
    work_.reset();
    if (worker_) {
        io_.stop();
        stopWorkerThread();
    }
}

template <class Options>
void controller_base<Options>::stopReconnecting()
{
    boost::lock_guard<boost::mutex> lock(stateMutex_);
    stop_ = true;
}

template <class Options>
void controller_base<Options>::disconnect(bool softReset)
{
    if (softReset) {
        BOOST_LOG_SEV(netLog_, logger::info) << "soft reset";
        sendTCPControlCommand(1, boost::asio::const_buffer());
    }
    {
        boost::unique_lock<boost::mutex> lock(stateMutex_);
        stop_ = true;
        disconnecting_ = true;
        socketSlot& slot = sockets_[0];
        // Only a standing connection is half-closed and waited for; a socket still
        // connecting (or gone since the caller looked) has nothing to close.
        if (slot.socket && slot.connected) {
            slot.socket->shutdown(tcp::socket::shutdown_send);
            const auto deadline =
                boost::chrono::steady_clock::now() + boost::chrono::milliseconds(disconnectTimeLimit);
            while (slot.connected) {
                if (stateCond_.wait_until(lock, deadline) == boost::cv_status::timeout)
                    break;
            }
        }
    }
    // The loop is stopped whatever it still waits for (a device that never closes,
    // an attempt to a silent address), so the join is bounded.
    stopIO();
    io_.restart();
    retryTimer_.cancel();
    connectTimer_.cancel();
    onSocketDisconnected(0);
    BOOST_LOG_SEV(netLog_, logger::info) << "disconnected";
}

}  // namespace hw
}  // namespace zk

#endif
