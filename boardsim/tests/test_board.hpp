#ifndef QZ_BOARDSIM_TESTS_TEST_BOARD_HPP
#define QZ_BOARDSIM_TESTS_TEST_BOARD_HPP

#include "boardsim/board.hpp"

#include <string>
#include <vector>

namespace qz {
namespace boardsim {
namespace test {

// Hex text to bytes; blanks are for the reader only.
inline bytes fromHex(const std::string& text)
{
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits.push_back(c);
    bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string textHex(const std::string& text)
{
    return toHex(bytes(text.begin(), text.end()));
}

const std::string hwIdHex = "0102030405060708090a0b0c0d0e0f1011121314";

inline identity testIdentity(personality kind = personality::board,
                             const std::string& revision = "QZ_SMC sim 1.0")
{
    identity id;
    for (std::size_t i = 0; i < id.hwId.size(); ++i)
        id.hwId[i] = static_cast<std::uint8_t>(i + 1);
    id.revision = revision;
    id.deviceId = kind == personality::board ? "QZ_SMC" : "BOOT_LOADER";
    id.kind = kind;
    return id;
}

// 10.77.1.10/24, gateway .1, name servers .2 and .3, control port 0x1234 to show its byte order.
inline networkConfig testConfig()
{
    networkConfig c;
    c.ip = {10, 77, 1, 10};
    c.gw = {10, 77, 1, 1};
    c.mask = {255, 255, 255, 0};
    c.dns1 = {10, 77, 1, 2};
    c.dns2 = {10, 77, 1, 3};
    c.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    c.name = nameField("bench-1");
    c.dhcp = 1;
    c.ctrlPort = 0x1234;
    return c;
}

// testConfig's record as the board sends it, written out by hand.
const std::string testRecordUpToName =
    "0a4d010a 0a4d0101 ffffff00 0a4d0102 0a4d0103 020000000001 62656e63682d31000000000000000000";
const std::string testBoardRecord = testRecordUpToName + " 01 3412";
const std::string testBootRecord = testRecordUpToName + " 3412";

// A board whose complaints are kept for the test instead of going to standard error.
struct testBoard {
    explicit testBoard(identity id = testIdentity(), faults f = {},
                       settingsFile store = settingsFile())
        : model(std::move(id), testConfig(), std::move(f), std::move(store))
    {
        model.setReporter([this](const std::string& text) { reports.push_back(text); });
    }

    std::vector<bytes> udp(const std::string& hex) { return model.onDatagram(fromHex(hex)); }

    // The frames the board sends back, as hex text each.
    std::vector<std::string> tcp(const std::string& hex)
    {
        std::vector<std::string> out;
        for (const bytes& f : model.onFrame(fromHex(hex)))
            out.push_back(toHex(f));
        return out;
    }

    // The one frame the board sends back, as hex text; "" when it sends none or several.
    std::string reply(const std::string& hex)
    {
        std::vector<std::string> out = tcp(hex);
        return out.size() == 1 ? out[0] : "";
    }

    board model;
    std::vector<std::string> reports;
};

}  // namespace test
}  // namespace boardsim
}  // namespace qz

#endif
