#include "boardsim/step_generator.hpp"

#include "boardsim/wire.hpp"

#include <algorithm>

namespace qz {
namespace boardsim {

namespace {

// Within [-limit, limit]; a negative limit, which no sane settings hold, still gives a defined
// 32-bit result.
std::int32_t clampTo(std::int64_t value, std::int32_t limit)
{
    return static_cast<std::int32_t>(std::min<std::int64_t>(std::max<std::int64_t>(value, -std::int64_t{limit}), limit));
}

}  // namespace

generatorLimits generatorLimits::fromBlock(const std::uint8_t* block)
{
    return {static_cast<std::int32_t>(getLE32(block)), static_cast<std::int32_t>(getLE32(block + 4)),
            static_cast<std::int32_t>(getLE32(block + 8))};
}

std::int64_t stepGenerator::tick()
{
    accumulator_ += speed_;
    const std::int64_t steps = accumulator_ / limits_.path;
    position_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(position_) + static_cast<std::uint32_t>(steps));
    accumulator_ %= limits_.path;
    speed_ = clampTo(std::int64_t{speed_} + pending_, limits_.speed);
    return steps;
}

void stepGenerator::stop()
{
    speed_ = 0;
    pending_ = 0;
    accumulator_ = 0;
}

void stepGenerator::setPending(std::int32_t accel)
{
    pending_ = clampTo(accel, limits_.accel);
}

}  // namespace boardsim
}  // namespace qz
