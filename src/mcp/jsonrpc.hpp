// JSON-RPC 2.0 messages as the Model Context Protocol carries them: one JSON object
// per line, requests with a string or integer id, notifications without one. This
// module reads one line into a message or into the error response it deserves, and
// builds the responses and notifications the server writes.
#pragma once

#include <droidlens/json.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace droidlens::mcp::rpc {

// The error codes of JSON-RPC 2.0.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;

// Nesting deeper than this is refused before parsing: every copy and serialisation
// of a JSON value recurses once per level, and no protocol message needs more.
constexpr std::size_t kMaxDepth = 64;

// A protocol error raised while a request is handled; the server answers it as an
// error response with this code and message.
class RpcError : public std::runtime_error {
public:
    RpcError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

enum class Kind {
    Request,       // has a method and an id: must be answered
    Notification,  // has a method and no id: never answered
    Response,      // a result or error from the peer (the server sends no requests: ignored)
    Invalid,       // `error` holds the response to send
};

struct Message {
    Kind kind = Kind::Invalid;
    Json id;             // string or integer for requests; null otherwise
    std::string method;
    Json params = Json::object();  // always an object for requests and notifications
    Json error;          // the whole error response for Kind::Invalid
};

// Reads one line (without its line break). Malformed JSON gives a parse error
// (-32700); a batch, a non-object, a wrong "jsonrpc", a method that is not text or an
// id that is neither text nor an integer give an invalid request (-32600); params
// that are not an object give invalid params (-32602) for a request. Notifications
// with such faults are reported the same way only when they cannot be told from a
// request; a well-formed notification whose params are wrong is dropped later by the
// server, never answered.
Message parse_line(std::string_view line);

// {"jsonrpc": "2.0", "id": id, "result": result}
Json result_response(const Json& id, Json result);

// {"jsonrpc": "2.0", "id": id, "error": {"code", "message"}}
Json error_response(const Json& id, int code, const std::string& message);

// {"jsonrpc": "2.0", "method": method, "params": params}
Json notification(const std::string& method, Json params);

// The deepest nesting of arrays and objects in `text`, read as JSON text (brackets
// inside strings do not count); stops counting past `limit`.
std::size_t nesting_depth(std::string_view text, std::size_t limit);

}  // namespace droidlens::mcp::rpc
