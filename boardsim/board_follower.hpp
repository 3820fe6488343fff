#ifndef QZ_BOARDSIM_BOARD_FOLLOWER_HPP
#define QZ_BOARDSIM_BOARD_FOLLOWER_HPP

#include "boardsim/board.hpp"
#include "boardsim/interface_address.hpp"
#include "boardsim/traffic_log.hpp"

namespace qz {
namespace boardsim {

// Carries what a request changed in the model out to the wire: a restart between firmware and
// boot loader goes into the log, a new address or mask onto the interface.
class boardFollower {
public:
    boardFollower(const board& b, trafficLog& log, const interfaceAddress* iface);

    void follow();

private:
    const board& board_;
    trafficLog& log_;
    const interfaceAddress* iface_;  // none: the address lives in the record only
    unsigned restarts_;
    networkConfig config_;           // what the wire has
};

}  // namespace boardsim
}  // namespace qz

#endif
