#ifndef QZ_BOARDSIM_DEVICE_VARIABLES_HPP
#define QZ_BOARDSIM_DEVICE_VARIABLES_HPP

#include "boardsim/board_devices.hpp"
#include "boardsim/step_generator.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qz {
namespace boardsim {

constexpr std::size_t variableCount = 128;

// The board's signed 32-bit variables, shared by the terminal's commands and the sequencer. Most
// are plain storage; a few are windows onto the motor and, when the devices are given, onto the
// digital lines. Without them (the planner's tests drive a bare generator) 11 and 12 are storage.
class deviceVariables {
public:
    static constexpr std::size_t programState = 0;  // bit 0: a program runs
    static constexpr std::size_t programStart = 1;  // the slot a start begins at
    static constexpr std::size_t position = 2;      // the generator's position, read and write
    static constexpr std::size_t speed = 4;         // the generator's speed, read only
    static constexpr std::size_t inputs = 11;       // the digital inputs, read only
    static constexpr std::size_t outputs = 12;      // the digital outputs, read and write
    static constexpr std::size_t limitHandler = 16; // bit 31 arms the limit handler at the low 16 bits

    explicit deviceVariables(stepGenerator& generator, boardDevices* devices = nullptr)
        : generator_(generator), devices_(devices)
    {
    }
    deviceVariables(const deviceVariables&) = delete;
    deviceVariables& operator=(const deviceVariables&) = delete;

    static bool exists(std::int64_t id) { return id >= 0 && id < static_cast<std::int64_t>(variableCount); }

    // id must exist.
    std::int32_t get(std::size_t id) const;
    void set(std::size_t id, std::int32_t value);

    // All 0, the position and the outputs included.
    void clear();

private:
    stepGenerator& generator_;
    boardDevices* devices_;
    std::array<std::int32_t, variableCount> values_{};  // the windows' ones unused
};

}  // namespace boardsim
}  // namespace qz

#endif
