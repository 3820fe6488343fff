// Hardware-id text form (parsing and printing) and the local interface list.
#define BOOST_TEST_MODULE utility
#include <boost/test/unit_test.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <sched.h>

#include "zkutility/utility.hpp"

namespace {

std::string hex(const zk::hwId& id)
{
    std::ostringstream os;
    for (unsigned char b : id)
        os << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 0x0F];
    return os.str();
}

const std::string lower40 = "000aff0123456789abcdef1032547698badcfe5a";

}  // namespace

BOOST_AUTO_TEST_CASE(parsing_hardware_ids)
{
    std::string grouped;
    for (std::size_t i = 0; i < lower40.size(); i += 2)
        grouped += (i ? ":" : "") + lower40.substr(i, 2);
    struct Case {
        const char* what;
        std::string text;
        bool result;
        std::string leading;  // hex of the bytes written; the rest must keep their contents
    };
    const Case cases[] = {
        {"40 mixed-case digits", "000AfF0123456789ABCdef1032547698BaDcFe5A", true, lower40},
        {"42 digits: the last two are not read", lower40 + "77", false, lower40},
        {"39 digits: last one is a high nibble", lower40.substr(0, 39), false, lower40.substr(0, 39) + "0"},
        {"colon-grouped, 59 characters", grouped, false, lower40},
        {"empty", "", true, ""},
        {"4 digits fill two bytes", "12aB", true, "12ab"},
        {"non-digits skipped", "g1 2x3G4", false, "1234"},
    };
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            // Distinct, non-zero low nibbles: a byte not (fully) rewritten shows.
            zk::hwId id;
            for (std::size_t i = 0; i < id.size(); ++i)
                id[i] = static_cast<unsigned char>(0xC3 + 7 * i);
            const std::string before = hex(id);
            BOOST_TEST(hwIdFromString(id, c.text) == c.result);
            BOOST_TEST(hex(id) == c.leading + before.substr(c.leading.size()));
        }
    }
}

BOOST_AUTO_TEST_CASE(printing_hardware_ids)
{
    const zk::hwId id = {0x00, 0x0a, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
                         0xef, 0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x5a};
    BOOST_TEST(zk::toString(id) == lower40);
    // Stream states a caller may leave behind: the digits are the same and the state is kept.
    const std::ios_base::fmtflags states[] = {std::ios_base::dec | std::ios_base::skipws,
                                              std::ios_base::oct | std::ios_base::uppercase | std::ios_base::showbase |
                                                  std::ios_base::left};
    for (const auto flags : states) {
        std::ostringstream os;
        os.flags(flags);
        os.fill('*');
        os << id;
        BOOST_TEST(os.str() == lower40);
        BOOST_TEST((os.flags() == flags));
        BOOST_TEST(os.fill() == '*');
    }
}

// Needs root (CI runs as root): the process moves into a network namespace of its own,
// so nothing is sent and the host's interfaces do not count.
BOOST_AUTO_TEST_CASE(ipv4_addresses_of_up_interfaces_in_order)
{
    BOOST_TEST_REQUIRE(::unshare(CLONE_NEWNET) == 0, "unshare(CLONE_NEWNET): " << std::strerror(errno));
    // Dummy links where the kernel has them, otherwise a bridge without ports.
    const std::string script =
        "mk() { ip link add $1 type dummy 2>/dev/null || ip link add $1 type bridge; }; set -e; "
        "mk d1; ip addr add 10.9.8.7/24 dev d1; ip addr add fd00:9::7/64 dev d1 nodad; "
        "ip addr add 10.20.30.40/16 dev d1; ip link set d1 up; "
        "mk d2; ip addr add 10.9.9.1/24 dev d2; ip link set lo up";
    BOOST_TEST_REQUIRE(std::system(("sh -c '" + script + "'").c_str()) == 0);
    const std::vector<std::string> expected = {"10.9.8.7", "10.20.30.40"};
    BOOST_TEST(zk::getInterfaces<std::vector<std::string>>() == expected, boost::test_tools::per_element());
}
