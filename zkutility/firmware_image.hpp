// Firmware images as the boot loader takes them, and its replies to the erase,
// write and read-back commands: plain functions over bytes, no socket.
#ifndef ZK_HW_BOOT_FIRMWARE_IMAGE_HPP
#define ZK_HW_BOOT_FIRMWARE_IMAGE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace zk {
namespace hw {
namespace boot {

constexpr std::size_t armSectorSize = 32768;
constexpr std::size_t armBlockSize = 256;
constexpr std::size_t armBlocksPerSector = armSectorSize / armBlockSize;
// Sector numbers travel as one byte.
constexpr std::size_t armMaxSectors = 256;
constexpr std::size_t armTrailerSize = 8;
constexpr std::size_t armMaxImageSize = armMaxSectors * armSectorSize - armTrailerSize;
constexpr std::size_t fpgaBlockSize = 528;
// The update takes the byte count as unsigned int; what the store holds is the boot loader's to
// say, block by block.
constexpr std::size_t fpgaMaxImageSize = std::numeric_limits<unsigned int>::max();
// Block number, then the block.
constexpr std::size_t blockNumberSize = 4;
static_assert((fpgaMaxImageSize + fpgaBlockSize - 1) / fpgaBlockSize <= std::numeric_limits<std::uint32_t>::max(),
              "every FPGA block number fits its 4 bytes");
constexpr std::size_t writeReplySize = 8;
constexpr std::size_t eraseReplySize = 4;

// Sectors that hold the image and its trailer: at least one.
std::size_t armSectorCount(std::size_t size);
std::size_t fpgaBlockCount(std::size_t size);

// Trailer word A: the sum of the hardware id's five little-endian words.
std::uint32_t hardwareIdSum(const std::array<unsigned char, 20>& hwId);
// Trailer word B: the sum of the image bytes.
std::uint32_t byteSum(const unsigned char* data, std::size_t size);

// The ARM image as written: the bytes, zeros to the last sector's trailer, then
// idSum and the byte sum, little-endian. size must not exceed armMaxImageSize.
std::vector<unsigned char> armImage(const unsigned char* data, std::size_t size, std::uint32_t idSum);
// The FPGA image as written: the bytes, zeros to a whole number of blocks.
std::vector<unsigned char> fpgaImage(const unsigned char* data, std::size_t size);

// Fills request with the block number and the block's blockSize bytes from image:
// the payload of a block write.
void blockRequest(std::vector<unsigned char>& request, std::uint32_t block, const unsigned char* image,
                  std::size_t blockSize);

// Each takes the reply payload and the number of bytes the device sent. A reply
// shorter than the command's is refused: its missing bytes are no status.
bool eraseAccepted(const unsigned char* reply, std::size_t received);
bool writeAccepted(const unsigned char* reply, std::size_t received);
bool blockVerified(const unsigned char* expected, std::size_t blockSize, const unsigned char* reply,
                   std::size_t received);

}  // namespace boot
}  // namespace hw
}  // namespace zk

#endif
