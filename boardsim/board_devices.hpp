#ifndef QZ_BOARDSIM_BOARD_DEVICES_HPP
#define QZ_BOARDSIM_BOARD_DEVICES_HPP

#include <cstdint>

namespace qz {
namespace boardsim {

// What the board's processor reads and drives besides the step generator. Programs see it through
// variables 11 (inputs) and 12 (outputs), the terminal through commands 0x22 and 0x25. Lives on
// the board's one thread, like the rest of the model.
class boardDevices {
public:
    static constexpr std::uint32_t defaultPressureRaw = 53537;  // about 101.3 kPa by the terminal's conversion

    // The digital-input word as the board reads it.
    std::uint32_t inputs() const { return inputWord_; }
    // What drives the input lines from outside the board.
    void setInputWord(std::uint32_t word) { inputWord_ = word; }

    std::uint32_t outputs() const { return outputs_; }
    void setOutputs(std::uint32_t outputs) { outputs_ = outputs; }

    std::uint32_t pressureRaw() const { return pressureRaw_; }
    void setPressureRaw(std::uint32_t raw) { pressureRaw_ = raw; }

private:
    std::uint32_t inputWord_ = 0;
    std::uint32_t outputs_ = 0;
    std::uint32_t pressureRaw_ = defaultPressureRaw;
};

}  // namespace boardsim
}  // namespace qz

#endif
