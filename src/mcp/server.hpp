// The Model Context Protocol server behind `droidlens mcp`: JSON-RPC 2.0 over
// standard input and output, one message a line. Standard output carries protocol
// messages only; the library's console lines go to standard error.
//
// The main thread reads and answers everything but tools/call, which runs on a
// bounded pool of worker threads, so that ping, cancellation and the end of input are
// seen while long automations run. Calls naming the same device (their device_id, ""
// when none) run one at a time in arrival order; calls on different devices run at
// once. Each call is a run of its own (run.hpp): cancelling it cancels its token only
// (its adb child is killed, its model request aborted); a cancelled call is not
// answered.
#pragma once

#include <droidlens/config.hpp>
#include <droidlens/json.hpp>
#include <droidlens/mcp.hpp>

#include "mcp/tools.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace droidlens {
class ChatModel;
class Modelwire;
struct RunContext;
}  // namespace droidlens

namespace droidlens::mcp {

// The protocol revisions spoken, newest first. An initialize asking for another one
// is answered with the newest; the client decides whether it can go on.
const std::vector<std::string>& supported_revisions();

struct ServerSettings {
    ModelConfig model_config;  // checked when a tool first needs the model
    ToolDefaults defaults;
    PreviewLimits preview;
    // A model client to use instead of one built from model_config (tests, benchmarks).
    ChatModel* model = nullptr;
    // Tool calls run at once at most (at least 1).
    int workers = kDefaultWorkers;
};

class Server {
public:
    // `write_line` sends one message (without its line break); it returns false when
    // the client can no longer be reached. It is called from every thread, never two
    // at the same time.
    using Writer = std::function<bool(const std::string& line)>;

    Server(ServerSettings settings, Writer write_line);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Handles one message: answers it at once, or queues a tools/call for the worker.
    // Never throws; a message that is not understood gets the protocol's error.
    void handle_line(std::string_view line);

    // The end of the session: queued calls are dropped, the running ones are
    // cancelled and not answered, and the workers are joined. Safe to call more than once.
    void shutdown();

    // Sends an error response that belongs to no message handle_line() saw (a line
    // too long to keep).
    void send_error(const Json& id, int code, const std::string& message);

    // False once a write failed.
    bool client_reachable() const;

private:
    struct Call {
        Json id;
        std::string tool;
        Json arguments;
        Json progress_token;  // null: no progress wanted
        std::string device;   // calls with the same key run one at a time
        std::shared_ptr<RunContext> run;
        bool cancelled = false;  // by the client: not answered
    };

    void handle_request(const std::string& method, const Json& id, const Json& params);
    void handle_notification(const std::string& method, const Json& params);
    Json initialize(const Json& params);
    void queue_call(const Json& id, const Json& params);
    void cancel_call(const Json& params);
    void worker_loop();
    void run_call(Call& call);
    void flush_notifications();
    ChatModel* model();
    void send(const Json& message);

    ServerSettings settings_;
    Writer write_line_;
    std::mutex model_mutex_;
    std::unique_ptr<Modelwire> own_model_;  // guarded by model_mutex_ until made
    ToolEnv env_;

    bool initialize_answered_ = false;  // main thread only

    mutable std::mutex write_mutex_;
    bool reachable_ = true;  // guarded by write_mutex_

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Call>> queue_;
    std::vector<std::shared_ptr<Call>> running_;
    std::set<std::string> busy_devices_;  // device keys of the running calls
    bool stopping_ = false;
    std::set<std::string> awaited_pongs_;  // ids of the server's own pings, until answered
    std::condition_variable pong_;
    long long pings_sent_ = 0;
    std::vector<std::thread> workers_;
};

// Serves on standard input and output until the input ends (exit status 0), the
// client cannot be written to (0), or SIGINT/SIGTERM arrives (128 + the signal).
int serve(ServerSettings settings);

}  // namespace droidlens::mcp
