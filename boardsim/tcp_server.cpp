#include "boardsim/tcp_server.hpp"

namespace qz {
namespace boardsim {

using boost::asio::ip::tcp;

tcpServer::tcpServer(boost::asio::io_context& io, board& b, boardClock& clock, trafficLog& log,
                     const tcpFaults& faults, std::function<void()> afterRequest)
    : board_(b), clock_(clock), log_(log), faults_(faults), afterRequest_(std::move(afterRequest)),
      acceptor_(io)
{
    if (!faults_.refuse && board_.acceptsConnections())
        listen();
}

void tcpServer::listen()
{
    tcp::endpoint endpoint(tcp::v4(), board_.controlPort());
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    listening_ = endpoint.port();
}

void tcpServer::followBoard()
{
    if (stopping_ || faults_.refuse)
        return;
    const bool wanted = board_.acceptsConnections();
    if (wanted == acceptor_.is_open() && (!wanted || listening_ == board_.controlPort()))
        return;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (!wanted)
        return;
    try {
        listen();
    } catch (const std::exception& e) {
        board_.report(std::string("tcp listen: ") + e.what());
        acceptor_.close(ignored);
        return;
    }
    startAccept();
}

void tcpServer::start()
{
    if (acceptor_.is_open())
        startAccept();
}

void tcpServer::stop()
{
    stopping_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (auto connection = connection_.lock())
        connection->close();
}

void tcpServer::programEnded()
{
    if (faults_.programEndSilent)
        return;
    if (auto connection = connection_.lock())
        connection->send(board_.unsolicitedFrame());
}

void tcpServer::startAccept()
{
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        onAccept(ec, std::move(socket));
    });
}

void tcpServer::onAccept(const boost::system::error_code& ec, tcp::socket socket)
{
    // Closed by stop or by a boot loader that takes no connections yet; followBoard accepts anew.
    if (stopping_ || ec == boost::asio::error::operation_aborted)
        return;
    if (ec) {
        board_.report("tcp accept: " + ec.message());
        startAccept();
        return;
    }
    if (auto previous = connection_.lock())
        previous->close();
    log_.line("tcp accept");
    auto connection = std::make_shared<tcpConnection>(std::move(socket), board_, clock_, log_, faults_,
                                                      [this] {
                                                          afterRequest_();
                                                          followBoard();
                                                      },
                                                      [this] { followBoard(); });
    connection_ = connection;
    connection->start();
    if (acceptor_.is_open())
        startAccept();
}

}  // namespace boardsim
}  // namespace qz
