// The firmware updates of the boot-loader controller: one command at a time,
// each confirmed before the next; the image layout and the reply checks are in
// firmware_image.
#include "zkutility/boot_controller.hpp"

#include <array>
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

}  // namespace

void controller::updateARMFirmware(const void* data, unsigned int size, bool)
{
    if (size > armMaxImageSize)
        BOOST_THROW_EXCEPTION(errorARMImageTooLarge() << sizeInfo(size));
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
        if (!eraseAccepted(reply.data(), received))
            BOOST_THROW_EXCEPTION(errorARMBlockEraseFailed() << blockNumberInfo(static_cast<unsigned>(s)));
    }

    std::vector<unsigned char> request;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        blockRequest(request, b, image.data(), armBlockSize);
        std::array<unsigned char, writeReplySize> reply{};
        const std::size_t received =
            sendTCPControlCommandWithReply(cmdWriteARMBlock, boost::asio::buffer(request), boost::asio::buffer(reply));
        if (!writeAccepted(reply.data(), received))
            BOOST_THROW_EXCEPTION(errorARMBlockWriteFailed() << blockNumberInfo(b));
    }

    std::array<unsigned char, armBlockSize> readBack;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        std::array<unsigned char, blockNumberSize> number;
        putLE32(number.data(), b);
        const std::size_t received =
            sendTCPControlCommandWithReply(cmdReadARMBlock, boost::asio::buffer(number), boost::asio::buffer(readBack));
        if (!blockVerified(image.data() + std::size_t{b} * armBlockSize, armBlockSize, readBack.data(), received))
            BOOST_THROW_EXCEPTION(errorARMBlockVerificationFailed() << blockNumberInfo(b));
    }

    BOOST_LOG_SEV(log_, logger::info)
        << boost::format("ARM firmware updated, %d original size,  %d sectors of %d bytes each erased, %d blocks of %d "
                         "bytes each written and verified") %
               size % sectors % armSectorSize % blocks % armBlockSize;
}

void controller::updateFPGAFirmware(const void* data, unsigned int size, bool)
{
    ensureDeviceReadyToUpdate();

    const std::vector<unsigned char> image = fpgaImage(static_cast<const unsigned char*>(data), size);
    const std::size_t blocks = image.size() / fpgaBlockSize;

    std::vector<unsigned char> request;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        blockRequest(request, i, image.data(), fpgaBlockSize);
        std::array<unsigned char, writeReplySize> reply{};
        const std::size_t received =
            sendTCPControlCommandWithReply(cmdWriteFPGABlock, boost::asio::buffer(request), boost::asio::buffer(reply));
        if (!writeAccepted(reply.data(), received))
            BOOST_THROW_EXCEPTION(errorFPGABlockWriteFailed());
    }

    std::array<unsigned char, fpgaBlockSize> readBack;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        std::array<unsigned char, blockNumberSize> number;
        putLE32(number.data(), i);
        const std::size_t received = sendTCPControlCommandWithReply(cmdReadFPGABlock, boost::asio::buffer(number),
                                                                    boost::asio::buffer(readBack));
        if (!blockVerified(image.data() + std::size_t{i} * fpgaBlockSize, fpgaBlockSize, readBack.data(), received))
            BOOST_THROW_EXCEPTION(errorFPGABlockVerificationFailed() << blockNumberInfo(i));
    }

    BOOST_LOG_SEV(log_, logger::info)
        << boost::format("FPGA firmware updated, %d bytes (complemented up to %d blocks of %d bytes each) written") %
               size % blocks % fpgaBlockSize;
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
