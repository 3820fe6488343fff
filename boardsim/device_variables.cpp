#include "boardsim/device_variables.hpp"

namespace qz {
namespace boardsim {

std::int32_t deviceVariables::get(std::size_t id) const
{
    switch (id) {
    case position: return generator_.position();
    case speed: return generator_.speed();
    case inputs: return devices_ ? static_cast<std::int32_t>(devices_->inputs()) : values_.at(id);
    case outputs: return devices_ ? static_cast<std::int32_t>(devices_->outputs()) : values_.at(id);
    default: return values_.at(id);
    }
}

void deviceVariables::set(std::size_t id, std::int32_t value)
{
    switch (id) {
    case position: generator_.setPosition(value); break;
    case speed: break;  // the speed follows the motor, not the terminal
    case inputs:
        if (!devices_)  // else the lines are driven from outside the board
            values_.at(id) = value;
        break;
    case outputs:
        if (devices_)
            devices_->setOutputs(static_cast<std::uint32_t>(value));
        else
            values_.at(id) = value;
        break;
    default: values_.at(id) = value; break;
    }
}

void deviceVariables::clear()
{
    values_.fill(0);
    generator_.setPosition(0);
    if (devices_)
        devices_->setOutputs(0);
}

}  // namespace boardsim
}  // namespace qz
