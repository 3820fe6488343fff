// qzsmc-board: the simulated QZ_SMC board (or its boot loader) on UDP 43282 and TCP 10000.
#include "boardsim/board.hpp"
#include "boardsim/board_clock.hpp"
#include "boardsim/board_follower.hpp"
#include "boardsim/boot_loader.hpp"
#include "boardsim/faults.hpp"
#include "boardsim/hardware_options.hpp"
#include "boardsim/interface_address.hpp"
#include "boardsim/tcp_server.hpp"
#include "boardsim/traffic_log.hpp"
#include "boardsim/udp_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace po = boost::program_options;
using namespace qz::boardsim;

namespace {

struct commandLine {
    identity id;
    networkConfig config;
    faults injected;
    hardwareOptions hardware;
    bootOptions boot;
    std::optional<interfaceAddress> iface;
    std::string logPath;
    std::string settingsPath;
    unsigned long timeScale = 1;
};

ipv4 parseAddress(const std::string& text)
{
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address_v4(text, ec);
    if (ec)
        throw std::invalid_argument("not an IPv4 address: '" + text + "'");
    return address.to_bytes();
}

// Twelve hex digits; separators of any kind are skipped.
std::array<std::uint8_t, 6> parseMac(const std::string& text)
{
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
    if (digits.size() != 12)
        throw std::invalid_argument("a MAC needs 12 hex digits: '" + text + "'");
    std::array<std::uint8_t, 6> mac;
    for (std::size_t i = 0; i < mac.size(); ++i)
        mac[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    return mac;
}

template <class T>
std::optional<T> optionalValue(const po::variables_map& vm, const char* name)
{
    if (vm.count(name))
        return vm[name].as<T>();
    return std::nullopt;
}

// The initial configuration: given values first, then what the interface has.
networkConfig parseConfig(const po::variables_map& vm, const std::optional<interfaceAddress>& iface)
{
    networkConfig c;
    auto current = iface ? iface->ipAddress() : std::nullopt;
    if (auto t = optionalValue<std::string>(vm, "ip"))
        c.ip = parseAddress(*t);
    else if (current)
        c.ip = current->ip;
    else
        throw std::invalid_argument(iface ? "interface " + iface->name() +
                                                " has no IPv4 address; give --ip"
                                          : "give --ip or --iface");
    if (auto t = optionalValue<std::string>(vm, "mask"))
        c.mask = parseAddress(*t);
    else if (current)
        c.mask = current->mask;
    else
        c.mask = {255, 255, 255, 0};
    c.gw = parseAddress(vm["gw"].as<std::string>());
    c.dns1 = parseAddress(vm["dns1"].as<std::string>());
    c.dns2 = parseAddress(vm["dns2"].as<std::string>());

    auto ifaceMac = iface ? iface->macAddress() : std::nullopt;
    if (auto t = optionalValue<std::string>(vm, "mac"))
        c.mac = parseMac(*t);
    else if (ifaceMac)
        c.mac = *ifaceMac;
    else
        c.mac = {0x02, 0, 0, 0, 0, 0x01};

    std::string name = vm["name"].as<std::string>();
    if (name.size() > c.name.size())
        throw std::invalid_argument("--name holds at most 16 bytes: '" + name + "'");
    c.name = nameField(name);
    c.dhcp = static_cast<std::uint8_t>(parseNumber(vm["dhcp"].as<std::string>(), 0xFF));
    c.ctrlPort = static_cast<std::uint16_t>(parseNumber(vm["ctrl-port"].as<std::string>(), 0xFFFF));
    return c;
}

// Empty when --help was asked for.
std::optional<commandLine> parseCommandLine(int argc, char** argv)
{
    po::options_description board("board");
    auto text = [] { return po::value<std::string>(); };
    board.add_options()
        ("help", "this text")
        ("hwid", text()->default_value("0102030405060708090a0b0c0d0e0f1011121314"),
         "hardware id, 40 hex digits")
        ("revision", text(), "revision text; \"TMC\" in it selects the six-register driver")
        ("device-id", text(), "id that discovery must name (QZ_SMC, boot: BOOT_LOADER)")
        ("boot-loader", "boot-loader personality")
        ("iface", text(), "the board's network interface")
        ("ip", text(), "initial address (default: the interface's)")
        ("mask", text(), "initial mask (default: the interface's, else 255.255.255.0)")
        ("gw", text()->default_value("0.0.0.0"), "gateway")
        ("dns1", text()->default_value("0.0.0.0"), "first name server")
        ("dns2", text()->default_value("0.0.0.0"), "second name server")
        ("mac", text(), "MAC, 12 hex digits (default: the interface's)")
        ("name", text()->default_value("qzsmc-board"), "board name, up to 16 bytes")
        ("dhcp", text()->default_value("0"), "DHCP byte")
        ("ctrl-port", text()->default_value("10000"), "control port in the record")
        ("log", text(), "traffic log file")
        ("settings-file", text(), "persistent settings file")
        ("time-scale", text()->default_value("1"), "simulated ticks per wall-clock tick (1 = real time)");

    po::options_description all("qzsmc-board options");
    all.add(board);
    addHardwareOptions(all);
    addBootOptions(all);
    addFaultOptions(all);
    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, all), vm);
    po::notify(vm);
    if (vm.count("help")) {
        std::cout << all << std::endl;
        return std::nullopt;
    }

    commandLine cl;
    bool boot = vm.count("boot-loader") > 0;
    cl.id.kind = boot ? personality::bootLoader : personality::board;
    auto hwId = parseHardwareId(vm["hwid"].as<std::string>());
    if (!hwId)
        throw std::invalid_argument("--hwid needs exactly 40 hex digits");
    cl.id.hwId = *hwId;
    cl.id.revision = optionalValue<std::string>(vm, "revision")
                         .value_or(boot ? "BOOT_LOADER sim 1.0" : "QZ_SMC sim 1.0");
    cl.id.deviceId =
        optionalValue<std::string>(vm, "device-id").value_or(boot ? "BOOT_LOADER" : "QZ_SMC");
    if (auto name = optionalValue<std::string>(vm, "iface"))
        cl.iface.emplace(*name);
    cl.config = parseConfig(vm, cl.iface);
    cl.injected = parseFaults(vm);
    cl.hardware = parseHardware(vm);
    cl.boot = parseBootOptions(vm);
    cl.logPath = optionalValue<std::string>(vm, "log").value_or("");
    cl.settingsPath = optionalValue<std::string>(vm, "settings-file").value_or("");
    cl.timeScale = parseNumber(vm["time-scale"].as<std::string>(), boardClock::maxScale);
    if (cl.timeScale == 0)
        throw std::invalid_argument("--time-scale must be at least 1");
    return cl;
}

}  // namespace

int main(int argc, char** argv)
{
    std::optional<commandLine> cl;
    try {
        cl = parseCommandLine(argc, argv);
    } catch (const std::exception& e) {
        reportOnStandardError(e.what());
        return 2;
    }
    if (!cl)
        return 0;

    try {
        if (cl->iface)
            cl->iface->move(cl->config.ip, cl->config.mask);
        board model(cl->id, cl->config, cl->injected, settingsFile(cl->settingsPath), cl->hardware,
                    cl->boot);
        trafficLog log;
        boost::asio::io_context io;
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);

        // TCP listens before UDP binds, and the log appears last: whichever a test runner
        // watches, the board is ready for both, and for a clean stop, when it sees it.
        boardClock clock(io, model, cl->timeScale);
        boardFollower follower(model, log, cl->iface ? &*cl->iface : nullptr);
        tcpServer tcp(io, model, clock, log, cl->injected.tcp, [&follower] { follower.follow(); });
        clock.onProgramEnd([&tcp] { tcp.programEnded(); });
        udpServer udp(io, model, log, [&follower, &tcp] {
            follower.follow();
            tcp.followBoard();
        });
        log.open(cl->logPath);

        signals.async_wait([&udp, &tcp, &clock](const boost::system::error_code& ec, int) {
            if (ec)
                return;
            udp.stop();
            tcp.stop();
            clock.stop();
        });
        udp.start();
        tcp.start();
        std::cout << "ready" << std::endl;
        io.run();
    } catch (const std::exception& e) {
        reportOnStandardError(e.what());
        return 2;
    }
    return 0;
}
