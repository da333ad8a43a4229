#include "utils/subprocess.hpp"

#include <droidlens/errors.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace droidlens::proc {

namespace {

using Clock = std::chrono::steady_clock;

// How long output is still collected after the child has exited while a process it
// left behind keeps the pipes open (an adb server, a backgrounded helper).
constexpr std::chrono::milliseconds kDrainGrace{100};
// Without a pidfd (kernels before 5.3) the child's exit cannot be polled for, so no
// single wait is longer than this while it runs: its exit is noticed promptly even
// when a grandchild keeps the pipes open and no output arrives.
constexpr std::chrono::milliseconds kExitCheck{20};

// A descriptor that becomes readable when the child exits, or -1 when the kernel has
// no pidfd_open. Pidfds are always close-on-exec.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// A file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Quotes one argument the way the time-out message shows it: 'adb', or "it's".
std::string quote_arg(const std::string& s) {
    const bool has_single = s.find('\'') != std::string::npos;
    const bool has_double = s.find('"') != std::string::npos;
    const char q = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, q);
    for (unsigned char c : s) {
        if (c == static_cast<unsigned char>(q) || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    out += q;
    return out;
}

std::string describe_command(const std::vector<std::string>& argv) {
    std::string out = "[";
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i) out += ", ";
        out += quote_arg(argv[i]);
    }
    return out + "]";
}

// "5" for whole seconds, "0.25" or "1.5" otherwise.
std::string seconds_text(std::chrono::milliseconds timeout) {
    const long long ms = timeout.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(ms) / 1000.0);
    std::string s = buf;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

std::string errno_text(int err) { return "[Errno " + std::to_string(err) + "] " + std::strerror(err); }

int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Reads what is available on `fd` into `out` without blocking. Returns false once the
// pipe has reached end of file (or failed), true while it stays open.
bool drain(int fd, std::string& out) {
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
    }
}

// Waits for `pid` without a time limit (used after SIGKILL). Returns its status, or
// -1 when it cannot be reaped (already reaped elsewhere).
int reap_blocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Starts argv with stdout/stderr on the write ends of the given pipes, stdin on
// /dev/null and the child leading a process group of its own (so a time-out can kill
// everything it started). Returns the pid or throws ProcessError.
pid_t spawn(const std::vector<std::string>& argv, int out_w, int err_w) {
    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_w, 1);
    posix_spawn_file_actions_adddup2(&actions, err_w, 2);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    // The child starts with an empty signal mask and default handlers, whatever the
    // host process blocks or ignores (an ignored SIGPIPE would otherwise be inherited).
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw ProcessError(errno_text(rc) + ": " + quote_arg(argv[0]));
    return pid;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    if (argv.empty() || argv[0].empty()) throw ProcessError("No program given to run");

    int out_fds[2], err_fds[2];
    if (::pipe2(out_fds, O_CLOEXEC) != 0) throw ProcessError(errno_text(errno) + ": pipe");
    Fd out_r(out_fds[0]), out_w(out_fds[1]);
    if (::pipe2(err_fds, O_CLOEXEC) != 0) throw ProcessError(errno_text(errno) + ": pipe");
    Fd err_r(err_fds[0]), err_w(err_fds[1]);

    const auto start = Clock::now();
    const pid_t pid = spawn(argv, out_w.fd, err_w.fd);
    out_w.close();
    err_w.close();
    ::fcntl(out_r.fd, F_SETFL, ::fcntl(out_r.fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(err_r.fd, F_SETFL, ::fcntl(err_r.fd, F_GETFL) | O_NONBLOCK);

    // Clamped so that the deadline cannot overflow the clock.
    const auto deadline = start + std::clamp(timeout, std::chrono::milliseconds(0),
                                             std::chrono::milliseconds(std::chrono::hours(24 * 365)));
    Fd exit_fd(open_pidfd(pid));
    ProcessResult result;
    bool reaped = false;
    int status = 0;
    Clock::time_point drain_until{};

    while (true) {
        if (!reaped) {
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno == ECHILD)) {
                reaped = true;
                if (r < 0) status = -1;
                exit_fd.close();
                drain_until = Clock::now() + kDrainGrace;
            }
        }
        const bool open = out_r.fd >= 0 || err_r.fd >= 0;
        const auto now = Clock::now();
        if (reaped && (!open || now >= drain_until)) break;
        if (!reaped && now >= deadline) {
            // Kill the whole group: the child and whatever it started, so that nothing
            // keeps running or holding the pipes once we give up.
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            reap_blocking(pid);
            throw TimeoutError("Command '" + describe_command(argv) + "' timed out after " +
                               seconds_text(timeout) + " seconds");
        }

        Clock::duration wait = reaped ? drain_until - now : deadline - now;
        if (!reaped && exit_fd.fd < 0)
            wait = std::min<Clock::duration>(wait, open ? kExitCheck : std::chrono::milliseconds(1));
        const int wait_ms = static_cast<int>(
            std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        pollfd fds[3];
        nfds_t n = 0;
        if (out_r.fd >= 0) fds[n++] = {out_r.fd, POLLIN, 0};
        if (err_r.fd >= 0) fds[n++] = {err_r.fd, POLLIN, 0};
        if (exit_fd.fd >= 0) fds[n++] = {exit_fd.fd, POLLIN, 0};
        const int ready = ::poll(fds, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            const int err = errno;
            if (!reaped) {
                ::kill(-pid, SIGKILL);
                reap_blocking(pid);
            }
            throw ProcessError(errno_text(err) + ": poll");
        }
        if (ready <= 0) continue;
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents || fds[i].fd == exit_fd.fd) continue;
            Fd& fd = fds[i].fd == out_r.fd ? out_r : err_r;
            std::string& sink = fds[i].fd == out_r.fd ? result.stdout_data : result.stderr_data;
            if (!drain(fd.fd, sink)) fd.close();
        }
    }

    result.exit_code = status == -1 ? -1 : exit_code_of(status);
    return result;
}

}  // namespace droidlens::proc
