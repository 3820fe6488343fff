#include "zkutility/logger.hpp"

#include <cerrno>
#include <exception>
#include <ios>
#include <iostream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/make_shared.hpp>
#include <boost/phoenix/bind/bind_function.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

namespace zk {
namespace logger {

int severityThreshold = info;
std::set<std::string> includeChannels;
std::set<std::string> excludeChannels;

namespace {

bool loggerInitialised = false;
// Every record retries the file; its failure is told once.
std::once_flag unwritableReported;

namespace fs = boost::filesystem;
namespace expr = boost::log::expressions;
namespace sinks = boost::log::sinks;
namespace keywords = boost::log::keywords;

constexpr std::size_t pathBufferStep = 260;
constexpr unsigned long long rotationSize = 10ull * 1024 * 1024;

// exists() that treats an unreadable location like a missing file: initLogger must not throw.
bool fileExists(const fs::path& p)
{
    boost::system::error_code ec;
    return fs::exists(p, ec) && !ec;
}

std::string severityText(int value)
{
    std::ostringstream os;
    os << static_cast<severity_level>(value);
    return os.str();
}

// SIGINT and SIGTERM are taken by a thread that waits for them, not by a handler: it flushes
// the log file, whose records would otherwise die in the stream's buffer, then ends the process
// by the same signal with its default action, so the caller sees the signal's status. Runs
// before any other thread exists, so every later thread inherits the blocked mask and only the
// waiter receives them. A signal the process was started with ignored stays ignored.
void flushOnTermination()
{
    sigset_t taken;
    sigemptyset(&taken);
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            sigaddset(&taken, signal);
    }
    if (::pthread_sigmask(SIG_BLOCK, &taken, nullptr) != 0)
        return;
    std::thread waiter;
    try {
        waiter = std::thread([taken] {
            int signal = 0;
            if (::sigwait(&taken, &signal) != 0)
                return;
            boost::log::core::get()->flush();
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
            ::raise(signal);
            ::_exit(128 + signal);  // not reached: the default action ends the process
        });
    } catch (const std::system_error&) {
        // Without a waiter the signals must still end the process.
        ::pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
        return;
    }
    waiter.detach();
}

}  // namespace

std::ostream& operator<<(std::ostream& os, severity_level level)
{
    static const char* const names[] = {"trace", "info", "warning", "error", "fatal"};
    const int value = static_cast<int>(level);
    if (static_cast<unsigned>(value) < sizeof names / sizeof names[0])
        os << names[value];
    else
        os << value;
    return os;
}

std::string getModuleFilePath()
{
    std::vector<char> buffer(pathBufferStep);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return std::string();
        // readlink truncates silently; a full buffer may mean a longer path.
        if (static_cast<std::size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() + pathBufferStep);
    }
}

std::string getCurrentDirectoryPath()
{
    std::vector<char> buffer(pathBufferStep);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()))
            return std::string(buffer.data());
        if (errno != ERANGE)
            return std::string();
        buffer.resize(buffer.size() + pathBufferStep);
    }
}

boost::log::formatter recordFormatter()
{
    return expr::stream
        << "[" << expr::format_date_time<boost::posix_time::ptime>("TimeStamp", "%H:%M:%S.%f") << "]"
        << expr::if_(expr::has_attr<std::string>("Channel"))
               [expr::stream << "[" << expr::attr<std::string>("Channel") << "]"]
        << "[" << expr::attr<severity_level>("Severity") << "] " << expr::smessage;
}

bool logFilter(const boost::log::value_ref<severity_level>& severity,
               const boost::log::value_ref<std::string>& channel)
{
    if (!severity)
        return false;
    if (static_cast<int>(severity.get()) < severityThreshold)
        return false;
    if (!channel)
        return true;
    const std::string& name = channel.get();
    if (name.empty())
        return false;
    if (!includeChannels.empty() && includeChannels.count(name) == 0)
        return false;
    if (!excludeChannels.empty() && excludeChannels.count(name) != 0)
        return false;
    return true;
}

void initLogger()
{
    if (loggerInitialised)
        return;

    const fs::path modulePath(getModuleFilePath());
    fs::path baseDir = modulePath.parent_path();
    fs::path configFile = baseDir / "logger.xml";
    if (!fileExists(configFile)) {
        baseDir = getCurrentDirectoryPath();
        configFile = baseDir / "logger.xml";
    }
    std::string folder = "Logs";

    // Whatever follows fails or succeeds, later calls keep this outcome.
    loggerInitialised = true;

    if (fileExists(configFile)) {
        try {
            boost::property_tree::ptree tree;
            boost::property_tree::read_xml(configFile.string(), tree);

            bool synchronous = false;
            std::string suffix = "_%Y%m%d.%N";
            std::string extension = "log";
            std::string levelText;
            bool moduleLevelTaken = false;

            if (const auto config = tree.get_child_optional("config")) {
                synchronous = config->get<bool>("synchronous", false);
                if (const auto v = config->get_optional<std::string>("folder"))
                    folder = *v;
                if (const auto v = config->get_optional<std::string>("suffix"))
                    suffix = *v;
                if (const auto v = config->get_optional<std::string>("extension"))
                    extension = *v;

                const std::string moduleName = modulePath.filename().string();
                for (const auto& child : *config) {
                    if (child.first == "level") {
                        if (moduleLevelTaken)
                            continue;
                        if (const auto module = child.second.get_optional<std::string>("<xmlattr>.module")) {
                            if (*module == moduleName) {
                                levelText = child.second.data();
                                moduleLevelTaken = true;
                            }
                        } else {
                            levelText = child.second.data();
                        }
                    } else if (child.first == "include") {
                        includeChannels.insert(child.second.data());
                    } else if (child.first == "exclude") {
                        excludeChannels.insert(child.second.data());
                    }
                }

                if (!levelText.empty()) {
                    for (int level = trace; level <= fatal; ++level) {
                        if (severityText(level) == levelText) {
                            severityThreshold = level;
                            break;
                        }
                    }
                }
            }

            fs::path logDir(folder);
            if (folder.empty() || folder[0] != '/')
                logDir = baseDir / logDir;
            const std::string fileName =
                (logDir / modulePath.stem()).string() + suffix + "." + extension;

            using backend_type = sinks::text_file_backend;
            auto backend = boost::make_shared<backend_type>(
                keywords::file_name = fileName,
                keywords::rotation_size = rotationSize,
                keywords::time_based_rotation = sinks::file::rotation_at_time_point(0, 0, 0),
                keywords::open_mode = std::ios_base::out | std::ios_base::app);
            auto sink = boost::make_shared<sinks::synchronous_sink<backend_type>>(backend);
            if (synchronous)
                sink->locked_backend()->auto_flush(true);
            // The file opens at the first record; an unusable folder must not make every log
            // statement throw into the component that logs, nor lose the records unnoticed.
            sink->set_exception_handler([fileName] {
                std::string reason = "unknown error";
                try {
                    throw;
                } catch (const std::exception& e) {
                    reason = e.what();
                } catch (...) {
                }
                std::call_once(unwritableReported, [&] {
                    std::cerr << "log file " << fileName << " cannot be written: " << reason << std::endl;
                });
            });
            sink->set_formatter(recordFormatter());
            sink->set_filter(boost::phoenix::bind(&logFilter,
                                                  expr::attr<severity_level>("Severity"),
                                                  expr::attr<std::string>("Channel")));
            boost::log::core::get()->add_sink(sink);
            flushOnTermination();
        } catch (const std::exception&) {
            // A broken configuration must not stop the terminal; it just runs without a log file.
        }
    }

    boost::log::add_common_attributes();
}

}  // namespace logger
}  // namespace zk
