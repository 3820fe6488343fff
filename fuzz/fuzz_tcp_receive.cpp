// The control channel driven as the worker's read chain and a sender drive it.
// The input is a list of steps, an op byte and its operands:
//   0 receive: from the following bytes take a 3-byte header; when frameUnreadSize
//     refuses it the header is dropped, else header and payload are one frame
//   1 start a command: two bytes, the code little-endian; the command lock is released at once
//   2 wait 0 ms for the confirmation; ask whether the device refused the command
//   3 copy the reply: one byte, the buffer size
//   4 take an unsolicited message, waiting 0 ms
//   5 clear the unsolicited messages
//   6 flood: the last frame again, (one byte + 1) * 4 times
// A model of the documented behaviour runs alongside and every result is checked against it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "zkutility/control_channel.hpp"
#include "zkutility/control_frame.hpp"

namespace {

using frame = std::vector<unsigned char>;

constexpr unsigned char untouched = 0xA5;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool isReplyTo(unsigned char received, unsigned char pending) { return received == pending; }

struct channelModel {
    int pending = 0;
    bool confirmed = false;
    bool refused = false;  // by the first reply that confirmed
    frame reply;
    std::deque<std::pair<unsigned char, frame>> queue;

    void start(int command)
    {
        pending = command;
        confirmed = false;
        refused = false;
        reply.clear();
    }

    void receive(const frame& f)
    {
        if (f[2] == 0xFF)
            return;  // a status code confirms nothing and is not queued
        const unsigned char code = f[2] & 0x7F;
        const frame payload(f.begin() + 3, f.end());
        if (code == (pending & 0xFF)) {
            if (!confirmed)
                refused = (f[2] & 0x80) != 0;
            confirmed = true;
            if (!payload.empty())
                reply = payload;
            return;
        }
        if (queue.size() == zk::hw::controlChannel::queueLimit)
            queue.pop_front();
        queue.emplace_back(code, payload);
    }
};

struct session {
    session(const std::uint8_t* data, std::size_t size) : in(data), end(data + size) {}

    const std::uint8_t* in;
    const std::uint8_t* end;
    zk::logger::channel_logger log{boost::log::keywords::channel = "net"};
    zk::hw::controlChannel channel{log};
    channelModel model;
    std::unique_lock<std::mutex> command;  // the last command's lock, released
    frame last;

    std::size_t left() const { return static_cast<std::size_t>(end - in); }
    bool next(unsigned char& b)
    {
        if (in == end)
            return false;
        b = *in++;
        return true;
    }

    void deliver(const frame& f)
    {
        channel.onFrame(f.data(), f.size(), isReplyTo, true);
        model.receive(f);
    }

    // False when the input ends inside the frame.
    bool receive()
    {
        if (left() < zk::hw::frameHeaderSize)
            return false;
        const std::uint8_t* header = in;
        in += zk::hw::frameHeaderSize;
        const unsigned length = header[0] | (header[1] << 8);
        const long unread = zk::hw::frameUnreadSize(header, zk::hw::frameHeaderSize);
        check(zk::hw::frameUnreadSize(header, 1) == -1);
        if (length < zk::hw::frameHeaderSize) {
            check(unread == -1);
            return true;
        }
        check(unread == static_cast<long>(length - zk::hw::frameHeaderSize));
        if (left() < static_cast<std::size_t>(unread))
            return false;
        in += unread;
        // Exactly the frame's bytes, so ASan reports any read past them.
        last.assign(header, in);
        deliver(last);
        return true;
    }

    void start(int code)
    {
        command = channel.startCommand(code);
        command.unlock();
        model.start(code);
    }

    void waitConfirmed()
    {
        if (!command.mutex())
            return;
        command.lock();
        const bool confirmed = channel.waitConfirmed(command, 0);
        command.unlock();
        check(confirmed == model.confirmed);
        check(channel.refused() == model.refused);
    }

    void copyReply(std::size_t size)
    {
        frame buffer(size, untouched);
        const std::size_t copied = channel.copyReply(boost::asio::buffer(buffer));
        check(copied == std::min(size, model.reply.size()));
        check(std::equal(buffer.begin(), buffer.begin() + copied, model.reply.begin()));
        check(std::all_of(buffer.begin() + copied, buffer.end(), [](unsigned char b) { return b == untouched; }));
    }

    void takeSpecial()
    {
        unsigned char code = untouched;
        frame payload{untouched};
        const bool taken = channel.waitSpecial(0, code, payload);
        check(taken == !model.queue.empty());
        if (!taken) {
            check(code == untouched && payload == frame{untouched});
            return;
        }
        check(code == model.queue.front().first && payload == model.queue.front().second);
        model.queue.pop_front();
    }

    void clearSpecial()
    {
        channel.clearSpecial();
        model.queue.clear();
    }

    void flood(unsigned times)
    {
        if (last.empty())
            return;
        for (unsigned i = 0; i < times; ++i)
            deliver(last);
    }
};

}  // namespace

// As in the terminal, records from info up are formatted (then dropped here) and
// trace records are filtered out: formatting each flooded frame's would dominate the run.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    using sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    auto s = boost::make_shared<sink>();
    s->set_filter(boost::log::expressions::attr<zk::logger::severity_level>("Severity") >= zk::logger::info);
    boost::log::core::get()->add_sink(s);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    session s(data, size);
    unsigned char op, a, b;
    while (s.next(op)) {
        switch (op % 7) {
        case 0:
            if (!s.receive())
                return 0;
            break;
        case 1:
            if (!s.next(a) || !s.next(b))
                return 0;
            s.start(a | (b << 8));
            break;
        case 2: s.waitConfirmed(); break;
        case 3:
            if (!s.next(a))
                return 0;
            s.copyReply(a);
            break;
        case 4: s.takeSpecial(); break;
        case 5: s.clearSpecial(); break;
        case 6:
            if (!s.next(a))
                return 0;
            s.flood((a + 1u) * 4);
            break;
        }
        const std::size_t queued = s.channel.queued();
        check(queued <= zk::hw::controlChannel::queueLimit);
        check(queued == s.model.queue.size());
    }
    return 0;
}
