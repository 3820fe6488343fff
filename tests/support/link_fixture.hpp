// Networked tests of the device link: the namespace guard of a test module, simulated boards
// shared by a suite, and a link made to a board the way the terminal makes one.
#pragma once

#include <type_traits>

#include <boost/test/unit_test.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include "qzsmc/device_options.hpp"
#include "support/common.hpp"
#include "support/log_capture.hpp"
#include "support/testnet.hpp"
#include "zkutility/controller_base.hpp"

namespace qz::test {

using boardLink = zk::hw::controller_base<qz::smc::device_options>;

// As BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly): no case of the module runs outside a test network.
struct testNetworkOnly { testNetworkOnly() { requireTestNetwork(); } };

inline const std::string boardId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
inline const char* const boardAddress = "10.77.1.10";  // on LAN 1, 10.77.1.1/24

inline zk::hwId hwIdOf(const std::string& text)
{
    zk::hwId id{};
    hwIdFromString(id, text);
    return id;
}

// A board on LAN 1 at boardAddress with boardId and these options.
inline std::unique_ptr<board> startBoard(std::vector<std::string> options = {})
{
    options.insert(options.begin(), {"--hwid", boardId});
    return std::make_unique<board>(1, boardAddress, options);
}

// Suite decorator: make() builds what the suite's cases share (boards they do not
// disturb) before the first case; it goes after the last.
template <class T, class Make>
boost::unit_test::decorator::fixture_t shared(std::unique_ptr<T>& p, Make make)
{
    return boost::unit_test::fixture([&p, make] { p = make(); }, [&p] { p.reset(); });
}

// Connects the way the terminal does: connect with a time limit, then wait on the
// link's state. The state lock is released before connected() takes it again.
template <class Link>
bool connectAndWait(Link& link, unsigned limit = 5000, unsigned wait = 5000)
{
    link.connect(limit);
    boost::unique_lock<boost::mutex> lock(link.getStateMutex());
    link.waitConnected(lock, wait);
    lock.unlock();
    return link.connected();
}

// A link to the board at boardAddress, by address and hwId, connected unless told
// otherwise, with the log from its construction on; the link goes first.
template <class Link = boardLink>
struct linkTo {
    explicit linkTo(bool connect = true)
    {
        if constexpr (std::is_constructible_v<Link, std::string, const char*, zk::hwId>)
            link = std::make_unique<Link>("QZ_SMC", boardAddress, hwIdOf(boardId));
        else
            link = std::make_unique<Link>("QZ_SMC", nullptr, boardAddress, 28670, hwIdOf(boardId));
        if (connect)
            BOOST_REQUIRE(connectAndWait(*link));
    }
    logCapture log;
    std::unique_ptr<Link> link;
};

}  // namespace qz::test
