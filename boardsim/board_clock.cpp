#include "boardsim/board_clock.hpp"

#include <algorithm>

namespace qz {
namespace boardsim {

namespace {

using std::chrono::steady_clock;

// How often a running program is looked at, and how much work one look may do.
constexpr auto timerPeriod = std::chrono::milliseconds(1);
constexpr auto workLimit = std::chrono::milliseconds(2);
constexpr std::uint64_t sliceTicks = 10000;

}  // namespace

boardClock::boardClock(boost::asio::io_context& io, board& b, unsigned long scale)
    : board_(b), timer_(io), epoch_(steady_clock::now()), scale_(scale)
{
}

std::uint64_t boardClock::ticksNow() const
{
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - epoch_);
    return static_cast<std::uint64_t>(wall.count()) * scale_ / 10;
}

void boardClock::catchUp()
{
    const std::uint64_t target = ticksNow();
    const auto deadline = steady_clock::now() + workLimit;
    while (done_ < target) {
        // An idle board has nothing that time changes.
        if (!board_.programRunning()) {
            done_ = target;
            break;
        }
        const std::uint64_t slice = std::min(target - done_, sliceTicks);
        if (board_.advance(slice) && programEnded_)
            programEnded_();
        done_ += slice;
        if (steady_clock::now() >= deadline)
            break;
    }
}

void boardClock::follow()
{
    if (timing_ || stopped_ || !board_.programRunning())
        return;
    timing_ = true;
    timer_.expires_after(timerPeriod);
    timer_.async_wait([this](const boost::system::error_code& ec) { onTimer(ec); });
}

void boardClock::onTimer(const boost::system::error_code& ec)
{
    timing_ = false;
    if (ec || stopped_)
        return;
    catchUp();
    follow();
}

void boardClock::stop()
{
    stopped_ = true;
    timer_.cancel();
}

}  // namespace boardsim
}  // namespace qz
