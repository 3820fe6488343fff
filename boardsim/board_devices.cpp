#include "boardsim/board_devices.hpp"

namespace qz {
namespace boardsim {

void boardDevices::follow(std::int64_t microsteps)
{
    motor_.step(microsteps);
    limit_.follow(motor_.position());
    if (receiver_)
        receiver_->tick(outputs_);
}

std::uint32_t boardDevices::inputs() const
{
    if (!receiver_)
        return inputWord_;
    return (inputWord_ & ~receiver::inputLines) | receiver_->inputs(outputs_);
}

void boardDevices::fitLimitSwitch(const limitSwitchOptions& options)
{
    limit_ = limitSwitch(options);
    limit_.follow(motor_.position());
}

}  // namespace boardsim
}  // namespace qz
