#include "boardsim/board_devices.hpp"

namespace qz {
namespace boardsim {

void boardDevices::follow(std::int64_t microsteps)
{
    motor_.step(microsteps);
    limit_.follow(motor_.position());
}

void boardDevices::fitLimitSwitch(const limitSwitchOptions& options)
{
    limit_ = limitSwitch(options);
    limit_.follow(motor_.position());
}

}  // namespace boardsim
}  // namespace qz
