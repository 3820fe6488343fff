#ifndef QZ_BOARDSIM_TRAFFIC_LOG_HPP
#define QZ_BOARDSIM_TRAFFIC_LOG_HPP

#include <fstream>
#include <string>

namespace qz {
namespace boardsim {

// What the board received, one line per event, flushed at once so tests can follow it live.
class trafficLog {
public:
    // Logs nothing until opened; an empty path keeps it that way. The file is created (truncated)
    // only when the board is ready, so its existence tells a test runner the board listens.
    // Throws std::runtime_error when the file cannot be opened.
    void open(const std::string& path);

    void line(const std::string& text);

private:
    std::ofstream out_;
};

}  // namespace boardsim
}  // namespace qz

#endif
