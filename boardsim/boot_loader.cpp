#include "boardsim/boot_loader.hpp"

#include "boardsim/faults.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace qz {
namespace boardsim {

namespace {

ipv4 parseIpv4(const std::string& text)
{
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address_v4(text, ec);
    if (ec)
        throw std::invalid_argument("not an IPv4 address: '" + text + "'");
    return address.to_bytes();
}

bool erased(const std::uint8_t* p, std::size_t size)
{
    return std::all_of(p, p + size, [](std::uint8_t v) { return v == 0xFF; });
}

// A read-back fault changes what is sent, not what is stored.
void flipFirstByte(bytes& block)
{
    block[0] ^= 0x01;
}

}  // namespace

void addBootOptions(boost::program_options::options_description& all)
{
    namespace po = boost::program_options;
    auto text = [] { return po::value<std::string>(); };
    auto texts = [] { return po::value<std::vector<std::string>>(); };
    po::options_description boot("boot loader");
    boot.add_options()
        ("boot-revision", text(), "the boot loader's revision text (BOOT_LOADER sim 1.0)")
        ("boot-ip", text(), "the boot loader's address (default: the board's)")
        ("boot-mask", text(), "the boot loader's mask (default: the board's)")
        ("boot-gw", text(), "the boot loader's gateway (default: the board's)")
        ("boot-ctrl-port", text(), "the boot loader's control port in its record (default: the board's)")
        ("boot-erase-fail", texts(), "S: the erase of ARM sector S is refused")
        ("boot-write-fail", texts(), "B: the write of ARM block B is refused")
        ("boot-fpga-write-fail", texts(), "B: the write of FPGA block B is refused")
        ("boot-corrupt", texts(), "B: ARM block B reads back with its first byte flipped")
        ("boot-fpga-corrupt", texts(), "B: FPGA block B reads back with its first byte flipped")
        ("boot-cut-after", text(), "the Nth boot-loader command (from 1) is not answered; the link is cut")
        ("boot-wake-error", texts(), "CMD:BYTE: UDP 0x7f or 6 refused with payload BYTE")
        ("boot-ignore-set-config", "UDP 5 is answered but its record is not taken");
    all.add(boot);
}

bootOptions parseBootOptions(const boost::program_options::variables_map& vm)
{
    auto given = [&vm](const char* name) { return vm.count(name) > 0; };
    auto text = [&vm](const char* name) { return vm[name].as<std::string>(); };
    auto numbers = [&](const char* name, unsigned long max) {
        std::set<std::uint32_t> out;
        if (given(name))
            for (const std::string& t : vm[name].as<std::vector<std::string>>())
                out.insert(static_cast<std::uint32_t>(parseNumber(t, max)));
        return out;
    };

    bootOptions o;
    if (given("boot-revision"))
        o.revision = text("boot-revision");
    if (given("boot-ip"))
        o.ip = parseIpv4(text("boot-ip"));
    if (given("boot-mask"))
        o.mask = parseIpv4(text("boot-mask"));
    if (given("boot-gw"))
        o.gw = parseIpv4(text("boot-gw"));
    if (given("boot-ctrl-port"))
        o.ctrlPort = static_cast<std::uint16_t>(parseNumber(text("boot-ctrl-port"), 0xFFFF));
    o.faults.eraseFail = numbers("boot-erase-fail", bootFlash::sectorCount - 1);
    o.faults.armWriteFail = numbers("boot-write-fail", bootFlash::armBlockCount - 1);
    o.faults.fpgaWriteFail = numbers("boot-fpga-write-fail", bootFlash::fpgaBlockCount - 1);
    o.faults.armCorrupt = numbers("boot-corrupt", bootFlash::armBlockCount - 1);
    o.faults.fpgaCorrupt = numbers("boot-fpga-corrupt", bootFlash::fpgaBlockCount - 1);
    if (given("boot-cut-after")) {
        o.faults.cutAfter = static_cast<unsigned>(parseNumber(text("boot-cut-after"), 0xFFFFFFFF));
        if (*o.faults.cutAfter == 0)
            throw std::invalid_argument("--boot-cut-after counts commands from 1");
    }
    o.faults.ignoreSetConfig = given("boot-ignore-set-config");
    if (given("boot-wake-error"))
        for (const std::string& t : vm["boot-wake-error"].as<std::vector<std::string>>()) {
            auto [code, value] = parseCodeValue(t, 0xFF);
            if (!code || (*code != 0x7F && *code != 6))
                throw std::invalid_argument("--boot-wake-error names 0x7f or 6: '" + t + "'");
            o.faults.wakeError[*code] = static_cast<std::uint8_t>(value);
        }
    return o;
}

bootFlash::bootFlash(bootFaults faults)
    : faults_(std::move(faults)), arm_(sectorCount * sectorSize, 0xFF)
{
}

std::uint32_t bootFlash::erase(std::uint32_t sector)
{
    if (sector >= sectorCount)
        return outOfRange;
    if (faults_.eraseFail.count(sector))
        return refused;
    std::fill_n(arm_.begin() + sector * sectorSize, sectorSize, 0xFF);
    return ok;
}

std::uint32_t bootFlash::writeArm(std::uint32_t block, const std::uint8_t* data)
{
    if (block >= armBlockCount)
        return outOfRange;
    if (faults_.armWriteFail.count(block))
        return refused;
    std::uint8_t* at = arm_.data() + std::size_t{block} * armBlockSize;
    if (!erased(at, armBlockSize))
        return notErased;
    std::copy_n(data, armBlockSize, at);
    return ok;
}

std::optional<bytes> bootFlash::readArm(std::uint32_t block) const
{
    if (block >= armBlockCount)
        return std::nullopt;
    auto at = arm_.begin() + std::size_t{block} * armBlockSize;
    bytes out(at, at + armBlockSize);
    if (faults_.armCorrupt.count(block))
        flipFirstByte(out);
    return out;
}

// The FPGA's store needs no erase: a block is overwritten as a whole.
std::uint32_t bootFlash::writeFpga(std::uint32_t block, const std::uint8_t* data)
{
    if (block >= fpgaBlockCount)
        return outOfRange;
    if (faults_.fpgaWriteFail.count(block))
        return refused;
    const std::size_t end = (std::size_t{block} + 1) * fpgaBlockSize;
    if (fpga_.size() < end)
        fpga_.resize(end, 0xFF);
    std::copy_n(data, fpgaBlockSize, fpga_.begin() + (end - fpgaBlockSize));
    return ok;
}

std::optional<bytes> bootFlash::readFpga(std::uint32_t block) const
{
    if (block >= fpgaBlockCount)
        return std::nullopt;
    const std::size_t begin = std::size_t{block} * fpgaBlockSize;
    bytes out(fpgaBlockSize, 0xFF);
    if (begin < fpga_.size())
        std::copy_n(fpga_.begin() + begin, fpgaBlockSize, out.begin());
    if (faults_.fpgaCorrupt.count(block))
        flipFirstByte(out);
    return out;
}

void bootFlash::install(const bytes& image)
{
    const std::size_t size = std::min(image.size(), arm_.size());
    std::copy_n(image.begin(), size, arm_.begin());
}

std::optional<bytes> bootFlash::validImage(const hardwareId& hwId) const
{
    const std::uint32_t a = hardwareIdSum(hwId);
    std::uint32_t sum = 0;  // of every byte before the trailer of the sector count tried
    std::size_t summed = 0;
    for (std::size_t n = 1; n <= sectorCount; ++n) {
        const std::size_t trailer = n * sectorSize - trailerSize;
        for (; summed < trailer; ++summed)
            sum += arm_[summed];
        if (getLE32(&arm_[trailer]) == a && getLE32(&arm_[trailer + 4]) == sum)
            return bytes(arm_.begin(), arm_.begin() + n * sectorSize);
    }
    return std::nullopt;
}

std::uint32_t hardwareIdSum(const hardwareId& hwId)
{
    std::uint32_t a = 0;
    for (std::size_t i = 0; i < hwId.size(); i += 4)
        a += getLE32(&hwId[i]);
    return a;
}

bytes armImage(const bytes& content, const hardwareId& hwId)
{
    const std::size_t sectors = (content.size() + bootFlash::sectorSize + bootFlash::trailerSize - 1) /
                                bootFlash::sectorSize;
    bytes image(content);
    std::uint32_t b = 0;
    for (std::uint8_t v : content)
        b += v;
    image.resize(sectors * bootFlash::sectorSize - bootFlash::trailerSize, 0);
    putLE32(image, hardwareIdSum(hwId));
    putLE32(image, b);
    return image;
}

std::string revisionOfImage(const bytes& image)
{
    static const std::string marker = "QZ_SMC";
    constexpr std::size_t longest = 64;
    const auto end = image.end() - static_cast<std::ptrdiff_t>(bootFlash::trailerSize);
    auto at = std::search(image.begin(), end, marker.begin(), marker.end());
    if (at != end) {
        std::string text;
        for (; at != end && *at >= 0x20 && *at <= 0x7E && text.size() < longest; ++at)
            text.push_back(static_cast<char>(*at));
        return text;
    }
    char text[32];
    std::snprintf(text, sizeof text, "QZ_SMC sim image %08x", static_cast<unsigned>(getLE32(&*end + 4)));
    return text;
}

}  // namespace boardsim
}  // namespace qz
