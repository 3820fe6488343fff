#include "boardsim/traffic_log.hpp"

#include <stdexcept>

namespace qz {
namespace boardsim {

void trafficLog::open(const std::string& path)
{
    if (path.empty())
        return;
    out_.open(path, std::ios::out | std::ios::trunc);
    if (!out_)
        throw std::runtime_error("cannot open log file " + path);
}

void trafficLog::line(const std::string& text)
{
    if (out_.is_open())
        out_ << text << std::endl;
}

}  // namespace boardsim
}  // namespace qz
