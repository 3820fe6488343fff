// The firmware updates of the boot-loader controller: one command at a time,
// each confirmed before the next; the image layout and the reply checks are in
// firmware_image.
#include "zkutility/boot_controller.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <vector>

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/firmware_image.hpp"
#include "zkutility/utility.hpp"

namespace zk {
namespace hw {
namespace boot {

namespace {

constexpr int cmdEraseARMSector = 7;
constexpr int cmdWriteARMBlock = 8;
constexpr int cmdReadARMBlock = 9;
constexpr int cmdReadFPGABlock = 0x25;
constexpr int cmdWriteFPGABlock = 0x26;

// Writes every block of the image with command write; the first block the device refused (by its
// status or by the error flag), if any.
std::optional<std::uint32_t> writeBlocks(controller& c, int write, const std::vector<unsigned char>& image,
                                         std::size_t blockSize)
{
    const std::size_t blocks = image.size() / blockSize;
    std::vector<unsigned char> request;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        blockRequest(request, b, image.data(), blockSize);
        std::array<unsigned char, writeReplySize> reply{};
        const std::size_t received =
            c.sendTCPControlCommandWithReply(write, boost::asio::buffer(request), boost::asio::buffer(reply));
        if (c.commandRefused() || !writeAccepted(reply.data(), received))
            return b;
    }
    return std::nullopt;
}

// Reads every block back with command read; the first block that differs from the image or whose
// read the device refused, if any.
std::optional<std::uint32_t> verifyBlocks(controller& c, int read, const std::vector<unsigned char>& image,
                                          std::size_t blockSize)
{
    const std::size_t blocks = image.size() / blockSize;
    std::vector<unsigned char> readBack(blockSize);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        std::array<unsigned char, blockNumberSize> number;
        putLE32(number.data(), b);
        const std::size_t received =
            c.sendTCPControlCommandWithReply(read, boost::asio::buffer(number), boost::asio::buffer(readBack));
        if (c.commandRefused() ||
            !blockVerified(image.data() + std::size_t{b} * blockSize, blockSize, readBack.data(), received))
            return b;
    }
    return std::nullopt;
}

// The detail of a refused size: sizes past 32 bits show as 0xFFFFFFFF, never cut to their low bits.
unsigned int sizeDetail(std::uint64_t size)
{
    return static_cast<unsigned int>(std::min<std::uint64_t>(size, std::numeric_limits<unsigned int>::max()));
}

}  // namespace

void controller::checkARMImageSize(std::uint64_t size)
{
    if (size > armMaxImageSize)
        BOOST_THROW_EXCEPTION(errorARMImageTooLarge() << sizeInfo(sizeDetail(size)));
}

void controller::checkFPGAImageSize(std::uint64_t size)
{
    if (size > fpgaMaxImageSize)
        BOOST_THROW_EXCEPTION(errorFPGAImageTooLarge() << sizeInfo(sizeDetail(size)));
}

void controller::updateARMFirmware(const void* data, unsigned int size, bool)
{
    checkARMImageSize(size);
    armUnfinished_ = true;
    ensureDeviceReadyToUpdate();

    const std::vector<unsigned char> image =
        armImage(static_cast<const unsigned char*>(data), size, hardwareIdSum(readHardwareId()));
    const std::size_t sectors = image.size() / armSectorSize;
    const std::size_t blocks = image.size() / armBlockSize;

    for (std::size_t s = 0; s < sectors; ++s) {
        const unsigned char sector = static_cast<unsigned char>(s);
        std::array<unsigned char, eraseReplySize> reply;
        reply.fill(0xFF);
        const std::size_t received = sendTCPControlCommandWithReply(cmdEraseARMSector, boost::asio::buffer(&sector, 1),
                                                                    boost::asio::buffer(reply));
        if (commandRefused() || !eraseAccepted(reply.data(), received))
            BOOST_THROW_EXCEPTION(errorARMBlockEraseFailed() << blockNumberInfo(static_cast<unsigned>(s)));
    }

    if (const auto b = writeBlocks(*this, cmdWriteARMBlock, image, armBlockSize))
        BOOST_THROW_EXCEPTION(errorARMBlockWriteFailed() << blockNumberInfo(*b));
    if (const auto b = verifyBlocks(*this, cmdReadARMBlock, image, armBlockSize))
        BOOST_THROW_EXCEPTION(errorARMBlockVerificationFailed() << blockNumberInfo(*b));
    armUnfinished_ = false;

    BOOST_LOG_SEV(log_, logger::info)
        << boost::format("ARM firmware updated, %d original size,  %d sectors of %d bytes each erased, %d blocks of %d "
                         "bytes each written and verified") %
               size % sectors % armSectorSize % blocks % armBlockSize;
}

void controller::updateFPGAFirmware(const void* data, unsigned int size, bool)
{
    checkFPGAImageSize(size);
    fpgaUnfinished_ = true;
    ensureDeviceReadyToUpdate();

    const std::vector<unsigned char> image = fpgaImage(static_cast<const unsigned char*>(data), size);
    const std::size_t blocks = image.size() / fpgaBlockSize;

    if (writeBlocks(*this, cmdWriteFPGABlock, image, fpgaBlockSize))
        BOOST_THROW_EXCEPTION(errorFPGABlockWriteFailed());
    if (const auto b = verifyBlocks(*this, cmdReadFPGABlock, image, fpgaBlockSize))
        BOOST_THROW_EXCEPTION(errorFPGABlockVerificationFailed() << blockNumberInfo(*b));
    fpgaUnfinished_ = false;

    BOOST_LOG_SEV(log_, logger::info)
        << boost::format("FPGA firmware updated, %d bytes (complemented up to %d blocks of %d bytes each) written") %
               size % blocks % fpgaBlockSize;
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
