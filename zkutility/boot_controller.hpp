#ifndef ZK_HW_BOOT_CONTROLLER_HPP
#define ZK_HW_BOOT_CONTROLLER_HPP

#include <array>
#include <cstdint>
#include <set>

#include <boost/asio/ip/address.hpp>
#include <boost/exception/info.hpp>

#include "zkutility/boot_options.hpp"
#include "zkutility/controller_base.hpp"
#include "zkutility/logger.hpp"

namespace zk {
namespace hw {
namespace boot {

struct tagBlockNumberInfo;
using blockNumberInfo = boost::error_info<tagBlockNumberInfo, unsigned int>;

// The board's boot loader (device id "BOOT_LOADER"): moves it to a reachable
// address with control port 10000, connects, and writes and verifies the ARM and
// FPGA firmware images.
class controller : public controller_base<options> {
public:
    using base = controller_base<options>;

    // Erase: the sector number; ARM write and verification, FPGA verification:
    // the block number (blockNumberInfo). FPGA write: no detail value.
    struct errorARMBlockEraseFailed : deviceError {};
    struct errorARMBlockWriteFailed : deviceError {};
    struct errorARMBlockVerificationFailed : deviceError {};
    struct errorFPGABlockWriteFailed : deviceError {};
    struct errorFPGABlockVerificationFailed : deviceError {};
    // An image the update cannot address (ARM: 256 sectors with the trailer, sector numbers being
    // one byte; FPGA: more bytes than an unsigned int counts), refused before anything is sent.
    // zk::hw::sizeInfo: its size, at most 0xFFFFFFFF.
    struct errorARMImageTooLarge : deviceError {};
    struct errorFPGAImageTooLarge : deviceError {};
    // The boot loader did not hand out its network configuration: nothing to decide on.
    struct errorNetworkConfigurationNotRead : deviceError {};
    // The subnet holds no address to move the boot loader to that is not prohibited.
    struct errorNoAddressAvailable : deviceError {};

    // localAddress: dotted IPv4 text of the interface to use, or null. hwId all
    // zero takes the first boot loader found. Throws errorDeviceNotFound when
    // no boot loader answers.
    controller(const char* localAddress, const std::array<unsigned char, 20>& hwId,
               std::set<boost::asio::ip::address> prohibited);
    ~controller() override;

    // With softReset, TCP command 0x0C starts the new firmware before the base's
    // soft reset; while an update is unfinished neither is sent and the board stays
    // in its boot loader. Failures are logged, never thrown.
    void disconnect(bool softReset) override;

    // Returns with the TCP connection standing: moves the boot loader into the
    // local subnet and off the prohibited addresses, sets control port 10000,
    // wakes it over UDP and connects.
    void ensureDeviceReadyToUpdate();

    // Each erases (ARM), writes and reads back every block; the bool has no effect.
    void updateARMFirmware(const void* data, unsigned int size, bool);
    void updateFPGAFirmware(const void* data, unsigned int size, bool);

    // Throw errorARMImageTooLarge / errorFPGAImageTooLarge for an image of size bytes that the
    // boot loader cannot take, so a caller can refuse a file before the board is touched.
    static void checkARMImageSize(std::uint64_t size);
    static void checkFPGAImageSize(std::uint64_t size);

    // Whether the last update of either image ended by an exception: the board may hold part of it,
    // and no firmware is started over that. A later update of the same image that ends clears it.
    bool updateUnfinished() const { return armUnfinished_ || fpgaUnfinished_; }

private:
    logger::channel_logger log_;
    // Set by the constructor, read-only afterwards.
    std::set<boost::asio::ip::address> prohibited_;
    // Set when an image's update starts, cleared when it ends.
    bool armUnfinished_ = false;
    bool fpgaUnfinished_ = false;
};

}  // namespace boot
}  // namespace hw
}  // namespace zk

#endif
