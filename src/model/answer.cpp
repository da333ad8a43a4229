#include "model/answer.hpp"

#include <droidlens/errors.hpp>

#include <algorithm>
#include <map>
#include <optional>

namespace droidlens::answer {

namespace {

// How many opening braces of a content text are tried as the start of a JSON
// object, and how many characters may be scanned and parsed for them in all: enough
// for any answer a model writes, a bound (a few milliseconds) for hostile ones.
constexpr int kMaxObjectStarts = 256;
constexpr size_t kMaxScannedChars = size_t{8} << 20;

[[noreturn]] void malformed(const std::string& what) { throw ModelAnswerError("Malformed LLM response: " + what); }

// nlohmann's messages start with "[json.exception.parse_error.101] "; the reader
// needs only what follows.
std::string parser_message(const Json::exception& e) {
    std::string what = e.what();
    if (!what.empty() && what[0] == '[') {
        const size_t close = what.find("] ");
        if (close != std::string::npos) what.erase(0, close + 2);
    }
    return what;
}

std::optional<Json> parse_quietly(std::string_view text) {
    Json parsed = Json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

// The content as text: a string, or the text parts of a list of parts.
std::string content_text(const Json& message) {
    const auto it = message.find("content");
    if (it == message.end() || it->is_null()) return {};
    if (it->is_string()) return it->get<std::string>();
    if (it->is_array()) {
        std::string joined;
        for (const Json& part : *it)
            if (part.is_object() && part.value("type", Json()) == "text" && part.value("text", Json()).is_string())
                joined += part["text"].get<std::string>();
        return joined;
    }
    throw ModelAnswerError("Malformed LLM response: the answer's content is " + type_name(*it) + ", not text");
}

// {"name": tool, "arguments": {...}} (or "parameters"): the arguments, when the
// object names this tool.
std::optional<Json> named_call(const Json& object, const std::string& tool_name) {
    if (!object.is_object() || object.value("name", Json()) != tool_name) return std::nullopt;
    for (const char* key : {"arguments", "parameters"}) {
        const auto it = object.find(key);
        if (it == object.end()) continue;
        if (it->is_string()) {
            if (auto inner = parse_quietly(it->get<std::string>())) return inner;
            return std::nullopt;
        }
        return *it;
    }
    return std::nullopt;
}

bool fits(const Json& object, const std::vector<std::string>& keys) {
    if (!object.is_object()) return false;
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& k) { return object.contains(k); });
}

// The arguments an object found in the content stands for: a named call of this
// tool, or the arguments themselves when their keys fit the tool.
std::optional<Json> arguments_in(const Json& object, const std::string& tool_name, const std::vector<std::string>& keys) {
    if (auto args = named_call(object, tool_name)) return args;
    if (fits(object, keys)) return object;
    return std::nullopt;
}

// The end (one past the closing brace) of the balanced object starting at `start`,
// strings and escapes skipped; npos when it does not close.
size_t object_end(std::string_view text, size_t start, size_t& budget) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = start; i < text.size(); ++i) {
        if (budget == 0) return std::string_view::npos;
        --budget;
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) return i + 1;
            if (depth < 0) return std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

// The first balanced JSON object of `text` that the tool's arguments can be read from.
// `budget` is shared by every search of one answer.
std::optional<Json> first_fitting_object(std::string_view text, const std::string& tool_name,
                                         const std::vector<std::string>& keys, size_t& budget) {
    size_t at = text.find('{');
    for (int tries = 0; at != std::string_view::npos && tries < kMaxObjectStarts && budget > 0; ++tries) {
        const size_t end = object_end(text, at, budget);
        if (end != std::string_view::npos && end - at <= budget) {
            budget -= end - at;  // the parse reads it once more
            if (auto parsed = parse_quietly(text.substr(at, end - at))) {
                if (auto args = arguments_in(*parsed, tool_name, keys)) return args;
            }
        }
        at = text.find('{', at + 1);
    }
    return std::nullopt;
}

// The texts between each `open` and the following `close`.
std::vector<std::string_view> between(std::string_view text, std::string_view open, std::string_view close) {
    std::vector<std::string_view> out;
    for (size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at)) {
        at += open.size();
        const size_t end = text.find(close, at);
        out.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) break;
        at = end + close.size();
    }
    return out;
}

Json as_object(Json parsed) {
    if (!parsed.is_object()) throw ModelAnswerTypeError("Expected dict, got " + type_name(parsed));
    return parsed;
}

}  // namespace

const Json& first_message(const Json& response) {
    const Json* choices = nullptr;
    if (response.is_object()) {
        if (auto it = response.find("choices"); it != response.end()) choices = &*it;
    }
    if (choices == nullptr || choices->is_null() || (choices->is_array() && choices->empty()))
        throw ModelAnswerError("Empty LLM response");
    if (!choices->is_array()) malformed("'choices' is " + type_name(*choices) + ", not a list");
    const Json& choice = choices->front();
    if (choice.is_object()) {
        if (auto it = choice.find("message"); it != choice.end() && it->is_object()) return *it;
    }
    malformed("the first choice has no message object");
}

Json tool_arguments(const Json& response, const std::string& tool_name, const std::vector<std::string>& keys) {
    const Json& message = first_message(response);

    // 1. The service's own tool calls.
    if (auto it = message.find("tool_calls"); it != message.end() && !it->is_null()) {
        if (!it->is_array()) malformed("'tool_calls' is " + type_name(*it) + ", not a list");
        for (const Json& call : *it) {
            if (!call.is_object()) continue;
            auto fn = call.find("function");
            if (fn == call.end() || !fn->is_object()) continue;
            auto name = fn->find("name");
            if (name == fn->end() || !name->is_string() || name->get_ref<const std::string&>() != tool_name) continue;
            auto arguments = fn->find("arguments");
            if (arguments == fn->end() || arguments->is_null()) return as_object(Json(nullptr));
            if (!arguments->is_string()) return as_object(*arguments);  // llama-server sends an object
            try {
                return as_object(Json::parse(arguments->get_ref<const std::string&>()));
            } catch (const Json::exception& e) {
                throw JsonParseError("Arguments of tool call '" + tool_name + "' are not valid JSON: " +
                                     parser_message(e));
            }
        }
    }

    // 2-4. Servers that put the call into the text of the answer.
    const std::string content = content_text(message);
    if (content.find('{') != std::string::npos) {
        size_t budget = kMaxScannedChars;
        for (std::string_view tagged : between(content, "<tool_call>", "</tool_call>")) {
            if (auto args = first_fitting_object(tagged, tool_name, keys, budget)) return as_object(std::move(*args));
        }
        for (std::string_view fenced : between(content, "```json", "```")) {
            if (auto args = first_fitting_object(fenced, tool_name, keys, budget)) return as_object(std::move(*args));
        }
        if (auto args = first_fitting_object(content, tool_name, keys, budget)) return as_object(std::move(*args));
    }
    throw ModelAnswerError("Tool call '" + tool_name + "' not found");
}

std::string text_content(const Json& response) { return content_text(first_message(response)); }

const std::vector<std::string>& tool_keys(const std::string& tool_name) {
    static const std::map<std::string, std::vector<std::string>> kKeys = {
        {"return_target", {"label", "bounding_box", "confidence", "page"}},
        {"return_texts", {"items"}},
        {"return_text_bboxes", {"items"}},
        {"perform_action", {"action", "element", "start", "end", "text", "duration"}},
        {"return_verdict", {"passed", "reason", "evidence_box", "confidence"}},
    };
    static const std::vector<std::string> kNone;
    const auto it = kKeys.find(tool_name);
    return it == kKeys.end() ? kNone : it->second;
}

}  // namespace droidlens::answer
