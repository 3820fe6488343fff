// The motor-controller class against simulated boards, over real sockets: driver
// model, register fields, initialisation, variables, driver registers, disconnect
// and board errors. What the board received is read back from its traffic log.
// Runs under tools/testnet with one LAN, 10.77.1.1/24.
#define BOOST_TEST_MODULE net_controller
#include <boost/test/unit_test.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qzsmc/controller.hpp"
#include "support/log_capture.hpp"
#include "support/process.hpp"
#include "support/testnet.hpp"

namespace {

using qz::smc::controller;
using bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const boardId = "a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4";
const char* const boardAddress = "10.77.1.10";
const char* const sixRegisterRevision = "QZ_SMC TMC2130 sim";

// ---------------------------------------------------------------- expected values, stated independently

struct fieldRow {
    const char* name;
    int reg, shift, width;
};

const fieldRow fieldsA[] = {
    {"RDSEL", 0, 4, 2},   {"VSENSE", 0, 6, 1}, {"SDOFF", 0, 7, 1},  {"TS2G", 0, 8, 2},   {"DISS2G", 0, 10, 1},
    {"SLPL", 0, 12, 2},   {"SLPH", 0, 14, 2},  {"TST", 0, 16, 1},   {"CB", 1, 0, 8},     {"PHB", 1, 8, 1},
    {"CA", 1, 9, 8},      {"PHA", 1, 17, 1},   {"MRES", 1, 0, 4},   {"DEDGE", 1, 8, 1},  {"INTPOL", 1, 9, 1},
    {"TOFF", 2, 0, 4},    {"HSTRT", 2, 4, 3},  {"HEND", 2, 7, 4},   {"HDEC", 2, 11, 2},  {"RNDTF", 2, 13, 1},
    {"CHM", 2, 14, 1},    {"TBL", 2, 15, 2},   {"CS", 3, 0, 5},     {"SGT", 3, 8, 7},    {"SFILT", 3, 16, 1},
    {"SEMIN", 4, 0, 4},   {"SEUP", 4, 5, 2},   {"SEMAX", 4, 8, 4},  {"SEDN", 4, 13, 2},  {"SEIMIN", 4, 15, 1},
};

const fieldRow fieldsB[] = {
    {"TOFF", 0, 0, 4},
    {"HSTRT", 0, 4, 3},
    {"HEND", 0, 7, 4},
    {"fd3", 0, 11, 1},
    {"disfdcc", 0, 12, 1},
    {"rndtf", 0, 13, 1},
    {"chm", 0, 14, 1},
    {"TBL", 0, 15, 2},
    {"vsense", 0, 17, 1},
    {"vhighfs", 0, 18, 1},
    {"vhighchm", 0, 19, 1},
    {"SYNC", 0, 20, 4},
    {"MRES", 0, 24, 4},
    {"intpol", 0, 28, 1},
    {"dedge", 0, 29, 1},
    {"diss2g", 0, 30, 1},
    {"IHOLD", 1, 0, 5},
    {"IRUN", 1, 8, 5},
    {"IHOLDDELAY", 1, 16, 4},
    {"TPOWERDOWN", 2, 0, 8},
    {"I_scale_analog", 3, 0, 1},
    {"internal_Rsense", 3, 1, 1},
    {"en_pwm_mode", 3, 2, 1},
    {"enc_commutation", 3, 3, 1},
    {"shaft", 3, 4, 1},
    {"diag0_error", 3, 5, 1},
    {"diag0_otpw", 3, 6, 1},
    {"diag0_stall", 3, 7, 1},
    {"diag1_stall", 3, 8, 1},
    {"diag1_index", 3, 9, 1},
    {"diag1_onstate", 3, 10, 1},
    {"diag1_steps_skipped", 3, 11, 1},
    {"diag0_int_pushpull", 3, 12, 1},
    {"diag1_pushpull", 3, 13, 1},
    {"small_hysteresis", 3, 14, 1},
    {"stop_enable", 3, 15, 1},
    {"direct_mode", 3, 16, 1},
    {"test_mode", 3, 17, 1},
    {"TPWMTHRS", 4, 0, 20},
    {"PWM_AMPL", 5, 0, 8},
    {"PWM_GRAD", 5, 8, 8},
    {"pwm_freq", 5, 16, 2},
    {"pwm_autoscale", 5, 18, 1},
    {"pwm_symmetric", 5, 19, 1},
    {"freewheel", 5, 20, 2},
};

const std::vector<std::uint32_t> defaultsA = {0xEF340, 0, 0x82072, 0xD0016, 0xA0560};
const std::vector<std::uint32_t> defaultsB = {0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA};

// (id, value) pairs init writes, in order.
const std::vector<std::pair<int, std::uint32_t>> initVariables = {
    {0, 0},  {16, 0}, {1, 0},   {5, 0},  {4, 0},  {3, 0},  {2, 0},  {6, 0},  {7, 0},  {8, 0},  {9, 0},
    {10, 0}, {12, 64}, {19, 0}, {14, 0}, {15, 0}, {17, 0}, {20, 0}, {21, 0}, {22, 0}, {23, 0},
};

// The settings block init sends when the board's diagnostic words are all zero.
const std::vector<std::uint32_t> initBlock = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0, 0, 0, 0,
                                              0,          0,          0,          0, 0,          0, 0, 0};

// ---------------------------------------------------------------- bytes and frames

zk::hwId id(const char* text)
{
    zk::hwId h{};
    hwIdFromString(h, text);
    return h;
}

std::string hex(const bytes& data)
{
    std::string text;
    char digits[3];
    for (unsigned char b : data) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

bytes words(const std::vector<std::uint32_t>& values)
{
    bytes out;
    for (std::uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return out;
}

bytes operator+(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A control frame as the board logs it.
std::string frame(unsigned code, const bytes& payload = {})
{
    const std::size_t length = payload.size() + 3;
    return hex(bytes{static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                     static_cast<unsigned char>(code)} +
               payload);
}

std::string writeVariable(int id, std::uint32_t value)
{
    return frame(0x2A, words({static_cast<std::uint32_t>(id), value}));
}

std::string settingsFrame(const std::vector<std::uint32_t>& registers, const std::vector<std::uint32_t>& block)
{
    return frame(0x12, words(registers) + words(block));
}

// What init sends after reading the settings.
Lines initFrames(const std::vector<std::uint32_t>& registers, const std::vector<std::uint32_t>& block)
{
    Lines expected{frame(0x13), settingsFrame(registers, block), frame(0x14)};
    for (const auto& v : initVariables)
        expected.push_back(writeVariable(v.first, v.second));
    return expected;
}

// Register word `index` of a 0x12 frame's image.
std::uint32_t imageWord(const std::string& frameHex, std::size_t index)
{
    const std::string digits = frameHex.substr(6 + 8 * index, 8);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint32_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    return v;
}

long msSince(clock_type::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count());
}

// "motor config:" or "device settings:" followed by labelled words, as the controller logs them.
std::string dump(const std::string& title, const Lines& labels, const std::vector<std::uint32_t>& values)
{
    std::string text = "[qz_smc][info] " + title;
    char word[16];
    for (std::size_t i = 0; i < labels.size(); ++i) {
        std::snprintf(word, sizeof word, "0x%08x", values[i]);
        text += "\n" + labels[i] + word;
    }
    return text;
}

const Lines labelsA = {"DRVCONF  ", "DRVCTRL  ", "CHOPCONF ", "SGCSCONF ", "SMARTEN  "};
const Lines labelsB = {"CHOPCONF   ", "IHOLD_IRUN ", "TPOWERDOWN ", "GCONF      ", "TPWMTHRS   ", "PWMCONF    "};
const Lines labelsSettings = {"limits.path        ", "limits.speed       ", "limits.accel       ",
                              "motor_dir_polarity ", "pressure_level     "};

// ---------------------------------------------------------------- a board and a controller of it

struct rig {
    // The controller is built (discovery and revision read) but not connected.
    explicit rig(std::vector<std::string> options = {}, bool buildController = true)
    {
        qz::test::requireTestNetwork();
        options.insert(options.begin(), {"--hwid", boardId});
        board = std::make_unique<qz::test::board>(1, boardAddress, options);
        if (buildController)
            ctl = std::make_unique<controller>("QZ_SMC", boardAddress, id(boardId));
    }

    void connect()
    {
        ctl->connect(5000);
        {
            boost::unique_lock<boost::mutex> lock(ctl->getStateMutex());
            ctl->waitConnected(lock, 5000);
        }
        BOOST_REQUIRE(ctl->connected());
    }

    // The board's control-connection events: "accept", "close" or a received frame's hex.
    Lines tcp() const
    {
        Lines events;
        for (const std::string& line : board->logLines())
            if (line.rfind("tcp ", 0) == 0)
                events.push_back(line.substr(4));
        return events;
    }

    // Received frames only.
    Lines frames() const
    {
        Lines result;
        for (const std::string& e : tcp())
            if (e != "accept" && e != "close" && e != "eof")
                result.push_back(e);
        return result;
    }

    Lines framesSince(std::size_t mark) const
    {
        const Lines all = frames();
        return mark < all.size() ? Lines(all.begin() + static_cast<long>(mark), all.end()) : Lines{};
    }

    bool waitForClose() const
    {
        return board->waitForLogLine([](const std::string& l) { return l == "tcp close"; }, milliseconds(3000))
            .has_value();
    }

    // Captured lines that start with prefix.
    Lines logged(const std::string& prefix) const
    {
        Lines result;
        for (const std::string& line : log.lines())
            if (line.rfind(prefix, 0) == 0)
                result.push_back(line);
        return result;
    }

    qz::test::logCapture log;
    std::unique_ptr<qz::test::board> board;  // declared before ctl: the controller goes first
    std::unique_ptr<controller> ctl;
};

// The command lock is free: a failed command must not leave it held. One left
// held (by this thread, the only one here) is released, so the test reports
// instead of hanging at the next command.
bool commandLockFree(controller& c)
{
    const bool free = c.commandMutex_.try_lock();
    c.commandMutex_.unlock();
    return free;
}

// ---------------------------------------------------------------- a stand-in for the board's control port

// Listens on the test's own address at the control port and answers every frame
// with its own code: 0x34 with the scripted payloads in turn, everything else
// empty. It gives the controller replies the simulated board never sends.
class scriptedPeer {
public:
    scriptedPeer(const char* address, std::deque<bytes> registerReplies) : replies_(std::move(registerReplies))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0)
            throw std::runtime_error("peer: socket failed");
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(10000);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 1) != 0) {
            ::close(listener_);
            throw std::runtime_error("peer: cannot listen");
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~scriptedPeer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    Lines received() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    // Waits until fd is readable; false once stop_ is set.
    bool readable(int fd) const
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop_)
            if (::poll(&p, 1, 20) > 0)
                return true;
        return false;
    }

    bool readAll(int fd, unsigned char* data, std::size_t size) const
    {
        while (size > 0) {
            if (!readable(fd))
                return false;
            const ssize_t n = ::recv(fd, data, size, 0);
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    void serve()
    {
        if (!readable(listener_))
            return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        for (;;) {
            bytes request(3);
            if (!readAll(fd, request.data(), 3))
                break;
            const std::size_t length = request[0] | (request[1] << 8);
            if (length < 3)
                break;
            request.resize(length);
            if (length > 3 && !readAll(fd, request.data() + 3, length - 3))
                break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(hex(request));
            }
            bytes payload;
            if (request[2] == 0x34 && !replies_.empty()) {
                payload = replies_.front();
                replies_.pop_front();
            }
            const std::size_t replyLength = payload.size() + 3;
            const bytes reply = bytes{static_cast<unsigned char>(replyLength),
                                      static_cast<unsigned char>(replyLength >> 8), request[2]} +
                                payload;
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
                break;
        }
        ::close(fd);
    }

    int listener_ = -1;
    std::deque<bytes> replies_;  // the serving thread's only
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    Lines received_;
    std::thread thread_;
};

}  // namespace

// ================================================================ driver model and field tables

BOOST_AUTO_TEST_SUITE(driver_model)

BOOST_AUTO_TEST_CASE(the_revision_text_selects_the_model_and_image_size)
{
    struct row {
        const char* revision;
        int model;
        std::size_t imageSize;
    };
    for (const row& r : {row{"QZ_SMC TMC2130 r2", 1, 24}, row{"TMC", 1, 24}, row{"QZ_SMC tmc2130 r2", 0, 20},
                         row{"TM", 0, 20}}) {
        BOOST_TEST_CONTEXT("revision " << r.revision)
        {
            rig f({"--revision", r.revision});
            BOOST_REQUIRE(f.ctl->model().has_value());
            BOOST_TEST(*f.ctl->model() == r.model);
            BOOST_TEST(f.ctl->motorConfig() == bytes(r.imageSize, 0), boost::test_tools::per_element());
            BOOST_TEST(f.log.count(std::string("[info] firmware: ") + r.revision) == 1u, f.log.dump());
            // Building the controller opens no control connection.
            BOOST_TEST(f.tcp().empty(), f.board->logTail());
            BOOST_TEST(!f.ctl->connected());
        }
    }
}

BOOST_AUTO_TEST_CASE(field_tables_defaults_and_init_variables_are_as_documented)
{
    const auto check = [](const std::map<std::string, controller::driverField>& table, const fieldRow* rows,
                          std::size_t count) {
        BOOST_TEST(table.size() == count);
        for (std::size_t i = 0; i < count; ++i) {
            BOOST_TEST_CONTEXT("field " << rows[i].name)
            {
                const auto found = table.find(rows[i].name);
                BOOST_REQUIRE(found != table.end());
                BOOST_TEST(found->second.reg == rows[i].reg);
                BOOST_TEST(found->second.shift == rows[i].shift);
                BOOST_TEST(found->second.width == rows[i].width);
            }
        }
    };
    check(controller::driverFieldTableA, fieldsA, std::size(fieldsA));
    check(controller::driverFieldTableB, fieldsB, std::size(fieldsB));
    BOOST_TEST(controller::defaultRegistersA == defaultsA, boost::test_tools::per_element());
    BOOST_TEST(controller::defaultRegistersB == defaultsB, boost::test_tools::per_element());

    BOOST_REQUIRE(controller::initVariableTable.size() == initVariables.size());
    for (std::size_t i = 0; i < initVariables.size(); ++i) {
        BOOST_TEST_CONTEXT("entry " << i)
        {
            BOOST_TEST(int(controller::initVariableTable[i].first) == initVariables[i].first);
            BOOST_TEST(controller::initVariableTable[i].second == initVariables[i].second);
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

// ================================================================ register fields

BOOST_AUTO_TEST_SUITE(register_fields)

// Rows touch different registers, so each expected word starts from the defaults.
BOOST_AUTO_TEST_CASE(model0_values_are_masked_to_the_field_width_and_sent_at_once)
{
    rig f;
    f.connect();
    f.ctl->init();

    struct row {
        const char* name;
        unsigned value;
        unsigned stored;
        std::size_t reg;
        std::uint32_t word;
        const char* logged;
    };
    std::vector<std::uint32_t> registers = defaultsA;
    for (const row& r : {row{"CS", 40, 8, 3, 0xD0008, "motor parameter CS = 0x8"},
                         row{"TBL", 7, 3, 2, 0x9A072, "motor parameter TBL = 0x3"},
                         row{"SEIMIN", 2, 0, 4, 0xA0560, "motor parameter SEIMIN = 0x0"},
                         row{"TST", 0xFFFFFFFF, 1, 0, 0xFF340, "motor parameter TST = 0x1"}}) {
        BOOST_TEST_CONTEXT(r.name << " " << r.value)
        {
            const std::size_t mark = f.frames().size();
            f.ctl->setMotorParameter(r.name, r.value);
            registers[r.reg] = r.word;
            BOOST_TEST(f.ctl->getMotorParameter(r.name) == r.stored);
            BOOST_TEST(f.log.count(std::string("[qz_smc][info] ") + r.logged) == 1u, f.log.dump());
            const Lines expected{settingsFrame(registers, initBlock), frame(0x14)};
            BOOST_TEST(f.framesSince(mark) == expected, boost::test_tools::per_element());
        }
    }

    // Amperage is CS on this model; the speed threshold does not exist here.
    std::size_t mark = f.frames().size();
    f.ctl->setAmperage(12);
    registers[3] = 0xD000C;
    BOOST_TEST(f.ctl->getMotorParameter("CS") == 12u);
    BOOST_TEST(f.framesSince(mark) == (Lines{settingsFrame(registers, initBlock), frame(0x14)}),
               boost::test_tools::per_element());
    mark = f.frames().size();
    const bytes image = f.ctl->motorConfig();
    f.ctl->setSpeedThreshold(100.0);
    f.ctl->setSpeedThreshold(0.0);
    BOOST_TEST(f.ctl->motorConfig() == image, boost::test_tools::per_element());
    BOOST_TEST(f.framesSince(mark).empty());
}

BOOST_AUTO_TEST_CASE(names_are_exact_and_belong_to_their_model)
{
    struct row {
        const char* revision;
        const char* known;
        std::uint32_t knownValue;  // after init, from the default words
        std::vector<const char*> unknown;
    };
    for (const row& r : {row{sixRegisterRevision, "IRUN", 0x18, {"irun", "Irun", "CS", "RNDTF", "IRUN "}},
                         row{"QZ_SMC sim 1.0", "RNDTF", 1, {"rndtf", "IRUN", "cs", ""}}}) {
        BOOST_TEST_CONTEXT("revision " << r.revision)
        {
            rig f({"--revision", r.revision});
            f.connect();
            f.ctl->init();
            BOOST_TEST(f.ctl->getMotorParameter(r.known) == r.knownValue);
            const bytes image = f.ctl->motorConfig();
            const std::size_t mark = f.frames().size();
            for (const char* name : r.unknown) {
                BOOST_TEST_CONTEXT("name '" << name << "'")
                {
                    const std::string text = std::string("parameter ") + name + " unknown";
                    const auto throwsUnknown = [&](const std::function<void()>& op) {
                        try {
                            op();
                        } catch (const std::range_error& e) {
                            return e.what() == text;
                        }
                        return false;
                    };
                    BOOST_TEST(throwsUnknown([&] { f.ctl->getMotorParameter(name); }));
                    BOOST_TEST(throwsUnknown([&] { f.ctl->writeMotorParameter(name, 1); }));
                    BOOST_TEST(throwsUnknown([&] { f.ctl->setMotorParameter(name, 1); }));
                }
            }
            // Nothing changed and nothing was sent for the unknown names.
            BOOST_TEST(f.ctl->motorConfig() == image, boost::test_tools::per_element());
            BOOST_TEST(f.framesSince(mark).empty());
        }
    }
}

BOOST_AUTO_TEST_CASE(model1_speed_threshold_and_amperage)
{
    rig f({"--revision", sixRegisterRevision});
    f.connect();
    f.ctl->init();

    struct row {
        double speed;
        std::uint32_t threshold;  // TPWMTHRS afterwards
        std::uint32_t pwmMode;    // en_pwm_mode afterwards
    };
    // Each row starts with en_pwm_mode on, so turning it off is seen.
    for (const row& r : {row{100.0, 132000, 1}, row{10.0, 271424, 1}, row{26400000.0, 1, 1},
                         row{0.0, 1, 0}, row{-5.0, 1, 0}}) {
        BOOST_TEST_CONTEXT("speed " << r.speed)
        {
            f.ctl->setMotorParameter("en_pwm_mode", 1);
            const std::size_t mark = f.frames().size();
            f.ctl->setSpeedThreshold(r.speed);
            BOOST_TEST(f.ctl->getMotorParameter("TPWMTHRS") == r.threshold);
            BOOST_TEST(f.ctl->getMotorParameter("en_pwm_mode") == r.pwmMode);
            const Lines sent = f.framesSince(mark);
            BOOST_REQUIRE(sent.size() == 2u);
            BOOST_TEST(sent[0].substr(0, 6) == "5f0012");  // 92-byte image
            BOOST_TEST(imageWord(sent[0], 3) == (r.pwmMode ? 0x4u : 0x0u));
            BOOST_TEST(imageWord(sent[0], 4) == r.threshold);
            BOOST_TEST(sent[1] == frame(0x14));
        }
    }

    // Amperage is IRUN on this model.
    const std::size_t mark = f.frames().size();
    f.ctl->setAmperage(40);
    BOOST_TEST(f.ctl->getMotorParameter("IRUN") == 8u);
    const Lines sent = f.framesSince(mark);
    BOOST_REQUIRE(sent.size() == 2u);
    BOOST_TEST(imageWord(sent[0], 1) == 0xF0808u);
}

BOOST_AUTO_TEST_CASE(parameters_set_before_init_wait_and_apply_in_set_order)
{
    rig f({"--revision", sixRegisterRevision});
    f.connect();
    f.ctl->setMotorParameter("IRUN", 20);
    f.ctl->setMotorParameter("IRUN", 10);
    f.ctl->setMotorParameter("IRUN", 20);  // the same pair again
    f.ctl->setMotorParameter("IHOLD", 7);
    BOOST_TEST(f.frames().empty(), f.board->logTail());
    BOOST_TEST(f.ctl->motorConfig() == bytes(24, 0), boost::test_tools::per_element());
    BOOST_TEST(f.log.count("motor parameter") == 0u);

    // IHOLD 7 into 0xF1808 gives 0xF1807; IRUN 10, then 20, leaves 0xF1407.
    std::vector<std::uint32_t> registers = defaultsB;
    registers[1] = 0xF1407;
    const Lines applied{"[qz_smc][info] motor parameter IHOLD = 0x7", "[qz_smc][info] motor parameter IRUN = 0xa",
                        "[qz_smc][info] motor parameter IRUN = 0x14"};
    for (int round = 1; round <= 2; ++round) {
        BOOST_TEST_CONTEXT("init " << round)
        {
            f.log.clear();
            const std::size_t mark = f.frames().size();
            f.ctl->init();
            BOOST_TEST(f.logged("[qz_smc][info] motor parameter") == applied, boost::test_tools::per_element());
            const Lines sent = f.framesSince(mark);
            BOOST_REQUIRE(sent.size() == 24u);
            BOOST_TEST(sent[1] == settingsFrame(registers, initBlock));
            BOOST_TEST(f.ctl->getMotorParameter("IRUN") == 20u);
            BOOST_TEST(f.ctl->initialized());
        }
    }
}

BOOST_AUTO_TEST_CASE(a_misspelt_pending_name_fails_every_init_after_the_read)
{
    rig f({"--revision", sixRegisterRevision});
    f.connect();
    f.ctl->setMotorParameter("IRUN", 9);
    BOOST_CHECK_NO_THROW(f.ctl->setMotorParameter("IRNU", 9));
    for (int round = 1; round <= 2; ++round) {
        BOOST_TEST_CONTEXT("init " << round)
        {
            const std::size_t mark = f.frames().size();
            std::string what;
            try {
                f.ctl->init();
            } catch (const std::range_error& e) {
                what = e.what();
            }
            BOOST_TEST(what == "parameter IRNU unknown");
            BOOST_TEST(f.framesSince(mark) == Lines{frame(0x13)}, boost::test_tools::per_element());
            BOOST_TEST(!f.ctl->initialized());
            BOOST_TEST(commandLockFree(*f.ctl));
        }
    }
    // Still a pending parameter, not an immediate write.
    const std::size_t mark = f.frames().size();
    f.ctl->setMotorParameter("IRUN", 3);
    BOOST_TEST(f.framesSince(mark).empty());
}

BOOST_AUTO_TEST_SUITE_END()

// ================================================================ initialisation

BOOST_AUTO_TEST_SUITE(initialisation)

// The board starts from a stored image unlike the defaults, so replacing the
// words read and keeping the diagnostic words read are both visible.
BOOST_AUTO_TEST_CASE(init_sends_exactly_read_write_commit_and_the_variable_writes)
{
    struct row {
        const char* revision;
        std::vector<std::uint32_t> stored;    // register words in the board's settings file
        std::vector<std::uint32_t> defaults;  // what init sends instead
        Lines labels;
        const char* writeHeader;  // length and code of the 0x12 frame
    };
    const std::vector<std::uint32_t> storedBlock = {1000,  2000,  3000,  1,     1234,  0x101, 0x102, 0x103, 0x104,
                                                    0x105, 0x106, 0x201, 0x202, 0x203, 0x204, 0x205, 0x206};
    std::vector<std::uint32_t> sentBlock = storedBlock;
    sentBlock[0] = sentBlock[1] = sentBlock[2] = sentBlock[4] = 0x7FFFFFFF;
    sentBlock[3] = 0;

    for (const row& r :
         {row{"QZ_SMC sim 1.0", {0x11111, 0x22222, 0x33333, 0x44444, 0x55555}, defaultsA, labelsA, "5b0012"},
          row{sixRegisterRevision,
              {0x1000001, 0x2000002, 0x3000003, 0x4000004, 0x5000005, 0x6000006},
              defaultsB,
              labelsB,
              "5f0012"}}) {
        BOOST_TEST_CONTEXT("revision " << r.revision)
        {
            qz::test::scratchDir dir("qzctl");
            const bytes file = words(r.stored) + words(storedBlock);
            qz::test::writeFile(dir.path() / "settings.bin", std::string(file.begin(), file.end()));
            rig f({"--revision", r.revision, "--settings-file", dir.file("settings.bin")});
            f.connect();
            f.ctl->init();
            BOOST_TEST(f.ctl->initialized());

            const Lines expected = initFrames(r.defaults, sentBlock);
            BOOST_TEST(f.frames() == expected, boost::test_tools::per_element());
            BOOST_TEST(f.frames().at(1).substr(0, 6) == r.writeHeader);
            BOOST_TEST(f.frames().at(15) == writeVariable(12, 64));

            const Lines dumps{dump("motor config:", r.labels, r.stored),
                              dump("device settings:", labelsSettings, storedBlock),
                              dump("motor config:", r.labels, r.defaults),
                              dump("device settings:", labelsSettings, sentBlock)};
            Lines logged;
            for (const std::string& line : f.log.lines())
                if (line.find("motor config:") != std::string::npos ||
                    line.find("device settings:") != std::string::npos)
                    logged.push_back(line);
            BOOST_TEST(logged == dumps, boost::test_tools::per_element());
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

// ================================================================ variables, PWM, outputs, driver registers

BOOST_AUTO_TEST_SUITE(commands)

BOOST_AUTO_TEST_CASE(variables_pwm_and_outputs_go_out_as_given)
{
    rig f;
    f.connect();

    // First command on the connection, so no earlier reply payload exists: a
    // refused read (id 128 goes out as -128) returns 0 and a refused write still returns.
    BOOST_TEST(f.ctl->getValue(static_cast<signed char>(128)) == 0);
    f.ctl->setValue(static_cast<signed char>(128), 7);
    BOOST_TEST(f.frames() == (Lines{"07002b80ffffff", "0b002a80ffffff07000000"}), boost::test_tools::per_element());
    BOOST_TEST(f.log.count("[net][error] device request error, cmd: 0x2b") == 1u, f.log.dump());
    BOOST_TEST(f.log.count("[net][error] device request error, cmd: 0x2a") == 1u, f.log.dump());

    struct row {
        int id;
        std::int32_t value;
    };
    for (const row& r : {row{0, 0}, row{1, 1}, row{5, -1}, row{23, INT32_MIN}, row{24, INT32_MAX},
                         row{127, -123456789}, row{100, 0x12345678}}) {
        BOOST_TEST_CONTEXT("variable " << r.id << " = " << r.value)
        {
            const std::size_t mark = f.frames().size();
            f.ctl->setValue(static_cast<signed char>(r.id), static_cast<std::uint32_t>(r.value));
            BOOST_TEST(f.ctl->getValue(static_cast<signed char>(r.id)) == r.value);
            const Lines expected{writeVariable(r.id, static_cast<std::uint32_t>(r.value)),
                                 frame(0x2B, words({static_cast<std::uint32_t>(r.id)}))};
            BOOST_TEST(f.framesSince(mark) == expected, boost::test_tools::per_element());
        }
    }

    const std::size_t mark = f.frames().size();
    const unsigned char pwm[5] = {0x07, 0xFF, 0x03, 0x00, 0x80};
    const unsigned char outputs[8] = {0x0F, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0xA0};
    f.ctl->setPWM(pwm);
    f.ctl->setOutputs(outputs);
    BOOST_TEST(f.framesSince(mark) == (Lines{"08002007ff030080", "0b00220f000000050000a0"}),
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(commands_from_two_threads_do_not_interleave)
{
    rig f;
    f.connect();
    std::atomic<int> wrong{0}, failed{0};
    const auto worker = [&](signed char variable, std::uint32_t base) {
        for (std::uint32_t i = 0; i < 150; ++i) {
            try {
                f.ctl->setValue(variable, base + i);
                if (f.ctl->getValue(variable) != static_cast<std::int32_t>(base + i))
                    ++wrong;
            } catch (const std::exception&) {
                ++failed;
            }
        }
    };
    std::thread a(worker, 3, 1000), b(worker, 4, 500000);
    a.join();
    b.join();
    BOOST_TEST(wrong.load() == 0);
    BOOST_TEST(failed.load() == 0);
    BOOST_TEST(f.frames().size() == 600u);
}

BOOST_AUTO_TEST_CASE(driver_register_reads_follow_the_chip_pipeline)
{
    // The six-register chip answers with the register the previous read addressed (0 after power-on).
    rig f({"--revision", sixRegisterRevision});
    f.connect();
    BOOST_TEST(f.ctl->readDriverRegister(0x6C) == 0x4u);       // GCONF
    BOOST_TEST(f.ctl->readDriverRegister(0x10) == 0x23214Cu);  // CHOPCONF
    BOOST_TEST(f.ctl->readDriverRegister(0x00) == 0xF1808u);   // IHOLD_IRUN
    BOOST_TEST(f.frames() == (Lines{"0800346c00000000", "0800341000000000", "0800340000000000"}),
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_CASE(driver_register_replies_become_a_little_endian_64_bit_word)
{
    // The board supplies discovery and the revision; the control connection goes to the stand-in
    // on the test's own address.
    rig f({}, false);
    const char* const self = "10.77.1.1";
    scriptedPeer peer(self, {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88},
                             {0xAA, 0xBB, 0xCC, 0xDD},
                             {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}});
    {
        controller c("QZ_SMC", self, id(boardId));
        c.connect(5000);
        {
            boost::unique_lock<boost::mutex> lock(c.getStateMutex());
            c.waitConnected(lock, 5000);
        }
        BOOST_REQUIRE(c.connected());
        BOOST_TEST(c.readDriverRegister(0x6A) == 0x8877665544332211u);
        BOOST_TEST(c.readDriverRegister(0x6A) == 0xDDCCBBAAu);  // a 4-byte reply: high half 0
        BOOST_TEST(c.readDriverRegister(0x00) == 0x8000000000000001u);
    }
    const Lines received = peer.received();
    BOOST_REQUIRE(received.size() >= 3u);
    BOOST_TEST(Lines(received.begin(), received.begin() + 3) ==
                   (Lines{"0800346a00000000", "0800346a00000000", "0800340000000000"}),
               boost::test_tools::per_element());
}

BOOST_AUTO_TEST_SUITE_END()

// ================================================================ disconnect and destruction

BOOST_AUTO_TEST_SUITE(disconnecting)

BOOST_AUTO_TEST_CASE(disconnect_zeroes_the_motion_variables_then_closes)
{
    rig f;
    f.connect();
    f.ctl->init();
    const std::size_t mark = f.frames().size();
    f.ctl->disconnect(false);
    BOOST_TEST(!f.ctl->connected());
    BOOST_REQUIRE(f.waitForClose());
    const Lines writes{writeVariable(12, 0), writeVariable(10, 0), writeVariable(9, 0), writeVariable(8, 0),
                       writeVariable(7, 0)};
    // The writes come last on the connection (an initialised board may park before them).
    const Lines events = f.tcp();
    BOOST_REQUIRE(events.size() >= 6u);
    BOOST_TEST(Lines(events.end() - 6, events.end() - 1) == writes, boost::test_tools::per_element());
    BOOST_TEST(events.back() == "close");
    BOOST_TEST(f.framesSince(mark).size() >= 5u);
    BOOST_TEST(f.log.count("[net][info] disconnected") == 1u);

    // Destroying it now sends nothing: it is not connected.
    const std::size_t lines = f.board->logLines().size();
    f.ctl.reset();
    BOOST_TEST(f.board->logLines().size() == lines, f.board->logTail());
    BOOST_TEST(f.log.count("[net][info] disconnected") == 1u);
}

BOOST_AUTO_TEST_CASE(destroying_a_connected_controller_disconnects_it)
{
    rig f;
    f.connect();
    f.ctl.reset();
    BOOST_REQUIRE(f.waitForClose());
    // Never initialised: the five writes are all it sends.
    BOOST_TEST(f.tcp() == (Lines{"accept", writeVariable(12, 0), writeVariable(10, 0), writeVariable(9, 0),
                                 writeVariable(8, 0), writeVariable(7, 0), "close"}),
               boost::test_tools::per_element());
    const int disconnected = f.log.find("[net][info] disconnected");
    BOOST_TEST(disconnected >= 0, f.log.dump());
    BOOST_TEST(f.log.find("[net][info] controller_base destroyed") > disconnected, f.log.dump());
}

BOOST_AUTO_TEST_SUITE_END()

// ================================================================ board errors

BOOST_AUTO_TEST_SUITE(board_errors)

BOOST_AUTO_TEST_CASE(unconfirmed_commands_time_out_and_free_the_command_lock)
{
    rig f({"--tcp-silent", "0x14", "--tcp-silent", "0x2A", "--tcp-silent", "0x2B", "--tcp-silent", "0x34"});
    f.connect();
    using timeout = controller::errorTCPCommandConfirmationTimeout;

    struct row {
        const char* what;
        std::function<void()> op;
        Lines sent;
    };
    const std::vector<row> rows{
        // init stops at the failing commit: no variable is written.
        {"init", [&] { f.ctl->init(); },
         {frame(0x13), settingsFrame(defaultsA, initBlock), frame(0x14)}},
        {"setValue", [&] { f.ctl->setValue(3, 5); }, {writeVariable(3, 5)}},
        {"getValue", [&] { f.ctl->getValue(3); }, {frame(0x2B, words({3}))}},
        {"readDriverRegister", [&] { f.ctl->readDriverRegister(0x6A); }, {"0800346a00000000"}},
    };
    for (const row& r : rows) {
        BOOST_TEST_CONTEXT(r.what)
        {
            const std::size_t mark = f.frames().size();
            const auto start = clock_type::now();
            BOOST_CHECK_THROW(r.op(), timeout);
            const long ms = msSince(start);
            BOOST_TEST(ms >= 1000);
            BOOST_TEST(ms < 2000);
            BOOST_TEST(f.framesSince(mark) == r.sent, boost::test_tools::per_element());
            BOOST_TEST(commandLockFree(*f.ctl));
            // The next command goes through.
            boost::lock_guard<boost::mutex> lock(f.ctl->commandMutex_);
            BOOST_CHECK_NO_THROW(f.ctl->readSettings());
        }
    }
    BOOST_TEST(!f.ctl->initialized());

    // Disconnecting: the first zero write times out, is logged, and the connection still closes.
    f.log.clear();
    f.ctl.reset();
    BOOST_TEST(f.logged("[qz_smc][error] ") == Lines{std::string("[qz_smc][error] ") + timeout().what()},
               boost::test_tools::per_element());
    BOOST_REQUIRE(f.waitForClose());
    const Lines events = f.tcp();
    BOOST_TEST(events.at(events.size() - 2) == writeVariable(12, 0));
    BOOST_TEST(f.log.count("[net][info] disconnected") == 1u, f.log.dump());
}

BOOST_AUTO_TEST_SUITE_END()
