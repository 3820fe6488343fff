#ifndef QZ_BOARDSIM_STEP_GENERATOR_HPP
#define QZ_BOARDSIM_STEP_GENERATOR_HPP

#include <cstdint>

namespace qz {
namespace boardsim {

// The step generator's limits: the first three words of the settings block, as signed numbers.
struct generatorLimits {
    std::int32_t path = 0;   // sub-steps per microstep
    std::int32_t speed = 0;  // sub-steps per tick
    std::int32_t accel = 0;  // sub-steps per tick per tick

    // From the settings block's first three little-endian words.
    static generatorLimits fromBlock(const std::uint8_t* block);
};

// The motor's step generator, one 10 us tick at a time. Kept deliberately naive: the terminal
// plans with its own model of it, and the two are compared, not shared.
class stepGenerator {
public:
    void setLimits(const generatorLimits& limits) { limits_ = limits; }
    const generatorLimits& limits() const { return limits_; }

    // One tick; the microsteps it moved the position by. Needs limits().path > 0.
    std::int64_t tick();
    // Speed, pending acceleration and sub-step accumulator to 0; the position stays.
    void stop();
    // Clamped to the acceleration limit.
    void setPending(std::int32_t accel);
    void setPosition(std::int32_t position) { position_ = position; }

    std::int32_t position() const { return position_; }
    std::int32_t speed() const { return speed_; }
    std::int32_t pending() const { return pending_; }
    std::int64_t accumulator() const { return accumulator_; }

private:
    generatorLimits limits_;
    std::int32_t position_ = 0;     // microsteps; wraps like the board's 32-bit counter
    std::int32_t speed_ = 0;        // sub-steps per tick
    std::int32_t pending_ = 0;      // added to the speed after each tick
    std::int64_t accumulator_ = 0;  // sub-steps not yet a whole microstep
};

}  // namespace boardsim
}  // namespace qz

#endif
