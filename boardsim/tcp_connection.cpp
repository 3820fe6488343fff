#include "boardsim/tcp_connection.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <iostream>

namespace qz {
namespace boardsim {

using boost::asio::ip::tcp;

tcpConnection::tcpConnection(tcp::socket socket, board& b, trafficLog& log,
                             const tcpFaults& faults, std::function<void()> onClosed)
    : socket_(std::move(socket)),
      board_(b),
      log_(log),
      faults_(faults),
      onClosed_(std::move(onClosed)),
      delayTimer_(socket_.get_executor()),
      unsolicitedTimer_(socket_.get_executor()),
      holdTimer_(socket_.get_executor())
{
}

void tcpConnection::start()
{
    if (faults_.closeAfter && *faults_.closeAfter == 0) {
        close();
        return;
    }
    if (faults_.unsolicitedEveryMs > 0)
        startUnsolicitedTimer();
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
        std::cerr << "qzsmc-board: tcp: " << e.what() << "; closing the connection" << std::endl;
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
    if (ec == boost::asio::error::eof && faults_.holdOpenMs) {
        // A board that is slow to notice the terminal went away.
        log_.line("tcp eof");
        holdTimer_.expires_after(std::chrono::milliseconds(faults_.holdOpenMs));
        holdTimer_.async_wait([self = shared_from_this()](const boost::system::error_code&) { self->close(); });
        return;
    }
    if (ec) {
        if (ec != boost::asio::error::eof && ec != boost::asio::error::operation_aborted)
            std::cerr << "qzsmc-board: tcp read: " << ec.message() << std::endl;
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
    std::vector<bytes> replies = board_.onFrame(frame);
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
    if (!last) {
        processNext();
        return;
    }
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
    if (ec) {
        if (ec != boost::asio::error::operation_aborted)
            std::cerr << "qzsmc-board: tcp write: " << ec.message() << std::endl;
        close();
        return;
    }
    outbox_.pop_front();
    if (!outbox_.empty())
        startWrite();
    else if (closeWhenSent_)
        close();
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
    boost::system::error_code ignored;  // the peer may have gone already
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    log_.line("tcp close");
    onClosed_();
}

}  // namespace boardsim
}  // namespace qz
