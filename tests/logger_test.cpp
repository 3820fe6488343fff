// Logging set-up, through logger_probe in one process per scenario: where "logger.xml" is found,
// what it sets, the records that land in the log file and their layout.
#define BOOST_TEST_MODULE logger
#include <boost/test/unit_test.hpp>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    // xml: nullptr where there is none, aFolder for a folder in its place; logDir: nullptr when no log file is
    // written; threshold: 0 trace ... 4 fatal; told: the start of the one line on stderr ("@" the scratch root);
    // channels: those that pass; signal: the one that ends the probe, 0 when it exits with 0;
    // out: the probe's standard output.
    struct Case { const char *what, *binXml, *workXml, *args, *logDir; int threshold; const char* told = nullptr;
                  std::set<std::string> channels = {"net", "qz_smc", "btldr"}; int signal = 0; const char* out = "";
    };
    static const char aFolder[] = "a folder";  // told apart by its address
    const Case cases[] = {
        {"defaults beside the executable", "<config/>", nullptr, "", "bin/Logs", 1},
        {"executable's config wins; relative folder", "<config><folder>exe</folder><level>warning</level></config>",
         "<config><folder>cwd</folder><level>error</level></config>", "", "bin/exe", 2},
        {"config only in the cwd", nullptr, "<config><level>trace</level></config>", "", "work/Logs", 0},
        {"no config", nullptr, nullptr, "", nullptr, 0},
        {"config written before the second set-up is not read", nullptr, nullptr, "--late-config", nullptr, 0},
        {"malformed config", "<config><level>trace</level>", "<config/>", "", nullptr, 0,
         "log configuration @/bin/logger.xml cannot be read: @/bin/logger.xml("},
        {"config that cannot be read", aFolder, "<config/>", "", nullptr, 0,
         "log configuration @/bin/logger.xml cannot be read: "},
        {"a file in the folder's path", "<config><folder>blocker/sub</folder></config>", nullptr, "", nullptr, 0,
         "log file @/bin/blocker/sub/probe_%Y%m%d.%N.log cannot be written: "},
        {"a folder where the file goes", "<config><folder>taken</folder><suffix/></config>", nullptr, "", nullptr, 0,
         "log file @/bin/taken/probe.log cannot be written: "},
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
        {"SIGHUP while hung", "<config/>", nullptr, "--signal=1", "bin/Logs", 1, nullptr, {"net", "qz_smc", "btldr"},
         SIGHUP},
        // SIGPIPE comes to the writing thread, not as a signal to the process.
        {"standard output's reader gone", "<config/>", nullptr, "--broken-pipe", "bin/Logs", 1, nullptr,
         {"net", "qz_smc", "btldr"}, SIGPIPE},
        {"a SIGINT ignored from the start stays ignored", "<config/>", nullptr, "--ignored=2", "bin/Logs", 1},
        {"a SIGPIPE ignored from the start stays ignored", "<config/>", nullptr, "--ignored=13", "bin/Logs", 1},
        // At exit the signal thread is joined before the core ends; a signal then acts by its default.
        {"signal while the core ends", "<config/>", nullptr, "--signal-at-core-end=15", "bin/Logs", 1, nullptr,
         {"net", "qz_smc", "btldr"}, SIGTERM, "threads left at the core's end: 0\n"},
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
                if (xml == aFolder) fs::create_directory(root / dir / "logger.xml");
                else if (xml) qz::test::writeFile(root / dir / "logger.xml", xml);
            const auto probe = qz::test::run({(root / "bin/probe.exe").string(), c.args}, (root / "work").string(),
                                             std::chrono::seconds(30));
            BOOST_TEST(probe.termSignal == c.signal, probe.describe());
            BOOST_TEST(probe.exitCode == (c.signal ? 128 + c.signal : 0), probe.describe());
            if (c.logDir) BOOST_TEST(probe.out == c.out);  // without a sink, the library prints the records there
            // A configuration that cannot be read and records that cannot be written are told of once.
            std::string told = c.told ? c.told : "";
            for (std::size_t at; (at = told.find('@')) != std::string::npos;) told.replace(at, 1, root.string());
            BOOST_TEST(probe.err.substr(0, told.size()) == told);
            BOOST_TEST(std::count(probe.err.begin(), probe.err.end(), '\n') == (c.told ? 1 : 0), probe.err);

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

// Mounting needs root; as root, a test that cannot mount fails.
static boost::test_tools::assertion_result runsAsRoot(boost::unit_test::test_unit_id)
{
    return ::geteuid() == 0;
}

// The log folder on a full filesystem: every write fails with ENOSPC, only at the last flush when buffered,
// at once when synchronous (told even when the process is killed right after). A small tmpfs, filled, in a
// mount namespace of this process's own.
BOOST_AUTO_TEST_CASE(log_folder_on_a_full_filesystem, *boost::unit_test::precondition(runsAsRoot))
{
    struct Case { const char *synchronous, *args; int signal; } const cases[] = {{"0", "", 0},
                                                                                {"1", "--signal=9", SIGKILL}};
    for (const auto& [synchronous, args, signal] : cases) {
        BOOST_TEST_CONTEXT("synchronous " << synchronous)
        {
            qz::test::scratchDir scratch("qz-logger");
            const fs::path root = fs::canonical(scratch.path()), full = root / "bin/full";
            for (const fs::path& dir : {full, root / "work"}) fs::create_directories(dir);
            fs::copy_file(QZ_LOGGER_PROBE, root / "bin/probe.exe");
            qz::test::writeFile(root / "bin/logger.xml", std::string("<config><folder>full</folder><synchronous>") +
                                                             synchronous + "</synchronous></config>");
            // Private mounts: the tmpfs is seen by this process and its children only.
            BOOST_REQUIRE_MESSAGE(::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE,
                                                                         nullptr) == 0,
                                  "no mount namespace: " << std::strerror(errno));
            BOOST_REQUIRE_MESSAGE(::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=16k") == 0,
                                  "no tmpfs: " << std::strerror(errno));
            struct unmount {
                const fs::path& dir;
                ~unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
            } const mounted{full};
            const int filler = ::open((full / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const char block[4096] = {};
            while (filler >= 0 && ::write(filler, block, sizeof block) > 0) {}
            BOOST_REQUIRE_MESSAGE(errno == ENOSPC, "tmpfs not filled: " << std::strerror(errno));
            ::close(filler);

            const auto probe = qz::test::run({(root / "bin/probe.exe").string(), args}, (root / "work").string(),
                                             std::chrono::seconds(30));
            BOOST_TEST(probe.termSignal == signal, probe.describe());
            const std::string told =
                "log file " + (full / "probe_%Y%m%d.%N.log").string() + " cannot be written: No space left on device\n";
            BOOST_TEST(probe.err == told);
        }
    }
}
