#include "zkutility/control_channel.hpp"

#include <algorithm>
#include <chrono>

#include <boost/format.hpp>

#include "zkutility/control_frame.hpp"

namespace zk {
namespace hw {

std::unique_lock<std::mutex> controlChannel::startCommand(int command)
{
    std::unique_lock<std::mutex> lock(commandMutex_);
    pendingCommand_ = command;
    confirmed_ = false;
    refused_ = false;
    std::lock_guard<std::mutex> replyLock(replyMutex_);
    reply_.clear();
    return lock;
}

bool controlChannel::waitConfirmed(std::unique_lock<std::mutex>& lock, std::int64_t milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!confirmed_) {
        if (confirmCond_.wait_until(lock, deadline) == std::cv_status::timeout)
            return confirmed_;
    }
    return true;
}

bool controlChannel::refused()
{
    std::lock_guard<std::mutex> lock(commandMutex_);
    return refused_;
}

std::size_t controlChannel::copyReply(const boost::asio::mutable_buffer& reply)
{
    std::lock_guard<std::mutex> lock(replyMutex_);
    const std::size_t n = std::min(reply_.size(), reply.size());
    std::copy_n(reply_.data(), n, static_cast<unsigned char*>(reply.data()));
    return n;
}

void controlChannel::onFrame(const unsigned char* frame, std::size_t size,
                             const std::function<bool(unsigned char, unsigned char)>& isReplyTo, bool trace)
{
    const unsigned char code = frame[2] & ~frameErrorFlag;
    if (frame[2] & frameErrorFlag) {
        if (code == statusCodeCommand) {
            // A status code never confirms a command. Without its status byte there is nothing to name.
            if (size > frameHeaderSize)
                BOOST_LOG_SEV(log_, logger::warning)
                    << boost::format("status code: %s (0x%02x)") % statusName(frame[3]) % unsigned(frame[3]);
            else
                BOOST_LOG_SEV(log_, logger::warning) << "status code message without status byte";
            return;
        }
        BOOST_LOG_SEV(log_, logger::error) << boost::format("device request error, cmd: 0x%02x, data: %s")
                                                  % unsigned(code) % frameHex(frame, size, true);
    }
    if (confirm(code, (frame[2] & frameErrorFlag) != 0, frame, size, isReplyTo))
        return;
    if (trace)
        BOOST_LOG_SEV(log_, logger::trace) << boost::format("special command received, cmd: 0x%02x") % unsigned(code);
    enqueue(code, frame, size);
}

bool controlChannel::confirm(unsigned char code, bool refused, const unsigned char* frame, std::size_t size,
                             const std::function<bool(unsigned char, unsigned char)>& isReplyTo)
{
    {
        std::lock_guard<std::mutex> lock(commandMutex_);
        if (!isReplyTo(code, static_cast<unsigned char>(pendingCommand_ & 0xFF)))
            return false;
        if (!confirmed_)
            refused_ = refused;
        confirmed_ = true;
        if (size > frameHeaderSize) {
            std::lock_guard<std::mutex> replyLock(replyMutex_);
            reply_.assign(frame + frameHeaderSize, frame + size);
        }
    }
    confirmCond_.notify_all();
    return true;
}

void controlChannel::enqueue(unsigned char code, const unsigned char* frame, std::size_t size)
{
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(specialMutex_);
        if (specialCount_ == queueLimit) {
            specialMessages_.pop_front();
            --specialCount_;
            dropped = ++dropped_;
        }
        specialMessages_.push_back(specialMessage{std::vector<unsigned char>(frame + frameHeaderSize, frame + size), code});
        ++specialCount_;
    }
    specialCond_.notify_all();
    // One line per doubling keeps a flood from flooding the log as well.
    if (dropped != 0 && (dropped & (dropped - 1)) == 0)
        BOOST_LOG_SEV(log_, logger::warning)
            << boost::format("unsolicited message queue full (%u): %u oldest message(s) dropped") % queueLimit
                   % dropped;
}

bool controlChannel::waitSpecial(std::int64_t milliseconds, unsigned char& command, std::vector<unsigned char>& payload)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(specialMutex_);
    while (specialCount_ == 0) {
        if (specialCond_.wait_until(lock, deadline) == std::cv_status::timeout && specialCount_ == 0)
            return false;
    }
    command = specialMessages_.front().command;
    payload = std::move(specialMessages_.front().payload);
    specialMessages_.pop_front();
    --specialCount_;
    dropped_ = 0;
    return true;
}

void controlChannel::clearSpecial()
{
    std::lock_guard<std::mutex> lock(specialMutex_);
    specialMessages_.clear();
    specialCount_ = 0;
    dropped_ = 0;
}

std::size_t controlChannel::queued()
{
    std::lock_guard<std::mutex> lock(specialMutex_);
    return specialCount_;
}

}  // namespace hw
}  // namespace zk
