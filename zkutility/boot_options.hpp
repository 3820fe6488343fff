#ifndef ZK_HW_BOOT_OPTIONS_HPP
#define ZK_HW_BOOT_OPTIONS_HPP

namespace zk {
namespace hw {
namespace boot {

// The board's boot loader as seen by the device link.
struct options {
    // Network configuration record, 44 bytes: the board's without the DHCP byte.
    struct networkConfiguration {
        unsigned char IP[4];
        unsigned char GW[4];
        unsigned char Mask[4];
        unsigned char DNS1[4];
        unsigned char DNS2[4];
        unsigned char MAC[6];
        char Name[16];
        unsigned char CtrlPort[2];  // little-endian
    };

    enum socketType { controlSocket = 0 };
    static constexpr unsigned socketCount = 1;
};

static_assert(sizeof(options::networkConfiguration) == 44, "the boot loader's record is 44 bytes");

}  // namespace boot
}  // namespace hw
}  // namespace zk

#endif
