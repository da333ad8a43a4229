#include "mcp/server.hpp"

#include <droidlens/cancel.hpp>
#include <droidlens/console.hpp>
#include <droidlens/droidlens.hpp>
#include <droidlens/mcp.hpp>
#include <droidlens/run.hpp>

#include "mcp/jsonrpc.hpp"
#include "utils/secrets.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace droidlens::mcp {

namespace {

const char* const kInstructions =
    "droidlens reads and operates the screens of Android devices connected to this machine over adb, with a "
    "vision model. Start with list_devices (and list_displays on devices with several screens); pass device_id "
    "when more than one device is connected. screenshot shows the current screen; locate, ocr, glyphpin and "
    "nodepin answer questions about it; action performs one step and automate a whole task. Boxes from locate "
    "and glyphpin are in 0-1000 relative coordinates of each axis; diff and nodepin give device pixels. File "
    "paths (image_paths, output_dir) are on the machine running this server.";

// Text cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string cut(std::string text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text + "...";
}

// One line per automation step for the progress notification.
std::string step_message(const AutomateStep& step) {
    std::string text = "Step " + std::to_string(step.step) + "/" + std::to_string(step.max_steps) + ": ";
    text += step.action_text.empty() ? std::string("(no action)") : cut(step.action_text, 200);
    if (step.executor_message && !step.executor_message->empty()) text += " -> " + cut(*step.executor_message, 200);
    if (step.feedback) text += " (not performed; the model was told why)";
    if (step.finished) text += " [finished]";
    return text;
}

class ProgressObserver : public RunObserver {
public:
    ProgressObserver(std::function<void(const Json&)> send, Json token)
        : send_(std::move(send)), token_(std::move(token)) {}
    int sent = 0;
    void on_automate_step(const AutomateStep& step) override {
        ++sent;
        Json params = Json::object();
        params["progressToken"] = token_;
        params["progress"] = step.step;
        params["total"] = step.max_steps;
        params["message"] = step_message(step);
        send_(rpc::notification("notifications/progress", std::move(params)));
    }

private:
    std::function<void(const Json&)> send_;
    Json token_;
};

bool valid_id(const Json& id) { return id.is_string() || id.is_number_integer(); }

}  // namespace

const std::vector<std::string>& supported_revisions() {
    static const std::vector<std::string> revisions = {"2025-11-25", "2025-06-18"};
    return revisions;
}

Server::Server(ServerSettings settings, Writer write_line)
    : settings_(std::move(settings)), write_line_(std::move(write_line)) {
    secrets::add(settings_.model_config.api_key);
    env_.defaults = settings_.defaults;
    env_.preview = settings_.preview;
    env_.model = [this] { return model(); };
    const int workers = std::max(1, settings_.workers);
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { worker_loop(); });
}

Server::~Server() { shutdown(); }

bool Server::client_reachable() const {
    std::lock_guard<std::mutex> lock(write_mutex_);
    return reachable_;
}

void Server::send(const Json& message) {
    const std::string line = dump_json(message);
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (reachable_ && !write_line_(line)) reachable_ = false;
}

void Server::send_error(const Json& id, int code, const std::string& message) {
    send(rpc::error_response(id, code, message));
}

ChatModel* Server::model() {
    if (settings_.model) return settings_.model;
    std::lock_guard<std::mutex> lock(model_mutex_);
    if (!own_model_) {
        require_model_service(settings_.model_config);
        own_model_ = std::make_unique<Modelwire>(settings_.model_config);
    }
    return own_model_.get();
}

void Server::handle_line(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;

    rpc::Message m = rpc::parse_line(line);
    switch (m.kind) {
        case rpc::Kind::Invalid:
            send(m.error);
            return;
        case rpc::Kind::Response: {
            // The only requests this server sends are its own pings (see flush_notifications).
            std::lock_guard<std::mutex> lock(mutex_);
            if (m.id.is_string() && awaited_pongs_.erase(m.id.get<std::string>()) > 0) pong_.notify_all();
            return;
        }
        case rpc::Kind::Notification:
            if (!m.params.is_object()) return;
            try {
                handle_notification(m.method, m.params);
            } catch (const std::exception& e) {
                console_line("[WARNING] Notification " + m.method + " ignored: " + e.what());
            }
            return;
        case rpc::Kind::Request:
            try {
                handle_request(m.method, m.id, m.params);
            } catch (const rpc::RpcError& e) {
                send(rpc::error_response(m.id, e.code(), e.what()));
            } catch (const std::exception& e) {
                send(rpc::error_response(m.id, rpc::kInternalError, secrets::redact(std::string("Internal error: ") + e.what())));
            }
            return;
    }
}

void Server::handle_request(const std::string& method, const Json& id, const Json& params) {
    if (method == "initialize") {
        send(rpc::result_response(id, initialize(params)));
        return;
    }
    if (method == "ping") {
        send(rpc::result_response(id, Json::object()));
        return;
    }
    const bool known = method == "tools/list" || method == "tools/call";
    if (!known) throw rpc::RpcError(rpc::kMethodNotFound, "Method not found: " + method);
    if (!initialize_answered_)
        throw rpc::RpcError(rpc::kInvalidRequest, "Invalid Request: " + method + " before initialize");
    if (method == "tools/list") {
        send(rpc::result_response(id, list_tools(settings_.defaults)));
        return;
    }
    queue_call(id, params);
}

Json Server::initialize(const Json& params) {
    if (initialize_answered_) throw rpc::RpcError(rpc::kInvalidRequest, "Invalid Request: already initialized");
    const auto version = params.find("protocolVersion");
    if (version == params.end() || !version->is_string())
        throw rpc::RpcError(rpc::kInvalidParams, "Invalid params: \"protocolVersion\" must be a string");
    std::string chosen = supported_revisions().front();
    for (const std::string& r : supported_revisions())
        if (*version == r) chosen = r;
    initialize_answered_ = true;

    Json result = Json::object();
    result["protocolVersion"] = chosen;
    result["capabilities"] = {{"tools", {{"listChanged", false}}}};
    result["serverInfo"] = {{"name", "droidlens"}, {"title", "droidlens"}, {"version", kVersion}};
    result["instructions"] = kInstructions;
    return result;
}

void Server::queue_call(const Json& id, const Json& params) {
    const auto name = params.find("name");
    if (name == params.end() || !name->is_string())
        throw rpc::RpcError(rpc::kInvalidParams, "Invalid params: \"name\" must be a string");
    const std::string tool = name->get<std::string>();
    if (!has_tool(tool)) throw rpc::RpcError(rpc::kInvalidParams, "Unknown tool: " + tool.substr(0, 200));
    Json arguments = Json::object();
    if (const auto a = params.find("arguments"); a != params.end() && !a->is_null()) {
        if (!a->is_object()) throw rpc::RpcError(rpc::kInvalidParams, "Invalid params: \"arguments\" must be an object");
        arguments = *a;
    }
    Json token = nullptr;
    if (const auto meta = params.find("_meta"); meta != params.end() && meta->is_object()) {
        if (const auto t = meta->find("progressToken"); t != meta->end() && valid_id(*t)) token = *t;
    }
    auto call = std::make_shared<Call>();
    call->id = id;
    call->tool = tool;
    if (const auto d = arguments.find("device_id"); d != arguments.end() && d->is_string()) call->device = *d;
    call->arguments = std::move(arguments);
    call->progress_token = std::move(token);
    call->run = new_run_context();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        queue_.push_back(std::move(call));
    }
    wake_.notify_all();
}

void Server::handle_notification(const std::string& method, const Json& params) {
    if (method == "notifications/cancelled") cancel_call(params);
    // notifications/initialized needs no action: the tools are served from the
    // initialize answer on. Other notifications carry nothing this server uses.
}

void Server::cancel_call(const Json& params) {
    const auto id = params.find("requestId");
    if (id == params.end() || !valid_id(*id)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& call : running_) {
        if (call->id == *id) {
            call->cancelled = true;
            call->run->cancel->cancel();  // this call only
            return;
        }
    }
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if ((*it)->id == *id) {
            queue_.erase(it);
            return;
        }
    }
    // An unknown or finished request: nothing to stop.
}

void Server::worker_loop() {
    while (true) {
        std::shared_ptr<Call> call;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // The oldest call whose device is free: calls on one device keep their order.
            auto ready = queue_.end();
            wake_.wait(lock, [&] {
                if (stopping_) return true;
                ready = std::find_if(queue_.begin(), queue_.end(),
                                     [&](const auto& c) { return busy_devices_.count(c->device) == 0; });
                return ready != queue_.end();
            });
            if (stopping_) return;
            call = *ready;
            queue_.erase(ready);
            busy_devices_.insert(call->device);
            running_.push_back(call);
        }
        run_call(*call);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_devices_.erase(call->device);
            running_.erase(std::find(running_.begin(), running_.end(), call));
        }
        wake_.notify_all();  // a call waiting for this device may go now
    }
}

void Server::run_call(Call& call) {
    Json result;
    bool cancelled = false;
    ProgressObserver observer([this](const Json& n) { send(n); }, call.progress_token);
    try {
        if (!call.progress_token.is_null()) call.run->observer = &observer;
        ScopedRun scope(call.run);
        result = call_tool(call.tool, call.arguments, env_);
    } catch (const CancelledError& e) {
        cancelled = true;
        result = error_result(e);
    } catch (const std::exception& e) {
        result = error_result(e);
    }
    bool answer = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A call the client cancelled is not answered; one ended by the end of the
        // session has nobody waiting for it.
        answer = !call.cancelled && !(cancelled && stopping_);
    }
    if (!answer) return;
    if (observer.sent > 0) flush_notifications();
    send(rpc::result_response(call.id, std::move(result)));
}

// Clients may handle notifications later than responses (the official TypeScript
// SDK hands notifications to a promise chain but settles a response at once), so a
// progress notification read together with the call's response would arrive after
// the call has ended and be thrown away. A ping sent after the notifications is
// answered only once the client has handled what came before it; the response goes
// out after the answer, or after two seconds without one.
void Server::flush_notifications() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string id = "droidlens-flush-" + std::to_string(++pings_sent_);
    awaited_pongs_.insert(id);
    lock.unlock();
    Json ping = Json::object();
    ping["jsonrpc"] = "2.0";
    ping["id"] = id;
    ping["method"] = "ping";
    send(ping);
    lock.lock();
    pong_.wait_for(lock, std::chrono::seconds(2), [&] { return awaited_pongs_.count(id) == 0 || stopping_; });
    awaited_pongs_.erase(id);
}

void Server::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
        pong_.notify_all();
        for (const auto& call : running_) call->run->cancel->cancel();
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

// ---- Standard input and output ----

namespace {

int g_signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

void on_stop_signal(int sig) {
    g_signal = sig;
    cancel::request(sig);
    if (g_signal_pipe[1] >= 0) {
        const int saved = errno;
        [[maybe_unused]] ssize_t n = ::write(g_signal_pipe[1], "x", 1);
        errno = saved;
    }
    std::signal(sig, SIG_DFL);  // a second signal ends the process at once
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// No protocol message needs more; a longer line is refused and skipped rather than
// held in memory.
constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

}  // namespace

int serve(ServerSettings settings) {
    set_console_stream(std::cerr);
    cancel::wait_fd();
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::cerr << "droidlens: error: cannot create a pipe: errno " << errno << std::endl;
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Server server(std::move(settings), [](const std::string& line) { return write_all(STDOUT_FILENO, line + "\n"); });

    std::string pending;
    bool skipping = false;  // inside a line that was too long
    std::vector<char> chunk(1 << 16);
    while (server.client_reachable() && g_signal == 0) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, 500);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0 || (fds[1].revents & POLLIN)) continue;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = ::read(STDIN_FILENO, chunk.data(), chunk.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            if (!skipping && !pending.empty()) server.handle_line(pending);
            break;
        }
        std::string_view data(chunk.data(), static_cast<std::size_t>(got));
        while (!data.empty()) {
            const std::size_t nl = data.find('\n');
            const std::string_view piece = data.substr(0, nl);
            if (!skipping) {
                if (pending.size() + piece.size() > kMaxLineBytes) {
                    server.send_error(nullptr, rpc::kParseError,
                                      "Parse error: message longer than " + std::to_string(kMaxLineBytes >> 20) +
                                          " MiB");
                    skipping = true;
                    pending.clear();
                } else {
                    pending.append(piece);
                }
            }
            if (nl == std::string_view::npos) break;
            if (!skipping) server.handle_line(pending);
            pending.clear();
            skipping = false;
            data.remove_prefix(nl + 1);
        }
    }
    server.shutdown();
    return g_signal != 0 ? 128 + g_signal : 0;
}

int serve_stdio(ModelConfig config, CallDefaults defaults, int workers) {
    if (workers < 1 || workers > 64) throw UsageError("Invalid workers: must be a whole number from 1 to 64");
    ServerSettings settings;
    settings.model_config = std::move(config);
    settings.workers = workers;
    // The output directory as an absolute path: the records' file paths then mean
    // the same to a client that does not know the server's working directory.
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::absolute(defaults.output_dir, ec);
    if (!ec && !defaults.output_dir.empty()) defaults.output_dir = dir.lexically_normal().string();
    settings.defaults = {std::move(defaults.output_dir), defaults.max_steps, std::move(defaults.lang)};
    return serve(std::move(settings));
}

}  // namespace droidlens::mcp
