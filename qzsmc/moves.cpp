// Moves: the whole motion as one device program, started without waiting for its end.
#include <boost/make_shared.hpp>

#include "qzsmc/controller.hpp"

namespace qz {
namespace smc {

namespace {

constexpr std::uint8_t moveDoneVariable = 0x18;
constexpr signed char positionVariable = 2;

}  // namespace

boost::shared_ptr<zk::completionNotifier> controller::moveTo(int position, int speed, int accel)
{
    const int current = getValue(positionVariable);
    program p = makePath(current, position, speed, accel, accel, nullptr);
    if (p.empty()) {
        auto done = boost::make_shared<zk::completionNotifier>();
        done->complete(zk::completionNotifier::completed);
        return done;
    }
    emplaceInstruction(p, device::opcode::setVariable, 1, moveDoneVariable);
    appendProgramEnd(p);
    loadProgram(p, 0);
    return execProgram(0);
}

}  // namespace smc
}  // namespace qz
