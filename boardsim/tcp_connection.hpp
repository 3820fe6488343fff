#ifndef QZ_BOARDSIM_TCP_CONNECTION_HPP
#define QZ_BOARDSIM_TCP_CONNECTION_HPP

#include "boardsim/board.hpp"
#include "boardsim/board_clock.hpp"
#include "boardsim/traffic_log.hpp"
#include "boardsim/wire.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <deque>
#include <functional>
#include <memory>

namespace qz {
namespace boardsim {

// One control connection: frames in, each handled in turn, replies out in order. Everything
// runs on the server's one thread.
class tcpConnection : public std::enable_shared_from_this<tcpConnection> {
public:
    // afterRequest runs after each frame the board took, and when the connection has ended;
    // restarted, at once when a frame restarted the device, which takes that frame's place.
    tcpConnection(boost::asio::ip::tcp::socket socket, board& b, boardClock& clock, trafficLog& log,
                  const tcpFaults& faults, std::function<void()> afterRequest, std::function<void()> restarted);

    void start();
    void close();
    // Queued behind the replies already due.
    void send(bytes data);

private:
    void processNext();
    void startRead();
    void onRead(const boost::system::error_code& ec, std::size_t size);
    void handle(const bytes& frame);
    void deliver(const std::vector<bytes>& replies, bool last);
    void closeWhenSent();
    void startWrite();
    void onWrite(const boost::system::error_code& ec);
    void startUnsolicitedTimer();
    void onUnsolicitedTimer(const boost::system::error_code& ec);

    boost::asio::ip::tcp::socket socket_;
    board& board_;
    boardClock& clock_;
    trafficLog& log_;
    const tcpFaults& faults_;
    std::function<void()> afterRequest_;
    std::function<void()> restarted_;
    boost::asio::steady_timer delayTimer_;
    boost::asio::steady_timer unsolicitedTimer_;
    boost::asio::steady_timer holdTimer_;
    frameReader reader_;
    std::array<std::uint8_t, 4096> readBuffer_{};
    std::deque<bytes> outbox_;  // the front one is being written while writing_
    bool writing_ = false;
    bool closeWhenSent_ = false;
    bool closed_ = false;
    unsigned framesReceived_ = 0;
};

}  // namespace boardsim
}  // namespace qz

#endif
