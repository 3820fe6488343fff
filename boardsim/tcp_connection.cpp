#include "boardsim/tcp_connection.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include <chrono>

namespace qz {
namespace boardsim {

using boost::asio::ip::tcp;

namespace {

// Unsolicited frames per write while flooding: whole frames, so a reply slips in between bursts.
constexpr int floodBurstFrames = 64;

// An embedded TCP stack keeps a few segments unsent, not the megabytes a host's grows to; Linux
// doubles the figure. A reply written behind a flood waits for that much, as on the board.
constexpr int sendBufferBytes = 16 * 1024;

}  // namespace

tcpConnection::tcpConnection(tcp::socket socket, board& b, boardClock& clock, trafficLog& log,
                             const tcpFaults& faults, std::function<void()> afterRequest,
                             std::function<void()> restarted)
    : socket_(std::move(socket)),
      board_(b),
      clock_(clock),
      log_(log),
      faults_(faults),
      afterRequest_(std::move(afterRequest)),
      restarted_(std::move(restarted)),
      delayTimer_(socket_.get_executor()),
      unsolicitedTimer_(socket_.get_executor()),
      holdTimer_(socket_.get_executor())
{
}

void tcpConnection::start()
{
    // A board's replies and program-end messages are small frames that must not wait for the
    // terminal's delayed acknowledgement of the frame before them.
    boost::system::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.set_option(tcp::socket::send_buffer_size(sendBufferBytes), ignored);
    if (faults_.closeAfter && *faults_.closeAfter == 0) {
        close();
        return;
    }
    if (faults_.unsolicitedEveryMs > 0)
        startUnsolicitedTimer();
    if (faults_.unsolicitedFlood)
        startWrite();
    processNext();
}

// Frames already received are handled before more bytes are read, one at a time.
void tcpConnection::processNext()
{
    if (closed_)
        return;
    std::optional<bytes> frame;
    try {
        frame = reader_.next();
    } catch (const frameReader::errorBadLength& e) {
        board_.report(std::string("tcp: ") + e.what() + "; closing the connection");
        close();
        return;
    }
    if (frame)
        handle(*frame);
    else
        startRead();
}

void tcpConnection::startRead()
{
    socket_.async_read_some(
        boost::asio::buffer(readBuffer_),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t size) {
            self->onRead(ec, size);
        });
}

void tcpConnection::onRead(const boost::system::error_code& ec, std::size_t size)
{
    if (closed_)
        return;
    if (ec == boost::asio::error::eof && faults_.holdOpenMs) {
        // A board that is slow to notice the terminal went away.
        log_.line("tcp eof");
        holdTimer_.expires_after(std::chrono::milliseconds(faults_.holdOpenMs));
        holdTimer_.async_wait([self = shared_from_this()](const boost::system::error_code&) { self->close(); });
        return;
    }
    if (ec == boost::asio::error::eof) {
        // Every request read so far has been answered into the outbox: send that first.
        closeWhenSent();
        return;
    }
    if (ec) {
        board_.report("tcp read: " + ec.message());
        close();
        return;
    }
    reader_.feed(readBuffer_.data(), size);
    processNext();
}

void tcpConnection::handle(const bytes& frame)
{
    log_.line("tcp " + toHex(frame));
    ++framesReceived_;
    bool last = faults_.closeAfter && framesReceived_ >= *faults_.closeAfter;
    // The frame meets the board as it is now: a program may have moved, or ended, meanwhile.
    clock_.catchUp();
    const unsigned restarts = board_.restarts();
    std::vector<bytes> replies = board_.onFrame(frame);
    clock_.follow();
    if (board_.takeCut()) {
        close();
        return;
    }
    // The device restarts: the reply goes out, then the connection ends, and only then may the
    // interface move away under it. What it listens with follows at once: a connection attempt
    // made while it restarts must not be taken by the firmware that is gone.
    if (board_.restarts() != restarts) {
        last = true;
        restarted_();
    } else {
        afterRequest_();
    }
    if (faults_.delayMs == 0) {
        deliver(replies, last);
        return;
    }
    delayTimer_.expires_after(std::chrono::milliseconds(faults_.delayMs));
    delayTimer_.async_wait(
        [self = shared_from_this(), replies, last](const boost::system::error_code& ec) {
            if (!ec)
                self->deliver(replies, last);
        });
}

void tcpConnection::deliver(const std::vector<bytes>& replies, bool last)
{
    for (const bytes& reply : replies)
        send(reply);
    if (last)
        closeWhenSent();
    else
        processNext();
}

void tcpConnection::closeWhenSent()
{
    closeWhenSent_ = true;
    if (!writing_)
        close();
}

void tcpConnection::send(bytes data)
{
    if (closed_)
        return;
    outbox_.push_back(std::move(data));
    if (!writing_)
        startWrite();
}

void tcpConnection::startWrite()
{
    // A flooding board tops the outbox up whenever the socket has taken all of it.
    if (outbox_.empty() && faults_.unsolicitedFlood && !closeWhenSent_) {
        bytes burst;
        for (int i = 0; i < floodBurstFrames; ++i) {
            bytes frame = board_.unsolicitedFrame();
            burst.insert(burst.end(), frame.begin(), frame.end());
        }
        outbox_.push_back(std::move(burst));
    }
    if (outbox_.empty()) {
        if (closeWhenSent_)
            close();
        return;
    }
    writing_ = true;
    boost::asio::async_write(
        socket_, boost::asio::buffer(outbox_.front()),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            self->onWrite(ec);
        });
}

void tcpConnection::onWrite(const boost::system::error_code& ec)
{
    writing_ = false;
    // Closed meanwhile (a read error, a replacing connection): the write may still have
    // completed, but nothing more goes out.
    if (closed_)
        return;
    if (ec) {
        board_.report("tcp write: " + ec.message());
        close();
        return;
    }
    outbox_.pop_front();
    startWrite();
}

void tcpConnection::startUnsolicitedTimer()
{
    unsolicitedTimer_.expires_after(std::chrono::milliseconds(faults_.unsolicitedEveryMs));
    unsolicitedTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        self->onUnsolicitedTimer(ec);
    });
}

void tcpConnection::onUnsolicitedTimer(const boost::system::error_code& ec)
{
    if (ec || closed_)
        return;
    send(board_.unsolicitedFrame());
    startUnsolicitedTimer();
}

void tcpConnection::close()
{
    if (closed_)
        return;
    closed_ = true;
    delayTimer_.cancel();
    unsolicitedTimer_.cancel();
    holdTimer_.cancel();
    boost::system::error_code ignored;  // the peer may have gone already
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    log_.line("tcp close");
    board_.connectionEnded();
    afterRequest_();
}

}  // namespace boardsim
}  // namespace qz
