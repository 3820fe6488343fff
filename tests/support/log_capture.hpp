// Captures the records of the process's loggers while a test runs, in the log file's
// layout without the time: "[channel][severity] message" (no channel for the main logger).
#pragma once

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

#include "zkutility/logger.hpp"

namespace qz::test {

class logCapture {
public:
    // least: records below this severity are not kept (a flood's frame dumps would fill memory).
    explicit logCapture(zk::logger::severity_level least = zk::logger::trace)
    {
        sink_->set_formatter(zk::logger::recordFormatter());
        sink_->set_filter(boost::log::expressions::attr<zk::logger::severity_level>("Severity") >= least);
        boost::log::core::get()->add_sink(sink_);
    }
    ~logCapture() { boost::log::core::get()->remove_sink(sink_); }

    // The lines that contain text, in order; the frontend's lock, taken for the copy, guards them.
    std::vector<std::string> matching(const std::string& text = "") const
    {
        const std::vector<std::string> in = sink_->locked_backend()->lines;
        std::vector<std::string> out;
        std::copy_if(in.begin(), in.end(), std::back_inserter(out), [&](auto& l) { return l.find(text) != l.npos; });
        return out;
    }
    std::size_t count(const std::string& text) const { return matching(text).size(); }
    std::string dump() const { return boost::algorithm::join(matching(), "\n"); }
    // Waits until at least n lines contain text.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout, std::size_t n = 1) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count(text) < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return count(text) >= n;
    }

private:
    struct backend : boost::log::sinks::basic_formatted_sink_backend<char> {
        // The time comes first, in brackets.
        void consume(const boost::log::record_view&, const std::string& line)
        {
            lines.push_back(line.substr(line.find(']') + 1));
        }
        std::vector<std::string> lines;
    };
    boost::shared_ptr<boost::log::sinks::synchronous_sink<backend>> sink_ =
        boost::make_shared<boost::log::sinks::synchronous_sink<backend>>();
};

}  // namespace qz::test
