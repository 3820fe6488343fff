#define BOOST_TEST_MODULE logger
#include <boost/test/unit_test.hpp>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "zkutility/logger.hpp"

namespace fs = boost::filesystem;
namespace lg = zk::logger;

namespace {

// Restores the filter settings that a case changes.
struct FilterSettings {
    int threshold = lg::severityThreshold;
    std::set<std::string> include = lg::includeChannels;
    std::set<std::string> exclude = lg::excludeChannels;
    ~FilterSettings()
    {
        lg::severityThreshold = threshold;
        lg::includeChannels = include;
        lg::excludeChannels = exclude;
    }
};

std::string readFile(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, const std::string& text)
{
    std::ofstream out(p.string(), std::ios::binary);
    out << text;
    BOOST_REQUIRE_MESSAGE(out.good(), "cannot write " << p);
}

}  // namespace

BOOST_AUTO_TEST_SUITE(record_layout)

BOOST_AUTO_TEST_CASE(time_channel_and_severity_in_brackets)
{
    using boost::posix_time::ptime;
    const ptime stamp(boost::gregorian::date(2024, 1, 2),
                      boost::posix_time::hours(13) + boost::posix_time::minutes(5) +
                          boost::posix_time::seconds(7) + boost::posix_time::microseconds(4321));

    auto core = boost::log::core::get();
    auto stamped = core->add_global_attribute("TimeStamp", boost::log::attributes::constant<ptime>(stamp));

    auto text = boost::make_shared<std::ostringstream>();
    using sink_type = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    auto sink = boost::make_shared<sink_type>();
    sink->locked_backend()->add_stream(text);
    sink->set_formatter(lg::recordFormatter());
    core->add_sink(sink);

    lg::channel_logger net(boost::log::keywords::channel = "net");
    lg::channel_logger smc(boost::log::keywords::channel = "qz_smc");
    BOOST_LOG_SEV(lg::main_logger::get(), lg::warning) << "main at warning";
    BOOST_LOG_SEV(net, lg::warning) << "net at warning";
    BOOST_LOG_SEV(smc, lg::trace) << "value " << 42;
    BOOST_LOG_SEV(lg::main_logger::get(), lg::fatal) << "fatal";
    BOOST_LOG_SEV(net, static_cast<lg::severity_level>(7)) << "beyond the scale";
    BOOST_LOG_SEV(lg::main_logger::get(), static_cast<lg::severity_level>(-1)) << "below the scale";
    BOOST_LOG(lg::main_logger::get()) << "default severity";

    core->remove_sink(sink);
    core->remove_global_attribute(stamped.first);

    const std::string expected =
        "[13:05:07.004321][warning] main at warning\n"
        "[13:05:07.004321][net][warning] net at warning\n"
        "[13:05:07.004321][qz_smc][trace] value 42\n"
        "[13:05:07.004321][fatal] fatal\n"
        "[13:05:07.004321][net][7] beyond the scale\n"
        "[13:05:07.004321][-1] below the scale\n"
        "[13:05:07.004321][trace] default severity\n";
    BOOST_TEST(text->str() == expected);
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(log_filter)

BOOST_AUTO_TEST_CASE(threshold_and_channel_rules)
{
    FilterSettings restore;
    const int noSeverity = INT_MIN;
    const char* const mainLogger = nullptr;

    struct Case {
        const char* what;
        int threshold;
        std::set<std::string> include;
        std::set<std::string> exclude;
        int severity;         // noSeverity: the record has none
        const char* channel;  // mainLogger: the record has none
        bool passes;
    };
    const Case cases[] = {
        {"record without severity", lg::trace, {}, {}, noSeverity, mainLogger, false},
        {"channel record without severity", lg::trace, {}, {}, noSeverity, "net", false},
        {"trace below default threshold", lg::info, {}, {}, lg::trace, mainLogger, false},
        {"info at default threshold", lg::info, {}, {}, lg::info, mainLogger, true},
        {"info below warning threshold", lg::warning, {}, {}, lg::info, "net", false},
        {"warning at warning threshold", lg::warning, {}, {}, lg::warning, "net", true},
        {"fatal above warning threshold", lg::warning, {}, {}, lg::fatal, mainLogger, true},
        {"negative severity is below trace", lg::trace, {}, {}, -1, mainLogger, false},
        {"severity beyond fatal passes", lg::fatal, {}, {}, 7, "btldr", true},
        {"empty channel name", lg::trace, {}, {}, lg::fatal, "", false},
        {"empty channel name even when included", lg::trace, {""}, {}, lg::fatal, "", false},
        {"included channel", lg::info, {"net"}, {}, lg::info, "net", true},
        {"channel outside include set", lg::info, {"net"}, {}, lg::error, "qz_smc", false},
        {"main logger ignores include set", lg::info, {"net"}, {}, lg::info, mainLogger, true},
        {"excluded channel", lg::info, {}, {"net"}, lg::fatal, "net", false},
        {"channel outside exclude set", lg::info, {}, {"net"}, lg::info, "btldr", true},
        {"main logger ignores exclude set", lg::info, {}, {"net"}, lg::info, mainLogger, true},
        {"included and excluded", lg::info, {"net", "btldr"}, {"net"}, lg::info, "net", false},
        {"included, other excluded", lg::info, {"net", "btldr"}, {"net"}, lg::info, "btldr", true},
        {"names are case-sensitive", lg::info, {"net"}, {}, lg::info, "NET", false},
        {"exclude is case-sensitive", lg::info, {}, {"net"}, lg::info, "Net", true},
    };

    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            lg::severityThreshold = c.threshold;
            lg::includeChannels = c.include;
            lg::excludeChannels = c.exclude;
            // value_ref only refers to its value, which must outlive it
            const auto level = static_cast<lg::severity_level>(c.severity);
            const std::string name = c.channel ? c.channel : "";
            const auto severity = c.severity != noSeverity ? boost::log::value_ref<lg::severity_level>(level)
                                                           : boost::log::value_ref<lg::severity_level>();
            const auto channel = c.channel ? boost::log::value_ref<std::string>(name)
                                           : boost::log::value_ref<std::string>();
            BOOST_TEST(lg::logFilter(severity, channel) == c.passes);
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()

BOOST_AUTO_TEST_SUITE(process_paths)

BOOST_AUTO_TEST_CASE(current_directory_longer_than_first_buffer)
{
    const fs::path start = fs::current_path();
    const fs::path root = fs::temp_directory_path() / fs::unique_path("qz-cwd-%%%%-%%%%");
    const fs::path deep = root / std::string(200, 'a') / std::string(200, 'b') / std::string(200, 'c');
    fs::create_directories(deep);
    const std::string expected = fs::canonical(deep).string();
    fs::current_path(deep);
    const std::string seen = lg::getCurrentDirectoryPath();
    fs::current_path(start);
    fs::remove_all(root);

    BOOST_TEST(seen.size() > 600u);
    BOOST_TEST(seen == expected);
}

BOOST_AUTO_TEST_SUITE_END()

namespace {

const char* const sources[] = {"main", "net", "qz_smc", "btldr", "unnamed"};
const char* const severityNames[] = {"trace", "info", "warning", "error", "fatal"};

// The lines the probe's records leave in the file, time field removed: every
// main-logger record and those of the passing channels, from threshold up.
std::vector<std::string> probeLines(int threshold, const std::set<std::string>& channels)
{
    std::vector<std::string> lines;
    for (int s = threshold; s <= lg::fatal; ++s) {
        for (const std::string source : sources) {
            const std::string tail = std::string("[") + severityNames[s] + "] " + source + " " + severityNames[s];
            if (source == "main")
                lines.push_back(tail);
            else if (channels.count(source))
                lines.push_back("[" + source + "]" + tail);
        }
    }
    return lines;
}

const std::set<std::string> allChannels = {"net", "qz_smc", "btldr"};

std::string localDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &tm);
    return text;
}

// A fresh directory tree per scenario: bin/ holds a copy of the probe, work/ is its cwd.
struct Scratch {
    fs::path root;
    fs::path bin;
    fs::path work;
    fs::path exe;
    fs::path output;

    Scratch(const std::string& exeName, bool deepBin)
    {
        root = fs::canonical(fs::temp_directory_path()) / fs::unique_path("qz-logger-%%%%-%%%%-%%%%");
        bin = root / "bin";
        if (deepBin)  // longer than the first path buffer
            bin = bin / std::string(150, 'x') / std::string(150, 'y');
        work = root / "work";
        fs::create_directories(bin);
        fs::create_directories(work);
        exe = bin / exeName;
        fs::copy_file(QZ_LOGGER_PROBE, exe);
        fs::permissions(exe, fs::owner_all | fs::group_read | fs::group_exe);
        output = root / "probe.out";
    }
    ~Scratch()
    {
        boost::system::error_code ec;
        fs::remove_all(root, ec);
    }

    // True when the probe ran and exited with 0; its stdout and stderr go to `output`.
    bool run(const std::vector<std::string>& args)
    {
        std::vector<std::string> store{exe.string()};
        store.insert(store.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : store)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const std::string out = output.string();
        const std::string dir = work.string();

        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0 || ::chdir(dir.c_str()) != 0)
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid < 0)
            return false;
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid)
            return false;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string probeOutput() const { return fs::exists(output) ? readFile(output) : std::string(); }

    // Every file the probe may have written: all but the probe itself, its output and the configs.
    std::vector<fs::path> producedFiles() const
    {
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator i(root), end; i != end; ++i) {
            const fs::path& p = i->path();
            if (fs::is_regular_file(p) && p != exe && p != output && p.filename() != "logger.xml")
                files.push_back(p);
        }
        return files;
    }
};

// True when text starts with "[HH:MM:SS.ffffff]".
bool startsWithTime(const std::string& text)
{
    const std::string shape = "[00:00:00.000000]";
    if (text.size() < shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == '0' ? !digit : text[i] != shape[i])
            return false;
    }
    return text.compare(1, 2, "24") < 0 && text[4] < '6' && text[7] < '6';
}

// Splits a log file into lines with the time field checked and removed.
std::vector<std::string> linesWithoutTime(const std::string& text)
{
    const std::size_t timeLength = std::string("[00:00:00.000000]").size();
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const bool timed = startsWithTime(line);
        BOOST_TEST(timed, "no time field in: " << line);
        lines.push_back(timed ? line.substr(timeLength) : line);
    }
    BOOST_TEST((text.empty() || text.back() == '\n'), "last record not ended by a line break");
    return lines;
}

enum class Where { nowhere, bin, work, root };

struct SetupCase {
    const char* what;
    const char* exeName;
    bool deepBin;
    const char* binXml;  // nullptr: no logger.xml there
    const char* workXml;
    std::vector<std::string> args;
    Where logWhere;       // where the one log file must appear
    const char* logDir;   // below logWhere
    const char* logName;  // "@DATE@" stands for today's date
    int threshold;
    std::set<std::string> channels;
    bool emptyFile;  // the file exists but holds nothing
};

const char* const defaultName = "probe_@DATE@.0.log";

const SetupCase setupCases[] = {
    {"defaults, config beside the executable", "probe", false, "<config/>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"executable path longer than the first buffer", "probe", true, "<config/>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"config beside the executable wins over the current directory's", "probe", false,
     "<config><folder>exe_logs</folder><level>warning</level></config>",
     "<config><folder>cwd_logs</folder><level>trace</level></config>", {},
     Where::bin, "exe_logs", defaultName, lg::warning, allChannels, false},
    {"config only in the current directory", "probe", false, nullptr, "<config/>", {},
     Where::work, "Logs", defaultName, lg::info, allChannels, false},
    {"byte-order mark and comments are accepted", "probe", false,
     "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- test -->\n<config>\n  <!-- quiet -->\n  <level>error</level>\n</config>\n",
     nullptr, {}, Where::bin, "Logs", defaultName, lg::error, allChannels, false},
    {"no config anywhere writes no log", "probe", false, nullptr, nullptr, {},
     Where::nowhere, "", "", 0, {}, false},
    {"config appearing before the second set-up call is not read", "probe", false, nullptr, nullptr,
     {"--late-config"}, Where::nowhere, "", "", 0, {}, false},
    {"malformed config writes no log and does not fail", "probe", false,
     "<config><level>trace</level>", "<config/>", {}, Where::nowhere, "", "", 0, {}, false},
    {"root element other than config: defaults", "probe", false,
     "<settings><level>error</level><exclude>net</exclude></settings>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"level for the file name with extension is taken, later levels ignored", "probe.exe", false,
     "<config><level>trace</level><level module=\"probe.exe\">error</level><level>warning</level>"
     "<level module=\"probe.exe\">trace</level></config>",
     nullptr, {}, Where::bin, "Logs", defaultName, lg::error, allChannels, false},
    {"level for the stem only or another program is ignored", "probe.exe", false,
     "<config><level module=\"probe\">error</level><level module=\"Probe.exe\">fatal</level>"
     "<level module=\"other.exe\">trace</level></config>",
     nullptr, {}, Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"later plain level replaces an earlier one", "probe", false,
     "<config><level>error</level><level>warning</level></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::warning, allChannels, false},
    {"level name in capitals keeps info", "probe", false, "<config><level>Warning</level></config>",
     nullptr, {}, Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"unknown later level text keeps info", "probe", false,
     "<config><level>trace</level><level>verbose</level></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"empty later level text keeps info", "probe", false,
     "<config><level>trace</level><level/></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"include net only", "probe", false, "<config><include>net</include></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, {"net"}, false},
    {"exclude net", "probe", false, "<config><exclude>net</exclude></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, {"qz_smc", "btldr"}, false},
    {"channel both included and excluded is dropped", "probe", false,
     "<config><include>net</include><exclude>net</exclude><include>btldr</include></config>", nullptr, {},
     Where::bin, "Logs", defaultName, lg::info, {"btldr"}, false},
    {"absolute folder, suffix and extension", "probe.exe", false,
     "<config><folder>@ROOT@/abs logs</folder><suffix>-run</suffix><extension>txt</extension></config>",
     nullptr, {}, Where::root, "abs logs", "probe-run.txt", lg::info, allChannels, false},
    {"synchronous flushes every record", "probe", false,
     "<config><synchronous>true</synchronous></config>", nullptr, {"--abrupt"},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"synchronous given as 1", "probe", false,
     "<config><synchronous>1</synchronous></config>", nullptr, {"--abrupt"},
     Where::bin, "Logs", defaultName, lg::info, allChannels, false},
    {"synchronous that is not a Boolean leaves the file buffered", "probe", false,
     "<config><synchronous>yes</synchronous></config>", nullptr, {"--abrupt"},
     Where::bin, "Logs", defaultName, lg::info, allChannels, true},
    {"unusable log folder writes no log and does not fail", "probe", false,
     "<config><folder>blocker/sub</folder></config>", nullptr, {},
     Where::nowhere, "", "", 0, {}, false},
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

BOOST_AUTO_TEST_SUITE(logger_setup)

BOOST_AUTO_TEST_CASE(config_location_settings_and_once_per_process)
{
    for (const SetupCase& c : setupCases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            Scratch s(c.exeName, c.deepBin);
            if (c.binXml)
                writeFile(s.bin / "logger.xml", replaceAll(c.binXml, "@ROOT@", s.root.string()));
            if (c.workXml)
                writeFile(s.work / "logger.xml", replaceAll(c.workXml, "@ROOT@", s.root.string()));
            writeFile(s.bin / "blocker", "a file where a folder is expected\n");

            const std::string dayBefore = localDate();
            const bool ok = s.run(c.args);
            const std::string dayAfter = localDate();
            BOOST_TEST(ok, "probe failed; its output:\n" << s.probeOutput());

            std::vector<fs::path> files = s.producedFiles();
            files.erase(std::remove(files.begin(), files.end(), s.bin / "blocker"), files.end());
            if (c.logWhere == Where::nowhere) {
                BOOST_TEST(files.empty(), "unexpected log file " << (files.empty() ? fs::path() : files[0]));
                continue;
            }
            BOOST_TEST_REQUIRE(files.size() == 1u, files.size() << " log files instead of 1");

            const fs::path base = c.logWhere == Where::bin ? s.bin : c.logWhere == Where::work ? s.work : s.root;
            BOOST_TEST(files[0].parent_path() == base / c.logDir);
            const std::string name = files[0].filename().string();
            const bool named = name == replaceAll(c.logName, "@DATE@", dayBefore) ||
                               name == replaceAll(c.logName, "@DATE@", dayAfter);
            BOOST_TEST(named, "log file named " << name);

            const std::vector<std::string> lines = linesWithoutTime(readFile(files[0]));
            const std::vector<std::string> expected =
                c.emptyFile ? std::vector<std::string>() : probeLines(c.threshold, c.channels);
            BOOST_TEST(lines == expected, boost::test_tools::per_element());
        }
    }
}

BOOST_AUTO_TEST_CASE(existing_log_file_is_appended)
{
    Scratch s("probe", false);
    writeFile(s.bin / "logger.xml", "<config><suffix></suffix><level>error</level></config>");
    BOOST_TEST_REQUIRE(s.run({}), "first run failed; its output:\n" << s.probeOutput());
    BOOST_TEST_REQUIRE(s.run({}), "second run failed; its output:\n" << s.probeOutput());

    const fs::path logFile = s.bin / "Logs" / "probe.log";
    BOOST_TEST_REQUIRE(fs::exists(logFile));
    BOOST_TEST(s.producedFiles() == std::vector<fs::path>{logFile}, boost::test_tools::per_element());

    const std::vector<std::string> oneRun = probeLines(lg::error, allChannels);
    std::vector<std::string> expected = oneRun;
    expected.insert(expected.end(), oneRun.begin(), oneRun.end());
    BOOST_TEST(linesWithoutTime(readFile(logFile)) == expected, boost::test_tools::per_element());
}

BOOST_AUTO_TEST_SUITE_END()
