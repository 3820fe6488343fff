// Completion notifier: results after cancel requests, timed and untimed waits,
// and which events release blocked waiters.
#define BOOST_TEST_MODULE completion_notifier
#include <boost/test/unit_test.hpp>

#include <atomic>
#include <chrono>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include "zkutility/completion_notifier.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
using notifierPtr = boost::shared_ptr<zk::completionNotifier>;

long long msSince(clock_type::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

void sleepMs(int ms)
{
    boost::this_thread::sleep_for(boost::chrono::milliseconds(ms));
}

// A thread blocked in one of the notifier's waits; returned says when it came back.
struct waiter {
    std::atomic<bool> returned{false};
    std::atomic<bool> result{false};
    boost::thread thread;

    void untimed(const notifierPtr& n)
    {
        thread = boost::thread([this, n] {
            n->wait();
            result = true;
            returned = true;
        });
    }

    void timed(const notifierPtr& n, std::int64_t ms)
    {
        thread = boost::thread([this, n, ms] {
            result = n->waitFor(ms);
            returned = true;
        });
    }

    // Joins within the limit; a waiter still blocked is released by a further
    // completion so the test ends, and the miss is reported by the caller.
    bool joinWithin(const notifierPtr& n, int ms)
    {
        if (thread.try_join_for(boost::chrono::milliseconds(ms)))
            return true;
        n->complete(zk::completionNotifier::terminated);
        thread.join();
        return false;
    }
};

}  // namespace

BOOST_AUTO_TEST_SUITE(completion_notifier, *boost::unit_test::timeout(60))

BOOST_AUTO_TEST_CASE(result_after_cancel_request)
{
    struct resultCase {
        const char* name;
        bool cancelBefore;
        int given;
        int stored;
    };
    const std::vector<resultCase> cases = {
        {"completed, no cancel", false, 1, 1},
        {"completed after cancel becomes 2", true, 1, 2},
        {"terminated after cancel stays 3", true, 3, 3},
        {"terminated, no cancel", false, 3, 3},
    };
    for (const resultCase& c : cases) {
        BOOST_TEST_CONTEXT("case: " << c.name)
        {
            auto n = boost::make_shared<zk::completionNotifier>();
            BOOST_TEST(!n->isCancelled(), "a new notifier reports a cancel request");
            if (c.cancelBefore) {
                n->cancel();
                BOOST_TEST(n->isCancelled(), "cancel request not recorded");
                BOOST_TEST(!n->waitFor(0), "cancel alone ended the notifier");
            }
            n->complete(c.given);
            BOOST_TEST(n->getResult() == c.stored, "complete(" << c.given << ") stored " << n->getResult()
                                                               << ", expected " << c.stored);
            BOOST_TEST(n->waitFor(0), "complete did not end the notifier");
        }
    }

    // A cancel after the end is recorded but does not rewrite the result.
    auto n = boost::make_shared<zk::completionNotifier>();
    n->complete(1);
    n->cancel();
    BOOST_TEST(n->isCancelled(), "cancel after completion not recorded");
    BOOST_TEST(n->getResult() == 1, "cancel after completion changed the result to " << n->getResult());
}

BOOST_AUTO_TEST_CASE(zero_time_limit_does_not_block)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    auto start = clock_type::now();
    BOOST_TEST(!n->waitFor(0), "waitFor(0) on a running notifier returned true");
    BOOST_TEST(msSince(start) < 50, "waitFor(0) on a running notifier blocked for " << msSince(start) << " ms");

    n->complete(1);
    start = clock_type::now();
    BOOST_TEST(n->waitFor(0), "waitFor(0) on an ended notifier returned false");
    BOOST_TEST(msSince(start) < 50, "waitFor(0) on an ended notifier blocked for " << msSince(start) << " ms");
}

BOOST_AUTO_TEST_CASE(untimed_wait_after_completion_returns_at_once)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    n->complete(3);
    waiter w;
    const auto start = clock_type::now();
    w.untimed(n);
    BOOST_TEST(w.joinWithin(n, 2000), "wait() on an ended notifier did not return within 2 s");
    BOOST_TEST(msSince(start) < 500, "wait() on an ended notifier took " << msSince(start) << " ms");
}

BOOST_AUTO_TEST_CASE(timed_out_wait_leaves_it_running)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    const auto start = clock_type::now();
    BOOST_TEST(!n->waitFor(120), "waitFor(120) on a running notifier returned true");
    const long long waited = msSince(start);
    BOOST_TEST(waited >= 115, "waitFor(120) returned after only " << waited << " ms");
    BOOST_TEST(waited < 1000, "waitFor(120) returned after " << waited << " ms");
    BOOST_TEST(!n->waitFor(0), "a timed-out wait ended the notifier");

    // Later waiters, untimed and timed, are all woken by the completion.
    waiter untimed, timed;
    untimed.untimed(n);
    timed.timed(n, 10000);
    sleepMs(50);
    BOOST_TEST(!untimed.returned, "untimed waiter returned before completion");
    BOOST_TEST(!timed.returned, "timed waiter returned before completion");
    const auto completedAt = clock_type::now();
    n->complete(1);
    BOOST_TEST(untimed.joinWithin(n, 2000), "untimed waiter not woken by the completion");
    BOOST_TEST(timed.joinWithin(n, 2000), "timed waiter not woken by the completion");
    BOOST_TEST(timed.result, "waitFor woken by the completion returned false");
    BOOST_TEST(msSince(completedAt) < 2000, "waiters took " << msSince(completedAt) << " ms to wake");
    BOOST_TEST(n->getResult() == 1, "result " << n->getResult() << " after complete(1)");
}

BOOST_AUTO_TEST_CASE(one_completion_releases_every_waiter)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    waiter first, second;
    first.untimed(n);
    second.untimed(n);
    sleepMs(50);
    BOOST_TEST(!first.returned, "first waiter returned before completion");
    BOOST_TEST(!second.returned, "second waiter returned before completion");
    n->complete(1);
    BOOST_TEST(first.joinWithin(n, 2000), "first waiter not released by the completion");
    BOOST_TEST(second.joinWithin(n, 2000), "second waiter not released by the completion");
}

BOOST_AUTO_TEST_CASE(cancel_does_not_release_untimed_waiter)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    waiter w;
    w.untimed(n);
    sleepMs(50);
    n->cancel();
    sleepMs(100);
    BOOST_TEST(!w.returned, "cancel released a thread blocked in wait()");
    BOOST_TEST(!n->waitFor(0), "cancel ended the notifier");
    n->complete(1);
    BOOST_TEST(w.joinWithin(n, 2000), "waiter not released by the completion after the cancel");
    BOOST_TEST(n->getResult() == 2, "result " << n->getResult() << " after cancel and complete(1), expected 2");
}

BOOST_AUTO_TEST_SUITE_END()
