#include "boardsim/faults.hpp"

#include <climits>
#include <stdexcept>
#include <vector>

namespace qz {
namespace boardsim {

unsigned long parseNumber(const std::string& text, unsigned long max)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        throw std::invalid_argument("not a number: '" + text + "'");
    unsigned long value;
    try {
        value = std::stoul(digits, nullptr, hex ? 16 : 10);
    } catch (const std::out_of_range&) {
        throw std::invalid_argument("number too large: '" + text + "'");
    }
    if (value > max)
        throw std::invalid_argument("'" + text + "' is above " + std::to_string(max));
    return value;
}

std::optional<std::uint8_t> parseCode(const std::string& text)
{
    if (text == "all")
        return std::nullopt;
    return static_cast<std::uint8_t>(parseNumber(text, 0xFF));
}

std::pair<std::optional<std::uint8_t>, unsigned long> parseCodeValue(
    const std::string& text, unsigned long max, std::optional<unsigned long> valueDefault)
{
    auto colon = text.find(':');
    if (colon == std::string::npos) {
        if (!valueDefault)
            throw std::invalid_argument("expected CODE:VALUE, got '" + text + "'");
        return {parseCode(text), *valueDefault};
    }
    return {parseCode(text.substr(0, colon)), parseNumber(text.substr(colon + 1), max)};
}

programFault parseProgramFault(const std::string& text, bool ticksOptional)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos && !ticksOptional)
        throw std::invalid_argument("expected N:TICKS, got '" + text + "'");
    programFault f;
    f.program = parseNumber(text.substr(0, colon), ULONG_MAX);
    if (f.program == 0)
        throw std::invalid_argument("programs are counted from 1: '" + text + "'");
    if (colon != std::string::npos)
        f.afterTicks = parseNumber(text.substr(colon + 1), ULONG_MAX);
    return f;
}

void addFaultOptions(boost::program_options::options_description& all)
{
    namespace po = boost::program_options;
    auto text = [] { return po::value<std::string>(); };
    auto texts = [] { return po::value<std::vector<std::string>>(); };
    po::options_description udp("UDP faults");
    udp.add_options()
        ("udp-silent", texts(), "CODE|all: no answer")
        ("udp-discovery-twice", "answer discovery twice")
        ("udp-status", text(), "status byte of every answer")
        ("udp-config-length", text(), "total length of the command-4 answer")
        ("udp-no-terminator", "revision text without its terminating zero")
        ("udp-delay", text(), "send every answer MS milliseconds late");

    po::options_description tcp("TCP faults");
    tcp.add_options()
        ("tcp-refuse", "do not listen")
        ("tcp-silent", texts(), "CODE|all: no reply")
        ("tcp-status", texts(), "CODE|all:STATUS: status-code message instead")
        ("tcp-error-flag", texts(), "CODE|all: reply code | 0x80")
        ("tcp-other-code", texts(), "CODE|all:OTHER: reply under OTHER")
        ("tcp-bad-length", texts(), "CODE|all[:LEN]: header \"LEN 00 CODE\" first")
        ("tcp-close-after", text(), "close each connection after N frames")
        ("tcp-unsolicited-after-reply", "unsolicited frame after each reply")
        ("tcp-unsolicited-every", text(), "unsolicited frame every MS milliseconds")
        ("tcp-unsolicited-flood", "unsolicited frames as fast as the connection takes them")
        ("tcp-unsolicited-code", text(), "code of unsolicited frames (0x50)")
        ("tcp-delay", text(), "delay every reply by MS milliseconds")
        ("tcp-hold-open", text(), "close MS milliseconds after the terminal's end of stream")
        ("program-end-silent", "no frame announces the end of a program");
    po::options_description motion("motion faults");
    motion.add_options()
        ("hang", text(), "N[:TICKS]: the Nth program started (from 1) hangs, after TICKS ticks")
        ("stop", texts(), "N:TICKS: the Nth program started is stopped after TICKS ticks, unannounced")
        ("lose-steps", text(), "every Nth microstep sent does not reach the driver");
    all.add(udp).add(tcp).add(motion);
}

faults parseFaults(const boost::program_options::variables_map& vm)
{
    auto given = [&vm](const char* name) { return vm.count(name) > 0; };
    auto text = [&vm](const char* name) { return vm[name].as<std::string>(); };
    auto texts = [&vm, &given](const char* name) {
        return given(name) ? vm[name].as<std::vector<std::string>>() : std::vector<std::string>{};
    };
    auto number = [&](const char* name, unsigned long max) { return parseNumber(text(name), max); };

    faults f;
    for (const std::string& t : texts("udp-silent"))
        f.udp.silent.set(parseCode(t), true);
    f.udp.discoveryTwice = given("udp-discovery-twice");
    if (given("udp-status"))
        f.udp.status = static_cast<std::uint8_t>(number("udp-status", 0xFF));
    if (given("udp-config-length"))
        f.udp.configLength = number("udp-config-length", 65507);
    f.udp.noTerminator = given("udp-no-terminator");
    if (given("udp-delay"))
        f.udp.delayMs = static_cast<unsigned>(number("udp-delay", 60000));

    f.tcp.refuse = given("tcp-refuse");
    for (const std::string& t : texts("tcp-silent"))
        f.tcp.silent.set(parseCode(t), true);
    for (const std::string& t : texts("tcp-status")) {
        auto [code, status] = parseCodeValue(t, 0xFF);
        f.tcp.status.set(code, static_cast<std::uint8_t>(status));
    }
    for (const std::string& t : texts("tcp-error-flag"))
        f.tcp.errorFlag.set(parseCode(t), true);
    for (const std::string& t : texts("tcp-other-code")) {
        auto [code, other] = parseCodeValue(t, 0xFF);
        f.tcp.otherCode.set(code, static_cast<std::uint8_t>(other));
    }
    for (const std::string& t : texts("tcp-bad-length")) {
        auto [code, length] = parseCodeValue(t, 2, 2);
        f.tcp.badLength.set(code, static_cast<std::uint8_t>(length));
    }
    if (given("tcp-close-after"))
        f.tcp.closeAfter = static_cast<unsigned>(number("tcp-close-after", UINT_MAX));
    f.tcp.unsolicitedAfterReply = given("tcp-unsolicited-after-reply");
    if (given("tcp-unsolicited-every"))
        f.tcp.unsolicitedEveryMs = static_cast<unsigned>(number("tcp-unsolicited-every", UINT_MAX));
    f.tcp.unsolicitedFlood = given("tcp-unsolicited-flood");
    if (given("tcp-unsolicited-code"))
        f.tcp.unsolicitedCode = static_cast<std::uint8_t>(number("tcp-unsolicited-code", 0xFF));
    if (given("tcp-delay"))
        f.tcp.delayMs = static_cast<unsigned>(number("tcp-delay", UINT_MAX));
    if (given("tcp-hold-open"))
        f.tcp.holdOpenMs = static_cast<unsigned>(number("tcp-hold-open", UINT_MAX));
    f.tcp.programEndSilent = given("program-end-silent");

    if (given("hang"))
        f.motion.hang = parseProgramFault(text("hang"), true);
    for (const std::string& t : texts("stop"))
        f.motion.stop.push_back(parseProgramFault(t, false));
    if (given("lose-steps"))
        f.motion.loseEvery = static_cast<std::uint32_t>(number("lose-steps", 0xFFFFFFFF));
    return f;
}

}  // namespace boardsim
}  // namespace qz
