#include "qzsmc/controller.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/format.hpp>

#include "zkutility/controller_base_impl.hpp"

namespace zk {
namespace hw {
template class controller_base<qz::smc::device_options>;
}
}  // namespace zk

namespace qz {
namespace smc {

namespace {

// Init sets this bit of the outputs (variable 12); a board that restarts starts with it clear.
constexpr std::uint32_t initOutputMark = 0x40;

enum command : int {
    cmdRestartToBootLoader = 0x0B,
    cmdWriteSettings = 0x12,
    cmdReadSettings = 0x13,
    cmdCommitSettings = 0x14,
    cmdSetPWM = 0x20,
    cmdSetOutputs = 0x22,
    cmdSetValue = 0x2A,
    cmdGetValue = 0x2B,
    cmdReadDriverRegister = 0x34,
};

// The block in wire order: every field a little-endian 32-bit word.
template <class Settings, class Word>
void forEachSettingsWord(Settings& s, Word word)
{
    int i = 0;
    for (auto* field : {&s.limits.path, &s.limits.speed, &s.limits.accel, &s.motor_dir_polarity, &s.pressure_level})
        word(i++, *field);
    for (auto& field : s.diag_mask)
        word(i++, field);
    for (auto& field : s.diag_polar)
        word(i++, field);
}

void packSettings(const deviceSettings& s, unsigned char* out)
{
    forEachSettingsWord(s, [out](int i, std::uint32_t v) { zk::putLE32(out + 4 * i, v); });
}

void unpackSettings(const unsigned char* in, deviceSettings& s)
{
    forEachSettingsWord(s, [in](int i, std::uint32_t& v) { v = zk::getLE32(in + 4 * i); });
}

}  // namespace

const std::map<std::string, controller::driverField> controller::driverFieldTableA = {
    {"RDSEL", {0, 4, 2}},   {"VSENSE", {0, 6, 1}}, {"SDOFF", {0, 7, 1}},  {"TS2G", {0, 8, 2}},
    {"DISS2G", {0, 10, 1}}, {"SLPL", {0, 12, 2}},  {"SLPH", {0, 14, 2}},  {"TST", {0, 16, 1}},
    {"CB", {1, 0, 8}},      {"PHB", {1, 8, 1}},    {"CA", {1, 9, 8}},     {"PHA", {1, 17, 1}},
    {"MRES", {1, 0, 4}},    {"DEDGE", {1, 8, 1}},  {"INTPOL", {1, 9, 1}}, {"TOFF", {2, 0, 4}},
    {"HSTRT", {2, 4, 3}},   {"HEND", {2, 7, 4}},   {"HDEC", {2, 11, 2}},  {"RNDTF", {2, 13, 1}},
    {"CHM", {2, 14, 1}},    {"TBL", {2, 15, 2}},   {"CS", {3, 0, 5}},     {"SGT", {3, 8, 7}},
    {"SFILT", {3, 16, 1}},  {"SEMIN", {4, 0, 4}},  {"SEUP", {4, 5, 2}},   {"SEMAX", {4, 8, 4}},
    {"SEDN", {4, 13, 2}},   {"SEIMIN", {4, 15, 1}},
};

const std::map<std::string, controller::driverField> controller::driverFieldTableB = {
    {"TOFF", {0, 0, 4}},
    {"HSTRT", {0, 4, 3}},
    {"HEND", {0, 7, 4}},
    {"fd3", {0, 11, 1}},
    {"disfdcc", {0, 12, 1}},
    {"rndtf", {0, 13, 1}},
    {"chm", {0, 14, 1}},
    {"TBL", {0, 15, 2}},
    {"vsense", {0, 17, 1}},
    {"vhighfs", {0, 18, 1}},
    {"vhighchm", {0, 19, 1}},
    {"SYNC", {0, 20, 4}},
    {"MRES", {0, 24, 4}},
    {"intpol", {0, 28, 1}},
    {"dedge", {0, 29, 1}},
    {"diss2g", {0, 30, 1}},
    {"IHOLD", {1, 0, 5}},
    {"IRUN", {1, 8, 5}},
    {"IHOLDDELAY", {1, 16, 4}},
    {"TPOWERDOWN", {2, 0, 8}},
    {"I_scale_analog", {3, 0, 1}},
    {"internal_Rsense", {3, 1, 1}},
    {"en_pwm_mode", {3, 2, 1}},
    {"enc_commutation", {3, 3, 1}},
    {"shaft", {3, 4, 1}},
    {"diag0_error", {3, 5, 1}},
    {"diag0_otpw", {3, 6, 1}},
    {"diag0_stall", {3, 7, 1}},
    {"diag1_stall", {3, 8, 1}},
    {"diag1_index", {3, 9, 1}},
    {"diag1_onstate", {3, 10, 1}},
    {"diag1_steps_skipped", {3, 11, 1}},
    {"diag0_int_pushpull", {3, 12, 1}},
    {"diag1_pushpull", {3, 13, 1}},
    {"small_hysteresis", {3, 14, 1}},
    {"stop_enable", {3, 15, 1}},
    {"direct_mode", {3, 16, 1}},
    {"test_mode", {3, 17, 1}},
    {"TPWMTHRS", {4, 0, 20}},
    {"PWM_AMPL", {5, 0, 8}},
    {"PWM_GRAD", {5, 8, 8}},
    {"pwm_freq", {5, 16, 2}},
    {"pwm_autoscale", {5, 18, 1}},
    {"pwm_symmetric", {5, 19, 1}},
    {"freewheel", {5, 20, 2}},
};

// The five-register model's defaults carry each register's address in bits 17-19.
const std::vector<std::uint32_t> controller::defaultRegistersA = {0xEF340, 0, 0x82072, 0xD0016, 0xA0560};
const std::vector<std::uint32_t> controller::defaultRegistersB = {0x23214C, 0xF1808, 0xA, 0x4, 0, 0x100AA};

const std::vector<std::pair<signed char, std::uint32_t>> controller::initVariableTable = {
    {0, 0},  {16, 0}, {1, 0},  {5, 0},  {4, 0},  {3, 0},  {2, 0},  {6, 0},  {7, 0},  {8, 0},  {9, 0},
    {10, 0}, {12, 64}, {19, 0}, {14, 0}, {15, 0}, {17, 0}, {20, 0}, {21, 0}, {22, 0}, {23, 0},
};

controller::controller(const std::string& deviceId, const char* deviceAddress,
                       const std::array<unsigned char, 20>& hwId)
    : base(deviceId, nullptr, deviceAddress, localUdpPort, hwId), log_(boost::log::keywords::channel = "qz_smc")
{
    readFirmwareInfo();
}

controller::~controller()
{
    if (connected()) {
        try {
            disconnect(false);
        } catch (const std::exception& e) {
            BOOST_LOG_SEV(log_, zk::logger::error) << boost::diagnostic_information(e);
        }
    }
    // Neither the program watchers nor the worker may call into this object once its own part is gone.
    stopWatchers();
    stopIO();
}

void controller::readFirmwareInfo()
{
    const std::string firmware = getRevisionString();
    BOOST_LOG_SEV(zk::logger::main_logger::get(), zk::logger::info) << "firmware: " << zk::printable(firmware);
    model_ = firmware.find("TMC") != std::string::npos ? 1 : 0;
    motorConfig_.assign(*model_ == 1 ? 24 : 20, 0);
}

void controller::throwIfRefused(int command)
{
    if (commandRefused())
        BOOST_THROW_EXCEPTION(errorCommandRefused() << commandInfo(command));
}

void controller::sendCommand(int command, const boost::asio::const_buffer& payload)
{
    sendTCPControlCommand(command, payload);
    throwIfRefused(command);
}

void controller::sendCommandWithReply(int command, const boost::asio::const_buffer& payload,
                                      const boost::asio::mutable_buffer& reply)
{
    sendTCPControlCommandWithReply(command, payload, reply);
    throwIfRefused(command);
}

// ---------------------------------------------------------------- driver fields

const controller::driverField& controller::lookupField(const char* name) const
{
    const std::map<std::string, driverField>* table = nullptr;
    if (model_ && *model_ == 0)
        table = &driverFieldTableA;
    else if (model_ && *model_ == 1)
        table = &driverFieldTableB;
    else
        throw std::runtime_error("motor parameters not defined for current device model");
    const auto field = table->find(std::string(name));
    if (field == table->end())
        throw std::range_error("parameter " + std::string(name) + " unknown");
    return field->second;
}

std::uint32_t controller::getMotorParameter(const char* name)
{
    const driverField& f = lookupField(name);
    const std::uint32_t word = zk::getLE32(&motorConfig_[4 * f.reg]);
    const std::uint32_t mask = f.width >= 32 ? 0xFFFFFFFFu : ((1u << f.width) - 1);
    return (word >> f.shift) & mask;
}

void controller::writeMotorParameter(const char* name, unsigned int value)
{
    const driverField& f = lookupField(name);
    const std::uint32_t mask = f.width >= 32 ? 0xFFFFFFFFu : ((1u << f.width) - 1);
    value &= mask;
    unsigned char* p = &motorConfig_[4 * f.reg];
    zk::putLE32(p, (zk::getLE32(p) & ~(mask << f.shift)) | (value << f.shift));
    BOOST_LOG_SEV(log_, zk::logger::info) << boost::format("motor parameter %s = 0x%x") % name % value;
}

void controller::setMotorParameter(const char* name, unsigned int value)
{
    if (!initialized_) {
        const auto same = [name](const std::pair<std::string, unsigned int>& p) { return p.first == name; };
        pendingMotorParameters_.erase(
            std::remove_if(pendingMotorParameters_.begin(), pendingMotorParameters_.end(), same),
            pendingMotorParameters_.end());
        pendingMotorParameters_.emplace_back(name, value);
        return;
    }
    writeMotorParameter(name, value);
    setDeviceSettings(deviceSettings_);
    commitSettings();
}

void controller::setAmperage(unsigned char current)
{
    if (model_ && *model_ == 0)
        setMotorParameter("CS", current);
    else if (model_ && *model_ == 1)
        setMotorParameter("IRUN", current);
}

void controller::setSpeedThreshold(double speed)
{
    if (!model_ || *model_ != 1)
        return;
    if (speed > 0.0)
        setMotorParameter("TPWMTHRS", static_cast<unsigned int>(std::llround(13200000.0 / speed)));
    else
        setMotorParameter("en_pwm_mode", 0);
}

std::uint64_t controller::readDriverRegister(unsigned char address)
{
    unsigned char request[5] = {address, 0, 0, 0, 0};
    unsigned char reply[8] = {};
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        sendCommandWithReply(cmdReadDriverRegister, boost::asio::buffer(request), boost::asio::buffer(reply));
    }
    return static_cast<std::uint64_t>(zk::getLE32(reply)) | (static_cast<std::uint64_t>(zk::getLE32(reply + 4)) << 32);
}

// ---------------------------------------------------------------- settings and variables

void controller::readSettings()
{
    std::vector<unsigned char> image(settingsImageSize(), 0);
    sendCommandWithReply(cmdReadSettings, boost::asio::const_buffer(), boost::asio::buffer(image));
    std::copy(image.begin(), image.begin() + motorConfig_.size(), motorConfig_.begin());
    unpackSettings(image.data() + motorConfig_.size(), deviceSettings_);
    settingsRead_ = true;
    logSettings();
}

void controller::setDeviceSettings(const deviceSettings& settings)
{
    if (&settings != &deviceSettings_)
        deviceSettings_ = settings;
    std::vector<unsigned char> image(motorConfig_);
    image.resize(settingsImageSize());
    packSettings(deviceSettings_, image.data() + motorConfig_.size());
    logSettings();
    boost::lock_guard<boost::mutex> lock(commandMutex_);
    sendCommand(cmdWriteSettings, boost::asio::buffer(image));
}

void controller::commitSettings()
{
    boost::lock_guard<boost::mutex> lock(commandMutex_);
    sendCommand(cmdCommitSettings, boost::asio::const_buffer());
}

void controller::logSettings()
{
    std::uint32_t r[6] = {};
    for (std::size_t i = 0; i < motorConfig_.size() / 4 && i < 6; ++i)
        r[i] = zk::getLE32(&motorConfig_[4 * i]);
    if (motorConfig_.size() == 24)
        BOOST_LOG_SEV(log_, zk::logger::info)
            << boost::format("motor config:\nCHOPCONF   0x%08x\nIHOLD_IRUN 0x%08x\nTPOWERDOWN 0x%08x\n"
                             "GCONF      0x%08x\nTPWMTHRS   0x%08x\nPWMCONF    0x%08x")
                   % r[0] % r[1] % r[2] % r[3] % r[4] % r[5];
    else
        BOOST_LOG_SEV(log_, zk::logger::info)
            << boost::format("motor config:\nDRVCONF  0x%08x\nDRVCTRL  0x%08x\nCHOPCONF 0x%08x\n"
                             "SGCSCONF 0x%08x\nSMARTEN  0x%08x")
                   % r[0] % r[1] % r[2] % r[3] % r[4];
    const deviceSettings& s = deviceSettings_;
    BOOST_LOG_SEV(log_, zk::logger::info)
        << boost::format("device settings:\nlimits.path        0x%08x\nlimits.speed       0x%08x\n"
                         "limits.accel       0x%08x\nmotor_dir_polarity 0x%08x\npressure_level     0x%08x")
               % s.limits.path % s.limits.speed % s.limits.accel % s.motor_dir_polarity % s.pressure_level;
}

void controller::setValue(signed char id, std::uint32_t value)
{
    unsigned char request[8];
    zk::putLE32(request, static_cast<std::uint32_t>(static_cast<std::int32_t>(id)));
    zk::putLE32(request + 4, value);
    boost::lock_guard<boost::mutex> lock(commandMutex_);
    sendCommand(cmdSetValue, boost::asio::buffer(request));
}

std::int32_t controller::getValue(signed char id)
{
    unsigned char request[4];
    zk::putLE32(request, static_cast<std::uint32_t>(static_cast<std::int32_t>(id)));
    unsigned char reply[4] = {};
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        sendCommandWithReply(cmdGetValue, boost::asio::buffer(request), boost::asio::buffer(reply));
    }
    return static_cast<std::int32_t>(zk::getLE32(reply));
}

void controller::setPWM(const unsigned char* record)
{
    boost::lock_guard<boost::mutex> lock(commandMutex_);
    sendCommand(cmdSetPWM, boost::asio::buffer(record, 5));
}

void controller::setOutputs(const unsigned char* record)
{
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        sendCommand(cmdSetOutputs, boost::asio::buffer(record, 8));
    }
    if (zk::getLE32(record) & initOutputMark)
        initMarkSet_ = (zk::getLE32(record + 4) & initOutputMark) != 0;
}

void controller::init()
{
    const std::uint64_t connections = this->connections();
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        readSettings();
    }
    deviceSettings_.limits.path = 0x7FFFFFFF;
    deviceSettings_.limits.speed = 0x7FFFFFFF;
    deviceSettings_.limits.accel = 0x7FFFFFFF;
    deviceSettings_.motor_dir_polarity = 0;
    deviceSettings_.pressure_level = 0x7FFFFFFF;

    const std::vector<std::uint32_t>& defaults = motorConfig_.size() == 24 ? defaultRegistersB : defaultRegistersA;
    for (std::size_t i = 0; i < defaults.size(); ++i)
        zk::putLE32(&motorConfig_[4 * i], defaults[i]);
    // Parameters set before init, in the order they were last set; a later init applies them again.
    for (const auto& p : pendingMotorParameters_)
        writeMotorParameter(p.first.c_str(), p.second);

    setDeviceSettings(deviceSettings_);
    commitSettings();
    for (const auto& v : initVariableTable)
        setValue(v.first, v.second);
    // Variable 0 = 0 has stopped whatever program ran.
    if (lastProgram_)
        lastProgram_->cancel();
    lastProgram_.reset();
    initConnections_ = connections;
    initMarkSet_ = true;
    referenceLost_ = false;
    initialized_ = true;
}

bool controller::boardRestarted()
{
    const std::uint64_t connections = this->connections();
    if (!initialized_ || connections == initConnections_)
        return false;
    // A restarted board starts with its outputs clear; init's bit that a script left set is
    // still set on the board that init set up.
    if (initMarkSet_ && !(getValue(device::variable::outputs) & initOutputMark)) {
        BOOST_LOG_SEV(log_, zk::logger::error)
            << "the board restarted since init: its position reference is lost, nothing moves until init runs again";
        initialized_ = false;
        referenceLost_ = true;
        lastProgram_.reset();
        return true;
    }
    initConnections_ = connections;
    return false;
}

void controller::releaseMotor()
{
    try {
        if (connected()) {
            if (initialized_) {
                try {
                    readyForProgram();
                    parkMotor();
                } catch (const errorProgramRunning&) {
                    BOOST_LOG_SEV(log_, zk::logger::error)
                        << "motor not parked: the board still runs a program whose wait gave up";
                } catch (const errorBoardRestarted&) {
                    // logged where it was found; there is no reference to park for
                }
            }
            for (signed char id : {12, 10, 9, 8, 7})
                setValue(id, 0);
            initMarkSet_ = false;
        }
    } catch (const std::exception& e) {
        BOOST_LOG_SEV(log_, zk::logger::error) << e.what();
    }
}

void controller::disconnect(bool softReset)
{
    releaseMotor();
    base::disconnect(softReset);
}

void controller::leaveForBootLoader()
{
    // Parked while the board still runs its firmware: the parking keeps the phase reference
    // across the restart.
    releaseMotor();
    // The board drops the connection as it restarts. Whatever answers at its address after that
    // is the restarting board or its boot loader, and a command or a reconnection there would
    // keep it from coming up where the update looks for it: no watcher of a move given up on may
    // still poll, and the link is not opened again.
    awaitWatchers();
    stopReconnecting();
    {
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        restartToBootLoader();
        throwIfRefused(cmdRestartToBootLoader);
    }
    base::disconnect(false);
}

}  // namespace smc
}  // namespace qz
