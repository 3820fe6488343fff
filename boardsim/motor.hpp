#ifndef QZ_BOARDSIM_MOTOR_HPP
#define QZ_BOARDSIM_MOTOR_HPP

#include <cstdint>

namespace qz {
namespace boardsim {

// The driver and the motor behind it: where the motor really stands, in microsteps from where it
// stood at power-on, and the driver's microstep counter, its place in the electrical cycle. The
// position counter (variable 2) is the step generator's idea of the position; writing it or a
// soft reset moves only the counter. Steps lost on the way (--lose-steps) reach neither the
// driver nor the motor, so the counter drifts from both.
class motor {
public:
    // The driver's register fields as the last commit applied them: the microstep resolution MRES
    // (steps of 2^MRES in a 1024-entry cycle; above 8 the chip takes full steps) and whether its
    // counter runs up as the position runs up.
    void setDriver(unsigned mres, bool countsWithPosition);
    // Every nth microstep sent is lost; 0 loses none.
    void loseEvery(std::uint32_t n) { loseEvery_ = n; }

    // The microsteps the generator sent in one tick (signed).
    void step(std::int64_t microsteps);

    std::int64_t position() const { return position_; }
    // MSCNT, 0 to 1023; 0 at power-on.
    std::uint32_t microstepCounter() const { return counter_; }

private:
    std::int64_t position_ = 0;
    std::uint32_t counter_ = 0;
    unsigned mres_ = 0;
    bool countsWithPosition_ = false;
    std::uint32_t loseEvery_ = 0;
    std::uint64_t sinceLost_ = 0;  // microsteps sent since the last lost one
};

}  // namespace boardsim
}  // namespace qz

#endif
