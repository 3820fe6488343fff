// The step generator as the model's rules describe it, one tick at a time and no shortcuts:
// what the planner's fast step must match, and what it is timed against.
#pragma once

#include <cstdint>

#include "qzsmc/controller.hpp"

namespace qz::test {

// Same arguments and result as _moveState::step, for positive limits.
inline std::uint64_t referenceStep(qz::smc::controller::_moveState& s, const qz::smc::device::stepFSMLimits& limits,
                                   std::uint64_t ticks, int newAccel, bool stopAtPosition, int stopPosition)
{
    const std::int64_t S = std::int32_t(limits.speed), A = std::int32_t(limits.accel), P = std::int32_t(limits.path);
    auto clamp = [](std::int64_t v, std::int64_t limit) { return v < -limit ? -limit : v > limit ? limit : v; };
    for (std::uint64_t run = 0; run < ticks; ++run) {
        // Accelerating, the stop position is tested before every tick; cruising, before the
        // first and the second only.
        if (stopAtPosition && s.position == stopPosition && (run <= 1 || s.accel != 0))
            return run;
        s.accumulator += s.speed;
        s.position = std::int32_t(std::uint32_t(s.position) + std::uint32_t(s.accumulator / P));
        s.accumulator %= P;
        s.speed = std::int32_t(clamp(std::int64_t{s.speed} + s.accel, S));
        if (run == 0)
            s.accel = std::int32_t(clamp(newAccel, A));
    }
    return ticks;
}

}  // namespace qz::test
