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

// Writes every block of the image with command write, then reads each back with command read;
// failWrite and failVerify throw for the block that failed.
template <class Send, class Fail, class FailVerify>
void writeAndVerify(Send send, int write, int read, const std::vector<unsigned char>& image, std::size_t blockSize,
                    Fail failWrite, FailVerify failVerify)
{
    const std::size_t blocks = image.size() / blockSize;
    std::vector<unsigned char> request;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        blockRequest(request, b, image.data(), blockSize);
        std::array<unsigned char, writeReplySize> reply{};
        if (!writeAccepted(reply.data(), send(write, boost::asio::buffer(request), boost::asio::buffer(reply))))
            failWrite(b);
    }
    std::vector<unsigned char> readBack(blockSize);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        std::array<unsigned char, blockNumberSize> number;
        putLE32(number.data(), b);
        const std::size_t received = send(read, boost::asio::buffer(number), boost::asio::buffer(readBack));
        if (!blockVerified(image.data() + std::size_t{b} * blockSize, blockSize, readBack.data(), received))
            failVerify(b);
    }
}

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

    writeAndVerify(
        [this](int command, const boost::asio::const_buffer& request, const boost::asio::mutable_buffer& reply) {
            return sendTCPControlCommandWithReply(command, request, reply);
        },
        cmdWriteARMBlock, cmdReadARMBlock, image, armBlockSize,
        [](std::uint32_t b) { BOOST_THROW_EXCEPTION(errorARMBlockWriteFailed() << blockNumberInfo(b)); },
        [](std::uint32_t b) { BOOST_THROW_EXCEPTION(errorARMBlockVerificationFailed() << blockNumberInfo(b)); });

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

    writeAndVerify(
        [this](int command, const boost::asio::const_buffer& request, const boost::asio::mutable_buffer& reply) {
            return sendTCPControlCommandWithReply(command, request, reply);
        },
        cmdWriteFPGABlock, cmdReadFPGABlock, image, fpgaBlockSize,
        [](std::uint32_t) { BOOST_THROW_EXCEPTION(errorFPGABlockWriteFailed()); },
        [](std::uint32_t b) { BOOST_THROW_EXCEPTION(errorFPGABlockVerificationFailed() << blockNumberInfo(b)); });

    BOOST_LOG_SEV(log_, logger::info)
        << boost::format("FPGA firmware updated, %d bytes (complemented up to %d blocks of %d bytes each) written") %
               size % blocks % fpgaBlockSize;
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
