// Runs the logging set-up the way the terminal does (twice in one process), then emits records
// of severity -1 to 5 on the main logger and on the channels "net", "qz_smc", "btldr" and ""
// (unnamed), in that order, and one without severity, for logger_test to find in the log file.
//   --late-config  write "<config/>" to ./logger.xml between the two set-up calls
//   --signal=N     after the records, send itself signal N and wait (as a hung terminal would)
//   --ignored=N    signal N ignored from the start; after the records, send itself signal N and exit
//   --broken-pipe  after the records, write a line to a standard output whose reader is gone, and wait
//   --signal-at-core-end=N  when the logging core ends (at exit), print how many threads started
//                  since the set-up are left, and send itself signal N there
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sources/logger.hpp>
#include <boost/make_shared.hpp>

#include "zkutility/logger.hpp"

namespace lg = zk::logger;

static int threadCount()
{
    int threads = 0;
    for (boost::filesystem::directory_iterator i("/proc/self/task"), end; i != end; ++i) ++threads;
    return threads;
}

// A sink that only the logging core holds: its end is the core's end.
struct coreEndWatch : boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
    coreEndWatch(int signal, int threadsBefore) : signal(signal), threadsBefore(threadsBefore) {}
    void consume(const boost::log::record_view&) {}
    ~coreEndWatch()
    {
        // A joined thread may still be listed for a moment while the kernel ends it; a waiting one stays.
        int left = threadCount() - threadsBefore;
        for (int ms = 0; left > 0 && ms < 1000; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            left = threadCount() - threadsBefore;
        }
        const std::string text = "threads left at the core's end: " + std::to_string(left) + "\n";
        (void)!::write(1, text.data(), text.size());
        ::kill(::getpid(), signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a signal taken elsewhere acts meanwhile
    }
    const int signal, threadsBefore;
};

static int numberAfter(const std::string& arg, const std::string& option)
{
    return arg.rfind(option, 0) == 0 ? std::stoi(arg.substr(option.size())) : 0;
}

int main(int argc, char** argv)
{
    const std::string arg = argc > 1 ? argv[1] : "";
    if (const int ignored = numberAfter(arg, "--ignored=")) std::signal(ignored, SIG_IGN);
    const int coreEndSignal = numberAfter(arg, "--signal-at-core-end=");
    if (coreEndSignal) std::thread([] {}).join();  // a sanitizer starts its own thread with the first one
    const int threadsBefore = threadCount();
    lg::initLogger();
    if (coreEndSignal)
        boost::log::core::get()->add_sink(boost::make_shared<boost::log::sinks::synchronous_sink<coreEndWatch>>(
            boost::make_shared<coreEndWatch>(coreEndSignal, threadsBefore)));
    if (arg == "--late-config") std::ofstream("logger.xml") << "<config/>\n";
    lg::initLogger();

    for (const std::string source : {"main", "net", "qz_smc", "btldr", "unnamed"}) {
        lg::channel_logger channel(boost::log::keywords::channel = source == "unnamed" ? "" : source);
        for (int s = -1; s <= 5; ++s) {
            const auto level = static_cast<lg::severity_level>(s);
            if (source == "main")
                BOOST_LOG_SEV(lg::main_logger::get(), level) << "main " << level;
            else
                BOOST_LOG_SEV(channel, level) << source << " " << level;
        }
    }
    boost::log::sources::logger plain;
    BOOST_LOG(plain) << "no severity";

    if (const int signal = numberAfter(arg, "--signal=")) {
        ::kill(::getpid(), signal);
        std::this_thread::sleep_for(std::chrono::seconds(20));  // the signal ends it, or the test's time limit
    }
    if (const int ignored = numberAfter(arg, "--ignored=")) {
        ::kill(::getpid(), ignored);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time for a wrongly taken signal to act
    }
    if (arg == "--broken-pipe") {
        int ends[2];
        if (::pipe(ends) != 0 || ::close(ends[0]) != 0 || ::dup2(ends[1], 1) != 1) return 2;
        std::cout << "to no reader" << std::endl;  // SIGPIPE, in this thread
        std::this_thread::sleep_for(std::chrono::seconds(20));
    }
    return 0;
}
