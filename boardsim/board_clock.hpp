#ifndef QZ_BOARDSIM_BOARD_CLOCK_HPP
#define QZ_BOARDSIM_BOARD_CLOCK_HPP

#include "boardsim/board.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>

namespace qz {
namespace boardsim {

// Runs the board's programs in step with the wall clock, scaled: `scale` simulated 10 us ticks
// per 10 us of wall time. The board is brought up to now before each frame and, while a program
// runs, by a timer, so that its end is announced without the terminal asking. Idle, no timer
// runs. Lives on the server's one thread.
class boardClock {
public:
    static constexpr unsigned long maxScale = 100000;

    boardClock(boost::asio::io_context& io, board& b, unsigned long scale);

    // Called when a program ends by its own end record.
    void onProgramEnd(std::function<void()> announce) { programEnded_ = std::move(announce); }

    // Up to now, or as far as a few milliseconds of work get: a board that cannot keep up with
    // its scale falls behind rather than hold up frames.
    void catchUp();
    // After a frame: a program it started needs the timer.
    void follow();
    void stop();

private:
    std::uint64_t ticksNow() const;
    void onTimer(const boost::system::error_code& ec);

    board& board_;
    boost::asio::steady_timer timer_;
    const std::chrono::steady_clock::time_point epoch_;
    const unsigned long scale_;
    std::function<void()> programEnded_;
    std::uint64_t done_ = 0;  // simulated ticks since epoch_ the board has been run to
    bool timing_ = false;     // the timer is armed
    bool stopped_ = false;
};

}  // namespace boardsim
}  // namespace qz

#endif
