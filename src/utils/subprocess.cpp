#include "utils/subprocess.hpp"

#include <droidlens/errors.hpp>

#include <droidlens/cancel.hpp>
#include "utils/secrets.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sched.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
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

// Reads what is available on `fd` into `out` without blocking. Returns false once the
// pipe has reached end of file (or failed), true while it stays open.
bool drain(int fd, std::string& out) {
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            if (n < static_cast<ssize_t>(sizeof buf)) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
    }
}

// A descriptor numbered 3 or higher (close-on-exec), so that placing the child's
// 0, 1 and 2 can never overwrite it, even in a host that closed its own stdin.
int above_stdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

void make_pipe(Fd& r, Fd& w) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw ProcessError(errno_text(errno) + ": pipe");
    r.fd = above_stdio(fds[0]);
    w.fd = above_stdio(fds[1]);
    if (r.fd < 0 || w.fd < 0) throw ProcessError(errno_text(errno) + ": pipe");
}

// The program file that execve runs: argv[0] itself when it names a path, else the
// first executable regular file of that name in a PATH directory. Found here, before
// the child exists, because the child may only make system calls.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), F_OK) != 0) throw ProcessError(errno_text(errno) + ": " + quote_arg(name));
        return name;
    }
    const char* path_env = std::getenv("PATH");
    const std::string path = path_env && *path_env ? path_env : "/usr/local/bin:/usr/bin:/bin";
    int found_but_not_executable = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        struct stat st{};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            found_but_not_executable = EACCES;
        }
        start = end + 1;
    }
    throw ProcessError(errno_text(found_but_not_executable ? found_but_not_executable : ENOENT) + ": " +
                       quote_arg(name));
}

// What the child needs, prepared in the parent: after the clone the child may only
// make system calls (no allocation, no locks), as in any child of a threaded process.
struct Launch {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::vector<char*> argv_ptrs;
    std::vector<char*> env_ptrs;
    int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
    int report_fd = -1;  // close-on-exec pipe: the child writes its errno here when execve fails

    void finish() {
        for (auto& a : args) argv_ptrs.push_back(a.data());
        argv_ptrs.push_back(nullptr);
        for (auto& e : env) env_ptrs.push_back(e.data());
        env_ptrs.push_back(nullptr);
    }
};

// Records the launcher writes to the report pipe: the program's errno when execve
// failed, then the program's wait status once it has ended.
struct Report {
    int kind;  // kExecFailed or kExited
    int value;
};
constexpr int kExecFailed = 1;
constexpr int kExited = 2;

void write_report(int fd, int kind, int value) {
    const Report r{kind, value};
    ssize_t n;
    do {
        n = ::write(fd, &r, sizeof r);
    } while (n < 0 && errno == EINTR);
}

// A fork-like copy of this process made with clone3, with the given exit signal.
// Returns the pid (0 in the copy), or -1 with errno set.
long clone_process(int exit_signal, int* pidfd) {
#ifdef SYS_clone3
    clone_args args{};
    args.flags = pidfd ? CLONE_PIDFD : 0;
    args.pidfd = reinterpret_cast<std::uint64_t>(pidfd);
    args.exit_signal = static_cast<std::uint64_t>(exit_signal);
    return ::syscall(SYS_clone3, &args, sizeof args);
#else
    (void)exit_signal;
    (void)pidfd;
    errno = ENOSYS;
    return -1;
#endif
}

// The launcher: a copy of this process, between clone and _exit, that makes system
// calls only (no allocation, no locks, as in any child of a threaded process). It
// leads a new process group, puts the descriptors in place, starts the program as
// its own child, waits for it and reports its status.
//
// Why a launcher: a host process that ignores SIGCHLD has its children reaped by the
// kernel (their status is lost), and one whose SIGCHLD handler calls waitpid(-1)
// takes the status itself. The launcher is created with no exit signal, which
// neither of those touches, and it never calls execve (which would turn it into an
// ordinary child); the program is the launcher's child, under the launcher's own
// default SIGCHLD disposition.
[[noreturn]] void launcher_main(const Launch& l) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        ::sigaction(sig, &dfl, nullptr);
    }
    ::setpgid(0, 0);
    if (::dup2(l.stdin_fd, 0) < 0 || ::dup2(l.stdout_fd, 1) < 0 || ::dup2(l.stderr_fd, 2) < 0) {
        write_report(l.report_fd, kExecFailed, errno);
        ::_exit(127);
    }
    // Nothing above 2 may reach the program: close everything but the report pipe,
    // which closes itself in the program on a successful execve.
    const unsigned r = static_cast<unsigned>(l.report_fd);
    if (::syscall(SYS_close_range, 3u, r - 1, 0u) != 0 || ::syscall(SYS_close_range, r + 1, ~0u, 0u) != 0) {
        for (int fd = 3; fd < 65536; ++fd)
            if (fd != l.report_fd) ::close(fd);
    }
    // vfork: the program shares the launcher's memory until execve, so no second
    // copy of the address space is made; it only resets its mask and calls execve.
    const pid_t pid = ::vfork();
    if (pid == 0) {
        // The program: an empty signal mask, then execve.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(l.program.c_str(), l.argv_ptrs.data(), l.env_ptrs.data());
        write_report(l.report_fd, kExecFailed, errno);
        ::_exit(127);
    }
    if (pid < 0) {
        write_report(l.report_fd, kExecFailed, errno);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) ::_exit(126);
    }
    write_report(l.report_fd, kExited, status);
    ::_exit(0);
}

// A started child: its pid, a descriptor that polls readable when it exits, and
// whether it is a launcher that reports the program's status.
struct Child {
    pid_t pid = -1;
    Fd exit_fd;
    bool launcher = false;
};

// Starts the launcher. Returns false when the kernel has no clone3 (or a filter
// forbids it), for the posix_spawn fallback.
bool start_with_launcher(const Launch& l, Child& child) {
    int pidfd = -1;
    // Signals stay blocked across the clone so that no handler of the host runs in
    // the launcher; it resets the dispositions and keeps them blocked itself.
    sigset_t all, saved;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    const long pid = clone_process(0, &pidfd);
    if (pid == 0) launcher_main(l);
    const int err = errno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        if (err == ENOSYS || err == EPERM) return false;
        throw ProcessError(errno_text(err) + ": clone3");
    }
    child.pid = static_cast<pid_t>(pid);
    child.exit_fd.fd = above_stdio(pidfd);
    child.launcher = true;
    return true;
}

// The fallback for kernels without clone3: posix_spawn with the same descriptor,
// signal and environment set-up.
void start_with_posix_spawn(const Launch& l, Child& child) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, l.stdin_fd, 0);
    posix_spawn_file_actions_adddup2(&actions, l.stdout_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, l.stderr_fd, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, l.program.c_str(), &actions, &attr, l.argv_ptrs.data(), l.env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw ProcessError(errno_text(rc) + ": " + quote_arg(l.args[0]));
    child.pid = pid;
#ifdef SYS_pidfd_open
    child.exit_fd.fd = above_stdio(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
}

// Exit code of a wait status: the status, or 128 + the signal that ended it.
int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The child's status: nullopt while it runs (without `block`), else its exit code
// (128 + signal for a signal) or -1 when it cannot be known.
std::optional<int> poll_exit(pid_t pid, bool block) {
    siginfo_t info{};
    while (true) {
        info.si_pid = 0;
        const int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | __WALL | (block ? 0 : WNOHANG));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;  // reaped elsewhere: the status is lost
        if (info.si_pid == 0) return std::nullopt;
        if (info.si_code == CLD_EXITED) return info.si_status;
        return 128 + info.si_status;
    }
}

// Reads the launcher's reports available on `fd` into `exec_errno` / `status`.
// Returns false once the pipe has reached end of file.
bool read_reports(int fd, std::optional<int>& exec_errno, std::optional<int>& status) {
    while (true) {
        Report r{};
        const ssize_t n = ::read(fd, &r, sizeof r);
        if (n == static_cast<ssize_t>(sizeof r)) {
            if (r.kind == kExecFailed) exec_errno = r.value;
            if (r.kind == kExited) status = r.value;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;  // end of file, or a short read that cannot happen with records this small
    }
}

void kill_group(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    poll_exit(pid, true);
}

}  // namespace

bool on_path(const std::string& program) {
    try {
        const std::string file = find_program(program);
        return ::access(file.c_str(), X_OK) == 0;
    } catch (const ProcessError&) {
        return false;
    }
}

std::vector<std::string> child_environment(char** env) {
    std::vector<std::string> out;
    for (char** e = env; e && *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("DROIDLENS_") || entry.starts_with("OPENAI_")) continue;
        // Only the value counts: a name never holds the key.
        const size_t eq = entry.find('=');
        if (secrets::appears_in(eq == std::string_view::npos ? entry : entry.substr(eq + 1))) continue;
        out.emplace_back(entry);
    }
    return out;
}

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          std::size_t max_output) {
    if (argv.empty() || argv[0].empty()) throw ProcessError("No program given to run");
    cancel::throw_if_requested();
    // The process-wide request and the current run's own token (none inside a shield).
    const std::array<int, 2> cancel_fds = cancel::watch_fds();

    Launch launch;
    launch.program = find_program(argv[0]);
    launch.args = argv;
    launch.env = child_environment(environ);
    launch.finish();

    Fd devnull(above_stdio(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    if (devnull.fd < 0) throw ProcessError(errno_text(errno) + ": /dev/null");
    Fd out_r, out_w, err_r, err_w, report_r, report_w;
    make_pipe(out_r, out_w);
    make_pipe(err_r, err_w);
    make_pipe(report_r, report_w);
    launch.stdin_fd = devnull.fd;
    launch.stdout_fd = out_w.fd;
    launch.stderr_fd = err_w.fd;
    launch.report_fd = report_w.fd;

    const auto start = Clock::now();
    Child child;
    if (!start_with_launcher(launch, child)) start_with_posix_spawn(launch, child);
    const pid_t pid = child.pid;
    out_w.close();
    err_w.close();
    report_w.close();
    devnull.close();
    if (!child.launcher) report_r.close();

    ::fcntl(out_r.fd, F_SETFL, ::fcntl(out_r.fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(err_r.fd, F_SETFL, ::fcntl(err_r.fd, F_GETFL) | O_NONBLOCK);
    if (report_r.fd >= 0) ::fcntl(report_r.fd, F_SETFL, ::fcntl(report_r.fd, F_GETFL) | O_NONBLOCK);
    std::optional<int> exec_errno, program_status;

    // Clamped so that the deadline cannot overflow the clock.
    const auto deadline = start + std::clamp(timeout, std::chrono::milliseconds(0),
                                             std::chrono::milliseconds(std::chrono::hours(24 * 365)));
    ProcessResult result;
    std::optional<int> exit_code;
    Clock::time_point drain_until{};
    // Without an exit descriptor the child's exit cannot be polled for, so no single
    // wait is longer than this while it runs.
    constexpr std::chrono::milliseconds kExitCheck{20};

    while (true) {
        if (!exit_code) {
            exit_code = poll_exit(pid, false);
            if (exit_code) {
                child.exit_fd.close();
                drain_until = Clock::now() + kDrainGrace;
                if (report_r.fd >= 0) {
                    read_reports(report_r.fd, exec_errno, program_status);
                    report_r.close();
                }
                if (exec_errno) throw ProcessError(errno_text(*exec_errno) + ": " + quote_arg(argv[0]));
                if (child.launcher) exit_code = program_status ? exit_code_of(*program_status) : -1;
            }
        }
        const bool open = out_r.fd >= 0 || err_r.fd >= 0;
        const auto now = Clock::now();
        if (exit_code && (!open || now >= drain_until)) break;
        if (!exit_code && cancel::requested()) {
            kill_group(pid);
            throw CancelledError("Cancelled while running " + describe_command(argv));
        }
        if (!exit_code && now >= deadline) {
            // Kill the whole group: the child and whatever it started, so that nothing
            // keeps running or holding the pipes once we give up.
            kill_group(pid);
            throw TimeoutError("Command '" + describe_command(argv) + "' timed out after " + seconds_text(timeout) +
                               " seconds");
        }
        if (result.stdout_data.size() + result.stderr_data.size() > max_output) {
            if (!exit_code) kill_group(pid);
            else ::kill(-pid, SIGKILL);  // whatever it left behind and keeps printing
            const std::size_t mib = max_output >> 20;
            throw ProcessError("Command '" + describe_command(argv) + "' printed more than " +
                               (mib > 0 ? std::to_string(mib) + " MiB" : std::to_string(max_output) + " bytes") +
                               " of output; it was stopped");
        }

        Clock::duration wait = exit_code ? drain_until - now : deadline - now;
        if (!exit_code && child.exit_fd.fd < 0) wait = std::min<Clock::duration>(wait, kExitCheck);
        const int wait_ms = static_cast<int>(
            std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        pollfd fds[6];
        nfds_t n = 0;
        if (out_r.fd >= 0) fds[n++] = {out_r.fd, POLLIN, 0};
        if (err_r.fd >= 0) fds[n++] = {err_r.fd, POLLIN, 0};
        if (child.exit_fd.fd >= 0) fds[n++] = {child.exit_fd.fd, POLLIN, 0};
        if (report_r.fd >= 0) fds[n++] = {report_r.fd, POLLIN, 0};
        for (const int fd : cancel_fds)
            if (!exit_code && fd >= 0) fds[n++] = {fd, POLLIN, 0};
        const int ready = ::poll(fds, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            const int err = errno;
            if (!exit_code) kill_group(pid);
            throw ProcessError(errno_text(err) + ": poll");
        }
        if (ready <= 0) continue;
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == report_r.fd) {
                if (!read_reports(report_r.fd, exec_errno, program_status)) report_r.close();
                continue;
            }
            if (fds[i].fd != out_r.fd && fds[i].fd != err_r.fd) continue;
            Fd& fd = fds[i].fd == out_r.fd ? out_r : err_r;
            std::string& sink = fds[i].fd == out_r.fd ? result.stdout_data : result.stderr_data;
            if (!drain(fd.fd, sink)) fd.close();
        }
    }

    result.exit_code = *exit_code;
    return result;
}

}  // namespace droidlens::proc
