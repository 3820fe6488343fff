#include "boardsim/udp_server.hpp"

#include <boost/asio/buffer.hpp>

#include <chrono>
#include <thread>

namespace qz {
namespace boardsim {

using boost::asio::ip::udp;

udpServer::udpServer(boost::asio::io_context& io, board& b, trafficLog& log,
                     std::function<void()> afterRequest)
    : board_(b), log_(log), afterRequest_(std::move(afterRequest)), socket_(io, udp::endpoint(udp::v4(), port))
{
}

void udpServer::start()
{
    startReceive();
}

void udpServer::stop()
{
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void udpServer::startReceive()
{
    socket_.async_receive_from(boost::asio::buffer(buffer_), sender_,
                               [this](const boost::system::error_code& ec, std::size_t size) {
                                   onReceive(ec, size);
                               });
}

void udpServer::onReceive(const boost::system::error_code& ec, std::size_t size)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec) {
        board_.report("udp receive: " + ec.message());
        startReceive();
        return;
    }
    bytes datagram(buffer_.begin(), buffer_.begin() + size);
    log_.line("udp " + toHex(datagram));
    answer(board_.onDatagram(datagram));
    afterRequest_();
    startReceive();
}

// Datagrams are small; a blocking send keeps each answer ahead of any move that follows it.
void udpServer::answer(const std::vector<bytes>& replies)
{
    // A late answer, to order the replies of several boards; the board does nothing meanwhile.
    if (!replies.empty() && board_.injectedFaults().udp.delayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(board_.injectedFaults().udp.delayMs));
    for (const bytes& reply : replies) {
        boost::system::error_code ec;
        socket_.send_to(boost::asio::buffer(reply), sender_, 0, ec);
        if (ec)
            board_.report("udp answer to " + sender_.address().to_string() + ":" +
                          std::to_string(sender_.port()) + ": " + ec.message());
    }
}

}  // namespace boardsim
}  // namespace qz
