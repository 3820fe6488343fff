#ifndef QZ_BOARDSIM_UDP_SERVER_HPP
#define QZ_BOARDSIM_UDP_SERVER_HPP

#include "boardsim/board.hpp"
#include "boardsim/traffic_log.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <functional>

namespace qz {
namespace boardsim {

// The board's UDP port: discovery and network configuration, answered to whoever asked.
class udpServer {
public:
    static constexpr unsigned short port = 43282;

    // Binds 0.0.0.0:43282 at once, so a busy port fails at start.
    // afterRequest runs after each datagram the board took.
    udpServer(boost::asio::io_context& io, board& b, trafficLog& log,
              std::function<void()> afterRequest);

    void start();
    void stop();

private:
    void startReceive();
    void onReceive(const boost::system::error_code& ec, std::size_t size);
    void answer(const std::vector<bytes>& replies);

    board& board_;
    trafficLog& log_;
    std::function<void()> afterRequest_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint sender_;
    std::array<std::uint8_t, 2048> buffer_{};
};

}  // namespace boardsim
}  // namespace qz

#endif
