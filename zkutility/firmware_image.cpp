#include "zkutility/firmware_image.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "zkutility/utility.hpp"

namespace zk {
namespace hw {
namespace boot {

std::size_t armSectorCount(std::size_t size)
{
    return (size + armTrailerSize + armSectorSize - 1) / armSectorSize;
}

std::size_t fpgaBlockCount(std::size_t size)
{
    return (size + fpgaBlockSize - 1) / fpgaBlockSize;
}

std::uint32_t hardwareIdSum(const std::array<unsigned char, 20>& hwId)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < hwId.size(); i += 4)
        sum += getLE32(hwId.data() + i);
    return sum;
}

std::uint32_t byteSum(const unsigned char* data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum += data[i];
    return sum;
}

std::vector<unsigned char> armImage(const unsigned char* data, std::size_t size, std::uint32_t idSum)
{
    assert(size <= armMaxImageSize);
    std::vector<unsigned char> image(armSectorCount(size) * armSectorSize, 0);
    if (size != 0)
        std::memcpy(image.data(), data, size);
    unsigned char* trailer = image.data() + image.size() - armTrailerSize;
    putLE32(trailer, idSum);
    putLE32(trailer + 4, byteSum(data, size));
    return image;
}

std::vector<unsigned char> fpgaImage(const unsigned char* data, std::size_t size)
{
    std::vector<unsigned char> image(fpgaBlockCount(size) * fpgaBlockSize, 0);
    if (size != 0)
        std::memcpy(image.data(), data, size);
    return image;
}

void blockRequest(std::vector<unsigned char>& request, std::uint32_t block, const unsigned char* image,
                  std::size_t blockSize)
{
    request.resize(blockNumberSize + blockSize);
    putLE32(request.data(), block);
    std::memcpy(request.data() + blockNumberSize, image + std::size_t{block} * blockSize, blockSize);
}

bool eraseAccepted(const unsigned char* reply, std::size_t received)
{
    return received >= eraseReplySize && getLE32(reply) == 0;
}

bool writeAccepted(const unsigned char* reply, std::size_t received)
{
    // The first word is not used; the second is the status.
    return received >= writeReplySize && getLE32(reply + 4) == 0;
}

bool blockVerified(const unsigned char* expected, std::size_t blockSize, const unsigned char* reply,
                   std::size_t received)
{
    return received >= blockSize && std::equal(expected, expected + blockSize, reply);
}

}  // namespace boot
}  // namespace hw
}  // namespace zk
