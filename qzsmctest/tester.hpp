#ifndef QZSMCTEST_TESTER_HPP
#define QZSMCTEST_TESTER_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include "qzsmc/controller.hpp"

// Prints a board's network configuration record in nine lines.
void printNetworkConfig(const qz::smc::device_options::networkConfiguration& config);

// The file's bytes, at most limit + 1 of them (one more than limit: the file is larger). Empty
// when the path is not a regular file, cannot be opened or holds no bytes; never blocks on a FIFO.
std::vector<char> readFile(const std::string& path, std::size_t limit);

// Calls attempt until it returns true or `seconds` have passed since the first call;
// an attempt that throws counts as false, its diagnostic goes to standard error.
// Returns the last attempt's result.
bool waitFor(std::int64_t seconds, const std::function<bool()>& attempt);

// A command key read as T (unsigned int: decimal digits alone, no sign: "-1" would wrap round). An
// absent key gives none, or the fallback; a present key whose text does not convert ends the command
// with ptree_bad_data naming the key and its text, so that a script's "0x3" or "1e5" is never
// replaced by a default.
template <class T>
boost::optional<T> keyValue(const boost::property_tree::ptree& cmd, const std::string& key);
template <class T>
T keyValue(const boost::property_tree::ptree& cmd, const std::string& key, T fallback)
{
    return keyValue<T>(cmd, key).value_or(fallback);
}
// A key the command needs: absent throws ptree_bad_path, as the tree's own get does.
template <class T>
T requiredKey(const boost::property_tree::ptree& cmd, const std::string& key);
// A node's own text read as T, as keyValue reads a key's; `name` names it in the error (a command's
// own value: the command).
template <class T>
T nodeValue(const boost::property_tree::ptree& node, const std::string& name);
// The conversion error of keyValue: ptree_bad_data naming the key, its text and the type; key and
// text in the message as zk::printable writes them.
[[noreturn]] void throwBadKeyText(const std::string& key, const std::string& text, const std::type_info& type);

// Runs one section of an INFO command script; one instance per test case.
class _tester {
public:
    // Starts logging, fills the command table and reads the INFO file.
    // Throws info_parser_error when the file cannot be opened or parsed.
    explicit _tester(const std::string& file);
    ~_tester();

    _tester(const _tester&) = delete;
    _tester& operator=(const _tester&) = delete;

    // Runs the commands of the root section `name`, in file order; no section, no commands.
    void run(const std::string& name);

    // Looks the command's key up in the table and calls its handler; an unknown
    // key is a failed check and nothing else.
    void runCommand(const boost::property_tree::ptree::value_type& cmd);

    // The command's own int "speed" / "accel"; when it is absent, the root default.
    // A text that is not an int throws ptree_bad_data, with or without a root
    // default; without one a missing key throws ptree_bad_path.
    int getSpeed(const boost::property_tree::ptree& cmd) const;
    int getAccel(const boost::property_tree::ptree& cmd) const;

private:
    // The script fuzzer leaves the commands that reach a network out of the table.
    friend struct scriptFuzzer;

    using handler = void (_tester::*)(const boost::property_tree::ptree&);

    void sleep(const boost::property_tree::ptree& cmd);
    void query(const boost::property_tree::ptree& cmd);
    void pingId(const boost::property_tree::ptree& cmd);
    void runProgram(const boost::property_tree::ptree& cmd);

    // Discovery and network configuration over UDP (no connection needed).
    void search(const boost::property_tree::ptree& cmd);
    void displayConfig(const boost::property_tree::ptree& cmd);
    void configure_network(const boost::property_tree::ptree& cmd);

    // The controller connection and the board's identity.
    void connect(const boost::property_tree::ptree& cmd);
    void disconnect(const boost::property_tree::ptree& cmd);
    void init(const boost::property_tree::ptree& cmd);
    void readNetworkConfig(const boost::property_tree::ptree& cmd);
    void readHardwareId(const boost::property_tree::ptree& cmd);

    // Motion.
    void moveMotor(const boost::property_tree::ptree& cmd);
    void initMotor(const boost::property_tree::ptree& cmd);
    void testPhase(const boost::property_tree::ptree& cmd);
    void checkPhase(const boost::property_tree::ptree& cmd);
    void testInitMotor(const boost::property_tree::ptree& cmd);

    // Outputs, inputs and the pressure sensor.
    void setPump(const boost::property_tree::ptree& cmd);
    void setLight(const boost::property_tree::ptree& cmd);
    void setPWM(const boost::property_tree::ptree& cmd);
    void setOutput(const boost::property_tree::ptree& cmd);
    void getInput(const boost::property_tree::ptree& cmd);
    void getPressure(const boost::property_tree::ptree& cmd);

    // Receiver scans.
    void scanRxShadow(const boost::property_tree::ptree& cmd);
    void scanRxReflect(const boost::property_tree::ptree& cmd);
    void scanRx(const boost::property_tree::ptree& cmd, bool reflect, unsigned int defaultExposure);

    // The board's settings block and driver registers.
    void setDiag(const boost::property_tree::ptree& cmd);
    void loadDefaultDeviceSettings(const boost::property_tree::ptree& cmd);
    void storeDeviceSettings(const boost::property_tree::ptree& cmd);
    void deviceSettings(const boost::property_tree::ptree& cmd);
    void motorSettings(const boost::property_tree::ptree& cmd);
    void getDeviceSettings(const boost::property_tree::ptree& cmd);

    // New ARM and FPGA images through the board's boot loader; with or without a connected board.
    void updateFirmware(const boost::property_tree::ptree& cmd);

    // A query command sent under the controller's command lock; its 4-byte reply as a number.
    // Both end the test case with the controller's errorCommandRefused when the board refused it.
    std::uint32_t queryWord(int command);
    // A command with an empty payload sent under the controller's command lock.
    void sendEmpty(int command);

    // The device id to look for: the one "pingId" set, else the board's.
    std::string deviceId() const;
    // The root "hwId" (all zero without one); a text that is not 40 hex digits fails a check.
    std::array<unsigned char, 20> configHwId();

    boost::property_tree::ptree config_;
    boost::optional<int> defaultSpeed_;
    boost::optional<int> defaultAccel_;
    std::map<std::string, handler> commands_;
    std::deque<qz::smc::controller::_devInfo> discovered_;
    boost::optional<std::string> pingId_;
    // The connected board; its destructor disconnects it.
    std::unique_ptr<qz::smc::controller> c_;
};

#endif
