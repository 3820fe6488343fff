#include "boardsim/device_variables.hpp"

namespace qz {
namespace boardsim {

std::int32_t deviceVariables::get(std::size_t id) const
{
    switch (id) {
    case position: return generator_.position();
    case speed: return generator_.speed();
    default: return values_.at(id);
    }
}

void deviceVariables::set(std::size_t id, std::int32_t value)
{
    switch (id) {
    case position: generator_.setPosition(value); break;
    case speed: break;  // the speed follows the motor, not the terminal
    default: values_.at(id) = value; break;
    }
}

void deviceVariables::clear()
{
    values_.fill(0);
    generator_.setPosition(0);
}

}  // namespace boardsim
}  // namespace qz
