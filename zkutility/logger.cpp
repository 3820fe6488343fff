#include "zkutility/logger.hpp"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <ios>
#include <iostream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
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

// The text file backend only marks its stream bad when a write fails (a full disk, a lost device)
// and retries at the next record; it reports nothing. So the stream is checked after each write
// and flush, and a failure goes to the sink's exception handler like a file that cannot be opened.
class checkedFileBackend : public sinks::text_file_backend {
public:
    template <class... Args>
    explicit checkedFileBackend(const Args&... args) : sinks::text_file_backend(args...)
    {
        // The backend keeps one stream object for every file it opens.
        set_open_handler([this](stream_type& file) { stream_ = &file; });
    }

    void consume(const boost::log::record_view& record, const string_type& message)
    {
        checked([&] { sinks::text_file_backend::consume(record, message); });
    }

    void flush()
    {
        checked([&] { sinks::text_file_backend::flush(); });
    }

private:
    // The caller of a log statement keeps its errno; a failed write's own is reported.
    template <class Write>
    void checked(Write write)
    {
        const int callers = errno;
        errno = 0;
        write();
        if (stream_ && stream_->bad())
            throw std::system_error(std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
        errno = callers;
    }

    stream_type* stream_ = nullptr;  // under the sink's backend lock, as consume and flush are
};

// SIGINT, SIGTERM and SIGHUP are taken by a thread that waits for them, not by a handler: it
// flushes the log file, whose records would otherwise die in the stream's buffer, then ends the
// process by the same signal with its default action, so the caller sees the signal's status.
// They are blocked before any other thread exists, so every later thread inherits the mask and
// only the waiter receives them. SIGPIPE is raised in the thread that wrote to a closed pipe and
// would stay pending there if blocked; its handler only hands it on to the waiter through a pipe.
// A signal the process was started with ignored stays ignored. At exit the waiter is stopped and
// joined while the logging core still lives; signals then act by their default again.
sigset_t takenSignals;              // blocked in every thread while the waiter runs
bool brokenPipeForwarded = false;
int wakeRead = -1, wakeWrite = -1;  // the waiter's pipe: a SIGPIPE, or 0 to stop; never closed
std::thread signalWaiter;

void forwardBrokenPipe(int)
{
    const int saved = errno;
    const char signal = SIGPIPE;
    // Non-blocking: a full pipe already holds a SIGPIPE for the waiter.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &signal, 1);
    errno = saved;
}

void restoreDefaultAction(int signal)
{
    struct sigaction original {};
    original.sa_handler = SIG_DFL;
    ::sigaction(signal, &original, nullptr);
}

[[noreturn]] void endBy(int signal)
{
    boost::log::core::get()->flush();
    if (signal == SIGPIPE)
        restoreDefaultAction(SIGPIPE);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);  // not reached: the default action ends the process
}

void waitForSignals(int signals)
{
    for (;;) {
        pollfd ready[] = {{signals, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // A signal goes before a request to stop: it decides how the process ends.
        signalfd_siginfo info{};
        if ((ready[0].revents & POLLIN) && ::read(signals, &info, sizeof info) == sizeof info)
            endBy(static_cast<int>(info.ssi_signo));
        char wake = 0;
        if ((ready[1].revents & POLLIN) && ::read(wakeRead, &wake, 1) == 1) {
            if (wake == 0)
                return;
            endBy(wake);
        }
    }
}

// Registered after the logging core exists, so it runs before the core is destroyed.
void stopAtExit()
{
    if (signalWaiter.joinable()) {
        const char stop = 0;
        if (::write(wakeWrite, &stop, 1) == 1)
            signalWaiter.join();
        else
            signalWaiter.detach();  // the pipe is full of SIGPIPEs: the waiter ends the process
    }
    // A log file that failed only now, at its last flush, is still reported.
    boost::log::core::get()->flush();
    if (brokenPipeForwarded)
        restoreDefaultAction(SIGPIPE);
    ::pthread_sigmask(SIG_UNBLOCK, &takenSignals, nullptr);
}

void flushOnTermination()
{
    if (std::atexit(stopAtExit) != 0)
        return;
    sigset_t wanted;
    sigemptyset(&wanted);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            sigaddset(&wanted, signal);
    }
    struct sigaction brokenPipe {};
    const bool forwardPipe = ::sigaction(SIGPIPE, nullptr, &brokenPipe) == 0 && brokenPipe.sa_handler == SIG_DFL;

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    const int signals = ::signalfd(-1, &wanted, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals >= 0 && ::pthread_sigmask(SIG_BLOCK, &wanted, nullptr) == 0) {
        wakeRead = wake[0];
        wakeWrite = wake[1];
        try {
            signalWaiter = std::thread(waitForSignals, signals);
            takenSignals = wanted;
        } catch (const std::system_error&) {
            // Without a waiter the signals must still end the process.
            ::pthread_sigmask(SIG_UNBLOCK, &wanted, nullptr);
        }
    }
    if (!signalWaiter.joinable()) {
        for (const int fd : {wake[0], wake[1], signals})
            if (fd >= 0)
                ::close(fd);
        wakeRead = wakeWrite = -1;
        return;
    }
    if (forwardPipe) {
        struct sigaction forward {};
        forward.sa_handler = forwardBrokenPipe;
        sigemptyset(&forward.sa_mask);
        forward.sa_flags = SA_RESTART;
        brokenPipeForwarded = ::sigaction(SIGPIPE, &forward, nullptr) == 0;
    }
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
            try {
                boost::property_tree::read_xml(configFile.string(), tree);
            } catch (const std::exception& e) {
                // Not only a parse error: a read error of the stream comes as its own exception.
                std::cerr << "log configuration " << configFile.string() << " cannot be read: " << e.what()
                          << std::endl;
                throw;
            }

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

            using backend_type = checkedFileBackend;
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
