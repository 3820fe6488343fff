// The motor-controller class against simulated boards over real sockets; what a board received
// is read back from its traffic log. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_controller
#include <boost/test/unit_test.hpp>

#include <boost/exception/get_error_info.hpp>

#include <numeric>
#include <stdexcept>

#include "qzsmc/controller.hpp"
#include "support/link_fixture.hpp"
#include "support/process.hpp"

namespace {

using qz::smc::controller;
using Lines = std::vector<std::string>;
using words = std::vector<std::uint32_t>;
using boost::test_tools::per_element;

// The chips' power-on words; the settings block init sends when the board's diagnostic words are
// all zero (limits and pressure wide open, polarity 0); the variables init writes, 12 getting 64.
const words defaultsA = {0xEF340, 0, 0x82072, 0xD0016, 0xA0560}, defaultsB = {0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA};
const words initBlock = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const int initVariables[] = {0, 16, 1, 5, 4, 3, 2, 6, 7, 8, 9, 10, 12, 19, 14, 15, 17, 20, 21, 22, 23};

// Little-endian words as raw bytes, as the board stores and sends them.
std::string raw(const words& values)
{
    std::string bytes;
    for (std::uint32_t v : values)
        bytes += std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return bytes;
}
// A control frame as the board logs it, in hex: 16-bit length, code, payload.
std::string frame(unsigned code, const words& payload = {})
{
    return qz::test::hex(std::string{char(3 + 4 * payload.size()), 0, char(code)} + raw(payload));
}
std::string setVariable(int id, std::uint32_t value) { return frame(0x2A, {std::uint32_t(id), value}); }
std::string setSettings(words registers, const words& block = initBlock)
{
    registers.insert(registers.end(), block.begin(), block.end());
    return frame(0x12, registers);
}
// A failed command must leave the command lock free; a held one is released so the test cannot hang.
bool commandLockFree(controller& c)
{
    const bool free = c.commandMutex_.try_lock();
    c.commandMutex_.unlock();
    return free;
}

// A board with these options and a connected controller of it; the controller goes first.
struct rig {
    explicit rig(const Lines& options) : board(qz::test::startBoard(options)) {}
    controller& c() { return *link.link; }
    // The frames the board received, from the mark-th on.
    Lines frames(std::size_t mark = 0) const
    {
        Lines all;
        for (const std::string& line : board->logLines())
            if (line.rfind("tcp ", 0) == 0 && line.find_first_not_of("0123456789abcdef", 4) == std::string::npos)
                all.push_back(line.substr(4));
        return Lines(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
    }
    std::unique_ptr<qz::test::board> board;
    qz::test::linkTo<controller> link;
};

}  // namespace

using qz::test::testNetworkOnly;
BOOST_TEST_GLOBAL_FIXTURE(testNetworkOnly);

// "TMC" anywhere in the revision means the six-register chip; "tmc" or "TM" does not. The board
// starts from stored words unlike those init sends, so keeping or dropping what was read shows.
BOOST_AUTO_TEST_CASE(the_revision_picks_the_model_and_init_reads_writes_commits_and_sets_variables)
{
    // revision, its chip's power-on words, and the field setAmperage(40) sets to 8 with its word then
    const std::tuple<const char*, words, const char*, std::size_t, std::uint32_t> rows[] = {
        {"QZ_SMC tmc2130 TM r2", defaultsA, "CS", 3, 0xD0008}, {"TMC", defaultsB, "IRUN", 1, 0xF0808}};
    for (const auto& [revision, defaults, amperage, reg, word] : rows) {
        BOOST_TEST_INFO_SCOPE("revision " << revision);
        // registers 0x22222, limits 1 to 5, diagnostic words 0x101 to 0x10c: init keeps only those
        words diagnostics(12);
        std::iota(diagnostics.begin(), diagnostics.end(), 0x101u);
        qz::test::scratchDir dir("qzctl");
        qz::test::writeFile(dir.path() / "settings.bin",
                            raw(words(defaults.size(), 0x22222)) + raw({1, 2, 3, 4, 5}) + raw(diagnostics));
        rig f({"--revision", revision, "--settings-file", dir.file("settings.bin")});
        f.c().init();
        words block = initBlock, registers = defaults;
        std::copy(diagnostics.begin(), diagnostics.end(), block.begin() + 5);
        Lines expected{frame(0x13), setSettings(defaults, block), frame(0x14)};
        for (int id : initVariables)
            expected.push_back(setVariable(id, id == 12 ? 64 : 0));
        BOOST_TEST(f.frames() == expected, per_element());
        BOOST_TEST(f.c().getDeviceSettings().diag_polar[0] == 0x107u);

        // After init a field goes out at once, masked to its width.
        const std::size_t mark = f.frames().size();
        f.c().setAmperage(40);
        BOOST_TEST(f.c().getMotorParameter(amperage) == 8u);
        BOOST_TEST(f.link.log.count(std::string("[qz_smc][info] motor parameter ") + amperage + " = 0x8") == 1u);
        registers[reg] = word;
        BOOST_TEST(f.frames(mark) == (Lines{setSettings(registers, block), frame(0x14)}), per_element());
    }
}

BOOST_AUTO_TEST_CASE(parameters_wait_for_init_and_the_speed_threshold_picks_its_field)
{
    rig f({"--revision", "QZ_SMC TMC2130 sim"});
    // Nothing goes out before init, so the settings are its second frame; the last value of a field
    // wins: IRUN ends 10.
    for (const auto& [name, value] : {std::pair{"IRUN", 10u}, std::pair{"IRUN", 20u}, std::pair{"IHOLD", 7u},
                                      std::pair{"IRUN", 10u}})
        f.c().setMotorParameter(name, value);
    f.c().init();
    words registers = defaultsB;
    registers[1] = 0xF0A07;
    BOOST_TEST(f.frames().at(1) == setSettings(registers));

    // speed, then TPWMTHRS and en_pwm_mode; each row starts with en_pwm_mode on, so turning it off shows.
    const std::tuple<double, std::uint32_t, std::uint32_t> rows[] = {
        {100.0, 132000, 1}, {10.0, 271424, 1}, {26400000.0, 1, 1}, {0.0, 1, 0}, {-5.0, 1, 0}};
    for (const auto& [speed, threshold, pwmMode] : rows) {
        f.c().setMotorParameter("en_pwm_mode", 1);
        const std::size_t mark = f.frames().size();
        f.c().setSpeedThreshold(speed);
        registers[3] = pwmMode * 0x4;
        registers[4] = threshold;
        BOOST_TEST(f.frames(mark) == (Lines{setSettings(registers), frame(0x14)}), "speed " << speed);
    }
}

BOOST_AUTO_TEST_CASE(commands_work_before_init_a_misspelt_parameter_fails_it_and_disconnect_zeroes)
{
    rig f({"--revision", "QZ_SMC TMC2130 sim"});
    // Refused with the error flag: the link logs it and counts it confirmed, the controller throws with
    // the command's code, and the next command goes on. Id 128 is -128 on the wire.
    const auto refused = [](int code) {
        return [code](const controller::errorCommandRefused& e) {
            const int* detail = boost::get_error_info<controller::commandInfo>(e);
            return detail && *detail == code;
        };
    };
    BOOST_CHECK_EXCEPTION(f.c().getValue(static_cast<signed char>(128)), controller::errorCommandRefused, refused(0x2B));
    BOOST_TEST(f.link.log.count("[error] device request error, cmd: 0x2b, data: 0300 ab ") == 1u, f.link.log.dump());
    BOOST_CHECK_EXCEPTION(f.c().setValue(static_cast<signed char>(128), 7), controller::errorCommandRefused,
                          refused(0x2A));
    BOOST_TEST(commandLockFree(f.c()));
    f.c().setValue(5, static_cast<std::uint32_t>(INT32_MIN));
    BOOST_TEST(f.c().getValue(5) == INT32_MIN);
    // The chip answers with the register the previous read addressed: GCONF, 0, then CHOPCONF.
    BOOST_TEST((f.c().readDriverRegister(0x6C) == 0x4u && f.c().readDriverRegister(0x10) == 0x23214Cu));
    BOOST_TEST(f.frames() == (Lines{"07002b80ffffff", "0b002a80ffffff07000000", setVariable(5, 0x80000000),
                                    frame(0x2B, {5}), "0800346c00000000", "0800341000000000"}),
               per_element());

    f.c().setMotorParameter("IRNU", 9);
    std::size_t mark = f.frames().size();
    BOOST_CHECK_EXCEPTION(f.c().init(), std::range_error,
                          [](const std::range_error& e) { return e.what() == std::string("parameter IRNU unknown"); });
    BOOST_TEST(f.frames(mark) == Lines{frame(0x13)}, per_element());  // after the read, before the write
    BOOST_TEST((!f.c().initialized() && commandLockFree(f.c())));

    mark = f.frames().size();
    f.c().disconnect(false);
    BOOST_REQUIRE(f.board->waitForLogText("tcp close", std::chrono::seconds(3)));
    BOOST_TEST(f.frames(mark) == (Lines{setVariable(12, 0), setVariable(10, 0), setVariable(9, 0), setVariable(8, 0),
                                        setVariable(7, 0)}),
               per_element());
}

// Unconfirmed variable writes: init stops at the first, and destruction logs its failure and still closes.
BOOST_AUTO_TEST_CASE(a_command_that_times_out_fails_init_and_destruction_logs_it)
{
    rig f({"--tcp-silent", "0x2A"});
    BOOST_CHECK_THROW(f.c().init(), controller::errorTCPCommandConfirmationTimeout);
    BOOST_TEST(f.frames() == (Lines{frame(0x13), setSettings(defaultsA), frame(0x14), setVariable(0, 0)}));
    BOOST_TEST((!f.c().initialized() && commandLockFree(f.c())));
    f.link.link.reset();
    BOOST_TEST(f.link.log.count("[qz_smc][error] ") == 1u, f.link.log.dump());
    BOOST_REQUIRE(f.board->waitForLogText("tcp close", std::chrono::seconds(3)));
    BOOST_TEST(f.frames().back() == setVariable(12, 0));
}
