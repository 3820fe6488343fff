// The board model without the network: datagrams and frames in, answers out, all written out by hand.
#define BOOST_TEST_MODULE boardsim
#include "boardsim/board.hpp"

#include <boost/program_options.hpp>
#include <boost/test/unit_test.hpp>

#include <cstdio>
#include <tuple>

#include <unistd.h>

using namespace qz::boardsim;
using exchanges = std::vector<std::pair<std::string, std::string>>;

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

faults withOptions(const std::string& options)
{
    namespace po = boost::program_options;
    po::options_description all;
    addFaultOptions(all);
    po::variables_map vm;
    po::store(po::command_line_parser(po::split_unix(options)).options(all).run(), vm);
    return parseFaults(vm);
}

// A board with fault options as on the command line; what it reports is kept, not printed.
struct testBoard : board {
    explicit testBoard(const std::string& options = "", personality kind = personality::board,
                       const std::string& rev = "QZ_SMC sim 1.0", const std::string& settingsPath = "")
        : board({*parseHardwareId(hwIdHex), rev, kind == personality::board ? "QZ_SMC" : "BOOT_LOADER", kind},
                *decodeConfig(fromHex(boardRecord), personality::board), withOptions(options), settingsFile(settingsPath))
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

    void play(const exchanges& script)
    {
        for (const auto& [request, answers] : script)
            BOOST_TEST(send(request) == expand(answers), request);
    }

    std::vector<std::string> reports;
};

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
            {"080034 00 00000000", "0b0034 00000000 00000000"}, {"030000", "0400ff01"}, {"03000b", "0400ff01"},
            {"030080", "0400ff01"}, {"040001 00", "030081"}, {"050025 0000", "0300a5"}, {"040020 0a", "0300a0"},
            {"0a0022 ffffffff 0f0000", "0300a2"}, {"06002b 020000", "0300ab"}, {"060034 000000", "0300b4"}});
    BOOST_TEST((b.outputs() == 0x84u && b.pwm(3) == 0x800001DCu));
    b.play({{"030001", "030001"}, {"07002b 02000000", "07002b 00000000"}});
    BOOST_TEST(b.outputs() == 0u, "soft reset");
    boot.play({{"030001", "030001"}, {"030002", "170002 H"}, {"030004", "0400ff01"}, {"07002b 02000000", "0400ff01"}});
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
