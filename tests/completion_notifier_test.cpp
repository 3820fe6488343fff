// Completion notifier: results after cancel requests, timed and untimed waits,
// and which events release blocked waiters.
#define BOOST_TEST_MODULE completion_notifier
#include <boost/test/unit_test.hpp>

#include <atomic>
#include <chrono>

#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "zkutility/completion_notifier.hpp"

namespace {

using notifierPtr = boost::shared_ptr<zk::completionNotifier>;

long long msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A thread blocked in wait(); returned says when it came back.
struct waiter {
    explicit waiter(const notifierPtr& n) : n(n), thread([this] {
        this->n->wait();
        returned = true;
    })
    {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(50));
    }

    ~waiter()
    {
        if (thread.joinable())
            joinWithin(0);
    }

    // A waiter still blocked after the limit is released by a further completion so
    // the test ends; the miss is the caller's to report.
    bool joinWithin(int ms)
    {
        if (thread.try_join_for(boost::chrono::milliseconds(ms)))
            return true;
        n->complete(zk::completionNotifier::terminated);
        thread.join();
        return false;
    }

    notifierPtr n;
    std::atomic<bool> returned{false};
    boost::thread thread;
};

}  // namespace

BOOST_AUTO_TEST_SUITE(completion_notifier, *boost::unit_test::timeout(60))

BOOST_AUTO_TEST_CASE(result_after_cancel_request)
{
    struct Case {
        bool cancel;
        int given, stored;
    };
    for (const Case& c : {Case{false, 1, 1}, Case{true, 1, 2}, Case{true, 3, 3}}) {
        auto n = boost::make_shared<zk::completionNotifier>();
        if (c.cancel)
            n->cancel();
        BOOST_TEST(!n->waitFor(0), "cancel alone ended the notifier");
        n->complete(c.given);
        BOOST_TEST(n->getResult() == c.stored, "cancel " << c.cancel << ", complete(" << c.given << ")");
        BOOST_TEST(n->waitFor(0), "complete did not end the notifier");
    }
}

BOOST_AUTO_TEST_CASE(zero_limit_does_not_block_and_timed_out_wait_leaves_it_running)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    auto start = std::chrono::steady_clock::now();
    BOOST_TEST(!n->waitFor(0));
    BOOST_TEST(msSince(start) < 50);

    start = std::chrono::steady_clock::now();
    BOOST_TEST(!n->waitFor(120));
    BOOST_TEST(msSince(start) >= 115);
    BOOST_TEST(!n->waitFor(0), "a timed-out wait ended the notifier");

    n->complete(1);
    start = std::chrono::steady_clock::now();
    BOOST_TEST(n->waitFor(0));
    BOOST_TEST(msSince(start) < 50);
}

BOOST_AUTO_TEST_CASE(one_completion_releases_every_waiter)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    waiter first(n), second(n);
    BOOST_TEST(!first.returned);
    BOOST_TEST(!second.returned);
    n->complete(1);
    BOOST_TEST(first.joinWithin(2000));
    BOOST_TEST(second.joinWithin(2000));
}

BOOST_AUTO_TEST_CASE(cancel_does_not_release_untimed_waiter)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    waiter w(n);
    n->cancel();
    boost::this_thread::sleep_for(boost::chrono::milliseconds(100));
    BOOST_TEST(!w.returned, "cancel released a thread blocked in wait()");
    n->complete(1);
    BOOST_TEST(w.joinWithin(2000));
    BOOST_TEST(n->getResult() == 2);
}

BOOST_AUTO_TEST_SUITE_END()
