#ifndef QZ_BOARDSIM_FAULTS_HPP
#define QZ_BOARDSIM_FAULTS_HPP

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qz {
namespace boardsim {

// A fault that applies to some command codes or to all of them; a code's own entry wins.
template <class T>
class perCode {
public:
    // No code means every code.
    void set(std::optional<std::uint8_t> code, T value)
    {
        if (code)
            codes_[*code] = value;
        else
            all_ = value;
    }

    std::optional<T> find(std::uint8_t code) const
    {
        auto it = codes_.find(code);
        if (it != codes_.end())
            return it->second;
        return all_;
    }

private:
    std::optional<T> all_;
    std::map<std::uint8_t, T> codes_;
};

using codeSet = perCode<bool>;

struct udpFaults {
    codeSet silent;                            // no answer
    bool discoveryTwice = false;               // every discovery answer sent twice
    std::optional<std::uint8_t> status;        // replaces every answer's status byte
    std::optional<std::size_t> configLength;   // command-4 answer cut or padded to this total
    bool noTerminator = false;                 // revision text without its zero
    unsigned delayMs = 0;                      // every answer sent this much later
};

struct tcpFaults {
    bool refuse = false;                       // no listener
    codeSet silent;                            // no reply
    perCode<std::uint8_t> status;              // reply replaced by a status-code message
    codeSet errorFlag;                         // reply code | 0x80
    perCode<std::uint8_t> otherCode;           // reply under another code
    perCode<std::uint8_t> badLength;           // "LEN 00 CODE" header sent before the reply
    std::optional<unsigned> closeAfter;        // frames per connection, then close
    bool unsolicitedAfterReply = false;
    unsigned unsolicitedEveryMs = 0;           // 0 = off
    bool unsolicitedFlood = false;             // unsolicited frames whenever the socket takes more
    std::uint8_t unsolicitedCode = 0x50;       // a code the terminal never sends
    unsigned delayMs = 0;
    unsigned holdOpenMs = 0;                   // after the peer's end of stream, close only this much later
    bool programEndSilent = false;             // a program's end is not announced
};

// What happens to the program started this many-th (from 1) once it has run afterTicks ticks.
struct programFault {
    unsigned long program = 0;
    std::uint64_t afterTicks = 0;
};

struct motionFaults {
    std::optional<programFault> hang;  // no record runs any more, the motor stands, the program runs on
    std::vector<programFault> stop;    // stopped as a write of variable 0 stops it, unannounced
    std::uint32_t loseEvery = 0;       // every nth microstep sent never reaches the motor
};

struct faults {
    udpFaults udp;
    tcpFaults tcp;
    motionFaults motion;
};

// The fault options of the qzsmc-board command line (boardsim/README.md), and the faults they
// select; parseFaults throws std::invalid_argument on a bad value.
void addFaultOptions(boost::program_options::options_description& all);
faults parseFaults(const boost::program_options::variables_map& vm);

// Option texts. Numbers are decimal or 0x-hexadecimal; all throw std::invalid_argument.
unsigned long parseNumber(const std::string& text, unsigned long max);
// "all" or a command code; "all" gives no code.
std::optional<std::uint8_t> parseCode(const std::string& text);
// "CODE:VALUE" with VALUE up to max; when the value may be left out, valueDefault supplies it.
std::pair<std::optional<std::uint8_t>, unsigned long> parseCodeValue(
    const std::string& text, unsigned long max, std::optional<unsigned long> valueDefault = {});
// "N[:TICKS]", N from 1; without TICKS (only when ticksOptional) the fault acts at the program's start.
programFault parseProgramFault(const std::string& text, bool ticksOptional);

}  // namespace boardsim
}  // namespace qz

#endif
