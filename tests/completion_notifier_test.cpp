// Completion notifier: the stored result, timed and untimed waits, and which events release waiters.
#define BOOST_TEST_MODULE completion_notifier
#include <boost/test/unit_test.hpp>

#include <future>
#include <thread>

#include <boost/make_shared.hpp>

#include "support/common.hpp"
#include "zkutility/completion_notifier.hpp"

using std::chrono::milliseconds;

// A wait that never returns ends in this timeout.
BOOST_AUTO_TEST_SUITE(completion_notifier, *boost::unit_test::timeout(60))

BOOST_AUTO_TEST_CASE(a_cancel_request_ends_nothing_and_marks_a_plain_completion)
{
    const int rows[][3] = {{0, 1, 1}, {1, 1, 2}, {1, 3, 3}};  // cancel?, the result given, the result stored
    for (const auto& [cancel, given, stored] : rows) {
        auto n = boost::make_shared<zk::completionNotifier>();
        if (cancel)
            n->cancel();
        BOOST_TEST((n->isCancelled() == bool(cancel) && !n->waitFor(0)), "cancel " << cancel);
        n->complete(given);
        BOOST_TEST((n->getResult() == stored && n->waitFor(0)), "cancel " << cancel << ", complete(" << given << ")");
    }
}

BOOST_AUTO_TEST_CASE(a_cancel_request_or_a_timed_out_wait_releases_no_waiter_and_one_completion_all)
{
    auto n = boost::make_shared<zk::completionNotifier>();
    const auto wait = [n] { n->wait(); };
    std::future<void> waiters[] = {std::async(std::launch::async, wait), std::async(std::launch::async, wait)};
    std::this_thread::sleep_for(milliseconds(50));
    n->cancel();
    const auto start = std::chrono::steady_clock::now();
    BOOST_TEST(!n->waitFor(120));
    BOOST_TEST((qz::test::msSince(start) >= 120 && qz::test::msSince(start) < 220), qz::test::msSince(start) << " ms");
    for (auto& w : waiters)
        BOOST_TEST((w.wait_for(milliseconds(0)) == std::future_status::timeout), "a waiter returned before completion");
    n->complete(1);
    for (auto& w : waiters)
        BOOST_TEST((w.wait_for(std::chrono::seconds(2)) == std::future_status::ready), "a waiter is still blocked");
    for (auto& w : waiters)  // further completions release what a faulty one left blocked, so the waiters end
        while (w.wait_for(milliseconds(5)) != std::future_status::ready)
            n->complete(1);
    n->wait();
    BOOST_TEST(n->getResult() == 2);
}

BOOST_AUTO_TEST_SUITE_END()
