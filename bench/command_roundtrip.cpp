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

#include <boost/asio/buffer.hpp>

#include "bench_support.hpp"

namespace {

using qz::test::boardAddress;
using qz::test::boardLink;

// Read variable 2: command 0x2B, the variable id as i32.
const unsigned char readVariable = 0x2B;
const unsigned char variableId[] = {0x02, 0x00, 0x00, 0x00};
const unsigned char readVariableFrame[] = {0x07, 0x00, readVariable, 0x02, 0x00, 0x00, 0x00};

void BM_RawPingPong(benchmark::State& state)
{
    qz::bench::rawClient raw;
    if (!raw.connected()) {
        state.SkipWithError("cannot connect to the board");
        return;
    }
    for (auto _ : state)
        if (!raw.exchange(readVariableFrame, sizeof readVariableFrame)) {
            state.SkipWithError("no reply with the variable's value");
            break;
        }
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

// Each benchmark's median wall time per command and its ratio to BM_RawPingPong's.
class ratioReporter : public qz::bench::summaryReporter {
    void summary(std::ostream& out) override
    {
        const std::string base = "BM_RawPingPong/";
        std::vector<std::string> order = names();
        std::stable_partition(order.begin(), order.end(), [&](const std::string& name) { return name == base; });
        for (const std::string& name : order) {
            const double time = median(name) * 1e6;
            const std::string shown = name.substr(0, name.size() - 1);
            char line[160];
            if (runs(base) > 0)
                std::snprintf(line, sizeof line, "%-26s %10.1f us  ratio %.2f (median of %zu)\n", shown.c_str(), time,
                              time / (median(base) * 1e6), runs(name));
            else
                std::snprintf(line, sizeof line, "%-26s %10.1f us  (median of %zu)\n", shown.c_str(), time, runs(name));
            out << line;
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    return qz::bench::runAgainstBoard<ratioReporter>(argc, argv, "command_roundtrip");
}
