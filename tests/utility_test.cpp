// Hardware-id text form (parsing and printing) and the local interface list.
#define BOOST_TEST_MODULE utility
#include <boost/test/unit_test.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/exception/diagnostic_information.hpp>

#include "zkutility/utility.hpp"

namespace {

std::string hex(const zk::hwId& id)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : id) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

// Distinct per index and with a non-zero low nibble, so a byte that is not
// rewritten, or only half rewritten, shows.
zk::hwId prefilled()
{
    zk::hwId id;
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<unsigned char>(0xC3 + 7 * i);
    return id;
}

const std::string lower40 = "000aff0123456789abcdef1032547698badcfe5a";
const zk::hwId bytes40 = {0x00, 0x0a, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
                          0xef, 0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x5a};

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string grouped(const std::string& digits, char separator)
{
    std::string text;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i)
            text += separator;
        text += digits.substr(i, 2);
    }
    return text;
}

struct parseCase {
    const char* name;
    std::string text;
    bool result;
    std::size_t touched;  // leading bytes the parse writes; the rest keep their contents
    std::string leading;  // expected hex of those bytes
};

}  // namespace

BOOST_AUTO_TEST_SUITE(hardware_id)

BOOST_AUTO_TEST_CASE(parsing)
{
    std::string mixed = lower40;
    for (std::size_t i = 0; i < mixed.size(); i += 3)
        mixed[i] = upper(mixed.substr(i, 1))[0];
    // Bytes of 0x80 and above whose low 7 bits are hex digits ('A', '0', 'f').
    const std::string highBytes = "\xC1\xB0\xE6\xC3\xA9";

    const std::vector<parseCase> cases = {
        {"40 lower-case digits", lower40, true, 20, lower40},
        {"40 upper-case digits", upper(lower40), true, 20, lower40},
        {"40 mixed-case digits", mixed, true, 20, lower40},
        {"42 digits: the last two are not read", lower40 + "77", false, 20, lower40},
        {"39 digits: last one is a high nibble", lower40.substr(0, 39), false, 20, lower40.substr(0, 39) + "0"},
        {"colon-grouped (59 characters)", grouped(lower40, ':'), false, 20, lower40},
        {"dash-grouped (59 characters)", grouped(lower40, '-'), false, 20, lower40},
        {"empty text", "", true, 0, ""},
        {"4 digits: two bytes, length matches", "12aB", true, 2, "12ab"},
        {"one digit", "7", false, 1, "70"},
        {"letters beyond f and blanks skipped", "g1 2x3G4", false, 2, "1234"},
        {"non-ASCII bytes skipped", highBytes + "9" + highBytes + "e" + highBytes, false, 1, "9e"},
        {"no digit at all", "xyz:-", false, 0, ""},
    };

    for (const parseCase& c : cases) {
        BOOST_TEST_CONTEXT("case: " << c.name << ", text \"" << c.text << "\"")
        {
            zk::hwId id = prefilled();
            const std::string before = hex(id);
            const bool result = hwIdFromString(id, c.text);
            BOOST_TEST(result == c.result, "result " << result << ", expected " << c.result);
            const std::string expected = c.leading + before.substr(c.leading.size());
            BOOST_TEST(hex(id) == expected, "bytes " << hex(id) << ", expected " << expected
                                                     << " (first " << c.touched << " written, rest unchanged)");
        }
    }
}

BOOST_AUTO_TEST_CASE(printing)
{
    zk::hwId zeros{};
    zk::hwId ones;
    ones.fill(0xff);

    struct printCase {
        const char* name;
        zk::hwId id;
        std::string text;
    };
    const std::vector<printCase> cases = {
        {"00 0a ff first", bytes40, lower40},
        {"all zero", zeros, std::string(40, '0')},
        {"all ff", ones, std::string(40, 'f')},
    };

    // Stream states a caller may have left behind; none may change the digits.
    struct streamState {
        const char* name;
        std::ios_base::fmtflags flags;
        char fill;
    };
    const std::vector<streamState> states = {
        {"default", std::ios_base::dec | std::ios_base::skipws, ' '},
        {"uppercase", std::ios_base::dec | std::ios_base::uppercase, ' '},
        {"hex uppercase, fill *", std::ios_base::hex | std::ios_base::uppercase, '*'},
        {"showbase", std::ios_base::dec | std::ios_base::showbase, ' '},
        {"left-adjusted", std::ios_base::dec | std::ios_base::left, '#'},
        {"internal, showpos, oct", std::ios_base::oct | std::ios_base::internal | std::ios_base::showpos, '_'},
    };

    for (const printCase& c : cases) {
        BOOST_TEST(zk::toString(c.id) == c.text, c.name << ": toString gave " << zk::toString(c.id));
        for (const streamState& s : states) {
            BOOST_TEST_CONTEXT("id: " << c.name << ", stream: " << s.name)
            {
                std::ostringstream os;
                os.flags(s.flags);
                os.fill(s.fill);
                os << c.id;
                const std::string text = os.str();
                BOOST_TEST(text == c.text, "printed \"" << text << "\" (" << text.size() << " chars), expected "
                                                        << c.text);
                BOOST_TEST((os.flags() == s.flags), "stream flags changed from " << s.flags << " to "
                                                                                 << os.flags());
                BOOST_TEST(os.fill() == s.fill, "fill changed from '" << s.fill << "' to '" << os.fill() << "'");
            }
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

namespace {

// Runs the set-up script in a fresh network namespace of a forked child and
// lists the interfaces there. Returns the child's addresses, one per line,
// or sets failure to what went wrong.
std::vector<std::string> interfacesInOwnNamespace(const std::string& script, std::string& failure)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        failure = std::string("pipe: ") + std::strerror(errno);
        return {};
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        failure = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return {};
    }
    if (pid == 0) {
        ::close(fds[0]);
        std::string report;
        int code = 0;
        if (::unshare(CLONE_NEWNET) != 0) {
            report = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
            code = 1;
        } else {
            // Dummy links where the kernel has them, otherwise a bridge without ports
            // (also administratively up/down and never loopback).
            const std::string shell = "mk() { ip link add \"$1\" type dummy 2>/dev/null || "
                                      "ip link add \"$1\" type bridge; }; set -e; " + script;
            const std::string command = "sh -c '" + shell + "'";
            const int status = std::system(command.c_str());
            if (status != 0) {
                report = "set-up script failed (status " + std::to_string(status) + "): " + script;
                code = 1;
            } else {
                try {
                    for (const std::string& a : zk::getInterfaces<std::vector<std::string>>())
                        report += a + "\n";
                } catch (const std::exception& e) {
                    report = "getInterfaces threw: " + boost::diagnostic_information(e);
                    code = 1;
                }
            }
        }
        const char* p = report.data();
        std::size_t left = report.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(code);
    }

    ::close(fds[1]);
    std::string output;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failure = (WIFSIGNALED(status) ? "child killed by signal " + std::to_string(WTERMSIG(status))
                                       : "child exited with " + std::to_string(WEXITSTATUS(status))) +
                  ": " + output;
        return {};
    }
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& list)
{
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i)
        text += (i ? ", " : "") + list[i];
    return text + "]";
}

}  // namespace

BOOST_AUTO_TEST_SUITE(local_interfaces)

// Needs root (CI runs as root): each scenario lists interfaces inside a network
// namespace of its own, so nothing is sent and the host's interfaces do not count.
BOOST_AUTO_TEST_CASE(ipv4_addresses_of_up_interfaces)
{
    struct scenario {
        const char* name;
        std::string script;
        std::vector<std::string> expected;
    };
    const std::vector<scenario> scenarios = {
        {"one up interface; a down one, IPv6 and loopback left out",
         "mk d1; ip addr add 10.9.8.7/24 dev d1; ip addr add fd00:9::7/64 dev d1 nodad; ip link set d1 up; "
         "mk d2; ip addr add 10.9.9.1/24 dev d2; ip link set lo up",
         {"10.9.8.7"}},
        {"two addresses on one up interface, in the order added",
         "mk d1; ip addr add 10.9.8.7/24 dev d1; ip addr add 10.20.30.40/16 dev d1; ip link set d1 up; "
         "ip link set lo up",
         {"10.9.8.7", "10.20.30.40"}},
        {"a second address in the same subnet",
         "mk d1; ip addr add 10.9.8.7/24 dev d1; ip addr add 10.9.8.200/24 dev d1; ip link set d1 up",
         {"10.9.8.7", "10.9.8.200"}},
        {"two up interfaces",
         "mk d1; ip addr add 10.9.8.7/24 dev d1; ip link set d1 up; "
         "mk d2; ip addr add 10.9.9.1/24 dev d2; ip link set d2 up",
         {"10.9.8.7", "10.9.9.1"}},
        {"only loopback up", "ip link set lo up", {}},
    };

    for (const scenario& s : scenarios) {
        BOOST_TEST_CONTEXT("scenario: " << s.name)
        {
            std::string failure;
            const std::vector<std::string> got = interfacesInOwnNamespace(s.script, failure);
            if (!failure.empty()) {
                BOOST_ERROR(failure);
                continue;
            }
            BOOST_TEST(got == s.expected, "listed " << joined(got) << ", expected " << joined(s.expected));
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
