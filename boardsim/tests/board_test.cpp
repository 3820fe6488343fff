// The board model without the network: datagrams and frames in, answers out, all written out by hand.
#define BOOST_TEST_MODULE boardsim
#include "boardsim/board.hpp"

#include <boost/program_options.hpp>
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <cstdio>
#include <set>
#include <tuple>

#include <unistd.h>

using namespace qz::boardsim;
using exchange = std::pair<std::string, std::string>;

namespace {

const std::string hwIdHex = "0102030405060708090a0b0c0d0e0f1011121314";

// Hex text: blanks are for the reader, H stands for the board's hwId, Z for the all-zero one that
// names any board, '/' separates datagrams or frames.
std::string expand(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == 'H' ? hwIdHex : c == 'Z' ? std::string(40, '0') : c == ' ' ? "" : std::string(1, c);
    return out;
}

bytes fromHex(const std::string& text)
{
    bytes out;
    for (std::size_t i = 0; i + 1 < expand(text).size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(expand(text).substr(i, 2), nullptr, 16)));
    return out;
}

// 10.77.1.10/24, gateway .1, name servers .2 and .3, MAC 02:00:00:00:00:01, name "bench-1", DHCP 1
// (board only), control port 0x1234 to show its byte order.
const std::string recordHead = "0a4d010a 0a4d0101 ffffff00 0a4d0102 0a4d0103 020000000001 62656e63682d31000000000000000000";
const std::string boardRecord = recordHead + " 01 3412", bootRecord = recordHead + " 3412";
const std::string revision = "515a5f534d432073696d20312e30";  // "QZ_SMC sim 1.0"
// Factory images: register words, then limits, polarity, pressure level and the diagnostic words.
const std::string factoryBlock = "ffffff7f ffffff7f ffffff7f 00000000 ffffff7f" + std::string(96, '0');

boost::program_options::variables_map parsed(const std::string& options)
{
    namespace po = boost::program_options;
    po::options_description all;
    addFaultOptions(all);
    addHardwareOptions(all);
    addBootOptions(all);
    po::variables_map vm;
    po::store(po::command_line_parser(po::split_unix(options)).options(all).run(), vm);
    return vm;
}

faults withOptions(const std::string& options) { return parseFaults(parsed(options)); }

// A board with fault options as on the command line; what it reports is kept, not printed.
struct testBoard : board {
    explicit testBoard(const std::string& options = "", personality kind = personality::board,
                       const std::string& rev = "QZ_SMC sim 1.0", const std::string& settingsPath = "")
        : board({*parseHardwareId(hwIdHex), rev, kind == personality::board ? "QZ_SMC" : "BOOT_LOADER", kind},
                *decodeConfig(fromHex(boardRecord), personality::board), withOptions(options), settingsFile(settingsPath),
                parseHardware(parsed(options)), parseBootOptions(parsed(options)))
    {
        setReporter([this](const std::string& text) { reports.push_back(text); });
    }

    // The answers to a datagram ("u ...") or a frame.
    std::string send(const std::string& request)
    {
        std::string out;
        for (const bytes& r : request[0] == 'u' ? onDatagram(fromHex(request.substr(1))) : onFrame(fromHex(request)))
            out += (out.empty() ? "" : "/") + toHex(r);
        return out;
    }

    void play(const std::vector<exchange>& script)
    {
        for (const auto& [request, answers] : script) BOOST_TEST(send(request) == expand(answers), request);
    }

    // Loads the program from slot 0, starts it and runs it for at most `most` ticks; whether it
    // ended by its own end record.
    bool runs(const std::vector<programRecord>& program, std::uint64_t most = 100000);
    std::uint64_t ticksRun = 0;  // by the last runs()

    std::vector<std::string> reports;
};

std::string le32(std::int64_t v) { bytes b; putLE32(b, static_cast<std::uint32_t>(v)); return toHex(b); }

// Command 0x2A, 0x2B or 0x2C and its plain answer.
exchange writeVar(int id, std::int64_t v) { return {"0b002a" + le32(id) + le32(v), "03002a"}; }
exchange readVar(int id, std::int64_t v) { return {"07002b" + le32(id), "07002b" + le32(v)}; }
exchange load(std::int64_t slot, const programRecord& r)
{
    return {"0f002c" + le32(slot) + toHex({r.opcode, r.arg1, r.arg2, r.arg3}) + le32(r.value), slot < 256 ? "03002c" : "0300ac"};
}

// Settings with the generator limits path, 1000 and 50 (five-register chip).
exchange limits(std::int32_t path)
{
    return {"5b0012 40f30e00 00000000 72200800 16000d00 60050a00" + le32(path) + "e8030000 32000000" + std::string(112, '0'),
            "030012"};
}

const programRecord programEnd{3, 0, 0, 25, 1};
programRecord accel(std::int32_t v) { return {0x32, 0, 0, 25, v}; }
programRecord wait(std::int32_t v) { return {0x20, 0, 0, 25, v}; }

bool testBoard::runs(const std::vector<programRecord>& program, std::uint64_t most)
{
    for (std::size_t i = 0; i < program.size(); ++i)
        play({load(static_cast<std::int64_t>(i), program[i])});
    play({writeVar(1, 0), writeVar(0, 1)});
    for (ticksRun = 1; ticksRun <= most; ++ticksRun)
        if (advance(1))
            return true;
    return false;
}

// A move of exactly `travel` microsteps (|travel| >= 3) under limits(4): two ticks of acceleration
// to one microstep per tick, the cruise, two ticks back down; as a program, with the end record.
std::vector<programRecord> move(std::int32_t travel, bool program = false)
{
    const std::int32_t sign = travel > 0 ? 1 : -1;
    std::vector<programRecord> p{{0x30}, accel(2 * sign), wait(1), accel(0), {1, 0, 21, 25, sign * travel - 2}, {0x20, 0, 0, 21, 0},
                                 accel(-2 * sign), wait(1), {0x30}};
    if (program)
        p.push_back(programEnd);
    return p;
}

// The terminal's limit search around that move: arm the handler, move, end with variable 24 = 1;
// the handler latches the position into variable 20, brakes against the travel, waits for the
// speed to leave the travel's sign, stops, disarms and ends with variable 24 = 2.
std::vector<programRecord> limitSearch(std::int32_t travel)
{
    std::vector<programRecord> p{{1, 0, 15, 25, 2}, {1, 0, 16, 25, 0}, {1, 0, 24, 25, 1}};
    const std::vector<programRecord> search = move(travel, true);
    p.insert(p.end(), search.begin(), search.end());
    p[1].value = static_cast<std::int32_t>(p.size() | 0x80000000u);
    p.insert(p.end(), {{1, 0, 20, 2, 0}, accel(travel > 0 ? -50 : 50), {0x11, 0, 4, 25, 0},
                       {4, std::uint8_t(travel > 0 ? 4 : 1), 0, 25, -1}, {0x30}, {1, 0, 16, 25, 0}, {1, 0, 24, 25, 2},
                       programEnd});
    return p;
}

}  // namespace

BOOST_AUTO_TEST_SUITE(udp_protocol)

// Discovery: an empty id or exactly the board's own (no prefix, no terminator, case counts). Another
// board's requests are ignored; a record of the personality's size takes effect and reads back as sent,
// command 6 restores the start; anything else is refused, reported, and changes nothing.
BOOST_AUTO_TEST_CASE(discovery_and_network_configuration)
{
    const std::string found = "H00" + revision + "00", qzsmc = "515a5f534d43";
    const std::string moved =
        "0a4d0214 0a4d0201 ffff0000 08080808 08080404 0a0b0c0d0e0f 4142434445464748494a4b4c4d4e4f50 00 1127";
    testBoard b, boot("", personality::bootLoader, "BOOT 0.9");
    b.play({{"u Z00", found}, {"u Z00" + qzsmc, found}, {"u Z00 515a5f534d", ""}, {"u Z00" + qzsmc + "58", ""},
            {"u Z00" + qzsmc + "00", ""}, {"u Z00 717a5f736d63", ""}, {"u Z00 424f4f545f4c4f41444552", ""},
            {"u ff" + hwIdHex.substr(2) + "04", ""}, {"u Z05" + bootRecord, "H80"}, {"u H05" + recordHead, "H80"},
            {"u Z7f", "H80"}, {"u 00", ""}, {"u Z04", "H00" + boardRecord}, {"u H05" + moved, "H00"},
            {"u H04", "H00" + moved}});
    BOOST_TEST(dotted(b.config().ip) + "/" + dotted(b.config().mask) == "10.77.2.20/255.255.0.0");
    b.play({{"u Z06", "H00"}, {"u Z04", "H00" + boardRecord}});
    BOOST_TEST(b.reports.size() == 4u);
    boot.play({{"u Z00", "H00 424f4f5420302e39 00"}, {"u Z00 424f4f545f4c4f41444552", "H00 424f4f5420302e39 00"},
               {"u Z00" + qzsmc, ""}, {"u Z04", "H00" + bootRecord}, {"u Z05" + boardRecord, "H80"},
               {"u Z05 0a4d0121" + bootRecord.substr(8), "H00"}, {"u Z04", "H00 0a4d0121" + bootRecord.substr(8)}});
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(tcp_protocol)

// Variable ids travel as i32 sign-extended from a signed char: only 0 to 127 exist. Unknown codes get
// "unknown command", a request of the wrong size the error flag. Outputs change only under the mask.
BOOST_AUTO_TEST_CASE(commands_and_refusals)
{
    testBoard b, boot("", personality::bootLoader);
    b.play({{"030001", "030001"}, {"030002", "170002 H"}, {"030004", "300004" + boardRecord},
            {"030013", "5b0013 40f30e00 00000000 72200800 16000d00 60050a00" + factoryBlock},
            {"0b002a 02000000 00000080", "03002a"}, {"07002b 02000000", "07002b 00000080"},
            {"0b002a 7f000000 ffffffff", "03002a"}, {"07002b 7f000000", "07002b ffffffff"},
            {"0b002a 80ffffff 01000000", "0300aa"}, {"07002b 80000000", "0300ab"}, {"0b0022 f0000000 a5a5a5a5", "030022"},
            {"0b0022 24000000 04000000", "030022"}, {"080020 03 dc010080", "030020"}, {"030025", "070025 00000000"},
            {"030027", "070027 21d10000"}, {"070034 00000000", "070034 00000000"},
            {"080034 00 00000000", "0b0034 00000000 00000000"}, {"030000", "0400ff01"}, {"030003", "0400ff01"},
            {"030080", "0400ff01"}, {"040001 00", "030081"}, {"050025 0000", "0300a5"}, {"040020 0a", "0300a0"},
            {"0a0022 ffffffff 0f0000", "0300a2"}, {"06002b 020000", "0300ab"}, {"060034 000000", "0300b4"}});
    BOOST_TEST((b.outputs() == 0x84u && b.pwm(3) == 0x800001DCu));
    b.play({{"030001", "030001"}, {"07002b 02000000", "07002b 00000000"}});
    BOOST_TEST(b.outputs() == 0u, "soft reset");
    boot.play({{"030001", "030001"}, {"030002", "170002 H"}, {"030004", "0400ff01"}, {"07002b 02000000", "0400ff01"}});
}

// The input lines read as variable 11 and command 0x25 alike, whatever is written to 11; variable 12 is
// the outputs, for command 0x22, the terminal's writes and a program's records; a soft reset clears it.
BOOST_AUTO_TEST_CASE(digital_lines_are_variables_11_and_12)
{
    testBoard b("--inputs 0x80000021 --pressure 0");
    b.play({{"030025", "070025 21000080"}, readVar(11, 0x80000021), writeVar(11, 5), readVar(11, 0x80000021),
            {"030027", "070027 00000000"}, writeVar(12, 64), {"0b0022 0c000000 04000000", "030022"}, readVar(12, 68),
            limits(4), load(0, {2, 0, 12, 25, 0x30}), load(1, {3, 0, 12, 25, 0x40}), load(2, programEnd), writeVar(0, 1)});
    BOOST_TEST(b.advance(5));
    b.play({readVar(12, 0x34), {"030001", "030001"}, readVar(12, 0), {"030025", "070025 21000080"}});
    BOOST_TEST(b.outputs() == 0u);
}

// Six-register chip: 0x34 answers the register the previous read addressed (GCONF at power-on), as the
// last commit applied it; 0x10 keeps the image, and so its registers, across a restart.
BOOST_AUTO_TEST_CASE(settings_apply_at_the_commit_and_persist_when_stored)
{
    const std::string path = "/tmp/boardsim-settings-" + std::to_string(getpid()), six = "QZ_SMC TMC5130";
    std::string image;
    for (int i = 1; i <= 92; ++i)
        image += toHex({static_cast<std::uint8_t>(i)});
    std::remove(path.c_str());
    testBoard("", personality::board, six, path)
        .play({{"030013", "5f0013 4c212300 08180f00 0a000000 04000000 00000000 aa000100" + factoryBlock},
               {"5f0012" + image, "030012"}, {"5b0012" + image.substr(8), "030092"},
               {"080034 6c 00000000", "0b0034 04000000 00000000"}, {"080034 00 00000000", "0b0034 4c212300 00000000"},
               {"030014", "030014"}, {"080034 6c 00000000", "0b0034 0d0e0f10 00000000"},
               {"080034 00 00000000", "0b0034 01020304 00000000"}, {"030010", "030010"},
               {"5f0012" + std::string(184, 'f'), "030012"}, {"070034 00000000", "0300b4"}});
    testBoard("", personality::board, six, path)
        .play({{"030013", "5f0013" + image}, {"080034 6c 00000000", "0b0034 0d0e0f10 00000000"}});
    std::remove(path.c_str());
    testBoard("", personality::board, six, "/nonexistent/settings").play({{"030010", "030090"}});
}

// Frames come out whole however the stream is cut; a length field below 3 cannot be resynchronised.
BOOST_AUTO_TEST_CASE(frames_cut_from_a_stream_split_anywhere)
{
    const std::string big = "2f0112" + std::string(600, '7');
    const bytes stream = fromHex("030001 07002b02000000" + big + "0400ff");  // the last one incomplete
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        frameReader reader;
        std::string got;
        for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, stream.size()}}) {
            reader.feed(stream.data() + from, to - from);
            while (auto f = reader.next())
                got += toHex(*f) + "/";
        }
        BOOST_TEST(got == "030001/07002b02000000/" + big + "/", "split at " << cut);
    }
    for (const char* header : {"000001", "020001"}) {
        frameReader reader;
        reader.feed(fromHex(header).data(), 3);
        BOOST_CHECK_THROW(reader.next(), frameReader::errorBadLength);
    }
}

BOOST_AUTO_TEST_SUITE_END()

// Each fault as its command-line option gives it. A silenced command still takes effect.
BOOST_AUTO_TEST_CASE(answers_under_each_fault)
{
    const std::string found = "H00" + revision + "00", setIp = "u Z05 0a4d0199" + boardRecord.substr(8);
    const std::string setVariable = "0b002a 02000000 07000000";
    for (const auto& [options, request, answers] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--udp-discovery-twice", "u Z00", found + "/" + found}, {"--udp-status 0x80", "u Z04", "H80" + boardRecord},
             {"--udp-config-length 20", "u Z04", "H"}, {"--udp-config-length 70", "u Z04", "H00" + boardRecord + "a5a5a5a5"},
             {"--udp-no-terminator", "u Z00", "H00" + revision}, {"--udp-silent 5", setIp, ""},
             {"--tcp-silent all --tcp-unsolicited-after-reply", setVariable, ""},
             {"--tcp-status all:0xce", "030050", "0400ffce"}, {"--tcp-status all:0xce --tcp-status 0x13:2", "030013", "0400ff02"},
             {"--tcp-status all:1 --tcp-silent 0x14", "030014", ""}, {"--tcp-error-flag 0x2b", "07002b 02000000", "0700ab 00000000"},
             {"--tcp-other-code 0x2b:0x2c --tcp-error-flag all", "07002b 02000000", "0700ac 00000000"},
             {"--tcp-bad-length 2:1", "030002", "010002/170002 H"}, {"--tcp-bad-length all", "030001", "020001/030001"},
             {"--tcp-unsolicited-after-reply --tcp-unsolicited-code 0x51", "030001", "030001/030051"}}) {
        testBoard b(options);
        BOOST_TEST(b.send(request) == expand(answers), options);
        BOOST_TEST(dotted(b.config().ip) == (request == setIp ? "10.77.1.153" : "10.77.1.10"), options);
        BOOST_TEST(b.variable(2) == (request == setVariable ? 7 : 0), options);
    }
    for (const char* bad : {"0x02", "all:256", "0x100:1", "1:", "1:0x", "1:-1", "1:12a", "'1: 1'", "1:99999999999999999999"})
        BOOST_CHECK_THROW(withOptions(std::string("--tcp-status ") + bad), std::invalid_argument);
    BOOST_CHECK_THROW(withOptions("--tcp-bad-length 2:3"), std::invalid_argument);
}

BOOST_AUTO_TEST_SUITE(motor)

// The position wraps like the chip's 32-bit counter.
BOOST_AUTO_TEST_CASE(step_generator_position_wraps)
{
    stepGenerator g;
    g.setLimits({1, 0x7FFFFFFF, 0x7FFFFFFF});
    g.setPosition(0x7FFFFFFE);
    g.setPending(0x7FFFFFFF);
    g.tick();
    g.tick();
    BOOST_TEST((g.position() == -3 && g.speed() == 0x7FFFFFFF), g.position() << " " << g.speed());
}

// Each program runs exactly `ticks` ticks, leaving the generator as traced by hand; the end record
// then ends it in the next tick without a generator tick, and stops the motor.
BOOST_AUTO_TEST_CASE(record_timing)
{
    struct timingCase {
        const char* what;
        std::vector<programRecord> program;  // the end record follows
        std::uint64_t ticks;                 // until the end record runs
        std::int32_t position, speed, pending;
        generatorLimits limits{4, 1000, 50};
    };
    const programRecord var21 = {1, 0, 0x15, 25, 2}, waitVar21 = {0x20, 0, 0, 0x15, 0};
    for (const timingCase& c : std::vector<timingCase>{
             {"a phase's first tick with the pending acceleration before it", {accel(8), accel(-4), wait(2)}, 4, 3, 0, -4},
             {"short cruise: 2 ticks", {accel(8), accel(0), wait(0)}, 3, 2, 8, 0},
             {"long cruise on variable 21: m + 1 ticks", {accel(8), accel(0), {1, 0, 0x15, 25, 3}, waitVar21}, 5, 6, 8, 0},
             {"immediate waits take a tick at least, variable ones none when 0",
              {wait(0), {1, 0, 0x15, 25, 0}, waitVar21, {0}}, 2, 0, 0, 0},
             {"stop takes no time and clears speed, pending and remainder", {accel(6), {0}, {0}, {0x30}, {0}}, 4, 1, 0, 0},
             {"counted loop: a taken branch takes a tick, falling through none",
              {{1, 0, 5, 25, 3}, {0x11, 0, 5, 25, 1}, {4, 4, 0, 25, -2}}, 2, 0, 0, 0},
             {"a set bit branches over a wait", {{2, 0, 7, 25, 6}, {0x12, 0, 7, 25, 4}, {4, 2, 0, 25, 1}, wait(10)}, 1, 0, 0, 0},
             {"a set bit falls through to the wait",
              {{2, 0, 7, 25, 6}, {0x12, 0, 7, 25, 4}, {4, 5, 0, 25, 1}, wait(10)}, 10, 0, 0, 0},
             {"cleared bits branch",
              {{1, 0, 7, 25, 7}, {3, 0, 7, 25, 2}, {0x12, 0, 7, 25, 2}, {4, 5, 0, 25, 1}, wait(10)}, 1, 0, 0, 0},
             {"a copied negative value branches",
              {{1, 0, 6, 25, -7}, {1, 0, 5, 6, 0}, {0x11, 0, 5, 25, 0}, {4, 1, 0, 25, 1}, wait(10)}, 1, 0, 0, 0},
             {"a branch onto itself waits for the live speed",
              {accel(8), accel(0), accel(-4), {0x11, 0, 4, 25, 0}, {4, 4, 0, 25, -1}, {0x30}}, 5, 5, 0, -4},
             {"acceleration and speed within their limits", {accel(100), wait(5)}, 6, 7, 10, 3, {4, 10, 3}},
             {"a move as the terminal writes it",
              {{0x30}, accel(4), wait(2), accel(0), var21, waitVar21, accel(-4), wait(2), {0x30}, {1, 0, 0x18, 25, 1}}, 9, 17, 4,
              -4}}) {
        stepGenerator g;
        deviceVariables v(g);
        sequencer s(g, v);
        g.setLimits(c.limits);
        for (std::size_t i = 0; i <= c.program.size(); ++i)
            s.load(i, i < c.program.size() ? c.program[i] : programEnd);
        s.start(0);
        BOOST_TEST((s.run(c.ticks) == sequencer::ending::none && s.running() && v.get(0) == 1), c.what);
        BOOST_TEST((g.position() == c.position && g.speed() == c.speed && g.pending() == c.pending && g.accumulator() == 0),
                   c.what << ": " << g.position() << " " << g.speed() << " " << g.pending() << " " << g.accumulator());
        BOOST_TEST((s.run(1) == sequencer::ending::normal && v.get(0) == 0 && g.speed() == 0), c.what);
    }
}

// Counts are unsigned 32-bit, as the planner writes the low 32 bits of its tick counts: from 2^31 on
// they are long waits, not negative ones.
BOOST_AUTO_TEST_CASE(wait_counts_from_2_31_on_are_long)
{
    for (const programRecord& longWait : {wait(std::int32_t(0x80000000)), wait(-1), programRecord{0x20, 0, 0, 0x15, 0}}) {
        testBoard b;
        b.play({limits(4), writeVar(0x15, -2)});
        BOOST_TEST((!b.runs({longWait, programEnd}) && b.programRunning()), "arg3 " << int(longWait.arg3));
    }
}

BOOST_AUTO_TEST_SUITE_END()

// Variable 0 starts the program at the slot in variable 1 and stops it; variable 2 is the live
// position (writable), variable 4 the live speed (read only). Only the program's own end record
// makes advance() announce an end.
BOOST_AUTO_TEST_CASE(programs_start_and_stop_through_variable_0)
{
    testBoard b;
    b.play({limits(4), load(5, accel(8)), load(6, wait(1000)), load(7, programEnd),
            load(256, programEnd), {"0e002c 00000000 00000000000000", "0300ac"}, writeVar(1, 5), writeVar(0, 1),
            readVar(0, 1)});
    BOOST_TEST(!b.advance(3));
    b.play({readVar(2, 2), readVar(4, 16), writeVar(4, 99), readVar(4, 16), writeVar(2, 100)});
    BOOST_TEST(!b.advance(1));
    b.play({readVar(2, 104), writeVar(0, 0), readVar(0, 0), readVar(4, 0)});
    BOOST_TEST(!b.advance(10000));
    b.play({readVar(2, 104), writeVar(0, 1)});
    BOOST_TEST(!b.advance(1001));
    BOOST_TEST(b.advance(1));
    BOOST_TEST(!b.advance(1));
    b.play({readVar(0, 0), readVar(4, 0), writeVar(0, 1), {"030001", "030001"}, readVar(0, 0), readVar(2, 0)});
    BOOST_TEST(b.reports.size() == 2u);
    b.play({writeVar(1, 256), writeVar(0, 1), readVar(0, 0), writeVar(1, 0), limits(0), writeVar(0, 1), readVar(0, 0)});
    BOOST_TEST(b.reports.size() == 4u);
    BOOST_TEST(b.reports.back() == "program not started: limits.path is 0");
}

// The driver's phase as the terminal reads and orients it: the six-register chip's MSCNT through
// 0x6A then 0, kept as read with `shaft`, else counted back; the five-register chip's 4-byte read
// response, counted back.
std::uint32_t terminalPhase(testBoard& b, bool sixRegister, unsigned mres, bool shaft)
{
    const std::uint32_t cycle = (256u >> mres) * 4;
    if (sixRegister)
        b.send("080034 6a 00000000");
    const bytes reply = fromHex(b.send(sixRegister ? "080034 00 00000000" : "070034 00000000"));
    const std::uint32_t v = ((getLE32(reply.data() + 3) >> (sixRegister ? 0 : 10)) & 0x3FF) >> mres;
    return shaft ? v : (cycle - v) % cycle;
}

BOOST_AUTO_TEST_SUITE(driver_phase)

// The phase follows the motor in the direction the terminal assumes for each chip and `shaft`, at the
// committed MRES, so that phase minus position keeps its value, 0 from power-on, over moves both ways.
// A lost step reaches neither the driver nor the motor: the difference moves by one against the travel.
BOOST_AUTO_TEST_CASE(phase_minus_position_holds_unless_steps_are_lost)
{
    using moves = std::vector<std::pair<std::int32_t, std::int32_t>>;  // travel, then the difference
    const moves steady{{137, 0}, {-1000, 0}, {2001, 0}, {-53, 0}, {7, 0}, {-3300, 0}};
    const moves lossy{{1000, -10}, {-1000, 0}, {250, -2}, {-250, 1}};
    struct phaseCase { std::string options, revision; unsigned mres; bool shaft; moves travels; };
    const std::string five = "QZ_SMC sim", six = "QZ_SMC TMC5130";
    for (const phaseCase& c : std::vector<phaseCase>{
             {"", five, 0, false, steady}, {"", five, 4, false, steady}, {"", five, 8, false, steady}, {"", six, 0, false, steady},
             {"", six, 3, true, steady}, {"", six, 8, true, steady}, {"--lose-steps 100", five, 0, false, lossy},
             {"--lose-steps 100", six, 2, true, lossy}}) {
        const bool sixRegister = c.revision == six;
        const std::string what = c.options + " " + c.revision + " MRES " + std::to_string(c.mres) + (c.shaft ? " shaft" : "");
        const std::uint32_t cycle = (256u >> c.mres) * 4;
        testBoard b(c.options, personality::board, c.revision);
        const std::string image = sixRegister ? "5f0012" + le32(0x23214C | c.mres << 24) + "08180f00 0a000000" + le32(4 | c.shaft << 4) +
                                            "00000000 aa000100"
                                      : "5b0012 40f30e00" + le32(c.mres) + "72200800 16000d00 60050a00";
        b.play({{image + "04000000 e8030000 32000000" + std::string(112, '0'), "030012"}, {"030014", "030014"}});
        BOOST_TEST(terminalPhase(b, sixRegister, c.mres, c.shaft) == 0u, what);
        for (const auto& [travel, difference] : c.travels) {
            BOOST_REQUIRE(b.runs(move(travel, true)));
            const std::uint32_t diff = (terminalPhase(b, sixRegister, c.mres, c.shaft) - static_cast<std::uint32_t>(b.variable(2))) % cycle;
            BOOST_TEST(diff == static_cast<std::uint32_t>(difference) % cycle, what << " after " << travel);
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

// The terminal's scan program, written out: variable 20 counts down from variable 19; each turn a
// step move, 3 ticks of settling, the handshake (reflect: wait for inputs 0x60 clear, reflect output
// off; else wait for ready 0x20; then handshake output up, wait for ready to fall), a 20-tick
// exposure with a 5-tick pulse, handshake down; the loop goes back to slot 1.
std::vector<programRecord> scan(bool reflect, bool handshake, std::int32_t step)
{
    std::vector<programRecord> p{{1, 0, 20, 19, 0}};
    if (reflect && handshake)
        p.push_back({2, 0, 12, 25, 0x20});
    for (const programRecord& r : move(step))
        p.push_back(r);
    p.insert(p.end(), {{1, 0, 6, 25, 0}, wait(1)});
    if (handshake) {
        if (reflect)
            p.insert(p.end(), {{0x12, 0, 11, 25, 0x60}, {0x11, 0, 19, 25, 0x60}, {4, 2, 0, 25, -1}, {3, 0, 12, 25, 0x20}});
        else
            p.insert(p.end(), {{0x12, 0, 11, 25, 0x20}, {4, 5, 0, 25, -1}});
        p.insert(p.end(), {{2, 0, 12, 25, 0x10}, {0x12, 0, 11, 25, 0x20}, {4, 2, 0, 25, -1}});
    }
    p.insert(p.end(), {{2, 0, 12, 25, 8}, {1, 0, 6, 25, 0}, wait(2), {3, 0, 12, 25, 8}, {1, 0, 6, 25, 0}, wait(13)});
    if (handshake)
        p.push_back({3, 0, 12, 25, 0x10});
    p.insert(p.end(), {{0x11, 0, 20, 25, 1}, {4, 4, 0, 25, -static_cast<std::int32_t>(p.size() + 1)}, {1, 0, 24, 25, 1}, programEnd});
    return p;
}

// Scans end at start + count x step (count 0 still steps once: the counter is tested after the body).
// The reflect handshake waits on the inputs: a receiver busy after each exposure holds every turn but
// the first for about its read-out time; a line stuck busy holds the scan for good. The receiver also
// raises ready for the plain handshake, which without it would wait for ever.
BOOST_AUTO_TEST_CASE(scans_run_through_the_receiver_handshake)
{
    // Ticks from start to end when it ends: a turn of a 100-microstep move takes 120.
    struct scanCase { std::string options; bool reflect, handshake; std::int32_t count, step; bool ends; std::uint64_t ticksLow, ticksHigh; };
    for (const scanCase& c : std::vector<scanCase>{
             {"", false, false, 3, 100, true, 360, 360}, {"", false, false, 0, 100, true, 120, 120}, {"", true, true, 3, -100, true, 360, 366},
             {"--receiver 2000", true, true, 3, -100, true, 4000, 4400}, {"--receiver 2000", false, true, 3, 100, true, 4000, 4400},
             {"--inputs 0x40", true, true, 3, 100, false, 0, 0}, {"", false, true, 1, 100, false, 0, 0}}) {
        testBoard b(c.options);
        b.play({limits(4), writeVar(2, 1000), writeVar(19, c.count)});
        BOOST_TEST(b.runs(scan(c.reflect, c.handshake, c.step), 20000) == c.ends, c.options << " " << c.reflect);
        if (!c.ends)
            continue;
        BOOST_TEST((b.variable(2) == 1000 + std::max(c.count, 1) * c.step && b.variable(12) == 0),
                   c.options << " " << c.reflect << " " << c.count << ": at " << b.variable(2));
        BOOST_TEST((b.ticksRun >= c.ticksLow && b.ticksRun <= c.ticksHigh), c.options << " " << c.reflect << ": " << b.ticksRun);
    }
}

BOOST_AUTO_TEST_SUITE(limit_switch)

// The search latches where the motor met the switch, brakes two microsteps on and ends with variable
// 24 = 2 in either direction, the handler disarmed; the switch is in the motor's coordinates, so a
// counter written beforehand shifts the latched value. A switch beyond the travel leaves variable 24 at
// 1 and the handler armed. With jitter each search latches within the band, not always at one place.
BOOST_AUTO_TEST_CASE(limit_search_latches_brakes_and_stops)
{
    // Variable 20 lies in [latchedLow, latchedHigh] after each search.
    struct searchCase { std::string options; std::int32_t counterAtStart, travel, latchedLow, latchedHigh, result; };
    for (const searchCase& c : std::vector<searchCase>{
             {"--limit-switch 300", 0, 1000, 300, 300, 2}, {"--limit-switch -300", 0, -1000, -300, -300, 2},
             {"--limit-switch 300", 5000, 1000, 5300, 5300, 2}, {"--limit-switch 300 --limit-jitter 20", 0, 1000, 280, 320, 2},
             {"--limit-switch -300 --limit-jitter 20", 0, -1000, -320, -280, 2}, {"--limit-switch 1500", 0, 1000, 0, 0, 1}}) {
        testBoard b(c.options);
        b.play({limits(4), writeVar(2, c.counterAtStart)});
        std::set<std::int32_t> latched;
        for (int search = 0; search < 8; ++search) {
            const std::int32_t start = b.variable(2);
            BOOST_REQUIRE_MESSAGE(b.runs(limitSearch(c.travel)), c.options);
            const std::int32_t at = b.variable(20), stop = b.variable(2), sign = c.travel > 0 ? 1 : -1;
            latched.insert(at);
            BOOST_TEST(b.variable(24) == c.result, c.options);
            if (c.result == 1) {
                BOOST_TEST((stop == start + c.travel && b.variable(16) < 0), c.options);
                break;
            }
            BOOST_TEST((at >= c.latchedLow && at <= c.latchedHigh && stop == at + 2 * sign && b.variable(16) == 0),
                       c.options << ": latched " << at << ", stopped at " << stop);
            BOOST_REQUIRE(b.runs(move(-sign * 400, true)));
        }
        BOOST_TEST((latched.size() > 1) == (c.latchedLow != c.latchedHigh), c.options << ": " << latched.size());
    }
}

// A sticky switch stays active until the motor is more than N microsteps back from where it tripped:
// a search from closer latches at once where it starts; from farther, at the switch again.
BOOST_AUTO_TEST_CASE(a_sticky_switch_latches_at_once_until_released)
{
    testBoard b("--limit-switch 300 --limit-sticky 100");
    b.play({limits(4)});
    for (const auto& [backOff, latch] : {std::pair<int, int>{0, 300}, {-80, 222}, {-200, 300}}) {
        BOOST_REQUIRE((backOff == 0 || b.runs(move(backOff, true))) && b.runs(limitSearch(1000)));
        BOOST_TEST((b.variable(24) == 2 && b.variable(20) == latch), "latched at " << b.variable(20));
    }
}

// The switch needs a side, its jitter and stickiness need the switch; positions are signed.
BOOST_AUTO_TEST_CASE(limit_options)
{
    BOOST_TEST(parseHardware(parsed("--limit-switch -0x80000000")).limit->position == INT32_MIN);
    for (const char* bad : {"--limit-switch 0", "--limit-switch -0", "--limit-switch 0x80000000", "--limit-switch 1 --limit-jitter 256",
                            "--limit-jitter 1", "--limit-sticky 1"})
        BOOST_CHECK_THROW(parseHardware(parsed(bad)), std::invalid_argument);
}

// The Nth program started hangs where it stands until it is stopped; the others run. After some
// ticks it hangs halfway, running on, or --stop ends it there without a word.
BOOST_AUTO_TEST_CASE(the_hang_option_stops_one_program_for_good)
{
    testBoard b("--hang 2");
    b.play({limits(4)});
    BOOST_TEST((b.runs(move(100, true)) && !b.runs(move(100, true)) && b.programRunning()));
    b.play({readVar(2, 100), writeVar(0, 0)});
    BOOST_TEST((b.runs(move(100, true)) && b.variable(2) == 200));

    testBoard free;
    free.play({limits(4)});
    free.runs(move(100, true), 30);
    const std::int32_t halfway = free.variable(2);
    BOOST_TEST((halfway > 20 && halfway < 30));
    for (const char* option : {"--hang 1:30", "--stop 1:30"}) {
        testBoard f(option);
        f.play({limits(4)});
        BOOST_TEST(!f.runs(move(100, true), 1000), option);
        BOOST_TEST(f.programRunning() == (option[2] == 'h'), option);
        f.play({readVar(2, halfway)});
    }
    for (const char* bad : {"--hang 0", "--hang 1:", "--stop 1", "--stop 0:5"})
        BOOST_CHECK_THROW(withOptions(bad), std::invalid_argument);
}

BOOST_AUTO_TEST_SUITE_END()

// A program that cannot go on is stopped where it stands, motor included, with one report line.
BOOST_AUTO_TEST_CASE(abnormal_ends_are_reported)
{
    for (const auto& [slot, bad, report] : std::vector<std::tuple<int, std::vector<programRecord>, std::string>>{
             {0, {{0x77}}, "program stopped at slot 2: unknown opcode 0x77"},
             {0, {{4, 3, 0, 25, 0}}, "program stopped at slot 2: unknown branch condition 3"},
             {0, {{1, 0, 128, 25, 1}}, "program stopped at slot 2: no variable 128"},
             {0, {{1, 0, 5, 200, 0}}, "program stopped at slot 2: no variable 200"},
             {0, {{0x11, 0, 5, 25, -1}, {4, 4, 0, 25, -10}}, "program stopped at slot 3: branch to slot -6"},
             {254, {}, "program stopped at slot 256: ran past the last slot"},
             {0, {{1, 0, 0x15, 25, 50}, {0x20, 0, 0, 0x15, 0}}, "program stopped: limits.path is 0"}}) {
        testBoard b;
        b.play({limits(4), load(slot, accel(8)), load(slot + 1, {0})});
        for (std::size_t i = 0; i < bad.size(); ++i)
            b.play({load(slot + 2 + i, bad[i])});
        b.play({writeVar(1, slot), writeVar(0, 1)});
        b.advance(10);
        if (report.find("path") != std::string::npos)
            b.play({limits(0)});
        BOOST_TEST(!b.advance(100), report);
        b.play({readVar(0, 0), readVar(4, 0)});
        BOOST_TEST(b.reports == std::vector<std::string>{report}, report);
    }
}

BOOST_AUTO_TEST_SUITE(boot_loader)

const std::string bootLoaderText = "424f4f545f4c4f41444552";  // "BOOT_LOADER"

// 0x0B is answered, then the device is its boot loader: discovery under its own id, the 44-byte record
// with the --boot-* fields, the control port shut until UDP 0x7F or 6 wakes it; a refused wake-up
// carries its byte and wakes nothing. 6 does not reset the boot loader's configuration.
BOOST_AUTO_TEST_CASE(restart_into_the_boot_loader_and_wake_it)
{
    testBoard b("--boot-ip 172.20.9.9 --boot-mask 255.255.0.0 --boot-ctrl-port 0x2345 --boot-wake-error 0x7f:5");
    b.play({{"03000b", "03000b"}, {"u Z00" + bootLoaderText, "H00 424f4f545f4c4f414445522073696d20312e30 00"},
            {"u Z00 515a5f534d43", ""},
            {"u Z04", "H00 ac140909 0a4d0101 ffff0000" + recordHead.substr(27) + " 4523"}});
    BOOST_TEST((b.restarts() == 1u && !b.acceptsConnections()));
    b.play({{"u Z7f", "H80 05"}});
    BOOST_TEST(!b.acceptsConnections());
    b.play({{"u Z06", "H00"}, {"030002", "170002 H"}, {"030025 ", "0300a5"}, {"03002a", "0400ff01"}});
    BOOST_TEST((b.acceptsConnections() && dotted(b.config().ip) == "172.20.9.9"));
}

// The updater's sequence against the boot loader's flash: erase the image's sectors, write every ARM
// block, read each back, then the FPGA's blocks; "ok" or the first step that failed.
std::string update(testBoard& b, const bytes& content, std::size_t fpgaSize, bool erase = true)
{
    auto ask = [&b](std::uint8_t code, const bytes& payload) {
        std::vector<bytes> r = b.onFrame(makeFrame(code, payload));
        BOOST_REQUIRE((r.size() == 1 && frameCommand(r[0]) == code));
        return framePayload(r[0]);
    };
    auto numbered = [](std::uint32_t n, const bytes& image, std::size_t at, std::size_t size) {
        bytes p;
        putLE32(p, n);
        p.insert(p.end(), image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at + size));
        return p;
    };
    const bytes image = armImage(content, b.id().hwId);
    const std::uint32_t sectors = static_cast<std::uint32_t>(image.size() / 32768);
    for (std::uint32_t s = 0; erase && s < sectors; ++s)
        if (std::uint32_t status = getLE32(ask(7, {static_cast<std::uint8_t>(s)}).data()))
            return "erase " + std::to_string(s) + " status " + std::to_string(status);
    for (std::uint32_t k = 0; k < sectors * 128; ++k)
        if (std::uint32_t status = getLE32(ask(8, numbered(k, image, k * 256, 256)).data() + 4))
            return "write " + std::to_string(k) + " status " + std::to_string(status);
    for (std::uint32_t k = 0; k < sectors * 128; ++k)
        if (ask(9, numbered(k, {}, 0, 0)) != bytes(image.begin() + k * 256, image.begin() + k * 256 + 256))
            return "verify " + std::to_string(k);
    bytes fpga(fpgaSize, 0x5A);
    fpga.resize((fpgaSize + 527) / 528 * 528, 0);
    for (std::uint32_t k = 0; k < fpga.size() / 528; ++k)
        if (std::uint32_t status = getLE32(ask(0x26, numbered(k, fpga, k * 528, 528)).data() + 4))
            return "fpga write " + std::to_string(k) + " status " + std::to_string(status);
    for (std::uint32_t k = 0; k < fpga.size() / 528; ++k)
        if (ask(0x25, numbered(k, {}, 0, 0)) != bytes(fpga.begin() + k * 528, fpga.begin() + k * 528 + 528))
            return "fpga verify " + std::to_string(k);
    return "ok";
}

struct flashCase {
    std::string options;
    std::size_t armSize, fpgaSize;
    std::string outcome;
};
std::ostream& operator<<(std::ostream& os, const flashCase& c) { return os << c.options << " " << c.armSize; }

const std::vector<flashCase> flashCases{
    {"", 0, 0, "ok"},
    {"", 32760, 529, "ok"},
    {"", 32761, 1056, "ok"},
    {"--boot-erase-fail 3", 4 * 32768, 0, "erase 3 status 1"},
    {"--boot-write-fail 130", 40000, 0, "write 130 status 1"},
    {"--boot-corrupt 130", 40000, 0, "verify 130"},
    {"--boot-fpga-write-fail 5", 100, 10 * 528, "fpga write 5 status 1"},
    {"--boot-fpga-corrupt 1", 100, 529, "fpga verify 1"},
};

// Each fault stops the sequence where it names, as the refusing or misreading flash would.
BOOST_DATA_TEST_CASE(erase_write_verify, boost::unit_test::data::make(flashCases), c)
{
    testBoard b(c.options, personality::bootLoader);
    bytes content(c.armSize);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>(i * 7 + 1);
    BOOST_TEST(update(b, content, c.fpgaSize) == c.outcome);
}

// A block that holds anything but 0xFF takes no write until its sector is erased again.
BOOST_AUTO_TEST_CASE(a_write_needs_an_erased_block)
{
    testBoard b("", personality::bootLoader);
    BOOST_TEST(update(b, bytes(10, 1), 0, false) == "write 0 status 2");  // the running firmware is there
    BOOST_TEST(update(b, bytes(10, 1), 0) == "ok");
    BOOST_TEST(update(b, bytes(10, 2), 0, false) == "write 0 status 2");
}

// 0x0C takes the first sector count whose last 8 bytes hold both trailer words, so a shorter image
// over a longer one starts; the firmware comes up once the link ends, with the revision its image
// names (or one made of word B), the driver model that follows from it, and the board's old record.
BOOST_AUTO_TEST_CASE(the_firmware_starts_from_a_sound_image)
{
    testBoard b("--boot-ip 10.77.1.99");
    b.play({{"03000b", "03000b"}, {"u Z7f", "H00"}, {"03000c", "03000c"}});
    b.connectionEnded();
    BOOST_TEST((b.id().revision == "QZ_SMC sim 1.0" && b.restarts() == 2u));  // nothing written: the old firmware

    const std::string text = "..QZ_SMC TMC 3.0\x01more";
    b.play({{"03000b", "03000b"}, {"u Z7f", "H00"}});
    BOOST_TEST(update(b, bytes(3 * 32768, 0x11), 0) == "ok");
    BOOST_TEST(update(b, bytes(text.begin(), text.end()), 0) == "ok");
    b.play({{"03000c", "03000c"}, {"030001", "030001"}});
    BOOST_TEST((b.id().kind == personality::bootLoader));  // until the link ends
    b.connectionEnded();
    BOOST_TEST((b.id().revision == "QZ_SMC TMC 3.0" && b.model() == driverModel::sixRegister));
    b.play({{"u Z00 515a5f534d43", "H00 515a5f534d4320544d4320332e30 00"}, {"u Z04", "H00" + boardRecord}});

    b.play({{"03000b", "03000b"}, {"u Z06", "H00"}});
    BOOST_TEST(update(b, {1, 2, 3}, 0) == "ok");
    b.play({{"03000c", "03000c"}});
    b.connectionEnded();
    BOOST_TEST(b.id().revision == "QZ_SMC sim image 00000006");
}

// A trailer made for another hardware id, or a sector erased under the image, keeps the boot loader.
BOOST_AUTO_TEST_CASE(an_unsound_image_does_not_start)
{
    testBoard b("", personality::bootLoader);
    hardwareId other = b.id().hwId;
    other[0] ^= 1;
    const bytes image = armImage({1, 2, 3}, other);
    b.play({{"040007 00", "070007 00000000"}});
    for (std::uint32_t k = 0; k < 128; ++k) {
        bytes p;
        putLE32(p, k);
        p.insert(p.end(), image.begin() + k * 256, image.begin() + k * 256 + 256);
        b.onFrame(makeFrame(8, p));
    }
    b.play({{"03000c", "03008c"}});
    b.connectionEnded();
    BOOST_TEST((b.id().kind == personality::bootLoader && b.restarts() == 0u));
}

// The link is cut once: the named command is carried out and not answered; later ones are.
BOOST_AUTO_TEST_CASE(the_link_is_cut_after_n_commands)
{
    testBoard b("--boot-cut-after 2", personality::bootLoader);
    b.play({{"030002", "170002 H"}, {"070108 80020000" + std::string(512, '0'), ""}});
    BOOST_TEST(b.takeCut());
    BOOST_TEST(!b.takeCut());
    BOOST_TEST(b.flash().arm()[5 * 32768] == 0);
    b.play({{"030002", "170002 H"}, {"040007 05", "070007 00000000"}});
}

BOOST_AUTO_TEST_SUITE_END()
