#include "sim_lpc_server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>

namespace kvsim {

namespace {

constexpr int kIdlePollMs = 50;           // ms between looks at the stop flag when idle
constexpr int kHangupPauseMs = 10;        // ms to wait while no one holds the slave open
constexpr int kBabbleIntervalMs = 1;      // ms between two garbage bytes
constexpr int kPaceSlackMs = 2;           // ms of late wake-up that pacing makes up for
constexpr size_t kReadChunk = 4096;       // bytes per read from the master
constexpr int64_t kNanosPerBit = 1000000000;
constexpr int kBitsPerByte = 10;          // start bit, 8 data bits, stop bit
const uint8_t kBabble[] = {'x', 0x00, '\r', 0xFF, '\n', '#', 'O', 'K'};

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    LpcBytes bytes;
    size_t sent = 0;
};

timespec until(Clock::time_point when, Clock::time_point now, int capMs)
{
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - now);
    left = std::max(left, std::chrono::nanoseconds(0));
    left = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(capMs));
    timespec ts;
    ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
    return ts;
}

} // namespace

LpcIspServer::LpcIspServer(int fd, const LpcConfig& config, uint32_t paceBaud)
    : fd_(fd), paceBaud_(paceBaud), rom_(config)
{
}

LpcIspServer::~LpcIspServer()
{
    stop();
}

bool LpcIspServer::start()
{
    if (thread_.joinable())
        return true;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void LpcIspServer::stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        const char wake = 1;
        (void)!::write(wake_[1], &wake, 1);
        thread_.join();
    }
    for (int& end : wake_) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

void LpcIspServer::configure(const std::function<void(LpcConfig&)>& change)
{
    std::lock_guard<std::mutex> lock(mutex_);
    change(rom_.config());
}

LpcBytes LpcIspServer::flash() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.flash();
}

bool LpcIspServer::running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.running();
}

uint32_t LpcIspServer::startAddress() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.startAddress();
}

bool LpcIspServer::echo() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.echo();
}

std::vector<std::string> LpcIspServer::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.commands();
}

int LpcIspServer::resendsSent() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rom_.resendsSent();
}

std::string LpcIspServer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void LpcIspServer::run()
{
    std::deque<Chunk> queue;
    std::deque<uint8_t> input;
    Clock::time_point busyUntil = Clock::now();
    Clock::time_point nextSlot = Clock::now();
    Clock::time_point nextBabble = Clock::now();
    size_t babbleIndex = 0;
    const auto byteTime = std::chrono::nanoseconds(paceBaud_ ? kNanosPerBit * kBitsPerByte / paceBaud_ : 0);

    while (!stop_) {
        Clock::time_point now = Clock::now();

        // The chip takes input only while it is not working on a command.
        while (!input.empty() && now >= busyUntil) {
            const uint8_t byte = input.front();
            input.pop_front();
            std::vector<LpcOutput> outputs;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                rom_.receive(byte, outputs);
            }
            for (LpcOutput& output : outputs) {
                Clock::time_point due = now + std::chrono::milliseconds(output.delayMs);
                if (!queue.empty() && queue.back().due > due)
                    due = queue.back().due;
                if (output.delayMs > 0)
                    busyUntil = due;
                if (!queue.empty() && queue.back().due == due && queue.back().sent == 0) {
                    queue.back().bytes.insert(queue.back().bytes.end(), output.bytes.begin(), output.bytes.end());
                } else {
                    Chunk chunk;
                    chunk.due = due;
                    chunk.bytes = std::move(output.bytes);
                    queue.push_back(std::move(chunk));
                }
            }
        }

        if (babble_ && now >= nextBabble) {
            const uint8_t garbage = kBabble[babbleIndex++ % sizeof kBabble];
            (void)!::write(fd_, &garbage, 1);
            nextBabble = now + std::chrono::milliseconds(kBabbleIntervalMs);
        }

        bool wantWrite = false;
        while (!queue.empty() && queue.front().due <= now) {
            Chunk& chunk = queue.front();
            size_t allowed = chunk.bytes.size() - chunk.sent;
            if (paceBaud_) {
                nextSlot = std::max(nextSlot, now - std::chrono::milliseconds(kPaceSlackMs));
                if (now < nextSlot)
                    break;
                const size_t slots = static_cast<size_t>((now - nextSlot) / byteTime) + 1;
                allowed = std::min(allowed, slots);
            }
            const ssize_t written = ::write(fd_, chunk.bytes.data() + chunk.sent, allowed);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                wantWrite = errno == EAGAIN || errno == EWOULDBLOCK;
                break;
            }
            chunk.sent += static_cast<size_t>(written);
            if (paceBaud_)
                nextSlot += byteTime * written;
            if (chunk.sent == chunk.bytes.size())
                queue.pop_front();
        }

        // Sleep until input comes, output is due or the stop flag is raised.
        now = Clock::now();
        Clock::time_point wakeAt = now + std::chrono::milliseconds(kIdlePollMs);
        if (!queue.empty() && !wantWrite)
            wakeAt = std::min(wakeAt, std::max(queue.front().due, paceBaud_ ? nextSlot : now));
        if (!input.empty())
            wakeAt = std::min(wakeAt, busyUntil);
        if (babble_)
            wakeAt = std::min(wakeAt, nextBabble);
        const timespec timeout = until(wakeAt, now, kIdlePollMs);

        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wake_[0], POLLIN, 0}};
        const int ready = ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[kReadChunk];
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got > 0) {
                input.insert(input.end(), buffer, buffer + got);
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got));
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // No one holds the slave open (between two clients): nothing to do but wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(kHangupPauseMs));
        }
    }
}

} // namespace kvsim
