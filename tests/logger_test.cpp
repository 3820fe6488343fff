// Logging set-up, through logger_probe in one process per scenario: where "logger.xml" is found,
// what it sets, the records that land in the log file and their layout.
#define BOOST_TEST_MODULE logger
#include <boost/test/unit_test.hpp>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "support/process.hpp"

namespace fs = boost::filesystem;

// The probe's records that pass, time field removed: the main logger's and the listed channels'
// (never the unnamed channel's), from the threshold up; a severity beyond the scale prints as a number.
static std::string passing(int threshold, const std::set<std::string>& channels)
{
    const std::string names[] = {"trace", "info", "warning", "error", "fatal", "5"};
    std::string lines;
    for (const std::string source : {"main", "net", "qz_smc", "btldr"})
        for (int s = threshold; s <= 5; ++s)
            if (source == "main" || channels.count(source))
                lines += (source == "main" ? "" : "[" + source + "]") + "[" + names[s] + "] " + source + " " +
                         names[s] + "\n";
    return lines;
}

BOOST_AUTO_TEST_CASE(config_location_settings_and_records)
{
    // xml: nullptr where there is none; logDir: nullptr when no log file is written; threshold: 0 trace ... 4 fatal;
    // unwritable: the log file told of on stderr as not writable; channels: those that pass.
    // signal: the one that ends the probe, 0 when it exits with 0.
    struct Case { const char *what, *binXml, *workXml, *args, *logDir; int threshold; const char* unwritable = nullptr;
                  std::set<std::string> channels = {"net", "qz_smc", "btldr"}; int signal = 0; } const cases[] = {
        {"defaults beside the executable", "<config/>", nullptr, "", "bin/Logs", 1},
        {"executable's config wins; relative folder", "<config><folder>exe</folder><level>warning</level></config>",
         "<config><folder>cwd</folder><level>error</level></config>", "", "bin/exe", 2},
        {"config only in the cwd", nullptr, "<config><level>trace</level></config>", "", "work/Logs", 0},
        {"no config", nullptr, nullptr, "", nullptr, 0},
        {"config written before the second set-up is not read", nullptr, nullptr, "--late-config", nullptr, 0},
        {"malformed config", "<config><level>trace</level>", "<config/>", "", nullptr, 0},
        {"a file in the folder's path", "<config><folder>blocker/sub</folder></config>", nullptr, "", nullptr, 0,
         "bin/blocker/sub/probe_%Y%m%d.%N.log"},
        {"a folder where the file goes", "<config><folder>taken</folder><suffix/></config>", nullptr, "", nullptr, 0,
         "bin/taken/probe.log"},
        {"level for the file name with extension taken, later ones ignored",
         "<config><level>trace</level><level module=\"probe.exe\">error</level><level>warning</level>"
         "<level module=\"probe.exe\">trace</level></config>", nullptr, "", "bin/Logs", 3},
        {"level for the stem or another case ignored",
         "<config><level module=\"probe\">error</level><level module=\"Probe.exe\">fatal</level></config>", nullptr,
         "", "bin/Logs", 1},
        {"capitalised level keeps info", "<config><level>Warning</level></config>", nullptr, "", "bin/Logs", 1},
        {"unknown later level keeps info", "<config><level>trace</level><level>verbose</level></config>", nullptr, "",
         "bin/Logs", 1},
        {"include and exclude; an empty name lets no unnamed channel pass",
         "<config><include>net</include><include/><include>btldr</include><exclude>net</exclude></config>", nullptr,
         "", "bin/Logs", 1, nullptr, {"btldr"}},
        // The file is not flushed per record: a stop by signal flushes it, then ends the process by that signal.
        {"SIGTERM while hung", "<config/>", nullptr, "--signal=15", "bin/Logs", 1, nullptr, {"net", "qz_smc", "btldr"},
         SIGTERM},
        {"SIGINT while hung", "<config><synchronous>0</synchronous></config>", nullptr, "--signal=2", "bin/Logs", 1,
         nullptr, {"net", "qz_smc", "btldr"}, SIGINT},
        {"a SIGINT ignored from the start stays ignored", "<config/>", nullptr, "--ignored-int", "bin/Logs", 1},
    };
    // Every record starts with its time of day.
    const std::regex timeField(R"((^|\n)\[([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{6}\])");
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT(c.what)
        {
            // bin/probe.exe, a copy of the probe, runs in work/.
            qz::test::scratchDir scratch("qz-logger");
            const fs::path root = fs::canonical(scratch.path());
            for (const char* dir : {"work", "bin/taken/probe.log"}) fs::create_directories(root / dir);
            qz::test::writeFile(root / "bin/blocker", "a file where a folder is expected");
            fs::copy_file(QZ_LOGGER_PROBE, root / "bin/probe.exe");
            for (const auto& [dir, xml] : {std::pair{"bin", c.binXml}, std::pair{"work", c.workXml}})
                if (xml) qz::test::writeFile(root / dir / "logger.xml", xml);
            const auto probe = qz::test::run({(root / "bin/probe.exe").string(), c.args}, (root / "work").string(),
                                             std::chrono::seconds(30));
            BOOST_TEST(probe.termSignal == c.signal, probe.describe());
            BOOST_TEST(probe.exitCode == (c.signal ? 128 + c.signal : 0), probe.describe());
            // Records that cannot be written are told of once, not lost without a word.
            const std::string told =
                c.unwritable ? "log file " + (root / c.unwritable).string() + " cannot be written: " : "";
            BOOST_TEST(probe.err.substr(0, told.size()) == told);
            BOOST_TEST(std::count(probe.err.begin(), probe.err.end(), '\n') == (c.unwritable ? 1 : 0), probe.err);

            std::vector<fs::path> logs;  // every log file the probe wrote
            for (fs::recursive_directory_iterator i(root), end; i != end; ++i)
                if (fs::is_regular_file(i->path()) && i->path().extension() == ".log") logs.push_back(i->path());
            BOOST_TEST(logs.size() == (c.logDir ? 1u : 0u));
            if (logs.size() != 1 || !c.logDir) continue;
            BOOST_TEST(logs[0].parent_path() == root / c.logDir);
            BOOST_TEST(std::regex_match(logs[0].filename().string(), std::regex(R"(probe_\d{8}\.0\.log)")), logs[0]);
            BOOST_TEST(std::regex_replace(qz::test::readFile(logs[0]), timeField, "$1") ==
                       passing(c.threshold, c.channels));
        }
    }
}
