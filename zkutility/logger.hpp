#ifndef ZK_LOGGER_HPP
#define ZK_LOGGER_HPP

#include <ostream>
#include <set>
#include <string>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/expressions/formatter.hpp>
#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/sources/severity_logger.hpp>

namespace zk {
namespace logger {

// Fixed underlying type: records may carry values outside 0..4, which print as numbers.
enum severity_level : int { trace, info, warning, error, fatal };

// Names for 0..4, anything else as its decimal number.
std::ostream& operator<<(std::ostream& os, severity_level level);

// The process-wide logger: records without a channel.
BOOST_LOG_INLINE_GLOBAL_LOGGER_DEFAULT(main_logger, boost::log::sources::severity_logger_mt<severity_level>)

// One per component object, built with boost::log::keywords::channel = "name".
using channel_logger = boost::log::sources::severity_channel_logger_mt<severity_level, std::string>;

// Reads "logger.xml" (beside the executable, else in the current directory) and
// installs the file sink. Only the first call in a process does anything; never throws.
// With a file sink, SIGINT, SIGTERM, SIGHUP and a write to a closed pipe (SIGPIPE) flush it
// before they end the process: call it before any other thread is started, so that the signals
// reach only its waiting thread. That thread is joined at exit, before the logging core goes.
// A configuration that cannot be read, or a log file that cannot be written, is told once on
// standard error.
void initLogger();

// The log file's record layout: "[time]" "[channel]" (only with a channel) "[severity] message".
boost::log::formatter recordFormatter();

// The sink's filter, exposed for tests.
bool logFilter(const boost::log::value_ref<severity_level>& severity,
               const boost::log::value_ref<std::string>& channel);

// Settings that initLogger fills and logFilter reads.
extern int severityThreshold;
extern std::set<std::string> includeChannels;
extern std::set<std::string> excludeChannels;

std::string getModuleFilePath();
std::string getCurrentDirectoryPath();

}  // namespace logger
}  // namespace zk

#endif
