#include "tester.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <iostream>
#include <iterator>
#include <list>
#include <locale>
#include <sstream>
#include <typeinfo>
#include <utility>

#include <boost/chrono/duration.hpp>
#include <boost/format.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/test/unit_test.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include "zkutility/logger.hpp"
#include "zkutility/utility.hpp"

namespace pt = boost::property_tree;

namespace {

// Shared by getSpeed and getAccel; `rootKey` only names the default in errors. The command's own
// key, when present, must be an int whether or not there is a default to fall back on.
int lookupInt(const pt::ptree& cmd, const char* key, const boost::optional<int>& fallback,
              const char* rootKey)
{
    if (const auto own = keyValue<int>(cmd, key))
        return *own;
    if (fallback)
        return *fallback;
    // No default to fall back on: a made-up value would only fail later in the planner.
    BOOST_THROW_EXCEPTION(pt::ptree_bad_path(
        std::string("command has no \"") + key + "\" and the script has no int \"" + rootKey + "\"",
        pt::ptree::path_type(key)));
}

// A tree's destructor recurses once per level, so a script nested a few hundred thousand
// levels deep overflows the stack when its tree goes. Real scripts nest six levels at most
// (a section, "testInitMotor", its "action", a command, its block and key); the limit leaves
// room for far more, and the handler that recurses over the levels ("testInitMotor" actions,
// about 5.5 KiB of stack per nesting under ASan, one per two levels) stays below 1 MiB.
constexpr std::size_t scriptDepthLimit = 256;

// Stands in for the tree while the INFO parser reads a script through once, so the depth is
// known before any tree is built. It keeps the keys (an open section must stay where the
// parser left it) and no values. The parser's own reading of quotes, comments (';'), line
// continuations and "#include" applies: an included file's sections count from the depth of
// the section that includes it.
class depthProbe {
public:
    using value_type = std::pair<std::string, depthProbe>;

    explicit depthProbe(std::size_t depth = 0) : depth_(depth) {}

    value_type* push_back(value_type&& child)
    {
        if (depth_ >= scriptDepthLimit)
            // No file or line here: the parser adds those of the line being read.
            BOOST_THROW_EXCEPTION(pt::info_parser_error(
                (boost::format("nested deeper than %d levels") % scriptDepthLimit).str(), "", 0));
        children_.emplace_back(std::move(child.first), depthProbe(depth_ + 1));
        return &children_.back();
    }
    std::string& data() { return scratch_; }
    void put_value(const std::string&) {}
    template <class T>
    T get_value() const
    {
        return T();
    }

private:
    std::size_t depth_;
    std::list<value_type> children_;
    std::string scratch_;
};

// A file's bytes as they are, except a UTF-8 byte-order mark at its start: editors write one, and
// the INFO parser would glue it to the first key ("\xEF\xBB\xBFmain" is no section "main"). The
// first read of a file decides; it holds the whole mark unless the file is shorter. Writes pass
// through unchanged.
class byteOrderMarkSkipper : public std::codecvt<char, char, std::mbstate_t> {
protected:
    result do_in(state_type& state, const char* from, const char* fromEnd, const char*& fromNext, char* to,
                 char* toEnd, char*& toNext) const override
    {
        fromNext = skipMark(state, from, fromEnd);
        const std::size_t count = std::min<std::size_t>(fromEnd - fromNext, toEnd - to);
        std::memcpy(to, fromNext, count);
        fromNext += count;
        toNext = to + count;
        return fromNext == fromEnd ? ok : partial;
    }
    result do_out(state_type&, const char* from, const char*, const char*& fromNext, char* to, char*,
                  char*& toNext) const override
    {
        fromNext = from;
        toNext = to;
        return noconv;
    }
    result do_unshift(state_type&, char* to, char*, char*& toNext) const override
    {
        toNext = to;
        return noconv;
    }
    int do_encoding() const noexcept override { return 0; }
    bool do_always_noconv() const noexcept override { return false; }
    int do_length(state_type& state, const char* from, const char* fromEnd, std::size_t max) const override
    {
        const char* next = skipMark(state, from, fromEnd);
        return static_cast<int>(next + std::min<std::size_t>(fromEnd - next, max) - from);
    }
    int do_max_length() const noexcept override { return 4; }  // the mark and one character

private:
    // Past the mark when the file starts with one. A file's conversion state starts zeroed; its first
    // byte then records that the start is behind.
    static const char* skipMark(state_type& state, const char* from, const char* fromEnd)
    {
        unsigned char pastStart = 0;
        std::memcpy(&pastStart, &state, 1);
        if (pastStart || from == fromEnd)
            return from;
        pastStart = 1;
        std::memcpy(&state, &pastStart, 1);
        return fromEnd - from >= 3 && std::memcmp(from, "\xEF\xBB\xBF", 3) == 0 ? from + 3 : from;
    }
};

// While it lives, files opened by name read without their byte-order mark. The INFO parser opens an
// "#include" itself, with the global locale, so the mark is skipped there through that locale; it
// is put back at once, before the script runs: firmware images are read as they are.
class byteOrderMarksSkipped {
public:
    byteOrderMarksSkipped() : previous_(std::locale::global(std::locale(std::locale(), new byteOrderMarkSkipper))) {}
    ~byteOrderMarksSkipped() { std::locale::global(previous_); }
    byteOrderMarksSkipped(const byteOrderMarksSkipped&) = delete;
    byteOrderMarksSkipped& operator=(const byteOrderMarksSkipped&) = delete;

private:
    std::locale previous_;
};

// The whole file, parsed into tree; info_parser_error as read_info gives it, and for a script
// nested deeper than the limit, before the tree gets a node.
void readScript(const std::string& file, pt::ptree& tree)
{
    const byteOrderMarksSkipped noMarks;
    std::ifstream in(file);
    if (!in)
        BOOST_THROW_EXCEPTION(pt::info_parser_error("cannot open file for reading", file, 0));
    // Read once, so both passes see the same text.
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    {
        std::istringstream probeText(text);
        depthProbe probe;
        pt::info_parser::read_info_internal(probeText, probe, file, 0);
    }
    std::istringstream treeText(text);
    pt::ptree parsed;
    pt::info_parser::read_info_internal(treeText, parsed, file, 0);
    tree.swap(parsed);
}

}  // namespace

_tester::_tester(const std::string& file)
{
    zk::logger::initLogger();

    // One line per command, in the command table's order; the key is the handler's name.
#define QZ_COMMAND(name) {#name, &_tester::name}
    commands_ = {
        QZ_COMMAND(sleep),
        QZ_COMMAND(query),
        QZ_COMMAND(search),
        QZ_COMMAND(displayConfig),
        QZ_COMMAND(configure_network),
        QZ_COMMAND(connect),
        QZ_COMMAND(disconnect),
        QZ_COMMAND(init),
        QZ_COMMAND(readNetworkConfig),
        QZ_COMMAND(readHardwareId),
        QZ_COMMAND(moveMotor),
        QZ_COMMAND(initMotor),
        QZ_COMMAND(setPump),
        QZ_COMMAND(setLight),
        QZ_COMMAND(getPressure),
        QZ_COMMAND(setOutput),
        QZ_COMMAND(getInput),
        QZ_COMMAND(setPWM),
        QZ_COMMAND(scanRxShadow),
        QZ_COMMAND(scanRxReflect),
        QZ_COMMAND(runProgram),
        QZ_COMMAND(testPhase),
        QZ_COMMAND(setDiag),
        QZ_COMMAND(updateFirmware),
        QZ_COMMAND(pingId),
        QZ_COMMAND(loadDefaultDeviceSettings),
        QZ_COMMAND(storeDeviceSettings),
        QZ_COMMAND(deviceSettings),
        QZ_COMMAND(motorSettings),
        QZ_COMMAND(getDeviceSettings),
        QZ_COMMAND(checkPhase),
        QZ_COMMAND(testInitMotor),
    };
#undef QZ_COMMAND

    // Throws info_parser_error "cannot open file for reading" (file, line 0) when
    // the file cannot be opened; parses into a fresh tree and swaps it in.
    readScript(file, config_);

    // "moveMotor" draws its random targets from rand().
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

// Out of line, where the controller type is complete.
_tester::~_tester() = default;

void _tester::run(const std::string& name)
{
    const auto section = config_.get_child_optional(pt::ptree::path_type(name, '.'));
    if (!section)
        return;
    defaultSpeed_ = config_.get_optional<int>("defaultSpeed");
    defaultAccel_ = config_.get_optional<int>("defaultAccel");
    for (const auto& cmd : *section)
        runCommand(cmd);
}

void _tester::runCommand(const pt::ptree::value_type& cmd)
{
    const auto found = commands_.find(cmd.first);
    BOOST_CHECK_MESSAGE(found != commands_.end(), "command <" << zk::printable(cmd.first) << "> not found");
    if (found != commands_.end())
        (this->*found->second)(cmd.second);
}

int _tester::getSpeed(const pt::ptree& cmd) const
{
    return lookupInt(cmd, "speed", defaultSpeed_, "defaultSpeed");
}

int _tester::getAccel(const pt::ptree& cmd) const
{
    return lookupInt(cmd, "accel", defaultAccel_, "defaultAccel");
}

namespace {

// Decimal digits alone, within 32 bits. A sign is refused: the stream would wrap "-1" round to
// 4294967295.
bool parseUnsigned(const std::string& text, unsigned int& value)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> std::ws;
    if (in.peek() == '-')
        return false;
    in >> value;
    if (!in.eof())
        in >> std::ws;
    return !in.fail() && in.get() == std::char_traits<char>::eof();
}

std::string conversionFailed(const char* type)
{
    return std::string("conversion of data to type \"") + type + "\" failed";
}

template <class T>
boost::optional<T> convert(const pt::ptree& node)
{
    return node.get_value_optional<T>();
}

template <>
boost::optional<unsigned int> convert<unsigned int>(const pt::ptree& node)
{
    unsigned int value = 0;
    if (!parseUnsigned(node.data(), value))
        return boost::none;
    return value;
}

}  // namespace

void throwBadKeyText(const std::string& key, const std::string& text, const std::type_info& type)
{
    // Script text may hold any byte; written into the framework's XML and JUnit logs raw, a control
    // character or a byte that is not UTF-8 leaves them unreadable.
    BOOST_THROW_EXCEPTION(pt::ptree_bad_data(
        conversionFailed(type.name()) + ": \"" + zk::printable(key) + "\" is \"" + zk::printable(text) + "\"", text));
}

template <class T>
T nodeValue(const pt::ptree& node, const std::string& name)
{
    const boost::optional<T> value = convert<T>(node);
    if (!value)
        throwBadKeyText(name, node.data(), typeid(T));
    return *value;
}

template <class T>
boost::optional<T> keyValue(const pt::ptree& cmd, const std::string& key)
{
    const auto node = cmd.get_child_optional(pt::ptree::path_type(key));
    if (!node)
        return boost::none;
    return nodeValue<T>(*node, key);
}

template <class T>
T requiredKey(const pt::ptree& cmd, const std::string& key)
{
    const auto value = keyValue<T>(cmd, key);
    if (!value)
        BOOST_THROW_EXCEPTION(pt::ptree_bad_path("No such node", pt::ptree::path_type(key)));
    return *value;
}

template boost::optional<int> keyValue<int>(const pt::ptree&, const std::string&);
template boost::optional<unsigned int> keyValue<unsigned int>(const pt::ptree&, const std::string&);
template boost::optional<bool> keyValue<bool>(const pt::ptree&, const std::string&);
template int requiredKey<int>(const pt::ptree&, const std::string&);
template unsigned int requiredKey<unsigned int>(const pt::ptree&, const std::string&);
template int nodeValue<int>(const pt::ptree&, const std::string&);
template unsigned int nodeValue<unsigned int>(const pt::ptree&, const std::string&);
template bool nodeValue<bool>(const pt::ptree&, const std::string&);

void _tester::sleep(const pt::ptree& cmd)
{
    // Throws ptree_bad_data "conversion of data to type ... failed", naming the command and its text.
    const unsigned int ms = nodeValue<unsigned int>(cmd, "sleep");
    std::cout << boost::format("sleeping for %d ms") % ms << std::endl;
    boost::this_thread::sleep_for(boost::chrono::milliseconds(ms));
}

void _tester::query(const pt::ptree& cmd)
{
    std::cout << cmd.data() << std::endl << "press 'Enter' to continue" << std::flush;
    // At end of input this returns at once, which is what a script run without a console wants.
    std::string line;
    std::getline(std::cin, line);
}

void _tester::pingId(const pt::ptree& cmd)
{
    pingId_ = cmd.data();
}

void _tester::runProgram(const pt::ptree&)
{
}

std::uint32_t _tester::queryWord(int command)
{
    // Cleared before each read: a short reply must not carry an earlier sample's bytes.
    unsigned char reply[4] = {};
    {
        boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
        c_->queryCommand(command, boost::asio::buffer(reply));
        c_->throwIfRefused(command);
    }
    return zk::getLE32(reply);
}

void _tester::sendEmpty(int command)
{
    boost::lock_guard<boost::mutex> lock(c_->commandMutex_);
    c_->sendTCPControlCommand(command, boost::asio::const_buffer());
    c_->throwIfRefused(command);
}
