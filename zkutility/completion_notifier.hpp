#ifndef ZK_COMPLETION_NOTIFIER_HPP
#define ZK_COMPLETION_NOTIFIER_HPP

#include <cstdint>

#include <boost/enable_shared_from_this.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

namespace zk {

// Handle of one long device activity: the watcher completes it, callers wait on
// it, and a caller that gives up asks the watcher to stop through cancel().
class completionNotifier : public boost::enable_shared_from_this<completionNotifier> {
public:
    enum result { none = 0, completed = 1, completedAfterCancel = 2, terminated = 3 };

    void wait();
    bool waitFor(std::int64_t milliseconds);
    // A 1 after a cancel request is stored as 2.
    void complete(int result);
    void cancel();
    bool isCancelled();
    int getResult();

private:
    boost::mutex doneMutex_;
    boost::mutex cancelMutex_;
    bool done_ = false;
    bool cancelRequested_ = false;
    int result_ = 0;
    boost::condition_variable doneCond_;
    boost::condition_variable cancelCond_;
};

}  // namespace zk

#endif
