#ifndef QZ_BOARDSIM_RECEIVER_HPP
#define QZ_BOARDSIM_RECEIVER_HPP

#include <cstdint>

namespace qz {
namespace boardsim {

// The receiver a scan exposes, on the board's digital lines. It answers the handshake of the scan
// programs: ready (input 0x20) while it is idle and neither the handshake (output 0x10) nor the
// reflect output (0x20) is up, so raising the handshake is acknowledged by ready falling; busy
// (input 0x40) for a read-out time after each handshake falls, and not ready meanwhile.
class receiver {
public:
    static constexpr std::uint32_t handshakeOutput = 0x10;
    static constexpr std::uint32_t reflectOutput = 0x20;
    static constexpr std::uint32_t readyInput = 0x20;
    static constexpr std::uint32_t busyInput = 0x40;
    static constexpr std::uint32_t inputLines = readyInput | busyInput;

    explicit receiver(std::uint32_t readoutTicks) : readoutTicks_(readoutTicks) {}

    // Its input lines, given the board's outputs now.
    std::uint32_t inputs(std::uint32_t outputs) const;
    // One 10 us tick with these outputs.
    void tick(std::uint32_t outputs);

private:
    std::uint32_t readoutTicks_;
    std::uint32_t readout_ = 0;    // ticks of read-out left
    bool handshake_ = false;       // the handshake output at the last tick
};

}  // namespace boardsim
}  // namespace qz

#endif
