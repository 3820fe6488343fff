// Round trip of one control command against the simulated board: a raw blocking
// socket gives the floor, and the device link's confirmed command is measured
// against it in the same run. Runs under tools/testnet with LAN 10.77.1.1/24
// (tools/bench sets that up) and starts its board there.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "support/link_fixture.hpp"
#include "support/testnet.hpp"

namespace {

using qz::test::boardAddress;
using qz::test::boardLink;

// Read variable 2: command 0x2B, the variable id as i32.
const unsigned char readVariable = 0x2B;
const unsigned char variableId[] = {0x02, 0x00, 0x00, 0x00};
const unsigned char readVariableFrame[] = {0x07, 0x00, readVariable, 0x02, 0x00, 0x00, 0x00};

// Reads exactly size bytes; false on an error, the board's close or a second without data.
bool receiveAll(int socket, unsigned char* p, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(socket, p, size, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int connectRaw()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{1, 0};
    sockaddr_in board{};
    board.sin_family = AF_INET;
    board.sin_port = htons(boardLink::controlPort);
    if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::inet_pton(AF_INET, boardAddress, &board.sin_addr) != 1 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&board), sizeof board) != 0) {
        if (s >= 0)
            ::close(s);
        return -1;
    }
    return s;
}

void BM_RawPingPong(benchmark::State& state)
{
    const int s = connectRaw();
    if (s < 0) {
        state.SkipWithError("cannot connect to the board");
        return;
    }
    static unsigned char reply[65535];
    for (auto _ : state) {
        bool ok = ::send(s, readVariableFrame, sizeof readVariableFrame, MSG_NOSIGNAL) == sizeof readVariableFrame &&
                  receiveAll(s, reply, 3);
        const std::size_t length = reply[0] | (reply[1] << 8);
        ok = ok && length >= 3 && reply[2] == readVariable && receiveAll(s, reply + 3, length - 3);
        if (!ok) {
            state.SkipWithError("no reply with the variable's value");
            break;
        }
    }
    // The board serves one connection at a time: wait for its close, so the
    // next benchmark's connection is served at once.
    ::shutdown(s, SHUT_WR);
    while (::recv(s, reply, sizeof reply, 0) > 0) {
    }
    ::close(s);
}
BENCHMARK(BM_RawPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SendTCPControlCommand(benchmark::State& state)
{
    boardLink link("QZ_SMC", nullptr, boardAddress, boardLink::localUdpPort, qz::test::hwIdOf(qz::test::boardId));
    if (!qz::test::connectAndWait(link)) {
        state.SkipWithError("no connection to the board");
        return;
    }
    std::array<unsigned char, 4> value{};
    for (auto _ : state)
        link.sendTCPControlCommandWithReply(readVariable, boost::asio::buffer(variableId), boost::asio::buffer(value));
    link.disconnect(false);
}
BENCHMARK(BM_SendTCPControlCommand)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The console table, then each benchmark's median wall time per command and
// its ratio to BM_RawPingPong's.
class ratioReporter : public benchmark::ConsoleReporter {
public:
    ratioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            failed_ = failed_ || run.error_occurred;
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string& name = run.run_name.function_name;
            if (micros_.count(name) == 0)
                order_.push_back(name);
            micros_[name].push_back(run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit));
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto base = micros_.find(baseName);
        std::stable_partition(order_.begin(), order_.end(), [](const std::string& name) { return name == baseName; });
        for (const std::string& name : order_) {
            const double time = median(micros_[name]);
            char line[160];
            if (base != micros_.end())
                std::snprintf(line, sizeof line, "%-26s %10.1f us  ratio %.2f (median of %zu)\n", name.c_str(), time,
                              time / median(base->second), micros_[name].size());
            else
                std::snprintf(line, sizeof line, "%-26s %10.1f us  (median of %zu)\n", name.c_str(), time,
                              micros_[name].size());
            GetOutputStream() << line;
        }
    }

    bool failed() const { return failed_; }

private:
    static constexpr const char* baseName = "BM_RawPingPong";

    static double median(std::vector<double> values)
    {
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }

    std::vector<std::string> order_;
    std::map<std::string, std::vector<double>> micros_;
    bool failed_ = false;
};

// As in the terminal, records below info are filtered out; the rest is formatted and dropped.
void quietLog()
{
    using sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    auto s = boost::make_shared<sink>();
    s->set_filter(boost::log::expressions::attr<zk::logger::severity_level>("Severity") >= zk::logger::info);
    boost::log::core::get()->add_sink(s);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        qz::test::requireTestNetwork();
        quietLog();
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            return 2;
        const auto board = qz::test::startBoard();
        ratioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        return reporter.failed() ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << "command_roundtrip: " << boost::diagnostic_information(e) << '\n';
        return 1;
    }
}
