#include "test_board.hpp"

#include <boost/test/unit_test.hpp>

#include <functional>

using namespace qz::boardsim;
using namespace qz::boardsim::test;

BOOST_AUTO_TEST_SUITE(faults_injected)

BOOST_AUTO_TEST_CASE(replies_under_each_fault)
{
    const std::string discovered = hwIdHex + "00" + textHex("QZ_SMC sim 1.0") + "00";
    const std::string config = compact(hwIdHex + "00" + testBoardRecord);
    struct Case {
        const char* what;
        std::function<void(faults&)> inject;
        bool tcp;
        std::string request;
        hexList replies;
    };
    const Case cases[] = {
        {"discovery twice", [](faults& f) { f.udp.discoveryTwice = true; }, false, anyBoard + "00",
         {discovered, discovered}},
        {"UDP status replaced, payload kept", [](faults& f) { f.udp.status = 0x80; }, false, anyBoard + "04",
         {hwIdHex + "80" + config.substr(42)}},
        {"config answer cut", [](faults& f) { f.udp.configLength = 20; }, false, anyBoard + "04",
         {config.substr(0, 40)}},
        {"config answer padded with a5", [](faults& f) { f.udp.configLength = 70; }, false, anyBoard + "04",
         {config + "a5a5a5a5"}},
        {"UDP command silenced", [](faults& f) { f.udp.silent.set(4, true); }, false, anyBoard + "04", {}},
        {"UDP all silenced", [](faults& f) { f.udp.silent.set(std::nullopt, true); }, false, anyBoard + "7f", {}},
        {"revision without terminator", [](faults& f) { f.udp.noTerminator = true; }, false, anyBoard + "00",
         {discovered.substr(0, discovered.size() - 2)}},
        {"TCP silenced, no unsolicited frame either",
         [](faults& f) { f.tcp.silent.set(0x01, true); f.tcp.unsolicitedAfterReply = true; }, true, "030001", {}},
        {"status message for all codes", [](faults& f) { f.tcp.status.set(std::nullopt, 0xCE); }, true, "030050",
         {"0400ffce"}},
        {"code's own status wins",
         [](faults& f) { f.tcp.status.set(std::nullopt, 0xCE); f.tcp.status.set(0x13, 0x02); }, true, "030013",
         {"0400ff02"}},
        {"silence wins over status",
         [](faults& f) { f.tcp.status.set(std::nullopt, 1); f.tcp.silent.set(0x14, true); }, true, "030014", {}},
        {"error flag keeps the payload", [](faults& f) { f.tcp.errorFlag.set(0x2B, true); }, true, "07002b02000000",
         {"0700ab00000000"}},
        {"other code", [](faults& f) { f.tcp.otherCode.set(0x02, 0x03); }, true, "030002", {"170003" + hwIdHex}},
        {"other code, then error flag",
         [](faults& f) { f.tcp.otherCode.set(0x2B, 0x2C); f.tcp.errorFlag.set(0x2B, true); }, true, "07002b02000000",
         {"0700ac00000000"}},
        {"bad length header first", [](faults& f) { f.tcp.badLength.set(0x02, 1); }, true, "030002",
         {"010002", "170002" + hwIdHex}},
        {"unsolicited frame after the reply",
         [](faults& f) { f.tcp.unsolicitedAfterReply = true; f.tcp.unsolicitedCode = 0x51; }, true, "030001",
         {"030001", "030051"}},
    };
    for (const Case& c : cases) {
        faults f;
        c.inject(f);
        testBoard b(testIdentity(), f);
        BOOST_TEST((c.tcp ? b.tcp(c.request) : b.udp(c.request)) == c.replies, c.what);
    }
}

// A silenced command still takes effect.
BOOST_AUTO_TEST_CASE(silenced_commands_take_effect)
{
    faults f;
    f.udp.silent.set(5, true);
    f.tcp.silent.set(0x2A, true);
    testBoard b(testIdentity(), f);
    BOOST_TEST(b.udp(anyBoard + "05" + "0a4d0199" + testBoardRecord.substr(8)).empty());
    BOOST_TEST(dotted(b.model.config().ip) == "10.77.1.153");
    BOOST_TEST(b.tcp("0b002a 02000000 07000000").empty());
    BOOST_TEST(b.model.variable(2) == 7);
}

BOOST_AUTO_TEST_CASE(option_texts)
{
    using parsed = std::pair<std::optional<std::uint8_t>, unsigned long>;
    BOOST_TEST((parseCodeValue("0x13:0xCE", 255) == parsed(0x13, 0xCE)));
    BOOST_TEST((parseCodeValue("all:66", 255) == parsed(std::nullopt, 66)));
    BOOST_TEST((parseCodeValue("0X2b", 2, 2) == parsed(0x2B, 2)));
    for (const char* bad : {"0x02", "everything:1", "0x100:1", "1:", "1:0x", "1:-1", "1:12a", "1: 1", "1:256",
                            "1:99999999999999999999999"})
        BOOST_CHECK_THROW(parseCodeValue(bad, 255), std::invalid_argument);
    BOOST_CHECK_THROW(parseCodeValue("0x02:3", 2, 2), std::invalid_argument);
}

BOOST_AUTO_TEST_SUITE_END()
