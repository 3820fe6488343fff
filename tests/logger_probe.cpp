// Runs the logging set-up the way the terminal does (twice in one process) and
// emits one record per logger and severity, so logger_test can inspect the file.
//   --late-config  write "<config/>" to ./logger.xml between the two set-up calls
#include <cstring>
#include <fstream>

#include "zkutility/logger.hpp"

namespace lg = zk::logger;

int main(int argc, char** argv)
{
    const bool lateConfig = argc == 2 && std::strcmp(argv[1], "--late-config") == 0;
    if (argc > 1 && !lateConfig)
        return 2;

    lg::initLogger();
    if (lateConfig)
        std::ofstream("logger.xml") << "<config/>\n";
    lg::initLogger();

    lg::channel_logger net(boost::log::keywords::channel = "net");
    lg::channel_logger smc(boost::log::keywords::channel = "qz_smc");
    lg::channel_logger btldr(boost::log::keywords::channel = "btldr");
    lg::channel_logger unnamed(boost::log::keywords::channel = "");

    for (int s = lg::trace; s <= lg::fatal; ++s) {
        const auto level = static_cast<lg::severity_level>(s);
        BOOST_LOG_SEV(lg::main_logger::get(), level) << "main " << level;
        BOOST_LOG_SEV(net, level) << "net " << level;
        BOOST_LOG_SEV(smc, level) << "qz_smc " << level;
        BOOST_LOG_SEV(btldr, level) << "btldr " << level;
        BOOST_LOG_SEV(unnamed, level) << "unnamed " << level;
    }
    return 0;
}
