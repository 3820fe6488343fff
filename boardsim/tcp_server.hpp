#ifndef QZ_BOARDSIM_TCP_SERVER_HPP
#define QZ_BOARDSIM_TCP_SERVER_HPP

#include "boardsim/board.hpp"
#include "boardsim/board_clock.hpp"
#include "boardsim/tcp_connection.hpp"
#include "boardsim/traffic_log.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <memory>

namespace qz {
namespace boardsim {

// The control port. Like the board, it serves one connection at a time: a newly accepted one
// closes and replaces the one before. A terminal that lost its connection without a word (the
// board moved to another address under it) must not find the board deaf to its next one.
class tcpServer {
public:
    // Listens on 0.0.0.0 at the board's control port at once (unless connections are to be
    // refused or the board does not take any yet), so a busy port fails at start. afterRequest
    // runs after each frame the board took and after each connection's end; the listener follows
    // the board then too.
    tcpServer(boost::asio::io_context& io, board& b, boardClock& clock, trafficLog& log,
              const tcpFaults& faults, std::function<void()> afterRequest);

    void start();
    void stop();
    // Announces the end of a program on the current connection, if there is one.
    void programEnded();
    // Listens while the board takes connections, refuses them (no listener) while it does not:
    // a boot loader that has not been woken yet. The listener moves when the boot loader's record
    // names another control port; a standing connection stays.
    void followBoard();

private:
    void listen();
    void startAccept();
    void onAccept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);

    board& board_;
    boardClock& clock_;
    trafficLog& log_;
    const tcpFaults& faults_;
    std::function<void()> afterRequest_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short listening_ = 0;  // the port the open acceptor is bound to
    std::weak_ptr<tcpConnection> connection_;  // kept alive by its own pending operations
    bool stopping_ = false;
};

}  // namespace boardsim
}  // namespace qz

#endif
