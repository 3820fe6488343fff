// Runs the logging set-up the way the terminal does (twice in one process), then emits records
// of severity -1 to 5 on the main logger and on the channels "net", "qz_smc", "btldr" and ""
// (unnamed), in that order, and one without severity, for logger_test to find in the log file.
//   --late-config  write "<config/>" to ./logger.xml between the two set-up calls
//   --signal=N     after the records, send itself signal N and wait (as a hung terminal would)
//   --ignored-int  SIGINT ignored from the start; after the records, send itself SIGINT and exit
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <boost/log/sources/logger.hpp>

#include "zkutility/logger.hpp"

namespace lg = zk::logger;

int main(int argc, char** argv)
{
    const std::string arg = argc > 1 ? argv[1] : "";
    if (arg == "--ignored-int") std::signal(SIGINT, SIG_IGN);
    lg::initLogger();
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

    if (arg.rfind("--signal=", 0) == 0) {
        ::kill(::getpid(), std::stoi(arg.substr(9)));
        std::this_thread::sleep_for(std::chrono::seconds(20));  // the signal ends it, or the test's time limit
    }
    if (arg == "--ignored-int") {
        ::kill(::getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time for a wrongly taken signal to act
    }
    return 0;
}
