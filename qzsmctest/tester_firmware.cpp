// The firmware update through the board's boot loader: "updateFirmware".
#include "tester.hpp"

#include <chrono>
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
#include <boost/thread/locks.hpp>

#include "zkutility/boot_controller.hpp"
#include "zkutility/logger.hpp"

namespace pt = boost::property_tree;

namespace {

// The boot loader comes up some seconds after the board was told to restart.
constexpr std::int64_t bootLoaderSearchLimit = 30;  // s
constexpr std::size_t readChunk = 1 << 20;
constexpr std::chrono::milliseconds attemptPace{100};  // at most one attempt started per pace

}  // namespace

std::vector<char> readFile(const std::string& path)
{
    std::vector<char> data;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    // Room for the whole file and one chunk up front: growing chunk by chunk would leave
    // up to twice the image allocated while the update makes its own copy.
    boost::system::error_code error;
    if (boost::filesystem::is_regular_file(path, error)) {
        const auto size = boost::filesystem::file_size(path, error);
        if (!error)
            data.reserve(static_cast<std::size_t>(size) + readChunk);
    }
    std::size_t total = 0;
    while (in.good()) {
        data.resize(total + readChunk);
        in.read(data.data() + total, static_cast<std::streamsize>(readChunk));
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

void _tester::updateFirmware(const pt::ptree& cmd)
{
    const auto arm = cmd.get_optional<std::string>("ARM");
    const auto fpga = cmd.get_optional<std::string>("FPGA");
    if (!arm && !fpga) {
        BOOST_TEST_MESSAGE("Update options not specified");
        return;
    }

    boost::asio::ip::address localAddress;
    std::array<unsigned char, 20> hwId{};
    std::set<boost::asio::ip::address> prohibited;
    if (c_ && c_->connected()) {
        localAddress = c_->localAddress();
        hwId = c_->hardwareId();
        std::cout << "current revision: " << c_->getRevisionString() << std::endl;
        // The boot loader must not come up where the board was: it is moved off that address.
        prohibited.insert(c_->deviceAddress());
        {
            boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
            c_->restartToBootLoader();
        }
        // The board drops the connection as it restarts, so the soft reset may find it gone:
        // that is the restart at work, not a failure; a link that still stands is.
        try {
            c_->disconnect(true);
        } catch (const std::exception& e) {
            // The link may learn of the drop only after the command failed: give it the time a
            // command has to be confirmed before calling the error a failure.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (c_->connected() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (c_->connected())
                throw;
            BOOST_LOG_SEV(zk::logger::main_logger::get(), zk::logger::warning)
                << "board left before its soft reset: " << e.what();
        }
        std::unique_ptr<qz::smc::controller> gone;
        std::swap(gone, c_);
    } else {
        std::cout << "device not connected, will try to search for BOOT_LOADER device" << std::endl;
    }

    std::unique_ptr<zk::hw::boot::controller> loader;
    const auto searchBootLoader = [&loader, &localAddress, &hwId, &prohibited]() {
        const std::string address = localAddress.to_string();
        loader.reset(new zk::hw::boot::controller(localAddress.is_unspecified() ? nullptr : address.c_str(), hwId,
                                                  prohibited));
        return loader != nullptr;
    };
    if (!waitFor(bootLoaderSearchLimit, searchBootLoader)) {
        BOOST_ERROR("BOOT_LOADER device not found");
        return;
    }

    // Disconnects before the pointer deletes it, also when an update throws.
    BOOST_SCOPE_EXIT_ALL(&loader) { loader->disconnect(true); };

    const auto update = [&loader](const char* part, const std::string& path,
                                  void (zk::hw::boot::controller::*write)(const void*, unsigned int, bool)) {
        const std::vector<char> data = readFile(path);
        if (data.empty()) {
            BOOST_ERROR("File <" << path << "> not found");
            return false;
        }
        std::cout << boost::format("updating %s with firmware from <%s>...") % part % path << std::flush;
        ((*loader).*write)(data.data(), static_cast<unsigned int>(data.size()), false);
        std::cout << "done" << std::endl;
        return true;
    };
    if (arm && !update("ARM", *arm, &zk::hw::boot::controller::updateARMFirmware))
        return;
    if (fpga)
        update("FPGA", *fpga, &zk::hw::boot::controller::updateFPGAFirmware);
}
