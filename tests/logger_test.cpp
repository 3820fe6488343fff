#define BOOST_TEST_MODULE logger
#include <boost/test/unit_test.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/gregorian/gregorian.hpp>
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

BOOST_AUTO_TEST_CASE(record_layout_with_and_without_channel)
{
    using namespace boost::posix_time;
    const ptime stamp(boost::gregorian::date(2024, 1, 2), hours(13) + minutes(5) + seconds(7) + microseconds(4321));
    auto core = boost::log::core::get();
    auto stamped = core->add_global_attribute("TimeStamp", boost::log::attributes::constant<ptime>(stamp));
    auto text = boost::make_shared<std::ostringstream>();
    auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>>();
    sink->locked_backend()->add_stream(text);
    sink->set_formatter(lg::recordFormatter());
    core->add_sink(sink);

    lg::channel_logger net(boost::log::keywords::channel = "net");
    BOOST_LOG_SEV(lg::main_logger::get(), lg::warning) << "main";
    BOOST_LOG_SEV(net, lg::trace) << "value " << 42;
    BOOST_LOG_SEV(net, static_cast<lg::severity_level>(7)) << "beyond the scale";
    core->remove_sink(sink);
    core->remove_global_attribute(stamped.first);

    BOOST_TEST(text->str() ==
               "[13:05:07.004321][warning] main\n"
               "[13:05:07.004321][net][trace] value 42\n"
               "[13:05:07.004321][net][7] beyond the scale\n");
}

BOOST_AUTO_TEST_CASE(filter_rules)
{
    const int saved = lg::severityThreshold;
    const int none = -100;                // record without severity
    const char* const mainLog = nullptr;  // record without channel
    struct Case {
        const char* what;
        int threshold;
        std::set<std::string> include, exclude;
        int severity;
        const char* channel;
        bool passes;
    };
    const Case cases[] = {
        {"no severity", lg::trace, {}, {}, none, "net", false},
        {"below threshold", lg::info, {}, {}, lg::trace, mainLog, false},
        {"at threshold", lg::warning, {}, {}, lg::warning, "net", true},
        {"negative severity", lg::trace, {}, {}, -1, mainLog, false},
        {"included", lg::info, {"net"}, {}, lg::info, "net", true},
        {"not included", lg::info, {"net"}, {}, lg::error, "qz_smc", false},
        {"main logger ignores include", lg::info, {"net"}, {}, lg::info, mainLog, true},
        {"excluded", lg::info, {}, {"net"}, lg::fatal, "net", false},
        {"not excluded", lg::info, {}, {"net"}, lg::info, "btldr", true},
        {"main logger ignores exclude", lg::info, {}, {"net"}, lg::info, mainLog, true},
        {"included and excluded", lg::info, {"net", "btldr"}, {"net"}, lg::info, "net", false},
        {"empty channel", lg::trace, {}, {}, lg::fatal, "", false},
        {"empty channel included", lg::trace, {""}, {}, lg::fatal, "", false},
    };
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            lg::severityThreshold = c.threshold;
            lg::includeChannels = c.include;
            lg::excludeChannels = c.exclude;
            // value_ref refers to its value, which must outlive it
            const auto level = static_cast<lg::severity_level>(c.severity);
            const std::string name = c.channel ? c.channel : "";
            using sev_ref = boost::log::value_ref<lg::severity_level>;
            using chan_ref = boost::log::value_ref<std::string>;
            BOOST_TEST(lg::logFilter(c.severity != none ? sev_ref(level) : sev_ref(),
                                     c.channel ? chan_ref(name) : chan_ref()) == c.passes);
        }
    }
    lg::severityThreshold = saved;
    lg::includeChannels.clear();
    lg::excludeChannels.clear();
}

namespace {

std::string readFile(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::set<std::string> allChannels = {"net", "qz_smc", "btldr"};

// What the probe leaves in the file, time field removed: main-logger records and the
// passing channels' ones (never the empty channel), from the threshold up.
std::vector<std::string> probeLines(int threshold, const std::set<std::string>& channels)
{
    const char* const names[] = {"trace", "info", "warning", "error", "fatal"};
    std::vector<std::string> lines;
    for (int s = threshold; s <= lg::fatal; ++s)
        for (const std::string source : {"main", "net", "qz_smc", "btldr", "unnamed"}) {
            const std::string tail = std::string("[") + names[s] + "] " + source + " " + names[s];
            if (source == "main")
                lines.push_back(tail);
            else if (channels.count(source))
                lines.push_back("[" + source + "]" + tail);
        }
    return lines;
}

// Fresh tree per scenario: bin/probe.exe (a copy of the probe) runs with work/ as its cwd.
struct Scratch {
    fs::path root = fs::canonical(fs::temp_directory_path()) / fs::unique_path("qz-logger-%%%%-%%%%-%%%%");
    fs::path exe = root / "bin" / "probe.exe";

    Scratch()
    {
        fs::create_directories(root / "bin");
        fs::create_directories(root / "work");
        fs::copy_file(QZ_LOGGER_PROBE, exe);
        fs::permissions(exe, fs::owner_all);
    }
    ~Scratch()
    {
        boost::system::error_code ec;
        fs::remove_all(root, ec);
    }
    void write(const std::string& where, const char* text)
    {
        if (text)
            std::ofstream((root / where).string()) << text;
    }
    bool run(const std::string& args)
    {
        const std::string cmd = "cd '" + (root / "work").string() + "' && '" + exe.string() + "' " + args +
                                " >'" + (root / "probe.out").string() + "' 2>&1";
        return std::system(cmd.c_str()) == 0;
    }
    // Every file the probe wrote (the probe, its output and configs aside).
    std::vector<fs::path> produced() const
    {
        std::vector<fs::path> files;
        for (fs::recursive_directory_iterator i(root), end; i != end; ++i) {
            const fs::path p = i->path();
            if (fs::is_regular_file(p) && p != exe && p.filename() != "probe.out" && p.filename() != "logger.xml" &&
                p.filename() != "blocker")
                files.push_back(p);
        }
        return files;
    }
};

std::string today() { return boost::gregorian::to_iso_string(boost::gregorian::day_clock::local_day()); }

}  // namespace

BOOST_AUTO_TEST_CASE(config_location_settings_and_once_per_process)
{
    struct Case {
        const char* what;
        const char* binXml;  // nullptr: no logger.xml there
        const char* workXml;
        const char* args;
        const char* logDir;  // below the scratch root; nullptr: no log at all
        int threshold;
        std::set<std::string> channels;
    };
    const Case cases[] = {
        {"defaults beside the executable", "<config/>", nullptr, "", "bin/Logs", lg::info, allChannels},
        {"executable's config wins; relative folder", "<config><folder>exe</folder><level>warning</level></config>",
         "<config><folder>cwd</folder><level>trace</level></config>", "", "bin/exe", lg::warning, allChannels},
        {"config only in the cwd", nullptr, "<config/>", "", "work/Logs", lg::info, allChannels},
        {"no config", nullptr, nullptr, "", nullptr, 0, {}},
        {"config written before the second set-up is not read", nullptr, nullptr, "--late-config", nullptr, 0, {}},
        {"malformed config", "<config><level>trace</level>", "<config/>", "", nullptr, 0, {}},
        {"unusable folder", "<config><folder>blocker/sub</folder></config>", nullptr, "", nullptr, 0, {}},
        {"level for the file name with extension taken, later ones ignored",
         "<config><level>trace</level><level module=\"probe.exe\">error</level><level>warning</level>"
         "<level module=\"probe.exe\">trace</level></config>",
         nullptr, "", "bin/Logs", lg::error, allChannels},
        {"level for the stem or another case ignored",
         "<config><level module=\"probe\">error</level><level module=\"Probe.exe\">fatal</level></config>", nullptr,
         "", "bin/Logs", lg::info, allChannels},
        {"capitalised level keeps info", "<config><level>Warning</level></config>", nullptr, "", "bin/Logs", lg::info,
         allChannels},
        {"unknown later level keeps info", "<config><level>trace</level><level>verbose</level></config>", nullptr, "",
         "bin/Logs", lg::info, allChannels},
        {"include and exclude", "<config><include>net</include><include>btldr</include><exclude>net</exclude></config>",
         nullptr, "", "bin/Logs", lg::info, {"btldr"}},
    };
    const std::regex timeField(R"(^\[([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{6}\])");
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            Scratch s;
            s.write("bin/logger.xml", c.binXml);
            s.write("work/logger.xml", c.workXml);
            s.write("bin/blocker", "a file where a folder is expected");
            const std::string dayBefore = today();
            BOOST_TEST(s.run(c.args), "probe failed:\n" << readFile(s.root / "probe.out"));
            const std::vector<fs::path> files = s.produced();
            if (!c.logDir) {
                BOOST_TEST(files.empty());
                continue;
            }
            BOOST_TEST_REQUIRE(files.size() == 1u);
            BOOST_TEST(files[0].parent_path() == s.root / c.logDir);
            const std::string name = files[0].filename().string();
            BOOST_TEST((name == "probe_" + dayBefore + ".0.log" || name == "probe_" + today() + ".0.log"), name);

            const std::string text = readFile(files[0]);
            BOOST_TEST((text.empty() || text.back() == '\n'));
            std::vector<std::string> lines;
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);) {
                BOOST_TEST(std::regex_search(line, timeField), line);
                lines.push_back(std::regex_replace(line, timeField, "", std::regex_constants::format_first_only));
            }
            BOOST_TEST(lines == probeLines(c.threshold, c.channels), boost::test_tools::per_element());
        }
    }
}
