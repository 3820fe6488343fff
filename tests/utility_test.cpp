// Hardware-id text form (parsing and printing) and the local interface list.
#define BOOST_TEST_MODULE utility
#include <boost/test/unit_test.hpp>

#include <cerrno>
#include <cstring>
#include <iomanip>

#include <sched.h>

#include "support/common.hpp"
#include "zkutility/utility.hpp"

BOOST_AUTO_TEST_CASE(hardware_id_text_form)
{
    const std::string lower40 = "000aff0123456789abcdef1032547698badcfe5a";
    // written: hex of the leading bytes written; the rest keep their contents.
    struct Case { std::string text; bool result; std::string written; } const cases[] = {
        {"000AfF0123456789ABCdef1032547698BaDcFe5A", true, lower40},
        {lower40 + "77", false, lower40},  // the last two digits are not read
        {lower40.substr(0, 39), false, lower40.substr(0, 39) + "0"},
        {"00:0a:ff:01:23:45:67:89:ab:cd:ef:10:32:54:76:98:ba:dc:fe:5a", false, lower40},
        {"", true, ""}, {"12aB", true, "12ab"}, {"g1 2x3G4", false, "1234"},
    };
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT("text \"" << c.text << "\"")
        {
            zk::hwId id;
            id.fill(0x5c);  // a non-zero low nibble: a byte not wholly rewritten shows
            const std::string before = qz::test::hex(id);
            BOOST_TEST(hwIdFromString(id, c.text) == c.result);
            BOOST_TEST(qz::test::hex(id) == c.written + before.substr(c.written.size()));
        }
    }
    // A caller's stream state changes neither the digits nor what the caller prints next.
    zk::hwId id;
    hwIdFromString(id, lower40);
    std::ostringstream os;
    os << std::uppercase << std::showbase << std::left << std::setfill('*') << id << ' ' << std::setw(5) << 255;
    BOOST_TEST(os.str() == lower40 + " 255**");
    BOOST_TEST(zk::toString(id) == lower40);
}

// A device's text reaches the console and the log with its control characters written out, so
// that it cannot move the cursor or rewrite a line; other text, UTF-8 included, stays as it is.
BOOST_AUTO_TEST_CASE(device_text_is_printed_with_control_characters_escaped)
{
    using namespace std::string_literals;
    const std::pair<std::string, std::string> rows[] = {
        {"QZ_SMC sim 1.0 ~ \\", "QZ_SMC sim 1.0 ~ \\"},
        {"ab\x1b[2J\rcd\n\t\x7f", "ab\\x1b[2J\\x0dcd\\x0a\\x09\\x7f"},
        {"a\0b"s, "a\\x00b"},
        {"K\xc3\xbc" "che \xe2\x82\xac \xf0\x9f\x98\x80", "K\xc3\xbc" "che \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "2J \xc2\x85 \xc2\xa0", "\\xc2\\x9b" "2J \\xc2\\x85 \xc2\xa0"},  // C1 as UTF-8; U+00A0 stays
        {"\x9b" "2J \xe9t\xc3", "\\x9b" "2J \\xe9t\\xc3"},  // stray bytes, a sequence cut short
        {"\xc0\x80 \xed\xa0\x80 \xf4\x90\x80\x80", "\\xc0\\x80 \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
    };
    for (const auto& [text, shown] : rows)
        BOOST_TEST(zk::printable(text) == shown);
    BOOST_TEST(zk::printable("ab\x1b\0\0"s, true) == "ab\\x1b\0\0"s);
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
    BOOST_TEST(zk::getInterfaces<std::vector<std::string>>() == std::vector<std::string>({"10.9.8.7", "10.20.30.40"}),
               boost::test_tools::per_element());
}
