// The arithmetic of homing and parking, apart from the board so that it can be checked alone.
// Phases and cycles are unsigned 32-bit: a cycle is a power of two, so the wrap of a negative
// difference keeps the modulo right.
#ifndef QZ_SMC_HOMING_ARITHMETIC_HPP
#define QZ_SMC_HOMING_ARITHMETIC_HPP

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace qz {
namespace smc {
namespace homing {

// The back-off always points away from the switch, whatever sign the caller gave it; 64 bits
// hold the magnitude of -2^31.
inline std::int64_t opposedFallback(int fallback, int travel)
{
    return (fallback < 0) != (travel < 0) ? fallback : -std::int64_t{fallback};
}

// A sixteenth for the slow pass, biased away from zero so that a non-zero value stays non-zero.
inline int sixteenth(int x)
{
    const std::int64_t wide = x;
    return static_cast<int>(x > 0 ? (wide + 15) / 16 : (wide - 15) / 16);
}

// The slow pass found the switch farther from the fast pass's point than nine tenths of the
// back-off; a back-off of one cycle or less is too short to tell.
inline bool slowPassSticky(std::int64_t fb, int limit, int fastLimit, std::uint32_t cycle)
{
    return std::llabs(fb) > cycle && std::llabs(std::int64_t{limit} - fastLimit) > std::llabs((9 * fb) / 10);
}

// The slow pass searches twice the back-off back toward the switch; past the counter's range that
// travel would wrap round and search the other way.
inline bool slowPassFits(std::int64_t fb)
{
    return std::llabs(2 * fb) <= 0x7FFFFFFF;
}

// The driver's phase at the limit, given the phase now at position.
inline std::uint32_t phaseAtLimit(std::uint32_t phase, int position, int limit, std::uint32_t cycle)
{
    const std::uint32_t passed = static_cast<std::uint32_t>(position) - static_cast<std::uint32_t>(limit);
    return (cycle + (phase - passed) % cycle) % cycle;
}

// The nearest position at or beyond the limit, in the direction of travel, where the phase is 0.
inline int phaseAdjustedLimit(int limit, std::uint32_t limitPhase, std::uint32_t cycle, int travel)
{
    if (travel > 0)
        return static_cast<int>(static_cast<std::uint32_t>(limit) + (cycle - limitPhase) % cycle);
    return static_cast<int>(static_cast<std::uint32_t>(limit) - (limitPhase + cycle) % cycle);
}

// Where parking goes: back by the phase, or forward to the next cycle start when going back
// would pass below 0.
inline int parkTarget(int position, std::uint32_t phase, std::uint32_t cycle)
{
    std::int32_t target = static_cast<std::int32_t>(static_cast<std::uint32_t>(position) - phase);
    if (target < 0 && phase != 0)
        target = static_cast<std::int32_t>(static_cast<std::uint32_t>(target) + cycle);
    return target;
}

// The driver counts its phase against the motor's direction unless the shaft is reversed.
inline std::uint32_t orientedPhase(std::uint32_t counter, std::uint32_t cycle, bool shaftReversed)
{
    return shaftReversed ? counter : (cycle - counter) % cycle;
}

}  // namespace homing
}  // namespace smc
}  // namespace qz

#endif
