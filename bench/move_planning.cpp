// Move planning: the step-generator model's long acceleration phases tick by tick against
// its closed form, whole plans of typical moves, and the download of a typical move
// program against a raw socket sending the same frames. Runs under tools/testnet with LAN
// 10.77.1.1/24 (tools/bench sets that up) and starts its board there.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "qzsmc/controller.hpp"
#include "support/step_reference.hpp"

namespace {

using qz::smc::controller;
using qz::test::boardAddress;
using moveState = controller::_moveState;

// The limits init leaves: one microstep is 2^31 - 1 sub-steps.
const qz::smc::device::stepFSMLimits initLimits{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF};
const std::uint32_t oneStepPerTick = initLimits.path;

enum phaseKind { unclamped, clamped, stopping };
const char* const phaseNames[] = {"unclamped", "clamped", "stopping"};

// A phase from rest of the given ticks: the speed stays below the limit, reaches it after
// a tenth of them, or a correction segment stops it halfway at its target.
struct phase {
    moveState start{-123456, 0, 0, 0};
    int accel;
    bool stopAt;
    int stopPosition = 0;

    phase(std::uint64_t ticks, phaseKind kind)
        : accel(int(oneStepPerTick / (kind == clamped ? ticks / 10 : ticks))), stopAt(kind == stopping)
    {
        if (stopAt) {
            moveState half = start;
            qz::test::referenceStep(half, initLimits, ticks / 2, accel, false, 0);
            stopPosition = half.position;
        }
    }
};

template <bool closedForm>
void BM_AccelerationPhase(benchmark::State& state)
{
    const std::uint64_t ticks = state.range(0);
    const phase p(ticks, phaseKind(state.range(1)));
    std::uint64_t ran = 0;
    for (auto _ : state) {
        moveState s = p.start;
        ran = closedForm ? s.step(initLimits, ticks, p.accel, p.stopAt, p.stopPosition)
                         : qz::test::referenceStep(s, initLimits, ticks, p.accel, p.stopAt, p.stopPosition);
        benchmark::DoNotOptimize(s);
    }
    state.counters["ticks"] = double(ran);
}
void phaseArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"ticks", "kind"})->ArgsProduct({{100000, 1000000, 10000000}, {unclamped, clamped, stopping}});
}
BENCHMARK_TEMPLATE(BM_AccelerationPhase, false)->Name("BM_TickByTick")->Apply(phaseArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_AccelerationPhase, true)->Name("BM_ClosedForm")->Apply(phaseArguments)->Unit(benchmark::kMicrosecond);

// The board's single connection is the controller's for as long as the object lives.
struct connectedController {
    controller c{"QZ_SMC", boardAddress, qz::test::hwIdOf(qz::test::boardId)};
    bool ready = false;

    connectedController()
    {
        if (!qz::test::connectAndWait(c))
            return;
        c.init();
        ready = true;
    }
};

// Typical moves: 1 to 10^5 microsteps either way, maximum speeds from a thousandth of a
// microstep per tick up to one, accelerations that take 10^2 to 10^6 ticks to reach them.
struct move {
    int from, to, maxSpeed, acc;
};

std::vector<move> typicalMoves(std::size_t count)
{
    std::mt19937 rng(5);
    auto logUniform = [&](double lo, double hi) {
        return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
    };
    std::vector<move> moves;
    while (moves.size() < count) {
        const int from = std::uniform_int_distribution<int>(-1000000, 1000000)(rng);
        const int distance = int(logUniform(1, 100001)) * (rng() % 2 ? 1 : -1);
        const int maxSpeed = int(logUniform(oneStepPerTick / 1000.0, oneStepPerTick));
        moves.push_back({from, from + distance, maxSpeed, std::max(1, int(maxSpeed / logUniform(100, 1000000)))});
    }
    return moves;
}

void BM_MakePath(benchmark::State& state)
{
    connectedController board;
    if (!board.ready) {
        state.SkipWithError("no connection to the board");
        return;
    }
    const std::vector<move> moves = typicalMoves(1000);
    std::size_t next = 0, records = 0, failed = 0;
    boost::log::core::get()->set_logging_enabled(false);
    for (auto _ : state) {
        const move& m = moves[next++ % moves.size()];
        try {
            records += board.c.makePath(m.from, m.to, m.maxSpeed, m.acc, m.acc, nullptr).size();
        } catch (const controller::deviceError&) {
            ++failed;
        }
    }
    boost::log::core::get()->set_logging_enabled(true);
    state.counters["records"] = benchmark::Counter(double(records), benchmark::Counter::kAvgIterations);
    state.counters["failed"] = benchmark::Counter(double(failed), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MakePath)->Unit(benchmark::kMicrosecond);

// A move program as moveTo loads it.
controller::program typicalProgram()
{
    connectedController board;
    if (!board.ready)
        throw std::runtime_error("no connection to the board");
    controller::program p = board.c.makePath(0, 20000, oneStepPerTick / 4, oneStepPerTick / 40000, oneStepPerTick / 40000, nullptr);
    controller::appendProgramEnd(p);
    return p;
}
controller::program moveProgram;

// The frames loadProgram sends: {u32 slot, the record}, each confirmed before the next.
void BM_RawLoadProgram(benchmark::State& state)
{
    qz::bench::rawClient raw;
    if (!raw.connected()) {
        state.SkipWithError("cannot connect to the board");
        return;
    }
    std::vector<std::vector<unsigned char>> frames;
    for (const auto& r : moveProgram) {
        const auto slot = std::uint32_t(frames.size()), value = std::uint32_t(r.value);
        const unsigned char payload[] = {std::uint8_t(slot),       std::uint8_t(slot >> 8),  std::uint8_t(slot >> 16),
                                         std::uint8_t(slot >> 24), r.opcode,                 r.arg1,
                                         r.arg2,                   r.arg3,                   std::uint8_t(value),
                                         std::uint8_t(value >> 8), std::uint8_t(value >> 16), std::uint8_t(value >> 24)};
        frames.push_back(zk::hw::buildFrame(0x2C, boost::asio::buffer(payload)));
    }
    for (auto _ : state)
        for (const auto& frame : frames)
            if (!raw.exchange(frame.data(), frame.size())) {
                state.SkipWithError("no confirmation of a record");
                return;
            }
}
BENCHMARK(BM_RawLoadProgram)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_LoadProgram(benchmark::State& state)
{
    connectedController board;
    if (!board.ready) {
        state.SkipWithError("no connection to the board");
        return;
    }
    for (auto _ : state)
        board.c.loadProgram(moveProgram, 0);
}
BENCHMARK(BM_LoadProgram)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The medians side by side: each phase tick by tick and in closed form, plans per second,
// and the download against the raw socket's.
class planningReporter : public qz::bench::summaryReporter {
    void summary(std::ostream& out) override
    {
        char line[200];
        for (const char* ticks : {"100000", "1000000", "10000000"})
            for (int kind = 0; kind < 3; ++kind) {
                const std::string args = std::string("ticks:") + ticks + "/kind:" + std::to_string(kind);
                const double loop = median("BM_TickByTick/" + args), closed = median("BM_ClosedForm/" + args);
                if (loop > 0 && closed > 0) {
                    std::snprintf(line, sizeof line,
                                  "phase of %8s ticks, %-9s  tick by tick %9.1f us (%4.0f Mticks/s)  closed form %6.3f us  "
                                  "ratio %.0f\n",
                                  ticks, phaseNames[kind], loop * 1e6, counter("BM_TickByTick/" + args, "ticks") / loop / 1e6,
                                  closed * 1e6, loop / closed);
                    out << line;
                }
            }
        if (const double plan = median("BM_MakePath/"); plan > 0) {
            std::snprintf(line, sizeof line, "makePath of a typical move    %8.2f us  %9.0f plans/s\n", plan * 1e6, 1 / plan);
            out << line;
        }
        const double raw = median("BM_RawLoadProgram/"), load = median("BM_LoadProgram/");
        if (raw > 0 && load > 0) {
            std::snprintf(line, sizeof line, "loadProgram of %zu records     %8.1f us  raw socket %8.1f us  ratio %.2f\n",
                          moveProgram.size(), load * 1e6, raw * 1e6, load / raw);
            out << line;
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    return qz::bench::runAgainstBoard<planningReporter>(argc, argv, "move_planning",
                                                       [] { moveProgram = typicalProgram(); });
}
