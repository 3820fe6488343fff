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

inline std::string textHex(const std::string& text) { return toHex(bytes(text.begin(), text.end())); }
inline std::string compact(const std::string& hex) { return toHex(fromHex(hex)); }
using hexList = std::vector<std::string>;

// A frame around the payload, its little-endian total length written out independently.
inline std::string frameHex(const std::string& codeHex, const std::string& payloadHex = "")
{
    const std::size_t length = 3 + fromHex(payloadHex).size();
    return toHex({static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)}) + codeHex +
           toHex(fromHex(payloadHex));
}

const std::string hwIdHex = "0102030405060708090a0b0c0d0e0f1011121314";
const std::string anyBoard(40, '0');

inline identity testIdentity(personality kind = personality::board, const std::string& revision = "QZ_SMC sim 1.0")
{
    identity id;
    for (std::size_t i = 0; i < id.hwId.size(); ++i)
        id.hwId[i] = static_cast<std::uint8_t>(i + 1);
    id.revision = revision;
    id.deviceId = kind == personality::board ? "QZ_SMC" : "BOOT_LOADER";
    id.kind = kind;
    return id;
}

// 10.77.1.10/24, gateway .1, name servers .2 and .3, control port 0x1234 to show its byte order;
// written out by hand as the board sends it.
const std::string testRecordUpToName =
    "0a4d010a 0a4d0101 ffffff00 0a4d0102 0a4d0103 020000000001 62656e63682d31000000000000000000";
const std::string testBoardRecord = testRecordUpToName + " 01 3412";
const std::string testBootRecord = testRecordUpToName + " 3412";

inline networkConfig testConfig() { return *decodeConfig(fromHex(testBoardRecord), personality::board); }

// A board whose complaints are kept for the test instead of going to standard error.
struct testBoard {
    explicit testBoard(identity id = testIdentity(), faults f = {}, settingsFile store = settingsFile())
        : model(std::move(id), testConfig(), std::move(f), std::move(store))
    {
        model.setReporter([this](const std::string& text) { reports.push_back(text); });
    }

    // Every reply, as hex text each.
    static hexList hex(const std::vector<bytes>& replies)
    {
        hexList out;
        for (const bytes& r : replies)
            out.push_back(toHex(r));
        return out;
    }
    hexList udp(const std::string& request) { return hex(model.onDatagram(fromHex(request))); }
    hexList tcp(const std::string& request) { return hex(model.onFrame(fromHex(request))); }

    // The one frame sent back; "" when none or several.
    std::string reply(const std::string& request)
    {
        hexList out = tcp(request);
        return out.size() == 1 ? out[0] : "";
    }

    board model;
    std::vector<std::string> reports;
};

}  // namespace test
}  // namespace boardsim
}  // namespace qz

#endif
