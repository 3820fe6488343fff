#ifndef QZ_BOARDSIM_BOOT_LOADER_HPP
#define QZ_BOARDSIM_BOOT_LOADER_HPP

#include "boardsim/network_config.hpp"
#include "boardsim/wire.hpp"

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace qz {
namespace boardsim {

// Faults of the boot loader's flash and link; each names a sector or block that misbehaves.
struct bootFaults {
    std::set<std::uint32_t> eraseFail;         // ARM sectors whose erase is refused
    std::set<std::uint32_t> armWriteFail;      // ARM blocks whose write is refused
    std::set<std::uint32_t> fpgaWriteFail;     // FPGA blocks whose write is refused
    std::set<std::uint32_t> armCorrupt;        // ARM blocks read back with a flipped byte
    std::set<std::uint32_t> fpgaCorrupt;       // FPGA blocks read back with a flipped byte
    std::optional<unsigned> cutAfter;          // boot-loader commands, then the link is cut once
    std::map<std::uint8_t, std::uint8_t> wakeError;  // UDP 0x7F or 6: refused with this byte
    bool ignoreSetConfig = false;              // UDP 5 answered, its record not taken
};

// How the boot loader starts when the board restarts into it: fields given replace the board's.
struct bootOptions {
    std::string revision = "BOOT_LOADER sim 1.0";
    std::optional<ipv4> ip, mask, gw;
    std::optional<std::uint16_t> ctrlPort;
    bootFaults faults;
};

void addBootOptions(boost::program_options::options_description& all);
// Throws std::invalid_argument on a bad value.
bootOptions parseBootOptions(const boost::program_options::variables_map& vm);

// The boot loader's flash: the ARM processor's 256 sectors of 32768 bytes, written in 256-byte
// blocks over erased (0xFF) space only, and the FPGA's store of 528-byte blocks.
class bootFlash {
public:
    static constexpr std::size_t sectorSize = 32768;
    static constexpr std::size_t sectorCount = 256;
    static constexpr std::size_t armBlockSize = 256;
    static constexpr std::size_t armBlockCount = sectorCount * sectorSize / armBlockSize;
    static constexpr std::size_t fpgaBlockSize = 528;
    static constexpr std::size_t fpgaBlockCount = 8192;
    static constexpr std::size_t trailerSize = 8;

    // Status words of erase and write replies.
    enum status : std::uint32_t { ok = 0, refused = 1, notErased = 2, outOfRange = 3 };

    explicit bootFlash(bootFaults faults = {});

    std::uint32_t erase(std::uint32_t sector);
    std::uint32_t writeArm(std::uint32_t block, const std::uint8_t* data);
    // None for a block outside the flash.
    std::optional<bytes> readArm(std::uint32_t block) const;
    std::uint32_t writeFpga(std::uint32_t block, const std::uint8_t* data);
    std::optional<bytes> readFpga(std::uint32_t block) const;

    // Puts an image into the ARM flash as if erased and written, the trailer included.
    void install(const bytes& image);

    // The image the boot loader would start: the first N sectors whose last 8 bytes hold A (the
    // sum of the hwId's five LE words) and B (the sum of every byte before the trailer). None
    // when no N from 1 to 256 has them.
    std::optional<bytes> validImage(const hardwareId& hwId) const;

    const bytes& arm() const { return arm_; }

private:
    bootFaults faults_;
    bytes arm_;
    bytes fpga_;  // grows with the highest block written; unwritten space reads 0xFF
};

// The image an updater sends for these bytes: padded with zeros to whole sectors, trailer A, B.
bytes armImage(const bytes& content, const hardwareId& hwId);

// The sum of the hwId's five little-endian words: trailer word A.
std::uint32_t hardwareIdSum(const hardwareId& hwId);

// The revision text a started image reports: the first text in it that starts with "QZ_SMC", up
// to the first byte that is not printable ASCII (at most 64 bytes); without one,
// "QZ_SMC sim image " and trailer word B in 8 hex digits.
std::string revisionOfImage(const bytes& image);

}  // namespace boardsim
}  // namespace qz

#endif
