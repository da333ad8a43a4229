#include "fakes/chat_server.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace fakes {

using droidlens::Json;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

int port_of(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    return -1;
}

// cpp-httplib gives a handler no access to its socket, so find the accepted socket
// by its ports (local = ours, peer = the client's) and shut it down. The client then
// sees the connection end without any reply, as when a proxy drops a request.
void drop_connection(int local_port, int peer_port) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (const std::exception&) {
            continue;
        }
        sockaddr_storage local{}, peer{};
        socklen_t local_len = sizeof local, peer_len = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) continue;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) continue;
        if (port_of(local) == local_port && port_of(peer) == peer_port) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
}

const char* error_type(int status) {
    if (status == 400) return "invalid_request_error";
    if (status == 401) return "authentication_error";
    if (status == 403) return "permission_error";
    if (status == 404) return "not_found_error";
    if (status == 429) return "rate_limit_error";
    return "server_error";
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    auto it = headers.find(lower(name));
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

Json chat_completion(const Json& message, const std::string& finish_reason) {
    Json choice = {{"index", 0}, {"message", message}, {"finish_reason", finish_reason}};
    return Json{{"id", "chatcmpl-fake"},
                {"object", "chat.completion"},
                {"created", 0},
                {"model", "fake-model"},
                {"choices", Json::array({choice})},
                {"usage", {{"prompt_tokens", 10}, {"completion_tokens", 5}, {"total_tokens", 15}}}};
}

ScriptedReply json_reply(const Json& body, int status) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = body.dump();
    return reply;
}

ScriptedReply raw_reply(int status, const std::string& body, const std::string& content_type) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    reply.content_type = content_type;
    return reply;
}

ScriptedReply tool_call_reply(const std::string& tool_name, const std::string& arguments_json_text) {
    Json call = {{"id", "call_fake_1"},
                 {"type", "function"},
                 {"function", {{"name", tool_name}, {"arguments", arguments_json_text}}}};
    Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({call})}};
    return json_reply(chat_completion(message, "tool_calls"));
}

ScriptedReply text_reply(const std::string& content) {
    Json message = {{"role", "assistant"}, {"content", content}, {"tool_calls", nullptr}};
    return json_reply(chat_completion(message, "stop"));
}

ScriptedReply empty_choices_reply() {
    Json body = chat_completion(Json::object(), "stop");
    body["choices"] = Json::array();
    return json_reply(body);
}

ScriptedReply error_reply(int status, const std::string& message) {
    Json body = {{"error", {{"message", message}, {"type", error_type(status)}, {"code", nullptr}}}};
    return json_reply(body, status);
}

ScriptedReply reply_from_json(const Json& entry) {
    if (!entry.is_object()) throw std::runtime_error("script entry is not an object: " + entry.dump());
    try {
        ScriptedReply reply;
        reply.status = entry.value("status", 200);
        if (entry.contains("body") && entry.contains("body_text"))
            throw std::runtime_error("give either \"body\" or \"body_text\", not both");
        if (entry.contains("body")) reply.body = entry["body"].dump();
        if (entry.contains("body_text")) reply.body = entry["body_text"].get<std::string>();
        reply.content_type = entry.value("content_type", reply.content_type);
        if (entry.contains("headers")) {
            for (const auto& [name, value] : entry["headers"].items())
                reply.headers[name] = value.is_string() ? value.get<std::string>() : value.dump();
        }
        reply.delay_ms = entry.value("delay_ms", 0);
        reply.close_connection = entry.value("close_connection", false);
        return reply;
    } catch (const Json::exception& e) {
        throw std::runtime_error("malformed script entry " + entry.dump() + ": " + e.what());
    }
}

FakeChatServer::FakeChatServer(int port, RequestObserver observer)
    : server_(std::make_unique<httplib::Server>()), observer_(std::move(observer)) {
    // Idle keep-alive connections hold a worker until this time-out; keep it short so
    // that stop() returns promptly.
    server_->set_keep_alive_timeout(1);
    server_->set_tcp_nodelay(true);
    server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
        RecordedRequest rec;
        rec.method = req.method;
        rec.path = req.path;
        for (const auto& [name, value] : req.headers) rec.headers[lower(name)] = value;
        rec.body = req.body;
        Json parsed = Json::parse(req.body, nullptr, false);
        if (!parsed.is_discarded()) rec.json = std::move(parsed);

        ScriptedReply reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(rec);
            const bool refused = style_ == ServerStyle::kRejectsNamedChoice && rec.json &&
                                 rec.json->value("tool_choice", Json()).is_object();
            if (req.path != "/v1/chat/completions" && req.path != "/chat/completions") {
                reply = error_reply(404, "fake chat server: no route POST " + req.path);
            } else if (refused) {
                // As LM Studio words it; the scripted reply waits for the next request.
                reply = error_reply(400, "Invalid tool_choice type: 'object'. Supported string values: none, auto, "
                                         "required");
            } else if (responder_) {
                reply = in_style(responder_(rec), style_, rec.json.value_or(Json()));
            } else if (queue_.empty()) {
                reply = error_reply(500, "fake chat server: no scripted reply left");
            } else {
                reply = in_style(queue_.front(), style_, rec.json.value_or(Json()));
                queue_.pop_front();
            }
        }
        if (observer_) observer_(rec);

        if (reply.delay_ms > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopping_cv_.wait_for(lock, std::chrono::milliseconds(reply.delay_ms), [this] { return stopping_; });
        }
        if (reply.close_connection) {
            drop_connection(port_, req.remote_port);
            return;
        }
        res.status = reply.status;
        for (const auto& [name, value] : reply.headers) res.set_header(name, value);
        res.set_content(reply.body, reply.content_type.c_str());
    });

    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                      : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (port_ <= 0) throw std::runtime_error("fake chat server: cannot bind 127.0.0.1:" + std::to_string(port));
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listen_returned_ = true;
    });
    // stop() only takes effect once the accept loop runs, so wait for it.
    while (!server_->is_running() && !listen_returned_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeChatServer::~FakeChatServer() { stop(); }

std::string FakeChatServer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

void FakeChatServer::set_responder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeChatServer::set_style(ServerStyle style) {
    std::lock_guard<std::mutex> lock(mutex_);
    style_ = style;
}

ScriptedReply in_style(const ScriptedReply& reply, ServerStyle style, const Json& request) {
    (void)request;
    if (style == ServerStyle::kOpenAI || style == ServerStyle::kRejectsNamedChoice || reply.status != 200) return reply;
    Json body = Json::parse(reply.body, nullptr, false);
    if (body.is_discarded() || !body.contains("choices") || !body["choices"].is_array() || body["choices"].empty())
        return reply;
    Json& message = body["choices"][0]["message"];
    if (!message.is_object() || !message.contains("tool_calls") || !message["tool_calls"].is_array() ||
        message["tool_calls"].empty())
        return reply;
    const Json function = message["tool_calls"][0]["function"];
    const std::string name = function.value("name", "");
    const std::string arguments = function.value("arguments", "{}");
    switch (style) {
        case ServerStyle::kOllama:
            message["tool_calls"] = nullptr;
            message["content"] = "```json\n" + arguments + "\n```";
            body["choices"][0]["finish_reason"] = "stop";
            break;
        case ServerStyle::kLlamaServer:
            message["tool_calls"][0]["id"] = "";
            message["tool_calls"][0]["function"]["arguments"] = Json::parse(arguments, nullptr, false);
            message["content"] = nullptr;
            message["reasoning_content"] = "The user wants the element; I will call " + name + ".";
            break;
        case ServerStyle::kHermes:
            message.erase("tool_calls");
            message["content"] = "<tool_call>\n{\"name\": \"" + name + "\", \"arguments\": " + arguments +
                                 "}\n</tool_call>";
            body["choices"][0]["finish_reason"] = "stop";
            break;
        case ServerStyle::kPlainJson:
            message.erase("tool_calls");
            message["content"] = "Sure {not json}. Here is the answer: " + arguments + " I hope it helps.";
            body["choices"][0]["finish_reason"] = "stop";
            break;
        default:
            break;
    }
    ScriptedReply out = reply;
    out.body = body.dump();
    return out;
}

void FakeChatServer::enqueue(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(reply));
}

std::size_t FakeChatServer::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::vector<RecordedRequest> FakeChatServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeChatServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopping_cv_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

}  // namespace fakes
