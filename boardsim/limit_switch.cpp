#include "boardsim/limit_switch.hpp"

namespace qz {
namespace boardsim {

limitSwitch::limitSwitch(const limitSwitchOptions& options) : options_(options)
{
    redraw_ = true;
    follow(0);
}

std::int64_t limitSwitch::depth(std::int64_t motorPosition) const
{
    const std::int64_t position = options_->position;
    return position > 0 ? motorPosition - position : position - motorPosition;
}

// A real switch trips a little early or late each time. Its new trip point is drawn only once the
// motor is clear of every possible one, so that backing off never makes it chatter.
void limitSwitch::follow(std::int64_t motorPosition)
{
    if (!options_)
        return;
    const std::int64_t d = depth(motorPosition);
    const std::int64_t jitter = options_->jitter;
    if (!active_) {
        if (redraw_ && d < -jitter) {
            tripDepth_ = static_cast<std::int64_t>(random_() % static_cast<std::uint64_t>(2 * jitter + 1)) - jitter;
            redraw_ = false;
        }
        active_ = d >= tripDepth_;
    } else if (d < tripDepth_ - std::int64_t{options_->sticky}) {
        active_ = false;
        redraw_ = true;
    }
}

}  // namespace boardsim
}  // namespace qz
