// Captures the records of the process's loggers while a test runs, as
// "[channel][severity] message" lines (no channel part for the main logger).
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/utility/formatting_ostream.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "zkutility/logger.hpp"

namespace qz::test {

class logCapture {
public:
    logCapture() : backend_(boost::make_shared<backend>()), sink_(boost::make_shared<sink>(backend_))
    {
        sink_->set_formatter([](const boost::log::record_view& rec, boost::log::formatting_ostream& os) {
            if (auto channel = boost::log::extract<std::string>("Channel", rec))
                os << "[" << *channel << "]";
            if (auto severity = boost::log::extract<zk::logger::severity_level>("Severity", rec))
                os << "[" << *severity << "]";
            os << " " << rec[boost::log::expressions::smessage];
        });
        boost::log::core::get()->add_sink(sink_);
    }
    ~logCapture() { boost::log::core::get()->remove_sink(sink_); }
    logCapture(const logCapture&) = delete;
    logCapture& operator=(const logCapture&) = delete;

    std::vector<std::string> lines() const
    {
        boost::lock_guard<boost::mutex> lock(backend_->mutex);
        return backend_->lines;
    }
    void clear()
    {
        boost::lock_guard<boost::mutex> lock(backend_->mutex);
        backend_->lines.clear();
    }
    // Number of captured lines that contain text.
    std::size_t count(const std::string& text) const
    {
        std::size_t n = 0;
        for (const std::string& line : lines())
            n += line.find(text) != std::string::npos;
        return n;
    }
    // Index of the first line at or after from that contains text; -1 when none.
    int find(const std::string& text, std::size_t from = 0) const
    {
        const auto all = lines();
        for (std::size_t i = from; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (find(text) < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return find(text) >= 0;
    }
    std::string dump() const
    {
        std::string text;
        for (const std::string& line : lines())
            text += line + "\n";
        return text;
    }

private:
    struct backend : boost::log::sinks::basic_formatted_sink_backend<char, boost::log::sinks::concurrent_feeding> {
        void consume(const boost::log::record_view&, const std::string& line)
        {
            boost::lock_guard<boost::mutex> lock(mutex);
            lines.push_back(line);
        }
        mutable boost::mutex mutex;
        std::vector<std::string> lines;
    };
    using sink = boost::log::sinks::synchronous_sink<backend>;

    boost::shared_ptr<backend> backend_;
    boost::shared_ptr<sink> sink_;
};

}  // namespace qz::test
