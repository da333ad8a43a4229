#include <droidlens/cancel.hpp>

#include <droidlens/errors.hpp>
#include <droidlens/run.hpp>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace droidlens::cancel {

namespace {

std::atomic<bool> g_requested{false};
std::atomic<int> g_signal{0};
std::atomic<int> g_fd{-1};
thread_local int t_shields = 0;

}  // namespace

Shield::Shield() noexcept { ++t_shields; }

Shield::~Shield() { --t_shields; }

void request(int signal_number) noexcept {
    g_signal.store(signal_number);
    g_requested.store(true);
    const int fd = g_fd.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        const int saved = errno;  // a signal handler must leave errno as it found it
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
        errno = saved;
    }
}

bool requested() noexcept {
    if (t_shields > 0) return false;
    if (g_requested.load()) return true;
    const RunContext* run = current_run();
    return run != nullptr && run->cancel && run->cancel->cancelled();
}

int signal_number() noexcept { return g_signal.load(); }

void reset() noexcept {
    g_requested.store(false);
    g_signal.store(0);
    const int fd = g_fd.load();
    if (fd >= 0) {
        std::uint64_t value = 0;
        while (::read(fd, &value, sizeof value) > 0) {
        }
    }
}

int wait_fd() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) throw Error("Cannot create the cancellation event: errno " + std::to_string(errno));
        g_fd.store(fd);
        if (g_requested.load()) request(g_signal.load());  // a request that came before the descriptor
    });
    return g_fd.load();
}

std::array<int, 2> watch_fds() {
    if (t_shields > 0) return {-1, -1};
    const RunContext* run = current_run();
    return {wait_fd(), run != nullptr && run->cancel ? run->cancel->wait_fd() : -1};
}

void throw_if_requested() {
    if (requested()) throw CancelledError("Cancelled");
}

void sleep_for(std::chrono::duration<double> duration) {
    using Clock = std::chrono::steady_clock;
    throw_if_requested();
    const std::array<int, 2> fds = watch_fds();
    const double seconds = duration.count();
    if (!(seconds > 0)) return;
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(std::min(seconds, 86400.0)));
    while (true) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};  // a negative descriptor is skipped
        const int r = ::poll(p, 2, static_cast<int>(std::min<long long>(ms, 1000000)));
        if (r < 0 && errno != EINTR) return;
        throw_if_requested();
    }
}

}  // namespace droidlens::cancel
