// The motor-controller class against simulated boards over real sockets; what a board received
// is read back from its traffic log. Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_controller
#include <boost/test/unit_test.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qzsmc/controller.hpp"
#include "support/connect.hpp"
#include "support/log_capture.hpp"
#include "support/process.hpp"
#include "support/testnet.hpp"

namespace {

using qz::smc::controller;
using Lines = std::vector<std::string>;
using words_t = std::vector<std::uint32_t>;

const char* const boardId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
const char* const boardAddress = "10.77.1.10";
const char* const sixRegisterRevision = "QZ_SMC TMC2130 sim";

// Expected tables, written out from the chip data rather than copied from the code.
struct fieldRow {
    const char* name;
    int reg, shift, width;
};
const std::vector<fieldRow> fieldsA = {
    {"RDSEL", 0, 4, 2}, {"VSENSE", 0, 6, 1}, {"SDOFF", 0, 7, 1}, {"TS2G", 0, 8, 2}, {"DISS2G", 0, 10, 1},
    {"SLPL", 0, 12, 2}, {"SLPH", 0, 14, 2}, {"TST", 0, 16, 1}, {"CB", 1, 0, 8}, {"PHB", 1, 8, 1}, {"CA", 1, 9, 8},
    {"PHA", 1, 17, 1}, {"MRES", 1, 0, 4}, {"DEDGE", 1, 8, 1}, {"INTPOL", 1, 9, 1}, {"TOFF", 2, 0, 4},
    {"HSTRT", 2, 4, 3}, {"HEND", 2, 7, 4}, {"HDEC", 2, 11, 2}, {"RNDTF", 2, 13, 1}, {"CHM", 2, 14, 1},
    {"TBL", 2, 15, 2}, {"CS", 3, 0, 5}, {"SGT", 3, 8, 7}, {"SFILT", 3, 16, 1}, {"SEMIN", 4, 0, 4}, {"SEUP", 4, 5, 2},
    {"SEMAX", 4, 8, 4}, {"SEDN", 4, 13, 2}, {"SEIMIN", 4, 15, 1},
};
const std::vector<fieldRow> fieldsB = {
    {"TOFF", 0, 0, 4}, {"HSTRT", 0, 4, 3}, {"HEND", 0, 7, 4}, {"fd3", 0, 11, 1}, {"disfdcc", 0, 12, 1},
    {"rndtf", 0, 13, 1}, {"chm", 0, 14, 1}, {"TBL", 0, 15, 2}, {"vsense", 0, 17, 1}, {"vhighfs", 0, 18, 1},
    {"vhighchm", 0, 19, 1}, {"SYNC", 0, 20, 4}, {"MRES", 0, 24, 4}, {"intpol", 0, 28, 1}, {"dedge", 0, 29, 1},
    {"diss2g", 0, 30, 1}, {"IHOLD", 1, 0, 5}, {"IRUN", 1, 8, 5}, {"IHOLDDELAY", 1, 16, 4}, {"TPOWERDOWN", 2, 0, 8},
    {"I_scale_analog", 3, 0, 1}, {"internal_Rsense", 3, 1, 1}, {"en_pwm_mode", 3, 2, 1}, {"enc_commutation", 3, 3, 1},
    {"shaft", 3, 4, 1}, {"diag0_error", 3, 5, 1}, {"diag0_otpw", 3, 6, 1}, {"diag0_stall", 3, 7, 1},
    {"diag1_stall", 3, 8, 1}, {"diag1_index", 3, 9, 1}, {"diag1_onstate", 3, 10, 1},
    {"diag1_steps_skipped", 3, 11, 1}, {"diag0_int_pushpull", 3, 12, 1}, {"diag1_pushpull", 3, 13, 1},
    {"small_hysteresis", 3, 14, 1}, {"stop_enable", 3, 15, 1}, {"direct_mode", 3, 16, 1}, {"test_mode", 3, 17, 1},
    {"TPWMTHRS", 4, 0, 20}, {"PWM_AMPL", 5, 0, 8}, {"PWM_GRAD", 5, 8, 8}, {"pwm_freq", 5, 16, 2},
    {"pwm_autoscale", 5, 18, 1}, {"pwm_symmetric", 5, 19, 1}, {"freewheel", 5, 20, 2},
};
const words_t defaultsA = {0xEF340, 0, 0x82072, 0xD0016, 0xA0560};
const words_t defaultsB = {0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA};

// The variables init writes, in order: all 0 but 12, which gets 64.
const int initVariableIds[] = {0, 16, 1, 5, 4, 3, 2, 6, 7, 8, 9, 10, 12, 19, 14, 15, 17, 20, 21, 22, 23};

// The settings block init sends when the board's diagnostic words are all zero.
const words_t initBlock = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

const Lines labelsA = {"DRVCONF  ", "DRVCTRL  ", "CHOPCONF ", "SGCSCONF ", "SMARTEN  "};
const Lines labelsB = {"CHOPCONF   ", "IHOLD_IRUN ", "TPOWERDOWN ", "GCONF      ", "TPWMTHRS   ", "PWMCONF    "};
const Lines labelsSettings = {"limits.path        ", "limits.speed       ", "limits.accel       ",
                              "motor_dir_polarity ", "pressure_level     "};

// Little-endian words as raw bytes, as the board stores and sends them.
std::string raw(const words_t& values)
{
    std::string out;
    for (std::uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>(v >> (8 * i));
    return out;
}

// A control frame as the board logs it: 16-bit length, code, payload, in hex.
std::string frame(unsigned code, const words_t& payload = {})
{
    const std::size_t length = 3 + 4 * payload.size();
    std::string text;
    char digits[3];
    for (unsigned char b : std::string{char(length), char(length >> 8), char(code)} + raw(payload)) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

std::string writeVariable(int id, std::uint32_t value) { return frame(0x2A, {std::uint32_t(id), value}); }

std::string settingsFrame(words_t registers, const words_t& block)
{
    registers.insert(registers.end(), block.begin(), block.end());
    return frame(0x12, registers);
}

// "motor config:" or "device settings:" followed by labelled words, as the controller logs them.
std::string dump(const std::string& title, const Lines& labels, const words_t& values)
{
    std::string text = "[qz_smc][info] " + title;
    char word[16];
    for (std::size_t i = 0; i < labels.size(); ++i) {
        std::snprintf(word, sizeof word, "0x%08x", values[i]);
        text += "\n" + labels[i] + word;
    }
    return text;
}

// Matches the std::range_error for an unknown parameter name.
std::function<bool(const std::range_error&)> unknown(const std::string& name)
{
    return [name](const std::range_error& e) { return e.what() == "parameter " + name + " unknown"; };
}

// A failed command must leave the command lock free; a held one is released so the test cannot hang.
bool commandLockFree(controller& c)
{
    const bool free = c.commandMutex_.try_lock();
    c.commandMutex_.unlock();
    return free;
}

// A board and a connected controller of it.
struct rig {
    explicit rig(std::vector<std::string> options = {})
    {
        qz::test::requireTestNetwork();
        options.insert(options.begin(), {"--hwid", boardId});
        board = std::make_unique<qz::test::board>(1, boardAddress, options);
        zk::hwId id{};
        hwIdFromString(id, boardId);
        ctl = std::make_unique<controller>("QZ_SMC", boardAddress, id);
        BOOST_REQUIRE(qz::test::connectAndWait(*ctl));
    }

    // Control-connection events ("accept", "close", "eof" or a frame's hex), or the frames only.
    Lines tcp(bool framesOnly = false) const
    {
        Lines events;
        for (const std::string& line : board->logLines())
            if (line.rfind("tcp ", 0) == 0 && !(framesOnly && (line == "tcp accept" || line == "tcp close" ||
                                                               line == "tcp eof")))
                events.push_back(line.substr(4));
        return events;
    }
    Lines framesSince(std::size_t mark = 0) const
    {
        const Lines all = tcp(true);
        return mark < all.size() ? Lines(all.begin() + static_cast<long>(mark), all.end()) : Lines{};
    }
    std::size_t mark() const { return tcp(true).size(); }
    bool waitForClose() const { return board->waitForLogText("tcp close", std::chrono::seconds(3)).has_value(); }

    // Captured lines that contain a or b.
    Lines logged(const std::string& a, const std::string& b = "\x01") const
    {
        Lines result;
        for (const std::string& line : log.lines())
            if (line.find(a) != std::string::npos || line.find(b) != std::string::npos)
                result.push_back(line);
        return result;
    }

    qz::test::logCapture log;
    std::unique_ptr<qz::test::board> board;  // declared before ctl: the controller goes first
    std::unique_ptr<controller> ctl;
};

}  // namespace

BOOST_AUTO_TEST_CASE(field_tables_and_default_words)
{
    for (const auto& [table, rows] : {std::pair{&controller::driverFieldTableA, &fieldsA},
                                      std::pair{&controller::driverFieldTableB, &fieldsB}}) {
        BOOST_TEST(table->size() == rows->size());
        for (const fieldRow& r : *rows) {
            const auto found = table->find(r.name);
            BOOST_TEST((found != table->end() && found->second.reg == r.reg && found->second.shift == r.shift &&
                        found->second.width == r.width), r.name);
        }
    }
    BOOST_TEST(controller::defaultRegistersA == defaultsA, boost::test_tools::per_element());
    BOOST_TEST(controller::defaultRegistersB == defaultsB, boost::test_tools::per_element());
}

// The revision picks the model: "TMC" anywhere in it means the six-register chip; "tmc" or "TM" does not.
// The board starts from a stored image unlike the defaults, so replacing the
// words read and keeping the diagnostic words read are both visible.
BOOST_AUTO_TEST_CASE(the_revision_picks_the_model_and_init_sends_read_write_commit_variables)
{
    const words_t storedBlock = {1000, 2000, 3000, 1, 1234, 0x101, 0x102, 0x103, 0x104,
                                 0x105, 0x106, 0x201, 0x202, 0x203, 0x204, 0x205, 0x206};
    words_t sentBlock = storedBlock;  // limits and pressure wide open, polarity 0
    sentBlock[0] = sentBlock[1] = sentBlock[2] = sentBlock[4] = 0x7FFFFFFF;
    sentBlock[3] = 0;
    struct row {
        const char* revision;
        int model;
        words_t stored, defaults;
        Lines labels;
        const char* field;  // set to 40 afterwards: kept to its 5 bits, 8, in word `reg`
        std::size_t reg;
        std::uint32_t word;
    };
    for (const row& r : {row{"QZ_SMC tmc2130 TM r2", 0, {0x11111, 0x22222, 0x33333, 0x44444, 0x55555}, defaultsA,
                             labelsA, "CS", 3, 0xD0008},
                         row{"TMC", 1, {1, 2, 3, 4, 5, 6}, defaultsB, labelsB, "IRUN", 1, 0xF0808}}) {
        BOOST_TEST_CONTEXT("revision " << r.revision)
        {
            qz::test::scratchDir dir("qzctl");
            qz::test::writeFile(dir.path() / "settings.bin", raw(r.stored) + raw(storedBlock));
            rig f({"--revision", r.revision, "--settings-file", dir.file("settings.bin")});
            BOOST_TEST(f.ctl->model().value_or(-1) == r.model);
            BOOST_TEST(f.ctl->motorConfig().size() == 4 * r.defaults.size());
            f.ctl->init();
            BOOST_TEST(f.ctl->initialized());
            Lines expected{frame(0x13), settingsFrame(r.defaults, sentBlock), frame(0x14)};
            for (int id : initVariableIds)
                expected.push_back(writeVariable(id, id == 12 ? 64 : 0));
            BOOST_TEST(f.framesSince() == expected, boost::test_tools::per_element());
            // Logged as read, then as written.
            BOOST_TEST(f.logged("motor config:", "device settings:") ==
                           (Lines{dump("motor config:", r.labels, r.stored),
                                  dump("device settings:", labelsSettings, storedBlock),
                                  dump("motor config:", r.labels, r.defaults),
                                  dump("device settings:", labelsSettings, sentBlock)}),
                       boost::test_tools::per_element());

            // After init a field goes out at once, masked to its width.
            const std::size_t mark = f.mark();
            f.ctl->setMotorParameter(r.field, 40);
            BOOST_TEST(f.ctl->getMotorParameter(r.field) == 8u);
            BOOST_TEST(f.log.count(std::string("[qz_smc][info] motor parameter ") + r.field + " = 0x8") == 1u);
            words_t registers = r.defaults;
            registers[r.reg] = r.word;
            BOOST_TEST(f.framesSince(mark) == (Lines{settingsFrame(registers, sentBlock), frame(0x14)}),
                       boost::test_tools::per_element());
        }
    }
}

BOOST_AUTO_TEST_CASE(model1_pending_parameters_speed_threshold_amperage_and_names)
{
    rig f({"--revision", sixRegisterRevision});
    // Before init nothing is sent; init applies them by name, then value: IRUN ends 20.
    f.ctl->setMotorParameter("IRUN", 20);
    f.ctl->setMotorParameter("IRUN", 10);
    f.ctl->setMotorParameter("IHOLD", 7);
    BOOST_TEST(f.framesSince().empty(), f.board->logTail());
    f.ctl->init();
    BOOST_TEST(f.logged("motor parameter") == (Lines{"[qz_smc][info] motor parameter IHOLD = 0x7",
                                                     "[qz_smc][info] motor parameter IRUN = 0xa",
                                                     "[qz_smc][info] motor parameter IRUN = 0x14"}),
               boost::test_tools::per_element());
    words_t registers = defaultsB;
    registers[1] = 0xF1407;
    BOOST_TEST(f.framesSince().at(1) == settingsFrame(registers, initBlock));
    BOOST_TEST(f.ctl->getMotorParameter("IRUN") == 20u);

    struct row {
        double speed;
        std::uint32_t threshold, pwmMode;  // TPWMTHRS and en_pwm_mode afterwards
    };
    // Each row starts with en_pwm_mode on, so turning it off is seen.
    for (const row& r : {row{100.0, 132000, 1}, row{10.0, 271424, 1}, row{26400000.0, 1, 1}, row{0.0, 1, 0},
                         row{-5.0, 1, 0}}) {
        f.ctl->setMotorParameter("en_pwm_mode", 1);
        const std::size_t mark = f.mark();
        f.ctl->setSpeedThreshold(r.speed);
        registers[3] = r.pwmMode * 0x4;
        registers[4] = r.threshold;
        BOOST_TEST(f.framesSince(mark) == (Lines{settingsFrame(registers, initBlock), frame(0x14)}),
                   "speed " << r.speed);
    }
    f.ctl->setAmperage(40);  // IRUN on this model, masked to 5 bits
    BOOST_TEST(f.ctl->getMotorParameter("IRUN") == 8u);

    // Names are case-sensitive and belong to their model.
    const std::size_t mark = f.mark();
    const auto image = f.ctl->motorConfig();
    for (const char* name : {"irun", "CS"}) {
        BOOST_CHECK_EXCEPTION(f.ctl->getMotorParameter(name), std::range_error, unknown(name));
        BOOST_CHECK_EXCEPTION(f.ctl->setMotorParameter(name, 1), std::range_error, unknown(name));
    }
    BOOST_TEST(f.ctl->motorConfig() == image, boost::test_tools::per_element());
    BOOST_TEST(f.framesSince(mark).empty());
}

// Never initialised: the commands work without init, and a failed init leaves it so.
BOOST_AUTO_TEST_CASE(commands_before_init_a_failing_init_and_disconnect)
{
    rig f({"--revision", sixRegisterRevision});
    // The first command, so no reply payload exists yet: refused, id 128 (-128 on the wire) reads 0.
    BOOST_TEST(f.ctl->getValue(static_cast<signed char>(128)) == 0);
    f.ctl->setValue(static_cast<signed char>(128), 7);
    BOOST_TEST(f.framesSince() == (Lines{"07002b80ffffff", "0b002a80ffffff07000000"}),
               boost::test_tools::per_element());

    for (const std::int32_t value : {-1, INT32_MIN, INT32_MAX, -123456789}) {
        const std::size_t mark = f.mark();
        f.ctl->setValue(5, static_cast<std::uint32_t>(value));
        BOOST_TEST(f.ctl->getValue(5) == value);
        BOOST_TEST(f.framesSince(mark) == (Lines{writeVariable(5, std::uint32_t(value)), frame(0x2B, {5})}),
                   boost::test_tools::per_element());
    }

    std::size_t mark = f.mark();
    const unsigned char pwm[5] = {0x07, 0xFF, 0x03, 0x00, 0x80};
    const unsigned char outputs[8] = {0x0F, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0xA0};
    f.ctl->setPWM(pwm);
    f.ctl->setOutputs(outputs);
    BOOST_TEST(f.framesSince(mark) == (Lines{"08002007ff030080", "0b00220f000000050000a0"}),
               boost::test_tools::per_element());

    // The chip answers with the register the previous read addressed (GCONF, 0, after power-on).
    mark = f.mark();
    BOOST_TEST(f.ctl->readDriverRegister(0x6C) == 0x4u);
    BOOST_TEST(f.ctl->readDriverRegister(0x10) == 0x23214Cu);  // CHOPCONF
    BOOST_TEST(f.framesSince(mark) == (Lines{"0800346c00000000", "0800341000000000"}),
               boost::test_tools::per_element());

    // A misspelt pending name fails init after the read and before the write.
    f.ctl->setMotorParameter("IRUN", 9);
    BOOST_CHECK_NO_THROW(f.ctl->setMotorParameter("IRNU", 9));
    mark = f.mark();
    BOOST_CHECK_EXCEPTION(f.ctl->init(), std::range_error, unknown("IRNU"));
    BOOST_TEST(f.framesSince(mark) == Lines{frame(0x13)}, boost::test_tools::per_element());
    BOOST_TEST(!f.ctl->initialized());
    BOOST_TEST(commandLockFree(*f.ctl));

    f.ctl->disconnect(false);
    BOOST_TEST(!f.ctl->connected());
    BOOST_REQUIRE(f.waitForClose());
    const Lines events = f.tcp(), zeroes{writeVariable(12, 0), writeVariable(10, 0), writeVariable(9, 0),
                                         writeVariable(8, 0), writeVariable(7, 0), "close"};
    BOOST_TEST(Lines(events.end() - 6, events.end()) == zeroes, boost::test_tools::per_element());
    // Destroying it now sends nothing: it is not connected.
    const std::size_t lines = f.board->logLines().size();
    f.ctl.reset();
    BOOST_TEST(f.board->logLines().size() == lines, f.board->logTail());
}

BOOST_AUTO_TEST_CASE(an_unconfirmed_command_times_out_and_frees_the_command_lock)
{
    rig f({"--tcp-silent", "0x14", "--tcp-silent", "0x2A"});
    using timeout = controller::errorTCPCommandConfirmationTimeout;
    const auto start = std::chrono::steady_clock::now();
    BOOST_CHECK_THROW(f.ctl->init(), timeout);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    BOOST_TEST((elapsed >= std::chrono::seconds(1) && elapsed < std::chrono::seconds(2)));
    // init stops at the unconfirmed commit: no variable is written.
    BOOST_TEST(f.framesSince() == (Lines{frame(0x13), settingsFrame(defaultsA, initBlock), frame(0x14)}),
               boost::test_tools::per_element());
    BOOST_TEST(!f.ctl->initialized());
    BOOST_TEST(commandLockFree(*f.ctl));
    {
        boost::lock_guard<boost::mutex> lock(f.ctl->commandMutex_);
        BOOST_CHECK_NO_THROW(f.ctl->readSettings());  // the connection still serves
    }

    // Destroying it: the first zero write times out, is logged, and the connection still closes.
    f.log.clear();
    f.ctl.reset();
    BOOST_TEST(f.logged("[qz_smc][error] ") == Lines{std::string("[qz_smc][error] ") + timeout().what()},
               boost::test_tools::per_element());
    BOOST_REQUIRE(f.waitForClose());
    const Lines events = f.tcp();
    BOOST_TEST(events.at(events.size() - 2) == writeVariable(12, 0));
}
