// The records of scan and limit-search programs around an already planned move, so that a
// program's layout can be checked without a board.
#ifndef QZ_SMC_MOTION_PROGRAMS_HPP
#define QZ_SMC_MOTION_PROGRAMS_HPP

#include <chrono>
#include <cstdint>

#include "qzsmc/controller.hpp"

namespace qz {
namespace smc {

// The position counter's arithmetic: 32 bits that wrap, as the board's do. A way that wraps is
// longer than the planner takes, so it is refused there rather than overflowing here.
inline int offsetPosition(int position, std::int64_t delta)
{
    return static_cast<int>(static_cast<std::uint32_t>(position) + static_cast<std::uint32_t>(delta));
}

// Microseconds to 10 us ticks, the nearest, halves up (unsigned, as the board counts).
std::uint32_t ticksOf(int microseconds);

// What a move's end may take beyond its plan: a watcher pass and a command confirmation.
constexpr double moveGraceMs = 2000;

// How long to wait for a program planned to take plannedUs microseconds: 1.2 times its plan, to the
// nearest millisecond, plus extraMs that the plan does not count. Capped at about 30 years, so that
// a deadline stays within the clock's range.
std::int64_t programTimeLimitMs(double plannedUs, double extraMs);

// How long a wait without a plan (a scan on its receiver's handshake) goes on while its watcher's
// reads go unanswered: as long as the link's connect limit. A board that answers confirms each
// command within 1 s and the watcher reads its state every 100 ms, so 5 s of unanswered reads is
// a board gone or hung.
constexpr std::chrono::milliseconds boardSilenceLimit{5000};

// The scan: stepMove (one repetition's planned move, possibly empty), settling, the optional
// handshake and the exposure, repeated count times.
controller::program scanProgram(const controller::scanParameters& p, const controller::program& stepMove);

// The limit search: search (the planned move) runs until the switch makes the board enter the
// handler, which latches the position and brakes hard (32 times accel, at most accelLimit)
// against the direction of travel.
controller::program limitProgram(std::uint32_t var15Value, int travel, int accel, std::uint32_t accelLimit,
                                 const controller::program& search);

}  // namespace smc
}  // namespace qz

#endif
