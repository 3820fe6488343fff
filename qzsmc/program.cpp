// Device programs: download, start, and the watcher that notices the end.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <boost/throw_exception.hpp>

#include "qzsmc/controller.hpp"
#include "zkutility/utility.hpp"

namespace qz {
namespace smc {

namespace {

constexpr int cmdWriteInstruction = 0x2C;
constexpr std::int64_t watchPassMs = 100;

}  // namespace

const device::instruction device::programEndInstruction{device::opcode::clearBits, 0, 0, 25, 1};

// The watcher threads are detached, so the controller counts them and, when it goes, tells them
// to stop and waits until none is left using it.
struct controller::programWatchers {
    std::mutex mutex;
    std::condition_variable idle;
    unsigned running = 0;   // guarded by mutex
    bool stopping = false;  // guarded by mutex
    // How long the watchers' passes have gone unanswered since the board last answered a
    // program's start or a state read.
    std::chrono::steady_clock::duration unanswered{};  // guarded by mutex

    bool stopRequested()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stopping;
    }

    void boardAnswered()
    {
        std::lock_guard<std::mutex> lock(mutex);
        unanswered = {};
    }

    // A pass counts for no more than a pass can take while the terminal runs: a pass that spans
    // the terminal's own suspension (a user's Ctrl-Z) is not silence of the board.
    void passUnanswered(std::chrono::steady_clock::duration took)
    {
        constexpr std::chrono::milliseconds longestPass{watchPassMs + confirmationTimeLimit};
        std::lock_guard<std::mutex> lock(mutex);
        unanswered += std::min<std::chrono::steady_clock::duration>(took, longestPass);
    }

    // The thread's own copy of the record keeps it alive for this notify.
    void leave()
    {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        idle.notify_all();
    }
};

// Opened by execProgram once the start write went out (true) or failed (false).
struct controller::startGate {
    std::mutex mutex;
    std::condition_variable opened;
    std::optional<bool> started;  // guarded by mutex

    void open(bool sent)
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = sent;
        opened.notify_all();
    }

    bool wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        opened.wait(lock, [this] { return started.has_value(); });
        return *started;
    }
};

void controller::emplaceInstruction(program& p, std::uint8_t opcode, std::int32_t value, std::uint8_t arg2,
                                    std::uint8_t arg3, std::uint8_t arg1)
{
    p.push_back(device::instruction{opcode, arg1, arg2, arg3, value});
}

void controller::appendProgramEnd(program& p)
{
    p.push_back(device::programEndInstruction);
}

void controller::loadProgram(const program& p, unsigned int address)
{
    if (p.size() + address > programSlots)
        BOOST_THROW_EXCEPTION(errorProgramAddress() << zk::hw::sizeInfo(static_cast<unsigned>(p.size() + address)));
    unsigned int slot = address;
    for (const device::instruction& record : p) {
        unsigned char request[12];
        zk::putLE32(request, slot++);
        request[4] = record.opcode;
        request[5] = record.arg1;
        request[6] = record.arg2;
        request[7] = record.arg3;
        zk::putLE32(request + 8, static_cast<std::uint32_t>(record.value));
        boost::lock_guard<boost::mutex> lock(commandMutex_);
        sendCommand(cmdWriteInstruction, boost::asio::buffer(request));
    }
    BOOST_LOG_SEV(log_, zk::logger::info) << boost::format("%d instructions loaded at address %d") % p.size() % address;
}

boost::shared_ptr<zk::completionNotifier> controller::execProgram(unsigned int address)
{
    setValue(1, address);
    BOOST_LOG_SEV(log_, zk::logger::info) << boost::format("starting program at address %d") % address;
    auto notifier = boost::make_shared<zk::completionNotifier>();
    // A message left over from an earlier program must not pass for this one's end.
    clearSpecialCommands();
    if (!watchers_)
        watchers_ = std::make_shared<programWatchers>();
    {
        std::lock_guard<std::mutex> lock(watchers_->mutex);
        ++watchers_->running;
    }
    // The watcher waits for the start write: before it, variable 0 still says "not running".
    auto start = std::make_shared<startGate>();
    boost::thread watcher;
    try {
        watcher = boost::thread([this, notifier, watchers = watchers_, start] {
            if (start->wait())
                watchProgram(notifier);
            watchers->leave();
        });
    } catch (...) {
        watchers_->leave();
        throw;
    }
    watcher.detach();
    // From here the board may run it, whether or not the start write is confirmed.
    lastProgram_ = notifier;
    try {
        setValue(0, 1);
    } catch (...) {
        start->open(false);
        throw;
    }
    watchers_->boardAnswered();
    start->open(true);
    return notifier;
}

void controller::readyForProgram()
{
    if (referenceLost_ || boardRestarted())
        BOOST_THROW_EXCEPTION(errorBoardRestarted());
    if (!lastProgram_)
        return;
    // A program whose end its watcher reported needs no look; one given up on may still run.
    if (!lastProgram_->waitFor(0)) {
        if (getValue(0) & 1)
            BOOST_THROW_EXCEPTION(errorProgramRunning());
        lastProgram_->cancel();
    }
    lastProgram_.reset();
}

std::chrono::steady_clock::duration controller::boardUnanswered()
{
    if (!watchers_)
        return {};
    std::lock_guard<std::mutex> lock(watchers_->mutex);
    return watchers_->unanswered;
}

// The position is read only for a record the core takes. It is read before the record is made:
// the read logs too, and a severity logger keeps the level of the record being made per thread.
void controller::logEnd(const char* format)
{
    if (!log_.open_record(boost::log::keywords::severity = zk::logger::info))
        return;
    const std::int32_t position = getValue(2);
    BOOST_LOG_SEV(log_, zk::logger::info) << boost::format(format) % position;
}

void controller::watchProgram(const boost::shared_ptr<zk::completionNotifier>& notifier)
{
    while (!notifier->isCancelled() && !watchers_->stopRequested()) {
        const auto passStart = std::chrono::steady_clock::now();
        try {
            unsigned char command = 0;
            std::vector<unsigned char> payload;
            bool message = waitSpecialCommand(watchPassMs, command, payload);
            const std::int32_t state = getValue(0);
            watchers_->boardAnswered();
            if (state & 1)
                continue;
            // The end message may have come between the wait and the state read.
            message = message || waitSpecialCommand(0, command, payload);
            if (message) {
                logEnd("program completed, position %d");
                notifier->complete(zk::completionNotifier::completed);
            } else {
                logEnd("program terminated, position %d");
                if (!notifier->isCancelled())
                    notifier->complete(zk::completionNotifier::terminated);
            }
            break;
        } catch (const std::exception& e) {
            watchers_->passUnanswered(std::chrono::steady_clock::now() - passStart);
            BOOST_LOG_SEV(log_, zk::logger::warning) << boost::diagnostic_information(e);
        }
    }
}

void controller::awaitWatchers()
{
    if (!watchers_)
        return;
    // A watcher whose program ended or was given up on leaves after its current pass; one whose
    // program still runs is not waited for beyond that.
    std::unique_lock<std::mutex> lock(watchers_->mutex);
    watchers_->idle.wait_for(lock, std::chrono::milliseconds(watchPassMs + confirmationTimeLimit),
                             [this] { return watchers_->running == 0; });
}

void controller::stopWatchers()
{
    if (!watchers_)
        return;
    std::unique_lock<std::mutex> lock(watchers_->mutex);
    watchers_->stopping = true;
    watchers_->idle.wait(lock, [this] { return watchers_->running == 0; });
}

}  // namespace smc
}  // namespace qz
