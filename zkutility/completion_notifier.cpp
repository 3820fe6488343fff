#include "zkutility/completion_notifier.hpp"

#include <boost/chrono.hpp>

namespace zk {

void completionNotifier::wait()
{
    boost::unique_lock<boost::mutex> lock(doneMutex_);
    while (!done_)
        doneCond_.wait(lock);
}

bool completionNotifier::waitFor(std::int64_t milliseconds)
{
    const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(milliseconds);
    boost::unique_lock<boost::mutex> lock(doneMutex_);
    while (!done_) {
        if (doneCond_.wait_until(lock, deadline) == boost::cv_status::timeout)
            return done_;
    }
    return true;
}

void completionNotifier::complete(int result)
{
    // The cancel flag is read under its own mutex, never while holding doneMutex_.
    if (result == completed && isCancelled())
        result = completedAfterCancel;
    {
        boost::lock_guard<boost::mutex> lock(doneMutex_);
        result_ = result;
        done_ = true;
    }
    doneCond_.notify_all();
}

void completionNotifier::cancel()
{
    {
        boost::lock_guard<boost::mutex> lock(cancelMutex_);
        cancelRequested_ = true;
    }
    cancelCond_.notify_all();
}

bool completionNotifier::isCancelled()
{
    boost::lock_guard<boost::mutex> lock(cancelMutex_);
    return cancelRequested_;
}

int completionNotifier::getResult()
{
    boost::lock_guard<boost::mutex> lock(doneMutex_);
    return result_;
}

}  // namespace zk
