#include "boardsim/board_follower.hpp"

namespace qz {
namespace boardsim {

boardFollower::boardFollower(const board& b, trafficLog& log, const interfaceAddress* iface)
    : board_(b), log_(log), iface_(iface), restarts_(b.restarts()), config_(b.config())
{
}

void boardFollower::follow()
{
    if (board_.restarts() != restarts_) {
        restarts_ = board_.restarts();
        log_.line("restart " + board_.id().deviceId + " " + board_.id().revision);
    }
    const networkConfig& now = board_.config();
    if (now.ip == config_.ip && now.mask == config_.mask)
        return;
    if (iface_) {
        try {
            iface_->move(now.ip, now.mask);
        } catch (const std::exception& e) {
            board_.report("cannot move to " + dotted(now.ip) + ": " + e.what());
            return;
        }
    }
    config_ = now;
    log_.line("moved " + dotted(now.ip));
}

}  // namespace boardsim
}  // namespace qz
