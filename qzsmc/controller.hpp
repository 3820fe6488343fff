#ifndef QZ_SMC_CONTROLLER_HPP
#define QZ_SMC_CONTROLLER_HPP

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <boost/thread/mutex.hpp>

#include "qzsmc/device_options.hpp"
#include "zkutility/controller_base.hpp"
#include "zkutility/logger.hpp"

namespace qz {
namespace smc {

namespace device {

// Step-generator limits: sub-steps per microstep, speed and acceleration limits.
struct stepFSMLimits {
    std::uint32_t path;
    std::uint32_t speed;
    std::uint32_t accel;
};

// The board's settings block; 68 bytes of little-endian words on the wire.
struct deviceSettings {
    stepFSMLimits limits;
    std::uint32_t motor_dir_polarity;
    std::uint32_t pressure_level;
    std::uint32_t diag_mask[6];
    std::uint32_t diag_polar[6];
};

constexpr std::size_t deviceSettingsSize = 68;
static_assert(sizeof(deviceSettings) == deviceSettingsSize, "settings block is 68 bytes");

}  // namespace device

using deviceSettings = device::deviceSettings;

// The motor-controller board: the device link plus the board's driver model,
// register image, settings block and command lock.
class controller : public zk::hw::controller_base<device_options> {
public:
    using base = zk::hw::controller_base<device_options>;

    struct errorNoSolution : deviceError {};
    struct errorZeroSpeed : deviceError {};
    struct errorZeroAcceleration : deviceError {};
    struct errorProgramAddress : deviceError {};  // carries zk::hw::sizeInfo
    struct errorLimitSwitchSticky : deviceError {};
    struct errorDeviceHung : deviceError {};
    struct errorLimitSwitchUnreachable : deviceError {};

    // A named bit field of one driver register word.
    struct driverField {
        std::int32_t reg;
        std::int32_t shift;
        std::int32_t width;
    };
    static const std::map<std::string, driverField> driverFieldTableA;  // five-register model (0)
    static const std::map<std::string, driverField> driverFieldTableB;  // six-register model (1)
    static const std::vector<std::uint32_t> defaultRegistersA;
    static const std::vector<std::uint32_t> defaultRegistersB;

    // The device variables init writes, in order.
    static const std::vector<std::pair<signed char, std::uint32_t>> initVariableTable;

    controller(const std::string& deviceId, const char* deviceAddress, const std::array<unsigned char, 20>& hwId);
    ~controller() override;

    const boost::optional<std::int32_t>& model() const { return model_; }

    // Driver register fields.
    std::uint32_t getMotorParameter(const char* name);
    void setMotorParameter(const char* name, unsigned int value);
    void writeMotorParameter(const char* name, unsigned int value);
    void setAmperage(unsigned char current);
    void setSpeedThreshold(double speed);
    std::uint64_t readDriverRegister(unsigned char address);

    // Settings, variables, outputs.
    void readSettings();  // the caller holds commandMutex_
    void setDeviceSettings(const deviceSettings& settings);
    void commitSettings();
    void logSettings();
    void setValue(signed char id, std::uint32_t value);
    std::int32_t getValue(signed char id);
    void setPWM(const unsigned char* record);      // 5 bytes: channel, control word
    void setOutputs(const unsigned char* record);  // 8 bytes: mask, value

    void init() override;
    void disconnect(bool softReset) override;

    const deviceSettings& getDeviceSettings() const { return deviceSettings_; }
    const std::vector<unsigned char>& motorConfig() const { return motorConfig_; }
    bool initialized() const { return initialized_; }

    // Held around every device command of this class; the terminal takes it
    // around the commands it sends itself. Taken before the link's own locks.
    boost::mutex commandMutex_;

private:
    void readFirmwareInfo();
    const driverField& lookupField(const char* name) const;
    std::size_t settingsImageSize() const { return motorConfig_.size() + device::deviceSettingsSize; }

    zk::logger::channel_logger log_;
    boost::optional<std::int32_t> model_;
    std::vector<unsigned char> motorConfig_;
    deviceSettings deviceSettings_{};
    std::set<std::pair<std::string, unsigned int>> pendingMotorParameters_;
    bool initialized_ = false;
    std::uint32_t limitVar15Value_ = 2;
};

}  // namespace smc
}  // namespace qz

#endif
