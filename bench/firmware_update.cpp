// A 1 MiB ARM image and a 1 MiB FPGA image through the simulated boot loader: the
// boot-loader controller's update against a raw socket sending the same frames, in one
// run, and the peak memory of an update from reading the image to its end. Runs under
// tools/testnet with LAN 10.77.1.1/24 (tools/bench sets that up); its board is restarted
// into its boot loader before the first benchmark.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "zkutility/boot_controller.hpp"
#include "zkutility/firmware_image.hpp"
#include "zkutility/utility.hpp"

namespace {

using zk::hw::boot::controller;
namespace boot = zk::hw::boot;

constexpr std::size_t imageSize = 1 << 20;
enum target { arm, fpga };

std::vector<unsigned char> imageBytes()
{
    std::vector<unsigned char> data(imageSize);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 31 + (i >> 9));
    return data;
}

// The frames the update sends after its connection stands, in order.
std::vector<std::vector<unsigned char>> updateFrames(target t, const zk::hwId& hwId)
{
    const auto data = imageBytes();
    std::vector<std::vector<unsigned char>> frames;
    std::vector<unsigned char> request;
    const auto add = [&frames](int command, const void* payload, std::size_t size) {
        frames.push_back(zk::hw::buildFrame(command, boost::asio::buffer(payload, size)));
    };
    std::vector<unsigned char> image;
    std::size_t blockSize;
    int write, read;
    if (t == arm) {
        add(2, nullptr, 0);
        image = boot::armImage(data.data(), data.size(), boot::hardwareIdSum(hwId));
        for (std::size_t s = 0; s < image.size() / boot::armSectorSize; ++s) {
            const unsigned char sector = static_cast<unsigned char>(s);
            add(7, &sector, 1);
        }
        blockSize = boot::armBlockSize, write = 8, read = 9;
    } else {
        image = boot::fpgaImage(data.data(), data.size());
        blockSize = boot::fpgaBlockSize, write = 0x26, read = 0x25;
    }
    const std::uint32_t blocks = static_cast<std::uint32_t>(image.size() / blockSize);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        boot::blockRequest(request, b, image.data(), blockSize);
        add(write, request.data(), request.size());
    }
    for (std::uint32_t b = 0; b < blocks; ++b) {
        unsigned char number[4];
        zk::putLE32(number, b);
        add(read, number, sizeof number);
    }
    return frames;
}

void BM_RawUpdate(benchmark::State& state)
{
    const auto frames = updateFrames(target(state.range(0)), qz::test::hwIdOf(qz::test::boardId));
    qz::bench::rawClient raw;
    if (!raw.connected()) {
        state.SkipWithError("cannot connect to the boot loader");
        return;
    }
    for (auto _ : state)
        for (const auto& frame : frames)
            if (!raw.exchange(frame.data(), frame.size())) {
                state.SkipWithError("no reply from the boot loader");
                return;
            }
    state.counters["commands"] = double(frames.size());
}
BENCHMARK(BM_RawUpdate)->ArgName("fpga")->Arg(arm)->Arg(fpga)->Unit(benchmark::kMillisecond)->UseRealTime();

void update(controller& c, target t, const std::vector<unsigned char>& data)
{
    if (t == arm)
        c.updateARMFirmware(data.data(), static_cast<unsigned>(data.size()), false);
    else
        c.updateFPGAFirmware(data.data(), static_cast<unsigned>(data.size()), false);
}

// The boot loader stays one: the connection ends without the command that starts the firmware.
void BM_Update(benchmark::State& state)
{
    const auto data = imageBytes();
    controller c(nullptr, zk::hwId{}, {});
    try {
        for (auto _ : state)
            update(c, target(state.range(0)), data);
    } catch (const std::exception& e) {
        state.SkipWithError(boost::diagnostic_information(e).c_str());
    }
    c.disconnect(false);
}
BENCHMARK(BM_Update)->ArgName("fpga")->Arg(arm)->Arg(fpga)->Unit(benchmark::kMillisecond)->UseRealTime();

std::size_t statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(prefix, 0) == 0)
            return std::stoul(line.substr(prefix.size()));
    return 0;
}

// Peak resident memory from before the image is read, as the terminal reads it, to the
// update's end, above what was resident before: the image twice at most, and a little.
void BM_UpdatePeakMemory(benchmark::State& state)
{
    controller c(nullptr, zk::hwId{}, {});
    c.ensureDeviceReadyToUpdate();
    for (auto _ : state) {
        // Free heap pages of earlier runs would hide the update's own allocations.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const std::size_t before = statusKiB("VmRSS");
        {
            const auto data = imageBytes();
            update(c, target(state.range(0)), data);
        }
        state.counters["peak_KiB"] = double(statusKiB("VmHWM") - before);
    }
    c.disconnect(false);
}
BENCHMARK(BM_UpdatePeakMemory)
    ->ArgName("fpga")->Arg(arm)->Arg(fpga)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Each update's median against the raw client's, and the peak memory against the image.
class updateReporter : public qz::bench::summaryReporter {
    void summary(std::ostream& out) override
    {
        for (const char* arg : {"fpga:0", "fpga:1"}) {
            const std::string kind = arg[5] == '0' ? "ARM " : "FPGA";
            const double raw = median(std::string("BM_RawUpdate/") + arg);
            const double link = median(std::string("BM_Update/") + arg);
            char line[200];
            if (raw > 0 && link > 0) {
                std::snprintf(line, sizeof line, "%s 1 MiB update %8.1f ms, raw client %8.1f ms, ratio %.2f\n",
                              kind.c_str(), link * 1e3, raw * 1e3, link / raw);
                out << line;
            }
            const std::string peak = std::string("BM_UpdatePeakMemory/") + arg;
            if (runs(peak) > 0) {
                const double kib = counter(peak, "peak_KiB");
                std::snprintf(line, sizeof line, "%s 1 MiB update peak memory %6.0f KiB = %.2f x image\n",
                              kind.c_str(), kib, kib / (imageSize / 1024.0));
                out << line;
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    return qz::bench::runAgainstBoard<updateReporter>(argc, argv, "firmware_update", [] {
        qz::test::boardLink board("QZ_SMC", nullptr, qz::test::boardAddress, qz::test::boardLink::localUdpPort,
                                  qz::test::hwIdOf(qz::test::boardId));
        if (!qz::test::connectAndWait(board))
            throw std::runtime_error("no connection to the board");
        board.restartToBootLoader();
        board.disconnect(false);
        // Woken once, the boot loader takes the raw client's connection too.
        for (int attempt = 0;; ++attempt) {
            try {
                controller c(nullptr, zk::hwId{}, {});
                c.ensureDeviceReadyToUpdate();
                c.disconnect(false);
                return;
            } catch (const controller::errorDeviceNotFound&) {
                if (attempt == 10)
                    throw;
            }
        }
    });
}
