// A scripted OpenAI-compatible chat-completions server for tests. It listens on
// 127.0.0.1, records every request it receives and answers POST /v1/chat/completions
// (and /chat/completions) from a queue of scripted replies, failures included.
#pragma once

#include <droidlens/json.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace fakes {

// One scripted answer.
struct ScriptedReply {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    std::map<std::string, std::string> headers;  // extra response headers, e.g. Retry-After
    int delay_ms = 0;               // wait before answering (cut short when the server stops)
    bool close_connection = false;  // drop the connection without sending any reply
};

// One request as the server saw it. Header names are lower-cased.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;
    std::string body;
    std::optional<droidlens::Json> json;  // the parsed body, when it is JSON

    // Value of a header (name in any case), or nullopt when it was not sent.
    std::optional<std::string> header(const std::string& name) const;
};

// Chat-completions response bodies.
droidlens::Json chat_completion(const droidlens::Json& message, const std::string& finish_reason);
ScriptedReply json_reply(const droidlens::Json& body, int status = 200);
// Any body text with the given status and content type.
ScriptedReply raw_reply(int status, const std::string& body, const std::string& content_type = "text/plain");
// The model calls `tool_name` with `arguments_json_text` as its arguments string.
ScriptedReply tool_call_reply(const std::string& tool_name, const std::string& arguments_json_text);
// The model answers with plain text.
ScriptedReply text_reply(const std::string& content);
// A response whose "choices" list is empty.
ScriptedReply empty_choices_reply();
// An OpenAI-style error body {"error": {"message", "type", "code"}} with the status.
ScriptedReply error_reply(int status, const std::string& message);

// Reads one reply of a script file: {"status", "body": <JSON value> | "body_text": "...",
// "content_type", "headers": {...}, "delay_ms", "close_connection"}; every key optional.
// Throws std::runtime_error for a malformed entry.
ScriptedReply reply_from_json(const droidlens::Json& entry);

// How the server hands back a scripted tool call, after the servers people run:
//   kOpenAI         tool_calls[0].function.arguments as a JSON text (OpenAI, vLLM, SGLang);
//   kOllama         the forced tool choice ignored: the arguments as text in content,
//                   in a ```json fence, tool_calls null;
//   kLlamaServer    arguments as a JSON object, id "", content null, reasoning_content beside;
//   kHermes         <tool_call>{"name": ..., "arguments": {...}}</tool_call> in content;
//   kPlainJson      a sentence with the arguments object in it, no tool_calls;
//   kRejectsNamedChoice  HTTP 400 for a tool_choice naming a function (LM Studio,
//                   GLM); "required" and "auto" are served as kOpenAI.
enum class ServerStyle { kOpenAI, kOllama, kLlamaServer, kHermes, kPlainJson, kRejectsNamedChoice };

// The reply rewritten as a server of that style would send it.
ScriptedReply in_style(const ScriptedReply& reply, ServerStyle style, const droidlens::Json& request);

class FakeChatServer {
public:
    using RequestObserver = std::function<void(const RecordedRequest&)>;

    // Binds 127.0.0.1 (on `port`, or a free port when 0) and serves on a background
    // thread until stop(). `observer`, when given, sees every request as it arrives.
    explicit FakeChatServer(int port = 0, RequestObserver observer = {});
    ~FakeChatServer();
    FakeChatServer(const FakeChatServer&) = delete;
    FakeChatServer& operator=(const FakeChatServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT/v1"
    std::string base_url() const;

    void enqueue(ScriptedReply reply);
    // Tool calls of the scripted replies go out as a server of `style` sends them.
    void set_style(ServerStyle style);
    // A model that looks at each request itself: its reply is used instead of the
    // queue's (called on the server's thread).
    using Responder = std::function<ScriptedReply(const RecordedRequest&)>;
    void set_responder(Responder responder);
    // Scripted replies not yet used.
    std::size_t pending() const;
    std::vector<RecordedRequest> requests() const;

    // Stops serving and joins the server thread; replies still waiting on their
    // delay are released at once. Safe to call more than once.
    void stop();

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> listen_returned_{false};
    RequestObserver observer_;

    mutable std::mutex mutex_;
    std::condition_variable stopping_cv_;
    bool stopping_ = false;
    std::deque<ScriptedReply> queue_;
    ServerStyle style_ = ServerStyle::kOpenAI;
    Responder responder_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace fakes
