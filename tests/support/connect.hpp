// Connecting a device link the way the terminal does: connect with a time
// limit, then wait on the link's state for the connection or the cancel.
#pragma once

#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

namespace qz::test {

// Returns whether the link is connected afterwards. The state lock is released
// before connected() takes it again.
template <class Link>
bool connectAndWait(Link& link, unsigned limit, unsigned wait)
{
    link.connect(limit);
    {
        boost::unique_lock<boost::mutex> lock(link.getStateMutex());
        link.waitConnected(lock, wait);
    }
    return link.connected();
}

template <class Link>
bool connectAndWait(Link& link, unsigned limit = 5000)
{
    return connectAndWait(link, limit, limit);
}

}  // namespace qz::test
