#ifndef QZ_BOARDSIM_BOARD_DEVICES_HPP
#define QZ_BOARDSIM_BOARD_DEVICES_HPP

#include "boardsim/limit_switch.hpp"
#include "boardsim/motor.hpp"
#include "boardsim/receiver.hpp"

#include <cstdint>
#include <optional>

namespace qz {
namespace boardsim {

// What the board's processor reads and drives besides the step generator: the motor and its limit
// switch, the digital lines with the receiver on them, the pressure sensor. Programs see the lines through variables 11
// (inputs) and 12 (outputs), the terminal through commands 0x22 and 0x25. Lives on the board's one
// thread, like the rest of the model.
class boardDevices {
public:
    static constexpr std::uint32_t defaultPressureRaw = 53537;  // about 101.3 kPa by the terminal's conversion

    // After each generator tick, with the microsteps it sent: the motor makes them, the switch and
    // the receiver follow. Between programs the board's time stands still.
    void follow(std::int64_t microsteps);

    motor& drive() { return motor_; }
    const motor& drive() const { return motor_; }
    const limitSwitch& limit() const { return limit_; }
    void fitLimitSwitch(const limitSwitchOptions& options);

    // The digital-input word as the board reads it: a receiver drives its two lines.
    std::uint32_t inputs() const;
    void fitReceiver(std::uint32_t readoutTicks) { receiver_.emplace(readoutTicks); }
    // What drives the input lines from outside the board.
    void setInputWord(std::uint32_t word) { inputWord_ = word; }

    std::uint32_t outputs() const { return outputs_; }
    void setOutputs(std::uint32_t outputs) { outputs_ = outputs; }

    std::uint32_t pressureRaw() const { return pressureRaw_; }
    void setPressureRaw(std::uint32_t raw) { pressureRaw_ = raw; }

private:
    motor motor_;
    limitSwitch limit_;
    std::optional<receiver> receiver_;
    std::uint32_t inputWord_ = 0;
    std::uint32_t outputs_ = 0;
    std::uint32_t pressureRaw_ = defaultPressureRaw;
};

}  // namespace boardsim
}  // namespace qz

#endif
