#ifndef QZ_BOARDSIM_MOTOR_HPP
#define QZ_BOARDSIM_MOTOR_HPP

#include <cstdint>

namespace qz {
namespace boardsim {

// The motor behind the driver: where it really stands, in microsteps from where it stood at
// power-on. The position counter (variable 2) is the step generator's idea of it; writing the
// counter or a soft reset moves only the counter.
class motor {
public:
    // The microsteps the generator sent in one tick (signed).
    void step(std::int64_t microsteps) { position_ += microsteps; }

    std::int64_t position() const { return position_; }

private:
    std::int64_t position_ = 0;
};

}  // namespace boardsim
}  // namespace qz

#endif
