// The move-time solver and the path planner on any input. Each input is read as
//   limits path, speed, accel (3 x u32); from, to, max. speed, acc, dec (5 x i32);
//   start speed, pending acceleration, end speed, solver acceleration (4 x i32); accumulator (i64)
// (missing bytes read as zero). The solver gets the whole start state, the planner a move from
// rest as makePath plans it. Each must give a plan or one of its errors, within the time bound.
// A move the planner takes is planned once more within a budget of ticksRun ticks and run on the
// board's sequencer, which must end where the planner's model ends. The planner needs a connected controller: this target runs under
// tools/testnet with a board at boardAddress, and refuses to start anywhere else.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include <boost/log/core.hpp>
#include <boost/thread/lock_types.hpp>

#include "boardsim/sequencer.hpp"
#include "qzsmc/controller.hpp"
#include "support/common.hpp"
#include "support/testnet.hpp"

namespace {

using qz::smc::controller;

const char* const boardAddress = "10.77.1.10";
const char* const boardId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
// The release bound is 1 ms; this build runs under ASan without optimisation to speak of.
constexpr std::int64_t callBoundNs = 50000000;
constexpr std::uint64_t ticksRun = 100000;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct reader {
    const std::uint8_t* data;
    std::size_t size;
    template <class T>
    T next()
    {
        T v{};
        const std::size_t n = std::min(sizeof v, size);
        std::memcpy(&v, data, n);
        data += n;
        size -= n;
        return v;
    }
};

struct rig {
    rig()
    {
        qz::test::requireTestNetwork();
        zk::hwId id{};
        hwIdFromString(id, boardId);
        link = std::make_unique<controller>("QZ_SMC", boardAddress, id);
        link->connect(5000);
        boost::unique_lock<boost::mutex> lock(link->getStateMutex());
        link->waitConnected(lock, 5000);
        lock.unlock();
        if (!link->connected())
            throw std::runtime_error("no board at 10.77.1.10");
        boost::log::core::get()->set_logging_enabled(false);
    }
    std::unique_ptr<controller> link;
    qz::smc::device::stepFSMLimits limits{};
    qz::boardsim::stepGenerator generator;
    qz::boardsim::deviceVariables variables{generator};
    qz::boardsim::sequencer sequencer{generator, variables};
};
rig* board;

void solve(const controller::_moveParameters& p, const qz::smc::device::stepFSMLimits& limits, int a)
{
    const std::int64_t start = qz::test::threadCpuNs();
    try {
        const auto t = p.getTimes(limits, a);
        check(std::int64_t(boost::get<0>(t)) >= 0 && std::int64_t(boost::get<1>(t)) >= 0 &&
              std::int64_t(boost::get<2>(t)) >= 0);
    } catch (const controller::errorNoSolution&) {
    } catch (const controller::errorZeroSpeed&) {
    }
    check(qz::test::threadCpuNs() - start < callBoundNs);
}

void plan(const qz::smc::device::stepFSMLimits& limits, int from, int to, int maxSpeed, int acc, int dec)
{
    if (std::memcmp(&limits, &board->limits, sizeof limits) != 0) {
        board->link->setDeviceSettings({limits, 0, 0, {}, {}});
        board->limits = limits;
        board->generator.setLimits({std::int32_t(limits.path), std::int32_t(limits.speed), std::int32_t(limits.accel)});
    }
    controller::program p;
    const auto planWithin = [&](controller::_moveState& model, std::uint64_t budget) {
        p.clear();
        board->link->partialPath(p, model, to, 0, maxSpeed, acc, dec, budget, false, nullptr);
    };
    controller::_moveState model{from, 0, 0, 0};
    const std::int64_t start = qz::test::threadCpuNs();
    try {
        planWithin(model, std::numeric_limits<std::uint64_t>::max());
    } catch (const controller::errorNoSolution&) {
        return;
    } catch (const controller::errorZeroSpeed&) {
        return;
    } catch (const controller::errorZeroAcceleration&) {
        return;
    } catch (const std::out_of_range&) {  // a max. speed of -2^31
        return;
    } catch (const std::runtime_error&) {  // limits unusable, or slowing down from above the max. speed
        return;
    }
    check(qz::test::threadCpuNs() - start < callBoundNs);
    const std::int64_t distance = std::int64_t{to} - from;
    check(distance <= std::numeric_limits<std::int32_t>::max() && distance >= -std::numeric_limits<std::int32_t>::max());
    model = {from, 0, 0, 0};
    planWithin(model, ticksRun);
    if (p.empty())
        return;
    auto& s = board->sequencer;
    s.clearProgram();
    p.push_front({0x30});
    p.push_back({0x30});
    controller::appendProgramEnd(p);
    for (std::size_t slot = 0; slot < p.size(); ++slot)
        s.load(slot, {p[slot].opcode, p[slot].arg1, p[slot].arg2, p[slot].arg3, p[slot].value});
    board->generator.setPosition(from);
    s.start(0);
    // The budget bounds both segments; the brackets and the end record take a tick or two more.
    const auto ending = s.run(ticksRun + 4);
    s.stop();
    check(ending == qz::boardsim::sequencer::ending::normal && board->generator.position() == model.position);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    board = new rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    reader in{data, size};
    const qz::smc::device::stepFSMLimits limits{in.next<std::uint32_t>(), in.next<std::uint32_t>(),
                                                in.next<std::uint32_t>()};
    const int from = in.next<std::int32_t>(), to = in.next<std::int32_t>(), maxSpeed = in.next<std::int32_t>();
    const int acc = in.next<std::int32_t>(), dec = in.next<std::int32_t>();
    const int speed = in.next<std::int32_t>(), pending = in.next<std::int32_t>(), endSpeed = in.next<std::int32_t>();
    const int a = in.next<std::int32_t>();
    const std::int64_t accumulator = in.next<std::int64_t>();
    solve({from, speed, pending, accumulator, to, endSpeed, dec, maxSpeed}, limits, a);
    plan(limits, from, to, maxSpeed, acc, dec);
    return 0;
}
