#ifndef ZK_HW_CONTROLLER_BASE_HPP
#define ZK_HW_CONTROLLER_BASE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/chrono.hpp>
#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "zkutility/control_channel.hpp"
#include "zkutility/logger.hpp"
#include "zkutility/utility.hpp"

namespace zk {
namespace hw {

struct tagSizeInfo;
using sizeInfo = boost::error_info<tagSizeInfo, unsigned int>;
struct tagDevInfo;
using devInfo = boost::error_info<tagDevInfo, boost::system::error_code>;

// The device link: finds a device over UDP, reads and sets its network
// configuration, and keeps one TCP control connection served by a worker thread.
// Options gives the device kind: its network configuration record and socket types.
template <class Options>
class controller_base {
public:
    struct deviceError : virtual boost::exception, virtual std::exception {};
    struct errorDeviceNotFound : deviceError {};
    struct errorSocketNotInitialized : deviceError {};
    struct errorTCPCommandConfirmationTimeout : deviceError {};
    struct errorWrongMessageHeader : deviceError {};

    using networkConfiguration = typename Options::networkConfiguration;
    using socketType = typename Options::socketType;
    using udp = boost::asio::ip::udp;
    using tcp = boost::asio::ip::tcp;

    // One discovery reply.
    struct _devInfo {
        std::array<unsigned char, 20> hwId;
        std::string revision;
        udp::endpoint endpoint;
    };

    static constexpr unsigned short deviceUdpPort = 43282;
    static constexpr unsigned short localUdpPort = 28670;
    static constexpr unsigned short controlPort = 10000;
    static constexpr unsigned int searchTimeLimit = 1000;        // ms
    static constexpr unsigned int udpReplyTimeLimit = 1000;      // ms
    static constexpr unsigned int confirmationTimeLimit = 1000;  // ms
    static constexpr unsigned int disconnectTimeLimit = 3000;    // ms

    // name: the device id discovery asks for. Without deviceAddress the device is
    // found by discovery on every local interface; hwId all zero takes the first one.
    controller_base(const std::string& name, const char* localAddress, const char* deviceAddress,
                    unsigned short localUdpPort, const std::array<unsigned char, 20>& hwId);
    virtual ~controller_base();

    controller_base(const controller_base&) = delete;
    controller_base& operator=(const controller_base&) = delete;

    // --- UDP: each exchange runs its own event loop on the calling thread.
    static std::deque<_devInfo> search(const std::string& deviceId, const udp::endpoint& local,
                                       unsigned short port, unsigned int timeLimit);
    std::string getRevisionString();
    static bool getNetworkConfiguration(const std::array<unsigned char, 20>& hwId, networkConfiguration* config,
                                        const udp::endpoint& local, const udp::endpoint& device);
    // One answer to UDP command 4; complete as getNetworkConfiguration would have it: the whole
    // record without the error flag.
    struct configAnswer {
        udp::endpoint endpoint;
        networkConfiguration config;
        bool complete;
    };
    // Every answer to UDP command 4 within timeLimit ms, in arrival order; lasts its whole time limit,
    // so that several devices answering for one hwId are all seen. A non-zero hwId takes only its
    // own device's answers.
    static std::vector<configAnswer> collectNetworkConfigurations(const std::array<unsigned char, 20>& hwId,
                                                                  const udp::endpoint& local,
                                                                  const udp::endpoint& device,
                                                                  unsigned int timeLimit);
    static void setNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                        const networkConfiguration* config, const udp::endpoint& local,
                                        const udp::endpoint& device);
    static void setDefaultNetworkConfiguration(const std::array<unsigned char, 20>& hwId,
                                               const udp::endpoint& local, const udp::endpoint& device);
    // Returns the number of payload bytes copied into reply and the reply's error flag.
    static std::pair<std::uint32_t, bool> sendUDPCommand(const std::array<unsigned char, 20>& hwId,
                                                         unsigned char command,
                                                         const boost::asio::const_buffer& payload,
                                                         const boost::asio::mutable_buffer& reply,
                                                         const udp::endpoint& local, const udp::endpoint& target);
    static void sendUDPMessage(udp::socket& socket, unsigned char command, const boost::asio::const_buffer& payload,
                               const udp::endpoint& target, const std::array<unsigned char, 20>& hwId);

    // --- TCP control channel
    virtual unsigned getHeaderSize(socketType type);
    virtual unsigned getUnreadSize(socketType type, const unsigned char* data, unsigned size);
    virtual bool isReplyTo(unsigned char received, unsigned char pending);
    virtual void onMessage(socketType type, const unsigned char* frame, unsigned size);

    // Sends one frame and waits up to 1000 ms for the device's confirmation.
    void sendTCPControlCommand(int command, const boost::asio::const_buffer& payload);
    // Returns the number of reply payload bytes copied, so a short reply can be told apart.
    std::size_t sendTCPControlCommandWithReply(int command, const boost::asio::const_buffer& payload,
                                               const boost::asio::mutable_buffer& reply);
    void queryCommand(int command, const boost::asio::mutable_buffer& reply);
    // Whether the device refused the command sent last: the reply that confirmed it carried the
    // error flag. The sender asks before it lets another command go out.
    bool commandRefused();
    std::array<unsigned char, 20> readHardwareId();
    void readNetworkConfig(networkConfiguration* config);
    void restartToBootLoader();
    // Takes the oldest unsolicited message, waiting up to the limit.
    bool waitSpecialCommand(std::int64_t milliseconds, unsigned char& command, std::vector<unsigned char>& payload);
    void clearSpecialCommands();

    // --- connection
    // Starts the worker thread and the connection; returns at once. 0 = no time limit.
    virtual void connect(unsigned timeLimit);
    virtual void disconnect(bool softReset);
    // After-connect initialisation; the board's controller overrides it.
    virtual void init() {}

    bool connected();
    // How often the link has connected: a count that moved on means the device was reconnected
    // meanwhile, and may have restarted.
    std::uint64_t connections();
    // With the caller's lock on getStateMutex(): true once every slot is
    // connected or the connect time limit cancelled the attempt.
    bool waitConnected(boost::unique_lock<boost::mutex>& lock, std::int64_t milliseconds);
    boost::mutex& getStateMutex() { return stateMutex_; }

    const boost::asio::ip::address& localAddress() const { return localAddress_; }
    const boost::asio::ip::address& deviceAddress() const { return deviceAddress_; }
    const std::array<unsigned char, 20>& hardwareId() const { return hwId_; }

protected:
    struct socketSlot {
        std::unique_ptr<tcp::socket> socket;
        unsigned short port = controlPort;
        bool connected = false;
        // Worker thread alone: received bytes, [begin, end) not yet handed on as frames,
        // and whether a read into the rest is pending.
        std::vector<unsigned char> buffer;
        std::size_t begin = 0, end = 0;
        bool reading = false;
        // Counts the sockets this slot has had; a completion that carries an
        // older count belongs to a socket that is gone and is ignored.
        std::uint64_t generation = 0;
    };

    static constexpr unsigned socketCount = Options::socketCount;
    static_assert(socketCount == 1, "one retry timer serves the only slot");
    // Connection attempts are at least this far apart, so a refusing or
    // resetting device cannot make the worker spin.
    static constexpr unsigned attemptInterval = 100;  // ms
    // One read takes up to this much: a flood of small frames costs one read per
    // buffer-full, not one per frame. It holds the largest frame the 16-bit length allows.
    static constexpr std::size_t receiveChunk = 65536;
    // The socket's own receive buffer (the kernel doubles it). Left to grow, it holds
    // megabytes of a flooding device's frames, and a reply waits behind all of them.
    static constexpr int socketReceiveBuffer = 64 * 1024;

    // Stops and joins the worker thread. A derived destructor calls it first,
    // so no completion handler runs virtual calls on a half-destroyed object.
    void stopIO();
    // From now on a lost connection is not opened again, as after disconnect: for a device that
    // is about to drop the connection and leave its address.
    void stopReconnecting();

    void startIO(unsigned i);
    void scheduleConnect(unsigned i);
    void attemptConnect(unsigned i);
    void onConnectTimeout(boost::posix_time::ptime armed, const boost::system::error_code& error);
    void onSocketConnected(unsigned i, std::uint64_t generation, const boost::system::error_code& error);
    void startReading(unsigned i);
    void readMore(unsigned i);
    void onReceived(unsigned i, std::uint64_t generation, const boost::system::error_code& error, std::size_t bytes);
    void cutFrames(unsigned i);
    void onReadFailed(unsigned i);
    void onSocketDisconnected(unsigned i);
    void receiveThread();
    void startWorkerThread();
    void stopWorkerThread();
    bool allConnected() const;
    bool isCurrent(unsigned i, std::uint64_t generation);
    unsigned short remotePort(unsigned i);

    logger::channel_logger netLog_;
    // Settled by the constructor. Constant afterwards but for deviceAddress_: the boot controller
    // moves it along with its device, on the caller's thread and under stateMutex_, under which
    // the worker reads it (startIO).
    boost::asio::ip::address localAddress_;
    boost::asio::ip::address deviceAddress_;
    std::array<unsigned char, 20> hwId_;

    boost::asio::io_context io_;
    // Owned by the caller's thread (connect, disconnect, destructor).
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::unique_ptr<boost::thread> worker_;
    // Used by the worker thread alone while it runs.
    boost::asio::deadline_timer connectTimer_;
    boost::asio::deadline_timer retryTimer_;

    // stateMutex_ guards the socket table (sockets, connected flags, generations)
    // and the flags below; never held while a command mutex is taken.
    boost::mutex stateMutex_;
    boost::condition_variable stateCond_;
    bool stop_ = false;              // a lost connection is not opened again
    bool connectCancelled_ = false;  // the connect time limit passed
    bool disconnecting_ = false;     // no new attempt while disconnect ends the connection
    std::uint64_t connections_ = 0;  // successful connects, reconnections included
    boost::chrono::steady_clock::time_point lastAttempt_;
    std::array<socketSlot, Options::socketCount> sockets_;

    // Worker thread alone: whether trace records of the "net" channel are kept, asked
    // before each read's frames are handed to onMessage.
    bool traceFrames_ = true;

    // Command mutex, confirmation, reply payload and the unsolicited queue.
    controlChannel channel_;
};

}  // namespace hw
}  // namespace zk

#endif
