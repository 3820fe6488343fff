// The firmware update through the board's boot loader: "updateFirmware".
#include "tester.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/scope_exit.hpp>
#include <boost/test/unit_test.hpp>

#include "zkutility/boot_controller.hpp"
#include "zkutility/firmware_image.hpp"
#include "zkutility/logger.hpp"
#include "zkutility/utility.hpp"

namespace pt = boost::property_tree;

namespace {

// The boot loader comes up some seconds after the board was told to restart.
constexpr std::int64_t bootLoaderSearchLimit = 30;  // s
constexpr std::size_t readChunk = 1 << 20;
constexpr std::chrono::milliseconds attemptPace{100};  // at most one attempt started per pace

// Without a connected board the search finds the boot loader where the failed update left it.
constexpr const char* updateFailedHint =
    "firmware update failed: the board stays in its boot loader; run updateFirmware again from a script without "
    "connect to finish the update";

}  // namespace

std::vector<char> readFile(const std::string& path, std::size_t limit)
{
    std::vector<char> data;
    // Only a regular file is opened: a FIFO without a writer would block the open, and a
    // device such as /dev/zero never ends.
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(path, error))
        return data;
    // One byte past the limit tells an oversized file without reading the rest of it.
    const std::size_t most = limit + 1;
    // Room for the whole file and one chunk up front: growing chunk by chunk would leave
    // up to twice the image allocated while the update makes its own copy.
    const std::uintmax_t size = boost::filesystem::file_size(path, error);
    if (!error)
        data.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(size + readChunk, most)));
    std::ifstream in(path, std::ios::in | std::ios::binary);
    std::size_t total = 0;
    while (in.good() && total < most) {
        const std::size_t chunk = std::min(readChunk, most - total);
        data.resize(total + chunk);
        in.read(data.data() + total, static_cast<std::streamsize>(chunk));
        total += static_cast<std::size_t>(in.gcount());
    }
    data.resize(total);
    return data;
}

bool waitFor(std::int64_t seconds, const std::function<bool()>& attempt)
{
    const auto t0 = std::chrono::steady_clock::now();
    const std::chrono::nanoseconds limit = std::chrono::seconds(seconds);
    bool result = false;
    for (auto next = t0;; next += attemptPace) {
        // An attempt that fails at once (no interface to search on) must not spin the loop.
        std::this_thread::sleep_until(next);
        try {
            result = attempt();
        } catch (const std::exception& e) {
            std::cerr << boost::diagnostic_information(e);
            result = false;
        }
        if (result || std::chrono::steady_clock::now() - t0 >= limit)
            return result;
    }
}

namespace {

// An image named by the command, with what the boot loader takes of it.
struct namedImage {
    const char* part;
    std::string path;
    std::size_t limit;
    void (*checkSize)(std::uint64_t);
    void (zk::hw::boot::controller::*write)(const void*, unsigned int, bool);
    std::vector<char> bytes;
};

// Reads the image at path; false, with the failed check said, when there is nothing to write.
// One the boot loader cannot take throws its controller's error; its size is compared in 64 bits,
// and a file that says it is too large is not read at all.
bool readImage(namedImage& image)
{
    boost::system::error_code error;
    const std::uintmax_t onDisk = boost::filesystem::file_size(image.path, error);
    if (!error && onDisk > image.limit)
        image.checkSize(onDisk);
    image.bytes = readFile(image.path, image.limit);
    if (image.bytes.empty()) {
        BOOST_ERROR("File <" << zk::printable(image.path) << "> not found");
        return false;
    }
    // A file that grew since it was measured is read one byte past the limit.
    image.checkSize(image.bytes.size());
    return true;
}

}  // namespace

void _tester::updateFirmware(const pt::ptree& cmd)
{
    using zk::hw::boot::controller;
    const auto arm = cmd.get_optional<std::string>("ARM");
    const auto fpga = cmd.get_optional<std::string>("FPGA");
    if (!arm && !fpga) {
        BOOST_TEST_MESSAGE("Update options not specified");
        return;
    }
    std::vector<namedImage> images;
    if (arm)
        images.push_back({"ARM", *arm, zk::hw::boot::armMaxImageSize, &controller::checkARMImageSize,
                          &controller::updateARMFirmware, {}});
    if (fpga)
        images.push_back({"FPGA", *fpga, zk::hw::boot::fpgaMaxImageSize, &controller::checkFPGAImageSize,
                          &controller::updateFPGAFirmware, {}});

    boost::asio::ip::address localAddress;
    std::array<unsigned char, 20> hwId{};
    std::set<boost::asio::ip::address> prohibited;
    // A running board is sent into its boot loader only with every image read and checked, so a
    // bad file leaves it running its firmware. Without one there is nothing to protect: each image
    // is read when its turn comes.
    const bool boardConnected = c_ && c_->connected();
    if (boardConnected) {
        for (namedImage& image : images)
            if (!readImage(image))
                return;
        localAddress = c_->localAddress();
        hwId = c_->hardwareId();
        // Read before anything is printed: a failed read leaves no half line.
        const std::string revision = c_->getRevisionString();
        std::cout << "current revision: " << zk::printable(revision) << std::endl;
        // The boot loader must not come up where the board was: it is moved off that address.
        prohibited.insert(c_->deviceAddress());
        c_->leaveForBootLoader();
        c_.reset();
    } else {
        std::cout << "device not connected, will try to search for BOOT_LOADER device" << std::endl;
    }

    std::unique_ptr<controller> loader;
    const auto searchBootLoader = [&loader, &localAddress, &hwId, &prohibited]() {
        const std::string address = localAddress.to_string();
        loader.reset(new controller(localAddress.is_unspecified() ? nullptr : address.c_str(), hwId, prohibited));
        return loader != nullptr;
    };
    if (!waitFor(bootLoaderSearchLimit, searchBootLoader)) {
        BOOST_ERROR("BOOT_LOADER device not found");
        return;
    }

    // Disconnects before the pointer deletes it, also when an update throws; after a failed update
    // the controller does not start the firmware, and the user is told how to finish.
    BOOST_SCOPE_EXIT_ALL(&loader) {
        loader->disconnect(true);
        if (loader->updateUnfinished()) {
            std::cerr << updateFailedHint << std::endl;
            zk::logger::channel_logger log(boost::log::keywords::channel = "btldr");
            BOOST_LOG_SEV(log, zk::logger::error) << updateFailedHint;
        }
    };

    for (namedImage& image : images) {
        if (!boardConnected && !readImage(image))
            return;
        std::cout << boost::format("updating %s with firmware from <%s>...") % image.part % image.path << std::flush;
        // Within the boot loader's limit, so the size fits.
        ((*loader).*image.write)(image.bytes.data(), static_cast<unsigned int>(image.bytes.size()), false);
        std::cout << "done" << std::endl;
    }
}
