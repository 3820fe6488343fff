#include "boardsim/motor.hpp"

#include <algorithm>

namespace qz {
namespace boardsim {

void motor::setDriver(unsigned mres, bool countsWithPosition)
{
    mres_ = std::min(mres, 8u);
    countsWithPosition_ = countsWithPosition;
}

void motor::step(std::int64_t microsteps)
{
    std::uint64_t made = static_cast<std::uint64_t>(microsteps < 0 ? -microsteps : microsteps);
    if (loseEvery_ != 0) {
        const std::uint64_t sent = sinceLost_ + made;
        made -= sent / loseEvery_;
        sinceLost_ = sent % loseEvery_;
    }
    const std::int64_t moved = microsteps < 0 ? -static_cast<std::int64_t>(made) : static_cast<std::int64_t>(made);
    position_ += moved;
    const std::int64_t counted = (countsWithPosition_ ? moved : -moved) * (std::int64_t{1} << mres_);
    counter_ = static_cast<std::uint32_t>((counter_ + static_cast<std::uint64_t>(counted)) & 0x3FF);
}

}  // namespace boardsim
}  // namespace qz
