#include "boardsim/interface_address.hpp"

#include <dirent.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace qz {
namespace boardsim {

namespace {

// True inside a namespace made by "ip netns add", whose handles live in /run/netns.
bool inNamedNamespace()
{
    struct stat self;
    if (stat("/proc/self/ns/net", &self) != 0)
        throw std::runtime_error(std::string("cannot stat /proc/self/ns/net: ") +
                                 std::strerror(errno));
    DIR* dir = opendir("/run/netns");
    if (!dir)
        return false;
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, closedir);
    while (dirent* entry = readdir(dir)) {
        struct stat handle;
        std::string path = std::string("/run/netns/") + entry->d_name;
        if (stat(path.c_str(), &handle) == 0 && handle.st_dev == self.st_dev &&
            handle.st_ino == self.st_ino)
            return true;
    }
    return false;
}

// Runs one command line without a shell; throws unless it exits with 0.
void run(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::string text;
    for (const std::string& a : command)
        text += (text.empty() ? "" : " ") + a;

    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (err != 0)
        throw std::runtime_error("cannot start '" + text + "': " + std::strerror(err));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("cannot wait for '" + text + "': " + std::strerror(errno));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("'" + text + "' failed");
}

ipv4 fromSockaddr(const sockaddr* sa)
{
    ipv4 a;
    std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
    return a;
}

void forEachAddress(const std::string& name, const std::function<void(const ifaddrs&)>& visit)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        throw std::runtime_error(std::string("getifaddrs: ") + std::strerror(errno));
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    for (ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && name == i->ifa_name)
            visit(*i);
}

}  // namespace

interfaceAddress::interfaceAddress(std::string name) : name_(std::move(name))
{
    if (!inNamedNamespace())
        throw std::runtime_error("refusing to manage interface " + name_ +
                                 " outside a network namespace made by 'ip netns add'");
}

std::optional<interfaceAddress::address> interfaceAddress::ipAddress() const
{
    std::optional<address> found;
    forEachAddress(name_, [&found](const ifaddrs& i) {
        if (i.ifa_addr->sa_family == AF_INET && i.ifa_netmask && !found)
            found = address{fromSockaddr(i.ifa_addr), fromSockaddr(i.ifa_netmask)};
    });
    return found;
}

std::optional<std::array<std::uint8_t, 6>> interfaceAddress::macAddress() const
{
    std::optional<std::array<std::uint8_t, 6>> found;
    forEachAddress(name_, [&found](const ifaddrs& i) {
        auto ll = reinterpret_cast<const sockaddr_ll*>(i.ifa_addr);
        if (i.ifa_addr->sa_family == AF_PACKET && ll->sll_halen == 6) {
            found.emplace();
            std::memcpy(found->data(), ll->sll_addr, 6);
        }
    });
    return found;
}

void interfaceAddress::move(const ipv4& ip, const ipv4& mask) const
{
    run({"ip", "addr", "flush", "dev", name_});
    // Without an address there is nothing to route; the interface stays quiet until the next one.
    if (ip == ipv4{})
        return;
    run({"ip", "addr", "add", dotted(ip) + "/" + std::to_string(prefixLength(mask)), "brd", "+",
         "dev", name_});
    run({"ip", "route", "replace", "default", "dev", name_});
}

}  // namespace boardsim
}  // namespace qz
