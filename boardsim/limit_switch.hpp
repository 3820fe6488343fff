#ifndef QZ_BOARDSIM_LIMIT_SWITCH_HPP
#define QZ_BOARDSIM_LIMIT_SWITCH_HPP

#include <cstdint>
#include <optional>
#include <random>

namespace qz {
namespace boardsim {

struct limitSwitchOptions {
    std::int32_t position = 1;  // not 0: above 0 the switch holds the positions >= it, below 0 those <= it
    std::uint32_t jitter = 0;   // each approach trips up to this many microsteps early or late
    std::uint32_t sticky = 0;   // releases only this many microsteps back from where it tripped
};

// A switch at one end of the travel, worked by the motor itself: writing the position counter
// (variable 2) moves neither, so its position is in the motor's coordinates, which are the
// counter's at power-on. Depth below is how far the motor stands into the switch's side.
class limitSwitch {
public:
    // None fitted: never active.
    limitSwitch() = default;
    explicit limitSwitch(const limitSwitchOptions& options);

    bool active() const { return active_; }

    // After each tick that may have moved the motor.
    void follow(std::int64_t motorPosition);

private:
    std::int64_t depth(std::int64_t motorPosition) const;

    std::optional<limitSwitchOptions> options_;
    std::mt19937 random_{1};  // a fixed seed: a run's trips repeat in the next run
    std::int64_t tripDepth_ = 0;  // this approach's: within [-jitter, jitter]
    bool active_ = false;
    bool redraw_ = false;  // released: a new trip depth once the motor has left the jitter band
};

}  // namespace boardsim
}  // namespace qz

#endif
