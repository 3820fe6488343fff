#include "boardsim/settings.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qz {
namespace boardsim {

namespace {

// Power-on register words. The five-register chip carries each register's address in bits 17-19.
const std::uint32_t fiveRegisterDefaults[] = {0xEF340, 0, 0x82072, 0xD0016, 0xA0560};
const std::uint32_t sixRegisterDefaults[] = {0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA};

}  // namespace

std::size_t registerCount(driverModel model)
{
    return model == driverModel::sixRegister ? 6 : 5;
}

std::size_t settingsImageSize(driverModel model)
{
    return 4 * registerCount(model) + settingsBlockSize;
}

bytes factorySettings(driverModel model)
{
    bytes image;
    if (model == driverModel::sixRegister)
        for (std::uint32_t w : sixRegisterDefaults)
            putLE32(image, w);
    else
        for (std::uint32_t w : fiveRegisterDefaults)
            putLE32(image, w);
    // Limits path, speed, accel unrestricted; motor direction polarity 0; pressure level
    // unrestricted; the six diagnostic masks and polarities 0.
    for (std::uint32_t w : {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 0u, 0x7FFFFFFFu})
        putLE32(image, w);
    image.resize(settingsImageSize(model), 0);
    return image;
}

std::vector<std::uint32_t> registerWords(const bytes& image, driverModel model)
{
    if (image.size() < 4 * registerCount(model))
        throw std::logic_error("settings image shorter than its register words");
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < registerCount(model); ++i)
        words.push_back(getLE32(image.data() + 4 * i));
    return words;
}

settingsFile::settingsFile(std::string path) : path_(std::move(path)) {}

std::optional<bytes> settingsFile::load(std::size_t expectedSize) const
{
    if (path_.empty())
        return std::nullopt;
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return std::nullopt;
    bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error("cannot read settings file " + path_);
    if (image.size() != expectedSize)
        throw std::runtime_error("settings file " + path_ + " holds " +
                                 std::to_string(image.size()) + " bytes, expected " +
                                 std::to_string(expectedSize));
    return image;
}

void settingsFile::store(const bytes& image) const
{
    if (path_.empty())
        return;
    // Written aside and renamed, so a crash never leaves half an image behind.
    std::string temporary = path_ + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out)
            throw std::runtime_error("cannot write settings file " + temporary);
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0)
        throw std::runtime_error("cannot rename " + temporary + " to " + path_);
}

}  // namespace boardsim
}  // namespace qz
