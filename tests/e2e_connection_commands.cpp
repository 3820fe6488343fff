// End-to-end: the terminal's "connect", "disconnect", "init", "readNetworkConfig" and "readHardwareId"
// run by the real qzsmctest against simulated boards, whose traffic logs show what they received.
// Runs under tools/testnet with LAN 1, 10.77.1.1/24, and LAN 2, 172.20.2.1/24.
#define BOOST_TEST_MODULE e2e_connection_commands
#include <boost/test/unit_test.hpp>

#include "support/terminal.hpp"

using namespace qz::test;

namespace {

// b's id has leading zeros, which the printed id must keep.
const std::string idA = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4", idB = "00010203040506070809000a0b0c0d0e0f000102",
                  idC = "c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4", idY = "d1d2d3d4d5d6d7d8d9dadbdcdddedfe0e1e2e3e4";
const netRecord recordB{"10.77.1.11"}, recordY{"172.20.2.10"};
const std::string guardFailed = "critical check c_ && c_->connected() has failed";

// On LAN 1: a answers every datagram late (so b is found first) and refuses the control
// connection; c answers another device id. On LAN 2: y. The terminal's run ends every connection.
struct sharedBoards {
    bool inTestNetwork = (requireTestNetwork(), true);  // before any board starts
    board a{1, "10.77.1.10", {"--hwid", idA, "--udp-delay", "150", "--tcp-refuse"}};
    board b{1, recordB.ip, recordB.boardOptions(idB)};
    board c{1, "10.77.1.12", {"--hwid", idC, "--device-id", "QZ_SMC_B"}};
    board y{2, recordY.ip, recordY.boardOptions(idY)};
    sharedBoards() { current = this; }
    static inline sharedBoards* current = nullptr;
};

// The control connection and the command codes of the frames a board got since line `from`.
std::string tcpCodes(const board& b, std::size_t& from)
{
    Lines codes = tcpLog(b, from);
    for (std::string& code : codes) code = code == "accept" || code == "close" ? code : code.substr(4, 2);
    return text(codes);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(connection_commands, *boost::unit_test::fixture<sharedBoards>())

BOOST_AUTO_TEST_CASE(connect_by_discovery_or_root_hwId_and_a_second_connect_replaces_the_first)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t fromB = on.b.logLines().size(), fromC = on.c.logLines().size();
    // Without a controller "disconnect" does nothing; once it has dropped one the guard ends the case.
    auto r = runMainScript({}, {"disconnect", "connect", "readHardwareId", "readNetworkConfig", "init",
                                "pingId QZ_SMC_B", "connect", "readHardwareId", "disconnect", "readHardwareId",
                                "sleep 0"});
    BOOST_TEST(r.process.out == text(Lines{"hwId " + idB, "device network configuration:"} + recordB.printed() +
                                     Lines{"device initialized", "hwId " + idC}));
    // 10 commands looked up, 2 connect checks, 4 guards passed and the last failed.
    BOOST_TEST(r.verdicts["main"] == "aborted 16/1 | " + guardFailed);
    // b: identify, read the record, init (read, write, commit, 21 variables), then as the next connect
    // replaces it, a disconnect that parks (phase 0: phase and position read, no program) and
    // writes 5 zeros; c: identify and a disconnect without soft reset.
    BOOST_TEST(tcpCodes(on.b, fromB) == text(Lines{"accept", "02", "04", "13", "12", "14"} + Lines(21, "2a") +
                                             Lines{"34", "2b", "2b"} + Lines(5, "2a") + Lines{"close"}));
    BOOST_TEST(tcpCodes(on.c, fromC) == text(Lines{"accept", "02"} + Lines(5, "2a") + Lines{"close"}));

    // The root hwId picks the late board, which refuses: the connect check fails after 5 s, then the guard.
    r = runMainScript({"hwId " + idA}, {"connect", "readHardwareId", "sleep 0"});
    BOOST_TEST(r.verdicts["main"] == "aborted 2/2 | check c_->connected() has failed | " + guardFailed);
    BOOST_TEST(r.ms >= 5000);
}

BOOST_AUTO_TEST_CASE(root_deviceAddress_reaches_its_board_only_with_the_hwId)
{
    const sharedBoards& on = *sharedBoards::current;
    std::size_t fromB = on.b.logLines().size(), fromY = on.y.logLines().size();
    auto r = runMainScript({"deviceAddress 172.20.2.10", "hwId " + idY}, {"connect", "readHardwareId",
                                                                          "readNetworkConfig"});
    BOOST_TEST(r.process.out == text(Lines{"hwId " + idY, "device network configuration:"} + recordY.printed()));
    BOOST_TEST(r.verdicts["main"] == "passed 6/0");
    BOOST_TEST(tcpCodes(on.y, fromY) == text(Lines{"accept", "02", "04"} + Lines(5, "2a") + Lines{"close"}));
    BOOST_TEST(text(boardLog(on.b, fromB, "")) == "");  // nothing was searched for on LAN 1

    // Without "hwId" the revision read finds no board with the all-zero id, and the case ends.
    r = runMainScript({"deviceAddress 172.20.2.10"}, {"connect", "readHardwareId"});
    BOOST_TEST(r.verdicts["main"] == "aborted 1/1 | errorDeviceNotFound: std::exception");
}

BOOST_AUTO_TEST_SUITE_END()
