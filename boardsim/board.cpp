#include "boardsim/board.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

namespace qz {
namespace boardsim {

namespace {

std::string hexByte(std::uint8_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

const std::string firmwareDeviceId = "QZ_SMC";
const std::string firmwareRevision = "QZ_SMC sim 1.0";

// The firmware's identity: the one given, or for a device started in its boot loader the default.
identity firmwareIdentity(const identity& started)
{
    if (started.kind == personality::board)
        return started;
    return {started.hwId, firmwareRevision, firmwareDeviceId, personality::board};
}

identity bootIdentity(const identity& started, const bootOptions& boot)
{
    if (started.kind == personality::bootLoader)
        return started;
    return {started.hwId, boot.revision, "BOOT_LOADER", personality::bootLoader};
}

bytes textImage(const std::string& text)
{
    bytes content(text.begin(), text.end());
    content.push_back(0);
    return content;
}

}  // namespace

void reportOnStandardError(const std::string& text)
{
    std::cerr << "qzsmc-board: " << text << std::endl;
}

board::board(identity id, networkConfig defaults, faults f, settingsFile store, hardwareOptions hardware,
             bootOptions boot)
    : id_(id),
      model_(driverModelOf(firmwareIdentity(id).revision)),
      defaults_(defaults),
      config_(defaults),
      faults_(std::move(f)),
      store_(std::move(store)),
      report_(reportOnStandardError),
      boardId_(firmwareIdentity(id)),
      bootId_(bootIdentity(id, boot)),
      boot_(boot),
      flash_(boot.faults),
      boardConfig_(defaults),
      awake_(id.kind == personality::bootLoader)
{
    // The flash holds the running firmware, so a start without an update brings it back.
    flash_.install(armImage(textImage(boardId_.revision), id_.hwId));
    stored_ = store_.load(settingsImageSize(model_)).value_or(factorySettings(model_));
    settings_ = stored_;
    applyRegisters();
    devices_.drive().loseEvery(faults_.motion.loseEvery);
    devices_.setInputWord(hardware.inputWord);
    devices_.setPressureRaw(hardware.pressureRaw);
    if (hardware.limit)
        devices_.fitLimitSwitch(*hardware.limit);
    if (hardware.receiverReadout)
        devices_.fitReceiver(*hardware.receiverReadout);
}

void board::setReporter(reporter report)
{
    report_ = std::move(report);
}

void board::report(const std::string& text) const
{
    report_(text);
}

// ---- UDP ----------------------------------------------------------------------------------

// Requests name the board by its hardware id; all zeros reach every board on the wire.
bool board::addressedToUs(const hardwareId& id) const
{
    return id == hardwareId{} || id == id_.hwId;
}

bytes board::udpReply(std::uint8_t status, const bytes& payload) const
{
    return makeDatagram(id_.hwId, faults_.udp.status.value_or(status), payload);
}

std::vector<bytes> board::onDatagram(const bytes& data)
{
    std::optional<datagram> request = parseDatagram(data);
    if (!request) {
        report("udp: ignored a datagram of " + std::to_string(data.size()) +
               " bytes, shorter than its header");
        return {};
    }
    if (!addressedToUs(request->id))
        return {};
    std::vector<bytes> replies = executeUdp(request->command, request->payload);
    if (faults_.udp.silent.find(request->command))
        return {};
    return replies;
}

std::vector<bytes> board::executeUdp(std::uint8_t command, const bytes& payload)
{
    switch (command) {
    case udpCommand::discovery:
        return discovery(payload);
    case udpCommand::getConfig:
        return {configReply()};
    case udpCommand::setConfig: {
        auto record = decodeConfig(payload, id_.kind);
        if (!record) {
            report("udp: refused a configuration record of " + std::to_string(payload.size()) +
                   " bytes, expected " + std::to_string(configRecordSize(id_.kind)));
            return {udpReply(errorFlag)};
        }
        if (id_.kind == personality::bootLoader && boot_.faults.ignoreSetConfig)
            report("udp: boot loader ignored a configuration record");
        else
            config_ = *record;
        return {udpReply(0)};
    }
    case udpCommand::defaultConfig:
        if (id_.kind == personality::bootLoader)
            return {wake(command)};
        config_ = defaults_;
        return {udpReply(0)};
    case udpCommand::wake:
        if (id_.kind == personality::bootLoader)
            return {wake(command)};
        report("udp: refused unknown command " + hexByte(command));
        return {udpReply(errorFlag)};
    default:
        report("udp: refused unknown command " + hexByte(command));
        return {udpReply(errorFlag)};
    }
}

// An empty id asks every device; another device's id is none of our business.
std::vector<bytes> board::discovery(const bytes& payload) const
{
    if (!payload.empty() && !std::equal(payload.begin(), payload.end(), id_.deviceId.begin(),
                                        id_.deviceId.end()))
        return {};
    bytes text(id_.revision.begin(), id_.revision.end());
    if (!faults_.udp.noTerminator)
        text.push_back(0);
    bytes reply = udpReply(0, text);
    if (faults_.udp.discoveryTwice)
        return {reply, reply};
    return {reply};
}

// The boot loader opens its control port on 0x7F or 6 and keeps its configuration; a refusal
// (--boot-wake-error) carries its byte and leaves the port closed.
bytes board::wake(std::uint8_t command)
{
    auto refusal = boot_.faults.wakeError.find(command);
    if (refusal != boot_.faults.wakeError.end()) {
        report("udp: boot loader refused to wake on " + hexByte(command));
        return udpReply(errorFlag, {refusal->second});
    }
    awake_ = true;
    return udpReply(0);
}

std::uint16_t board::controlPort() const
{
    return id_.kind == personality::bootLoader ? config_.ctrlPort : boardControlPort;
}

bytes board::configReply() const
{
    bytes reply = udpReply(0, encodeConfig(config_, id_.kind));
    if (faults_.udp.configLength)
        reply.resize(*faults_.udp.configLength, 0xA5);
    return reply;
}

// ---- TCP ----------------------------------------------------------------------------------

std::vector<bytes> board::onFrame(const bytes& frame)
{
    std::uint8_t code = frameCommand(frame);
    const bool inBootLoader = id_.kind == personality::bootLoader;
    outcome done = execute(code, framePayload(frame));
    if (inBootLoader && boot_.faults.cutAfter && ++bootCommands_ == *boot_.faults.cutAfter) {
        report("tcp: cutting the link after boot-loader command " + std::to_string(bootCommands_));
        cut_ = true;
        return {};
    }

    const tcpFaults& f = faults_.tcp;
    if (f.silent.find(code))
        return {};
    std::vector<bytes> out;
    if (auto length = f.badLength.find(code))
        out.push_back({*length, 0, code});
    if (auto status = f.status.find(code)) {
        out.push_back(statusFrame(*status));
    } else if (done.result == outcome::unknown) {
        out.push_back(statusFrame(statusCode::unknownCommand));
    } else {
        std::uint8_t replyCode = f.otherCode.find(code).value_or(code);
        if (done.result == outcome::refused || f.errorFlag.find(code))
            replyCode |= errorFlag;
        out.push_back(makeFrame(replyCode, done.payload));
    }
    if (f.unsolicitedAfterReply)
        out.push_back(unsolicitedFrame());
    return out;
}

bytes board::unsolicitedFrame() const
{
    return makeFrame(faults_.tcp.unsolicitedCode);
}

board::outcome board::execute(std::uint8_t code, const bytes& payload)
{
    if (id_.kind == personality::board && code == tcpCommand::readDriverRegister)
        return readDriverRegister(payload);
    std::optional<std::size_t> size = requestSize(code);
    if (!size) {
        report("tcp: unknown command " + hexByte(code));
        return {outcome::unknown, {}};
    }
    if (payload.size() != *size)
        return refuse("command " + hexByte(code) + ": request of " +
                      std::to_string(payload.size()) + " bytes, expected " +
                      std::to_string(*size));

    if (id_.kind == personality::bootLoader)
        return executeBoot(code, payload);
    outcome r{outcome::done, {}};
    switch (code) {
    case tcpCommand::softReset:
        softReset();
        break;
    case tcpCommand::restartToBootLoader:
        restartIntoBootLoader();
        break;
    case tcpCommand::hardwareId:
        r.payload.assign(id_.hwId.begin(), id_.hwId.end());
        break;
    case tcpCommand::networkConfig:
        r.payload = encodeConfig(config_, id_.kind);
        break;
    case tcpCommand::storeSettings:
        try {
            store_.store(settings_);
            stored_ = settings_;
        } catch (const std::exception& e) {
            return refuse(std::string("command 0x10: ") + e.what());
        }
        break;
    case tcpCommand::writeSettings:
        settings_ = payload;
        break;
    case tcpCommand::readSettings:
        r.payload = settings_;
        break;
    case tcpCommand::commitSettings:
        applyRegisters();
        break;
    case tcpCommand::defaultSettings:
        settings_ = factorySettings(model_);
        break;
    case tcpCommand::pwm:
        pwm_[payload[0]] = getLE32(&payload[1]);
        break;
    case tcpCommand::outputs: {
        std::uint32_t mask = getLE32(&payload[0]);
        devices_.setOutputs((devices_.outputs() & ~mask) | (getLE32(&payload[4]) & mask));
        break;
    }
    case tcpCommand::inputs:
        putLE32(r.payload, devices_.inputs());
        break;
    case tcpCommand::pressure:
        putLE32(r.payload, devices_.pressureRaw());
        break;
    case tcpCommand::writeVariable:
        return writeVariable(payload);
    case tcpCommand::readVariable:
        return readVariable(payload);
    case tcpCommand::loadRecord:
        return loadRecord(payload);
    }
    return r;
}

// The request size of each command this personality knows; none for the others.
std::optional<std::size_t> board::requestSize(std::uint8_t code) const
{
    if (id_.kind == personality::bootLoader) {
        switch (code) {
        case tcpCommand::softReset:
        case tcpCommand::hardwareId:
        case bootCommand::startFirmware:
            return 0;
        case bootCommand::eraseSector:
            return 1;
        case bootCommand::readArmBlock:
        case bootCommand::readFpgaBlock:
            return 4;
        case bootCommand::writeArmBlock:
            return 4 + bootFlash::armBlockSize;
        case bootCommand::writeFpgaBlock:
            return 4 + bootFlash::fpgaBlockSize;
        default:
            return std::nullopt;
        }
    }
    switch (code) {
    case tcpCommand::restartToBootLoader:
    case tcpCommand::softReset:
    case tcpCommand::hardwareId:
    case tcpCommand::networkConfig:
    case tcpCommand::storeSettings:
    case tcpCommand::readSettings:
    case tcpCommand::commitSettings:
    case tcpCommand::defaultSettings:
    case tcpCommand::inputs:
    case tcpCommand::pressure:
        return 0;
    case tcpCommand::writeSettings:
        return settingsImageSize(model_);
    case tcpCommand::pwm:
        return 5;
    case tcpCommand::outputs:
    case tcpCommand::writeVariable:
        return 8;
    case tcpCommand::readVariable:
        return 4;
    case tcpCommand::loadRecord:
        return 4 + programRecord::size;
    default:
        return std::nullopt;
    }
}

// A refused request changes nothing and is answered with the error flag.
board::outcome board::refuse(const std::string& why)
{
    report("tcp: refused " + why);
    return {outcome::refused, {}};
}

// Request {i32 id, u32 value}; ids outside the variable table are refused.
board::outcome board::writeVariable(const bytes& payload)
{
    auto n = static_cast<std::int32_t>(getLE32(&payload[0]));
    if (!deviceVariables::exists(n))
        return refuse("to write variable " + std::to_string(n));
    const auto value = static_cast<std::int32_t>(getLE32(&payload[4]));
    if (n == deviceVariables::programState)
        writeProgramState(value);
    else
        variables_.set(n, value);
    return {outcome::done, {}};
}

// Bit 0 set starts the program at the slot in variable 1, bit 0 clear stops it; the end of a
// program stopped this way is not announced.
void board::writeProgramState(std::int32_t value)
{
    const bool run = (value & 1) != 0;
    if (run && !sequencer_.running()) {
        const std::int32_t slot = variables_.get(deviceVariables::programStart);
        const generatorLimits l = limits();
        if (l.path <= 0) {
            report("program not started: limits.path is " + std::to_string(l.path));
            return;
        }
        if (slot < 0 || slot >= static_cast<std::int32_t>(sequencer::slotCount)) {
            report("program not started: no slot " + std::to_string(slot));
            return;
        }
        variables_.set(deviceVariables::programState, value);
        sequencer_.start(static_cast<std::size_t>(slot));
        ++programsStarted_;
        programTicks_ = 0;
        actOnFaults();
        return;
    }
    if (!run)
        sequencer_.stop();
    variables_.set(deviceVariables::programState, value);
}

// Request {u32 slot, 8-byte record}; a running program may be overwritten under it.
board::outcome board::loadRecord(const bytes& payload)
{
    const std::uint32_t slot = getLE32(&payload[0]);
    if (slot >= sequencer::slotCount)
        return refuse("to load a program record into slot " + std::to_string(slot));
    sequencer_.load(slot, programRecord::decode(&payload[4]));
    return {outcome::done, {}};
}

generatorLimits board::limits() const
{
    return generatorLimits::fromBlock(settings_.data() + 4 * registerCount(model_));
}

bool board::advance(std::uint64_t ticks)
{
    if (!sequencer_.running())
        return false;
    generator_.setLimits(limits());
    // A program with a fault to come runs up to its tick; then nothing of the slice remains to run.
    ticks = ticksToFault(ticks);
    const sequencer::ending end = sequencer_.run(ticks);
    programTicks_ += ticks;
    if (end == sequencer::ending::abnormal)
        report(sequencer_.failure());
    if (end == sequencer::ending::none)
        actOnFaults();
    return end == sequencer::ending::normal;
}

// At most ticks, fewer when a fault of the running program is due sooner.
std::uint64_t board::ticksToFault(std::uint64_t ticks) const
{
    const auto until = [this, &ticks](const programFault& f) {
        if (f.program == programsStarted_ && f.afterTicks > programTicks_)
            ticks = std::min(ticks, f.afterTicks - programTicks_);
    };
    std::for_each(faults_.motion.stop.begin(), faults_.motion.stop.end(), until);
    if (faults_.motion.hang)
        until(*faults_.motion.hang);
    return ticks;
}

// --hang and --stop act on their program once it has had its ticks.
void board::actOnFaults()
{
    const auto due = [this](const programFault& f) {
        return f.program == programsStarted_ && f.afterTicks == programTicks_;
    };
    if (faults_.motion.hang && due(*faults_.motion.hang))
        sequencer_.hang();
    if (std::any_of(faults_.motion.stop.begin(), faults_.motion.stop.end(), due))
        sequencer_.stop();
}

// Request {i32 id}; reply the variable as i32.
board::outcome board::readVariable(const bytes& payload)
{
    auto n = static_cast<std::int32_t>(getLE32(&payload[0]));
    if (!deviceVariables::exists(n))
        return refuse("to read variable " + std::to_string(n));
    outcome r{outcome::done, {}};
    putLE32(r.payload, static_cast<std::uint32_t>(variables_.get(n)));
    return r;
}

// Five-register chip: the 4-byte form returns its read response, 4 bytes; the 5-byte form the
// same in 8 bytes. Six-register chip: the 5-byte form {u8 address, u32 0} goes out on SPI and,
// as on the chip, the answer carries the register that the previous read addressed.
board::outcome board::readDriverRegister(const bytes& payload)
{
    outcome r{outcome::done, {}};
    if (model_ == driverModel::fiveRegister) {
        if (payload.size() != 4 && payload.size() != 5)
            return refuse("command 0x34: request of " + std::to_string(payload.size()) +
                          " bytes, expected 4 or 5");
        putLE32(r.payload, microstepCounter() << 10);
        if (payload.size() == 5)
            putLE32(r.payload, 0);
        return r;
    }
    if (payload.size() != 5)
        return refuse("command 0x34: request of " + std::to_string(payload.size()) +
                      " bytes, expected 5");
    putLE32(r.payload, sixRegisterRead(lastRegisterAddress_));
    putLE32(r.payload, 0);
    lastRegisterAddress_ = payload[0];
    return r;
}

std::uint32_t board::sixRegisterRead(std::uint8_t address) const
{
    switch (address) {
    case 0x6C: return applied_[0];  // CHOPCONF
    case 0x10: return applied_[1];  // IHOLD_IRUN
    case 0x11: return applied_[2];  // TPOWERDOWN
    case 0x00: return applied_[3];  // GCONF
    case 0x13: return applied_[4];  // TPWMTHRS
    case 0x70: return applied_[5];  // PWMCONF
    case 0x6A: return microstepCounter();  // MSCNT
    default: return 0;
    }
}

std::uint32_t board::microstepCounter() const
{
    return devices_.drive().microstepCounter();
}

// The image's register words go into the driver. Its counter runs against the position, except on
// the six-register chip with `shaft` set: the direction the terminal's phase reading assumes.
void board::applyRegisters()
{
    applied_ = registerWords(settings_, model_);
    if (model_ == driverModel::fiveRegister) {
        devices_.drive().setDriver(applied_[1] & 0xF, false);  // DRVCTRL: MRES in bits 0-3
    } else {
        const bool shaft = ((applied_[3] >> 4) & 1) != 0;        // GCONF bit 4
        devices_.drive().setDriver((applied_[0] >> 24) & 0xF, shaft);  // CHOPCONF: MRES in bits 24-27
    }
}

// Back to the state after power-on; the network configuration stays.
void board::softReset()
{
    sequencer_.stop();
    sequencer_.clearProgram();
    variables_.clear();  // the outputs too: they are variable 12
    pwm_.fill(0);
    settings_ = stored_;
    applyRegisters();
    lastRegisterAddress_ = 0;
}

// ---- boot loader --------------------------------------------------------------------------

board::outcome board::executeBoot(std::uint8_t code, const bytes& payload)
{
    outcome r{outcome::done, {}};
    switch (code) {
    case tcpCommand::softReset:  // nothing to reset; a firmware start waits for the link's end
        break;
    case tcpCommand::hardwareId:
        r.payload.assign(id_.hwId.begin(), id_.hwId.end());
        break;
    case bootCommand::eraseSector:
        putLE32(r.payload, flash_.erase(payload[0]));
        if (getLE32(r.payload.data()) != bootFlash::ok)
            report("boot loader: erase of sector " + std::to_string(payload[0]) + " failed");
        break;
    case bootCommand::writeArmBlock: {
        const std::uint32_t block = getLE32(&payload[0]);
        return blockWritten(block, flash_.writeArm(block, &payload[4]));
    }
    case bootCommand::writeFpgaBlock: {
        const std::uint32_t block = getLE32(&payload[0]);
        return blockWritten(block, flash_.writeFpga(block, &payload[4]));
    }
    case bootCommand::readArmBlock:
    case bootCommand::readFpgaBlock: {
        const std::uint32_t block = getLE32(&payload[0]);
        auto data = code == bootCommand::readArmBlock ? flash_.readArm(block) : flash_.readFpga(block);
        if (!data)
            return refuse("command " + hexByte(code) + ": no block " + std::to_string(block));
        r.payload = std::move(*data);
        break;
    }
    case bootCommand::startFirmware: {
        auto image = flash_.validImage(id_.hwId);
        if (!image)
            return refuse("command 0x0c: no ARM image with a sound trailer");
        firmwareToStart_ = std::move(image);
        break;
    }
    }
    return r;
}

// Reply {u32 block, u32 status}.
board::outcome board::blockWritten(std::uint32_t block, std::uint32_t status)
{
    if (status != bootFlash::ok)
        report("boot loader: write of block " + std::to_string(block) + " failed with status " +
               std::to_string(status));
    outcome r{outcome::done, {}};
    putLE32(r.payload, block);
    putLE32(r.payload, status);
    return r;
}

bool board::takeCut()
{
    return std::exchange(cut_, false);
}

// The board answers 0x0B, then comes up as its boot loader: the firmware's state is gone, its
// configuration kept for its return; the boot loader starts from it with the --boot-* fields.
void board::restartIntoBootLoader()
{
    sequencer_.stop();
    boardConfig_ = config_;
    id_ = bootId_;
    if (boot_.ip)
        config_.ip = *boot_.ip;
    if (boot_.mask)
        config_.mask = *boot_.mask;
    if (boot_.gw)
        config_.gw = *boot_.gw;
    if (boot_.ctrlPort)
        config_.ctrlPort = *boot_.ctrlPort;
    awake_ = false;
    firmwareToStart_.reset();
    ++restarts_;
}

void board::connectionEnded()
{
    if (id_.kind != personality::bootLoader || !firmwareToStart_)
        return;
    bytes image = std::move(*firmwareToStart_);
    firmwareToStart_.reset();
    startFirmware(image);
}

// The firmware comes up as after power-on, with the configuration it had and the revision of the
// image. Another driver model needs settings of another size: a stored image of the old size
// gives way to the factory settings.
void board::startFirmware(const bytes& image)
{
    id_ = boardId_;
    id_.revision = revisionOfImage(image);
    const driverModel model = driverModelOf(id_.revision);
    if (model != model_) {
        model_ = model;
        try {
            stored_ = store_.load(settingsImageSize(model_)).value_or(factorySettings(model_));
        } catch (const std::exception& e) {
            report(std::string("firmware start: factory settings, ") + e.what());
            stored_ = factorySettings(model_);
        }
    }
    softReset();
    config_ = boardConfig_;
    ++restarts_;
}

}  // namespace boardsim
}  // namespace qz
