// What the benchmarks share: a raw blocking client of the simulated board (the physical
// limit they are measured against), medians, a quiet log and the common main.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "support/link_fixture.hpp"
#include "support/testnet.hpp"
#include "zkutility/control_frame.hpp"

namespace qz::bench {

// A blocking TCP connection to the board's control port, one request and its reply at a time.
class rawClient {
public:
    rawClient()
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const timeval limit{1, 0};
        sockaddr_in board{};
        board.sin_family = AF_INET;
        board.sin_port = htons(qz::test::boardLink::controlPort);
        if (socket_ < 0 || ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
            ::inet_pton(AF_INET, qz::test::boardAddress, &board.sin_addr) != 1 ||
            ::connect(socket_, reinterpret_cast<const sockaddr*>(&board), sizeof board) != 0) {
            if (socket_ >= 0)
                ::close(socket_);
            socket_ = -1;
        }
    }

    // The board serves one connection at a time: wait for its close, so that the next
    // benchmark's connection is served at once.
    ~rawClient()
    {
        if (socket_ < 0)
            return;
        ::shutdown(socket_, SHUT_WR);
        while (::recv(socket_, reply_, sizeof reply_, 0) > 0) {
        }
        ::close(socket_);
    }

    rawClient(const rawClient&) = delete;
    rawClient& operator=(const rawClient&) = delete;

    bool connected() const { return socket_ >= 0; }

    // Sends one frame and reads one whole reply frame under the same code (error flag or not);
    // false on an error, the board's close or a second without data.
    bool exchange(const unsigned char* frame, std::size_t size)
    {
        if (::send(socket_, frame, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size) ||
            !receiveAll(reply_, zk::hw::frameHeaderSize))
            return false;
        const std::size_t length = reply_[0] | (reply_[1] << 8);
        return length >= zk::hw::frameHeaderSize && (reply_[2] & ~zk::hw::frameErrorFlag) == frame[2] &&
               receiveAll(reply_ + zk::hw::frameHeaderSize, length - zk::hw::frameHeaderSize);
    }

private:
    bool receiveAll(unsigned char* p, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::recv(socket_, p, size, 0);
            if (n <= 0)
                return false;
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    int socket_ = -1;
    unsigned char reply_[65535];
};

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The console table, then a summary of the medians that a benchmark file writes.
class summaryReporter : public benchmark::ConsoleReporter {
public:
    summaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            failed_ = failed_ || run.error_occurred;
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            if (seconds_.count(name) == 0)
                order_.push_back(name);
            seconds_[name].push_back(run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit));
            for (const auto& counter : run.counters)
                counters_[name][counter.first] = counter.second.value;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        summary(GetOutputStream());
    }

    bool failed() const { return failed_; }

protected:
    virtual void summary(std::ostream& out) = 0;

    // Seconds; 0 when the benchmark did not run. Names are "function/arguments".
    double median(const std::string& name) const
    {
        const auto found = seconds_.find(name);
        return found == seconds_.end() ? 0 : qz::bench::median(found->second);
    }
    std::size_t runs(const std::string& name) const
    {
        const auto found = seconds_.find(name);
        return found == seconds_.end() ? 0 : found->second.size();
    }
    double counter(const std::string& name, const std::string& counter) const
    {
        return counters_.at(name).at(counter);
    }
    // In the order they first ran.
    const std::vector<std::string>& names() const { return order_; }

private:
    std::vector<std::string> order_;
    std::map<std::string, std::vector<double>> seconds_;
    std::map<std::string, std::map<std::string, double>> counters_;
    bool failed_ = false;
};

// As in the terminal, records below info are filtered out; the rest is formatted and dropped.
inline void quietLog()
{
    using sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    auto s = boost::make_shared<sink>();
    s->set_filter(boost::log::expressions::attr<zk::logger::severity_level>("Severity") >= zk::logger::info);
    boost::log::core::get()->add_sink(s);
}

// Runs the registered benchmarks against a board of their own, inside a test network only.
// prepare runs once the board is up; the reporter says whether a benchmark failed.
template <class Reporter>
int runAgainstBoard(int argc, char** argv, const char* name, const std::function<void()>& prepare = {})
{
    try {
        qz::test::requireTestNetwork();
        quietLog();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            return 2;
        const auto board = qz::test::startBoard();
        if (prepare)
            prepare();
        Reporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        return reporter.failed() ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << boost::diagnostic_information(e) << '\n';
        return 1;
    }
}

}  // namespace qz::bench
