#include "boardsim/receiver.hpp"

namespace qz {
namespace boardsim {

std::uint32_t receiver::inputs(std::uint32_t outputs) const
{
    if (readout_ > 0)
        return busyInput;
    return (outputs & (handshakeOutput | reflectOutput)) == 0 ? readyInput : 0;
}

void receiver::tick(std::uint32_t outputs)
{
    if (readout_ > 0)
        --readout_;
    const bool handshake = (outputs & handshakeOutput) != 0;
    if (handshake_ && !handshake)
        readout_ = readoutTicks_;
    handshake_ = handshake;
}

}  // namespace boardsim
}  // namespace qz
