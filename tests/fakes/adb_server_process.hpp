// AdbServerProcess: runs tests/fakes/adb_server.py (the simulated adb server) as a
// child process for the lifetime of the object. The child's standard input is a pipe
// held here: when this process ends in any way, the server sees end of file and
// exits, so no server outlives its test. Free of the test framework, so the
// benchmarks use it too. See tests/fakes/README.md.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

class AdbServerProcess {
public:
    // Starts `PYTHON FAKES_DIR/adb_server.py --root ROOT` and waits until it reports
    // its port; throws std::runtime_error when it does not. PYTHON is searched on PATH
    // when it has no slash.
    AdbServerProcess(const std::string& fakes_dir, const std::string& root,
                     const std::string& python = default_python()) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        }
        const std::string script = fakes_dir + "/adb_server.py";
        const char* argv[] = {python.c_str(), script.c_str(), "--root", root.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // Its own process group: signals meant for the test's process group (an
        // interrupt of a run under test) do not reach the server.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int rc = ::posix_spawnp(&pid_, python.c_str(), &actions, &attr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error("cannot start " + python + " " + script + ": " + std::strerror(rc));
        }
        stdin_ = in[1];
        std::string line;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd p{out[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[64];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        try {
            port_ = std::stoi(line);
        } catch (const std::exception&) {
            stop();
            throw std::runtime_error("the simulated adb server did not report its port (got '" + line + "')");
        }
    }

    ~AdbServerProcess() { stop(); }

    // The interpreter the build found (DROIDLENS_PYTHON), else python3.
    static std::string default_python() {
#ifdef DROIDLENS_PYTHON
        if (*DROIDLENS_PYTHON) return DROIDLENS_PYTHON;
#endif
        return "python3";
    }
    AdbServerProcess(const AdbServerProcess&) = delete;
    AdbServerProcess& operator=(const AdbServerProcess&) = delete;

    int port() const { return port_; }
    // The value of ADB_SERVER_SOCKET that reaches the server. A tcp: address with a
    // host other than "localhost" never makes the client start a server of its own.
    std::string socket_spec() const { return "tcp:127.0.0.1:" + std::to_string(port_); }

    // How the server ended when it is no longer running (it must not end on its own).
    std::optional<std::string> ended() {
        if (!exit_status_ && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) exit_status_ = status;
        }
        if (!exit_status_) return std::nullopt;
        const int s = *exit_status_;
        if (WIFSIGNALED(s)) return "killed by signal " + std::to_string(WTERMSIG(s));
        return "exited with status " + std::to_string(WEXITSTATUS(s));
    }

    // Closes the server's standard input and reaps it (killing it after 5 s).
    void stop() {
        if (stdin_ >= 0) {
            ::close(stdin_);
            stdin_ = -1;
        }
        if (pid_ <= 0 || exit_status_) return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        exit_status_ = status;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
    std::optional<int> exit_status_;
};

}  // namespace testsupport
