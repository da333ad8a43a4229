#include "mcp/jsonrpc.hpp"

namespace droidlens::mcp::rpc {

namespace {

Message invalid(const Json& id, int code, const std::string& message) {
    Message m;
    m.kind = Kind::Invalid;
    m.error = error_response(id, code, message);
    return m;
}

bool valid_id(const Json& id) { return id.is_string() || id.is_number_integer(); }

}  // namespace

std::size_t nesting_depth(std::string_view text, std::size_t limit) {
    std::size_t depth = 0, deepest = 0;
    bool in_string = false, escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit) return deepest;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

Message parse_line(std::string_view line) {
    if (nesting_depth(line, kMaxDepth) > kMaxDepth) {
        return invalid(nullptr, kParseError,
                       "Parse error: nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
    Json doc;
    try {
        doc = Json::parse(line.begin(), line.end());
    } catch (const Json::exception& e) {
        std::string reason = e.what();
        // nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
        if (const auto close = reason.find("] "); reason.rfind("[json.exception.", 0) == 0 && close != std::string::npos)
            reason.erase(0, close + 2);
        return invalid(nullptr, kParseError, "Parse error: " + reason);
    }
    if (doc.is_array()) {
        return invalid(nullptr, kInvalidRequest, "Invalid Request: batches are not supported; send one message a line");
    }
    if (!doc.is_object()) {
        return invalid(nullptr, kInvalidRequest, "Invalid Request: a message must be a JSON object, got " + type_name(doc));
    }

    const auto id_it = doc.find("id");
    const bool has_id = id_it != doc.end();
    const Json id = has_id && valid_id(*id_it) ? *id_it : Json(nullptr);

    const auto version = doc.find("jsonrpc");
    if (version == doc.end() || *version != "2.0") {
        return invalid(id, kInvalidRequest, "Invalid Request: \"jsonrpc\" must be \"2.0\"");
    }
    if (has_id && !valid_id(*id_it)) {
        return invalid(nullptr, kInvalidRequest, "Invalid Request: \"id\" must be a string or an integer");
    }

    const auto method = doc.find("method");
    if (method == doc.end()) {
        if (has_id && (doc.contains("result") || doc.contains("error"))) {
            Message m;
            m.kind = Kind::Response;
            m.id = id;
            return m;
        }
        return invalid(id, kInvalidRequest, "Invalid Request: no \"method\"");
    }
    if (!method->is_string()) {
        return invalid(id, kInvalidRequest, "Invalid Request: \"method\" must be a string");
    }

    Message m;
    m.kind = has_id ? Kind::Request : Kind::Notification;
    m.id = id;
    m.method = method->get<std::string>();
    if (const auto params = doc.find("params"); params != doc.end() && !params->is_null()) {
        if (!params->is_object()) {
            if (m.kind == Kind::Notification) {
                m.params = nullptr;  // the server drops it
                return m;
            }
            return invalid(id, kInvalidParams, "Invalid params: \"params\" must be an object");
        }
        m.params = std::move(*params);
    }
    return m;
}

Json result_response(const Json& id, Json result) {
    Json r = Json::object();
    r["jsonrpc"] = "2.0";
    r["id"] = id;
    r["result"] = std::move(result);
    return r;
}

Json error_response(const Json& id, int code, const std::string& message) {
    Json r = Json::object();
    r["jsonrpc"] = "2.0";
    r["id"] = id;
    r["error"] = {{"code", code}, {"message", message}};
    return r;
}

Json notification(const std::string& method, Json params) {
    Json r = Json::object();
    r["jsonrpc"] = "2.0";
    r["method"] = method;
    r["params"] = std::move(params);
    return r;
}

}  // namespace droidlens::mcp::rpc
