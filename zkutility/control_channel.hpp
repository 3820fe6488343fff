// Reply matching of the control channel: at most one command waits for its
// confirmation; frames that confirm nothing queue as unsolicited messages.
#ifndef ZK_HW_CONTROL_CHANNEL_HPP
#define ZK_HW_CONTROL_CHANNEL_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <vector>

#include <condition_variable>
#include <mutex>

#include <boost/asio/buffer.hpp>

#include "zkutility/logger.hpp"

namespace zk {
namespace hw {

class controlChannel {
public:
    // A flooding device must not exhaust memory: past this many waiting
    // messages the oldest are dropped.
    static constexpr std::size_t queueLimit = 1024;

    explicit controlChannel(logger::channel_logger& log) : log_(log) {}

    // Sender side. Locks the command mutex for the whole command, makes command
    // the pending one and forgets the previous confirmation and reply, so a reply
    // without payload never hands out an earlier command's bytes.
    std::unique_lock<std::mutex> startCommand(int command);
    // Waits, with the command mutex released meanwhile, until the pending command is confirmed.
    bool waitConfirmed(std::unique_lock<std::mutex>& lock, std::int64_t milliseconds);
    // Whether the reply that confirmed the last command carried the error flag: the device
    // refused it. Only its sender can tell whose command that was, and only as long as it
    // keeps others from sending.
    bool refused();
    // Copies the stored reply payload to the start of reply; returns the bytes copied.
    std::size_t copyReply(const boost::asio::mutable_buffer& reply);

    // Worker side: one complete frame, header included. trace: false when the caller
    // knows trace records are dropped, so none is opened.
    void onFrame(const unsigned char* frame, std::size_t size,
                 const std::function<bool(unsigned char, unsigned char)>& isReplyTo, bool trace);

    // The oldest unsolicited message, waiting up to the limit for one.
    bool waitSpecial(std::int64_t milliseconds, unsigned char& command, std::vector<unsigned char>& payload);
    void clearSpecial();
    std::size_t queued();

private:
    struct specialMessage {
        std::vector<unsigned char> payload;
        unsigned char command;
    };

    bool confirm(unsigned char code, bool refused, const unsigned char* frame, std::size_t size,
                 const std::function<bool(unsigned char, unsigned char)>& isReplyTo);
    void enqueue(unsigned char code, const unsigned char* frame, std::size_t size);

    logger::channel_logger& log_;

    // Held by a sender for its whole command (released while it waits); the
    // worker takes it only to confirm. Guards confirmed_, refused_ and pendingCommand_.
    // Standard conditions: Boost's interruptible ones take an internal lock on
    // wake-up that costs the sender an extra context switch per command, and
    // nothing interrupts a sender.
    std::mutex commandMutex_;
    bool confirmed_ = false;
    bool refused_ = false;  // by the reply that confirmed, not by a later one of the same code
    int pendingCommand_ = 0;
    std::condition_variable confirmCond_;

    // Taken after commandMutex_ by the worker, alone by readers.
    std::mutex replyMutex_;
    std::vector<unsigned char> reply_;

    // Guards the queue and the drop count; taken alone.
    std::mutex specialMutex_;
    std::condition_variable specialCond_;
    std::list<specialMessage> specialMessages_;
    std::size_t specialCount_ = 0;
    std::size_t dropped_ = 0;  // since the queue was last below its limit
};

}  // namespace hw
}  // namespace zk

#endif
