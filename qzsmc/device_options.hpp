#ifndef QZ_SMC_DEVICE_OPTIONS_HPP
#define QZ_SMC_DEVICE_OPTIONS_HPP

namespace qz {
namespace smc {

// The motor-controller board as seen by the device link.
struct device_options {
    // Network configuration record, 45 bytes, fields back to back.
    struct networkConfiguration {
        unsigned char IP[4];
        unsigned char GW[4];
        unsigned char Mask[4];
        unsigned char DNS1[4];
        unsigned char DNS2[4];
        unsigned char MAC[6];
        char Name[16];
        unsigned char DHCP;
        unsigned char CtrlPort[2];  // little-endian
    };

    enum socketType { controlSocket = 0 };
    static constexpr unsigned socketCount = 1;
};

static_assert(sizeof(device_options::networkConfiguration) == 45, "the board's record is 45 bytes");

}  // namespace smc
}  // namespace qz

#endif
