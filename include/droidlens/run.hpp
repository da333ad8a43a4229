// What belongs to one run (one route() call) and to nothing else: its cancel token,
// where its console lines go, who watches it, its id, the model settings it started
// with and the adb server it talks to. A run is made current on the thread that
// performs it; the library's free functions (console_line, current_run_observer,
// cancel::throw_if_requested, ...) act on the current run, so that two runs on two
// threads never see each other's requests, lines or observers.
#pragma once

#include <droidlens/config.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace droidlens {

class ChatModel;
class RunObserver;

// A request to stop the runs that hold this token. Every wait of those runs watches
// its descriptor besides the process-wide one (droidlens::cancel).
class CancelToken {
public:
    // Throws Error when the wake-up descriptor cannot be created.
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Asks the runs holding this token to stop. Async-signal-safe; any thread.
    void cancel(int signal_number = 0) noexcept;
    bool cancelled() const noexcept { return cancelled_.load(); }
    // The signal number given to cancel(), or 0.
    int signal_number() const noexcept { return signal_.load(); }
    // Polls readable once cancel() was called.
    int wait_fd() const noexcept { return fd_; }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<int> signal_{0};
    int fd_ = -1;
};

// Receives each console line of a run (without its line break).
using ConsoleSink = std::function<void(std::string_view line)>;

struct RunContext {
    std::string run_id;                   // unique within the process
    std::shared_ptr<CancelToken> cancel;  // never null in a context from new_run_context()
    ConsoleSink console;                  // null: the process's console stream
    RunObserver* observer = nullptr;      // null: nobody watches
    // The model settings at the start of the run, used for every request of the run
    // made through `model`, so that a change of the client's settings meanwhile
    // affects only later runs. Null when the run's model has no settings of its own.
    const ChatModel* model = nullptr;
    std::shared_ptr<const ModelConfig> model_settings;
    // "HOST:PORT" of the adb server every adb call of the run addresses; absent: the
    // DROIDLENS_ADB_SERVER environment variable, else adb's own default.
    std::optional<std::string> adb_server;
    // How the run's screenshots are taken: "raw", "png" or "auto" (absent: auto).
    std::optional<std::string> capture;
    // Model requests of the run answered from the answer cache so far.
    int cache_hits = 0;
};

// A fresh context: a new id and token; console sink and observer those of the run
// current on this thread (or the thread's observer), so that a front end's choices
// carry over to the runs it starts.
std::shared_ptr<RunContext> new_run_context();

// The run current on this thread, or null outside any run.
RunContext* current_run() noexcept;

// Makes `run` the current run of this thread while the guard lives; the previous
// one comes back afterwards.
class ScopedRun {
public:
    explicit ScopedRun(std::shared_ptr<RunContext> run) noexcept;
    ~ScopedRun();
    ScopedRun(const ScopedRun&) = delete;
    ScopedRun& operator=(const ScopedRun&) = delete;

private:
    std::shared_ptr<RunContext> run_;
    RunContext* previous_;
};

// The run current on this thread; outside any run, a fresh one that `scope` makes
// current while it lives. What a library entry called on its own works in.
RunContext& current_or_fresh_run(std::optional<ScopedRun>& scope);

// Checks "HOST:PORT" (a host name, IPv4 address or bracketed IPv6 address, and a
// port 1-65535) and returns {host, port}; throws UsageError naming `value` otherwise.
std::pair<std::string, std::string> parse_adb_server(const std::string& value);

// The adb server of the current run: its own, else DROIDLENS_ADB_SERVER (checked),
// else absent (adb's own default).
std::optional<std::string> current_adb_server();

}  // namespace droidlens
