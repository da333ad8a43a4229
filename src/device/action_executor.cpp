#include "device/action_executor.hpp"

#include "utils/coords.hpp"
#include "utils/text.hpp"

#include <droidlens/cancel.hpp>
#include <droidlens/errors.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

namespace droidlens::actions {

namespace {

constexpr int kMaxListDepth = 32;
constexpr double kMaxWaitSeconds = 60.0;
constexpr int kLongPressMs = 1000;
constexpr int kSwipeMs = 300;

using text::ascii_lower;
using text::char_index;
using text::is_space;
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }

using text::trim;

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Reads a decimal number (optional sign, fraction, exponent) from the start of `s`.
// Returns the number of bytes used (0 when `s` does not start with a number).
std::size_t read_number(std::string_view s, Json& value, bool& out_of_range) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t int_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    std::size_t digits = i - int_start;
    bool is_float = false;
    if (i < s.size() && s[i] == '.') {
        is_float = true;
        ++i;
        const std::size_t frac_start = i;
        while (i < s.size() && is_digit(s[i])) ++i;
        digits += i - frac_start;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && is_digit(s[j])) {
            while (j < s.size() && is_digit(s[j])) ++j;
            is_float = true;
            i = j;
        }
    }
    // from_chars takes no leading '+' and wants digits on both sides of the point.
    std::string lexeme(s.substr(s[0] == '+' ? 1 : 0, i - (s[0] == '+' ? 1 : 0)));
    out_of_range = false;
    if (!is_float) {
        std::int64_t n = 0;
        auto [p, ec] = std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), n);
        if (ec == std::errc() && p == lexeme.data() + lexeme.size()) {
            value = n;
            return i;
        }
    }
    std::string norm;
    for (std::size_t k = 0; k < lexeme.size(); ++k) {
        const char c = lexeme[k];
        if (c == '.' && (k == 0 || !is_digit(lexeme[k - 1]))) norm += '0';
        norm += c;
        if (c == '.' && (k + 1 == lexeme.size() || !is_digit(lexeme[k + 1]))) norm += '0';
    }
    double d = 0;
    auto [p, ec] = std::from_chars(norm.data(), norm.data() + norm.size(), d);
    // Beyond the range of a double (either way): refused rather than silently changed.
    if (ec == std::errc::result_out_of_range || !std::isfinite(d)) {
        out_of_range = true;
    } else if (ec != std::errc() || p != norm.data() + norm.size()) {
        return 0;
    }
    value = d;
    return i;
}

// Recursive-descent parser of one action call. Positions in messages are character
// positions in the original text, counted from 0.
class CallParser {
public:
    explicit CallParser(std::string_view text) : s_(text) {}

    // Returns the call name ("do"/"finish") and its arguments in written order.
    std::pair<std::string, Json> parse() {
        skip_ws();
        if (pos_ == s_.size())
            throw ValueError("empty action text; expected do(action=...) or finish(message=...)");
        const std::size_t name_pos = pos_;
        std::string name = identifier();
        if (name != "do" && name != "finish")
            fail("expected do(...) or finish(...)", name_pos);
        skip_ws();
        if (pos_ == s_.size() || s_[pos_] != '(')
            fail("expected '(' after '" + name + "'", pos_);
        const std::size_t open_pos = pos_++;
        Json args = Json::object();
        while (true) {
            skip_ws();
            if (pos_ == s_.size()) fail("missing ')' to close the call opened", open_pos);
            if (s_[pos_] == ')') break;
            const std::size_t arg_pos = pos_;
            std::string arg = identifier();
            if (arg.empty()) fail("expected an argument name (like action=...) or ')'", arg_pos);
            skip_ws();
            if (pos_ == s_.size() || s_[pos_] != '=')
                fail("expected '=' after argument name '" + arg + "'", pos_);
            ++pos_;
            skip_ws();
            Json value = parse_value(arg, 0);
            if (args.contains(arg)) fail("duplicate argument '" + arg + "'", arg_pos);
            args[arg] = std::move(value);
            skip_ws();
            if (pos_ == s_.size()) fail("missing ')' to close the call opened", open_pos);
            if (s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (s_[pos_] != ')') fail("expected ',' or ')' after the value of '" + arg + "'", pos_);
        }
        ++pos_;  // ')'
        skip_ws();
        if (pos_ != s_.size()) {
            std::string rest(s_.substr(pos_, 20));
            fail("unexpected text after the call: '" + rest + (s_.size() - pos_ > 20 ? "...'" : "'"), pos_);
        }
        return {name, std::move(args)};
    }

private:
    [[noreturn]] void fail(const std::string& what, std::size_t byte_pos) const {
        throw ValueError(what + " at position " + std::to_string(char_index(s_, byte_pos)));
    }

    void skip_ws() {
        while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
    }

    std::string identifier() {
        const std::size_t start = pos_;
        if (pos_ < s_.size() && is_ident_start(s_[pos_])) {
            ++pos_;
            while (pos_ < s_.size() && is_ident_char(s_[pos_])) ++pos_;
        }
        return std::string(s_.substr(start, pos_ - start));
    }

    Json parse_value(const std::string& arg, int depth) {
        if (pos_ == s_.size()) fail("expected a value for '" + arg + "' but the text ended", pos_);
        const char c = s_[pos_];
        if (c == '"' || c == '\'') return parse_string();
        if (c == '[') return parse_list(arg, depth);
        if (is_digit(c) || c == '-' || c == '+' || c == '.') return parse_number();
        if (is_ident_start(c)) {
            const std::size_t start = pos_;
            const std::string word = identifier();
            if (word == "True" || word == "true") return true;
            if (word == "False" || word == "false") return false;
            if (word == "None" || word == "null") return nullptr;
            fail("unexpected '" + word + "' as the value of '" + arg + "' (text values must be quoted)", start);
        }
        fail("expected a value for '" + arg + "'", pos_);
    }

    Json parse_list(const std::string& arg, int depth) {
        const std::size_t open = pos_++;
        if (depth >= kMaxListDepth) fail("lists nested too deeply", open);
        Json list = Json::array();
        while (true) {
            skip_ws();
            if (pos_ == s_.size()) fail("unterminated list starting", open);
            if (s_[pos_] == ']') break;
            list.push_back(parse_value(arg, depth + 1));
            skip_ws();
            if (pos_ == s_.size()) fail("unterminated list starting", open);
            if (s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (s_[pos_] != ']') fail("expected ',' or ']' in the list of '" + arg + "'", pos_);
        }
        ++pos_;
        return list;
    }

    Json parse_number() {
        const std::size_t start = pos_;
        Json value;
        bool out_of_range = false;
        const std::size_t used = read_number(s_.substr(pos_), value, out_of_range);
        std::size_t end = pos_ + used;
        // A number must end where a token ends: "1.2.3" or "12px" is not a number.
        if (used == 0 || (end < s_.size() && (is_ident_char(s_[end]) || s_[end] == '.'))) {
            while (end < s_.size() && (is_ident_char(s_[end]) || s_[end] == '.' || s_[end] == '-' || s_[end] == '+'))
                ++end;
            fail("invalid number '" + std::string(s_.substr(start, std::max(end - start, std::size_t{1}))) + "'",
                 start);
        }
        if (out_of_range) fail("number out of range", start);
        pos_ = end;
        return value;
    }

    std::uint32_t hex4(std::size_t at) const {
        if (at + 4 > s_.size()) return 0xFFFFFFFF;
        std::uint32_t v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            const char h = s_[k];
            v <<= 4;
            if (is_digit(h)) v |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') v |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') v |= static_cast<std::uint32_t>(h - 'A' + 10);
            else return 0xFFFFFFFF;
        }
        return v;
    }

    Json parse_string() {
        const std::size_t open = pos_;
        const char quote = s_[pos_++];
        std::string out;
        while (true) {
            if (pos_ == s_.size()) fail("unterminated string starting", open);
            const char c = s_[pos_];
            if (c == quote) {
                ++pos_;
                return out;
            }
            if (c != '\\') {
                out += c;
                ++pos_;
                continue;
            }
            if (pos_ + 1 == s_.size()) fail("unterminated string starting", open);
            const std::size_t esc = pos_;
            const char e = s_[pos_ + 1];
            pos_ += 2;
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case '\\': out += '\\'; break;
                case '"': out += '"'; break;
                case '\'': out += '\''; break;
                case '/': out += '/'; break;
                case 'u': {
                    std::uint32_t cp = hex4(pos_);
                    if (cp == 0xFFFFFFFF) fail("invalid \\u escape (needs four hex digits)", esc);
                    pos_ += 4;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) fail("unpaired surrogate in \\u escape", esc);
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        const std::uint32_t low = (pos_ + 1 < s_.size() && s_[pos_] == '\\' && s_[pos_ + 1] == 'u')
                                                      ? hex4(pos_ + 2)
                                                      : 0xFFFFFFFF;
                        if (low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate in \\u escape", esc);
                        pos_ += 6;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(out, cp);
                    break;
                }
                default:  // unknown escapes stay as written
                    out += '\\';
                    out += e;
            }
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

bool is_number(const Json& v) { return v.is_number(); }  // booleans are not numbers in Json

// [x, y] of two finite numbers.
bool is_point(const Json& v) {
    return v.is_array() && v.size() == 2 && is_number(v[0]) && is_number(v[1]) &&
           std::isfinite(v[0].get<double>()) && std::isfinite(v[1].get<double>());
}

std::string valid_actions_text() {
    std::string out;
    for (const char* n : kActionNames) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

// Checks the arguments a do-action needs; throws ValueError naming what is missing.
void check_do_arguments(const std::string& action, const Json& args) {
    auto point = [&](const char* key, const char* usage) {
        if (!args.contains(key)) throw ValueError(action + " needs " + usage);
        if (!is_point(args[key]))
            throw ValueError(action + " needs " + usage + " with two finite numbers, got " + std::string(key) + "=" +
                             dump_json(args[key]));
    };
    if (action == "Tap" || action == "Double Tap" || action == "Long Press") {
        point("element", "element=[x,y]");
    } else if (action == "Swipe") {
        if (!args.contains("start") || !args.contains("end"))
            throw ValueError("Swipe needs start=[x1,y1] and end=[x2,y2]");
        point("start", "start=[x1,y1]");
        point("end", "end=[x2,y2]");
    } else if (action == "Type" || action == "Type_Name") {
        if (!args.contains("text") || !args["text"].is_string())
            throw ValueError(action + " needs text=\"...\" (quoted text)");
    }
}

// A coordinate value as a double, accepting numbers and numeric text.
std::optional<double> coordinate_value(const Json& v) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
        Json n;
        bool oor = false;
        const std::string t = trim(v.get<std::string>());
        if (!t.empty() && read_number(t, n, oor) == t.size() && !oor) return n.get<double>();
    }
    return std::nullopt;
}

std::string point_text(std::int64_t x, std::int64_t y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

ActionResult fail_result(std::string message) { return ActionResult{false, std::move(message), false}; }

// Byte offset of the first character beyond ASCII, or npos.
std::size_t first_non_ascii(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return i;
    return std::string::npos;
}

// What to do about text that only an input method can type.
std::string no_keyboard_message(const std::string& text) {
    return "Nothing typed: adb input cannot type non-ASCII text (character " +
           std::to_string(char_index(text, first_non_ascii(text))) + "). Install the ADB Keyboard input method (package " +
           adb::kAdbKeyboardPackage +
           ", ADBKeyboard.apk from https://github.com/senzhk/ADBKeyBoard/releases) with `adb install "
           "ADBKeyboard.apk` and enable it with `adb shell ime enable " + adb::kAdbKeyboardIme +
           "`; such text is then typed through it, and your input method is restored afterwards.";
}

}  // namespace

std::string canonical_action_name(const std::string& name) {
    std::string key = ascii_lower(trim(name));
    std::replace(key.begin(), key.end(), '_', ' ');
    static const std::pair<const char*, const char*> table[] = {
        {"tap", "Tap"},   {"click", "Tap"}, {"double tap", "Double Tap"}, {"doubletap", "Double Tap"},
        {"long press", "Long Press"}, {"longpress", "Long Press"}, {"swipe", "Swipe"}, {"back", "Back"},
        {"home", "Home"}, {"type", "Type"}, {"type name", "Type_Name"}, {"wait", "Wait"},
        {"screenshot", "Screenshot"}};
    for (const auto& [k, v] : table)
        if (key == k) return v;
    return name;
}

bool is_executable_action(const std::string& canonical) {
    return std::any_of(std::begin(kActionNames), std::end(kActionNames),
                       [&](const char* n) { return canonical == n; });
}

double parse_duration_seconds(const Json& value) {
    double seconds = 0;
    if (value.is_number()) {
        seconds = value.get<double>();
    } else if (value.is_string()) {
        const std::string text = trim(value.get<std::string>());
        Json n;
        bool oor = false;
        const std::size_t used = read_number(text, n, oor);
        if (used == 0 || oor)
            throw ValueError("cannot read the Wait duration '" + value.get<std::string>() +
                             "'; write it like \"2 seconds\"");
        const std::string unit = ascii_lower(trim(std::string_view(text).substr(used)));
        double scale = 0;
        if (unit.empty() || unit == "s" || unit == "sec" || unit == "secs" || unit == "second" || unit == "seconds" ||
            unit == "\u79d2")  // 秒
            scale = 1;
        else if (unit == "ms" || unit == "msec" || unit == "millisecond" || unit == "milliseconds" ||
                 unit == "\u6beb\u79d2")  // 毫秒
            scale = 0.001;
        else if (unit == "min" || unit == "mins" || unit == "minute" || unit == "minutes" ||
                 unit == "\u5206\u949f")  // 分钟
            scale = 60;
        else
            throw ValueError("cannot read the Wait duration '" + value.get<std::string>() +
                             "'; write it like \"2 seconds\"");
        seconds = n.get<double>() * scale;
    } else {
        throw ValueError("Wait duration must be a number of seconds or a text like \"2 seconds\", got " +
                         dump_json(value));
    }
    if (!std::isfinite(seconds)) throw ValueError("Wait duration must be a finite number of seconds");
    if (seconds < 0) throw ValueError("Wait duration must not be negative");
    return seconds + 0.0;  // -0.0 reads as 0.0
}

std::string format_seconds(double seconds) {
    char buf[64];
    const double mag = std::fabs(seconds);
    // Fixed notation over the range where a shortest decimal reads naturally, like the
    // usual "repr" of a float; scientific beyond it.
    const bool fixed = mag == 0 || (mag >= 1e-4 && mag < 1e16);
    auto [end, ec] = fixed ? std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed)
                           : std::to_chars(buf, buf + sizeof buf, seconds);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text + " seconds";
}

Json parse_action(std::string_view text) {
    auto [name, args] = CallParser(text).parse();
    Json action = Json::object();
    action["_metadata"] = name;
    if (name == "finish") {
        Json message = args.contains("message") ? args["message"] : Json("");
        if (message.is_null()) message = "";
        if (!message.is_string()) throw ValueError("finish needs message=\"...\" (quoted text)");
        action["message"] = message;
        for (auto it = args.begin(); it != args.end(); ++it)
            if (it.key() != "message") action[it.key()] = it.value();
        return action;
    }
    if (!args.contains("action"))
        throw ValueError("do(...) needs action=\"...\", for example do(action=\"Tap\", element=[500,500])");
    if (!args["action"].is_string())
        throw ValueError("action must be quoted text such as \"Tap\", got " + dump_json(args["action"]));
    const std::string canonical = canonical_action_name(args["action"].get<std::string>());
    if (!is_executable_action(canonical))
        throw ValueError("unknown action '" + args["action"].get<std::string>() +
                         "'; valid actions: " + valid_actions_text());
    check_do_arguments(canonical, args);
    action["action"] = canonical;
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (it.key() == "action") continue;
        if (canonical == "Wait" && it.key() == "duration") {
            action["duration"] = format_seconds(it.value().is_null() ? 1.0 : parse_duration_seconds(it.value()));
            continue;
        }
        action[it.key()] = it.value();
    }
    if (canonical == "Wait" && !action.contains("duration")) action["duration"] = format_seconds(1.0);
    return action;
}

Json ActionResult::to_json() const {
    Json j = Json::object();
    j["success"] = success;
    j["message"] = message;
    j["should_finish"] = should_finish;
    return j;
}

ActionHandler::ActionHandler(const adb::Device& device) : device_(device) {}

ActionHandler::ActionHandler(std::optional<std::string> device_id, std::optional<std::int64_t> display_id)
    : device_(adb::Device::unresolved(std::move(device_id), display_id)) {}

ActionResult ActionHandler::execute(const Json& action, int width, int height) const {
    if (width <= 0 || height <= 0)
        throw ValueError("screen size must be positive, got " + std::to_string(width) + "x" + std::to_string(height));
    if (!action.is_object()) return fail_result("Unsupported action: expected an action mapping, got " + dump_json(action));

    if (action.value("_metadata", Json()) == "finish") {
        const Json m = action.value("message", Json(""));
        return ActionResult{true, m.is_string() ? m.get<std::string>() : (m.is_null() ? "" : dump_json(m)), true};
    }

    const Json name_value = action.value("action", Json());
    const std::string given = name_value.is_string() ? name_value.get<std::string>() : "";
    if (!name_value.is_string() && !name_value.is_null())
        return fail_result("Unsupported action: " + dump_json(name_value));
    const std::string name = canonical_action_name(given);
    if (!is_executable_action(name)) return fail_result("Unsupported action: " + given);

    // Reads [x, y] under `key` as pixels; nullopt when absent or not two finite numbers.
    auto pixel_point = [&](const char* key) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
        const Json p = action.value(key, Json());
        if (!p.is_array() || p.size() != 2) return std::nullopt;
        const auto x = coordinate_value(p[0]);
        const auto y = coordinate_value(p[1]);
        if (!x || !y || !std::isfinite(*x) || !std::isfinite(*y)) return std::nullopt;
        return std::make_pair(coords::relative_to_pixel(*x, width), coords::relative_to_pixel(*y, height));
    };
    auto run_input = [&](const std::vector<std::string>& args) { return device_.input(args); };
    auto failed = [&](const std::string& what, const adb::ShellOutcome& o) {
        return fail_result(what + " failed: " + o.error);
    };

    if (name == "Tap" || name == "Double Tap" || name == "Long Press") {
        const auto p = pixel_point("element");
        if (!p) return fail_result(name + " needs element=[x,y] with two numbers");
        const std::string xs = std::to_string(p->first), ys = std::to_string(p->second);
        const std::string where = point_text(p->first, p->second);
        if (name == "Tap") {
            const auto o = run_input({"tap", xs, ys});
            return o.ok ? ActionResult{true, "Tapped " + where, false} : failed("Tap", o);
        }
        if (name == "Long Press") {
            const auto o = run_input({"swipe", xs, ys, xs, ys, std::to_string(kLongPressMs)});
            return o.ok ? ActionResult{true, "Long-pressed " + where, false} : failed("Long Press", o);
        }
        // Both taps in one device shell line, the first in the background, so they
        // land about 100 ms apart whatever the adb round trip costs; the line fails
        // when either tap fails.
        std::vector<std::string> words = adb::input_words(device_.target(), {"tap", xs, ys});
        words.insert(words.end(), {"&", "sleep", "0.1;"});
        for (auto& w : adb::input_words(device_.target(), {"tap", xs, ys})) words.push_back(std::move(w));
        words.insert(words.end(), {"&&", "wait", "$!"});
        const auto o = device_.shell(words);
        return o.ok ? ActionResult{true, "Double-tapped " + where, false} : failed("Double Tap", o);
    }
    if (name == "Swipe") {
        const auto a = pixel_point("start");
        const auto b = pixel_point("end");
        if (!a || !b) return fail_result("Swipe needs start=[x1,y1] and end=[x2,y2] with two numbers each");
        const auto o = run_input({"swipe", std::to_string(a->first), std::to_string(a->second),
                                  std::to_string(b->first), std::to_string(b->second), std::to_string(kSwipeMs)});
        return o.ok ? ActionResult{true, "Swiped " + point_text(a->first, a->second) + " -> " +
                                             point_text(b->first, b->second),
                                   false}
                    : failed("Swipe", o);
    }
    if (name == "Back" || name == "Home") {
        const auto o = run_input({"keyevent", name == "Back" ? "4" : "3"});
        return o.ok ? ActionResult{true, "Pressed " + name, false} : failed(name, o);
    }
    if (name == "Wait") {
        double seconds = 1.0;
        try {
            const Json d = action.value("duration", Json());
            if (!d.is_null()) seconds = parse_duration_seconds(d);
        } catch (const ValueError& e) {
            return fail_result(e.what());
        }
        seconds = std::min(seconds, kMaxWaitSeconds);
        cancel::sleep_for(std::chrono::duration<double>(seconds));  // ends early on a cancel request
        return ActionResult{true, "Waited " + format_seconds(seconds), false};
    }
    // Type and Type_Name.
    const Json text_value = action.value("text", Json());
    if (!text_value.is_string()) return fail_result(name + " needs text=\"...\"");
    const std::string text = text_value.get<std::string>();
    const std::string typed = "Typed " + std::to_string(char_index(text, text.size())) + " characters";
    if (first_non_ascii(text) != std::string::npos) {
        std::vector<adb::ImeStep> steps;
        try {
            steps = adb::ime_text_steps(text);  // refuses untypeable text before anything is sent
        } catch (const ValueError& e) {
            return fail_result(std::string("Nothing typed: ") + e.what());
        }
        const adb::ImeTyping t = device_.type_with_adb_keyboard(steps);
        const std::string restore = t.restore_error.empty() ? "" : "; " + t.restore_error;
        switch (t.status) {
            case adb::ImeTyping::Status::NotInstalled: return fail_result(no_keyboard_message(text));
            case adb::ImeTyping::Status::Failed: return fail_result(name + " failed: " + t.error + restore);
            case adb::ImeTyping::Status::Typed: break;
        }
        return ActionResult{true, typed + restore, false};
    }
    std::vector<std::vector<std::string>> commands;
    try {
        commands = adb::text_input_args(text);  // refuses untypeable text before anything is sent
    } catch (const ValueError& e) {
        return fail_result(std::string("Nothing typed: ") + e.what());
    }
    std::size_t sent = 0;
    for (const auto& args : commands) {
        const auto o = run_input(args);
        if (!o.ok) {
            return fail_result(name + " failed after " + std::to_string(sent) + " of " +
                               std::to_string(commands.size()) + " input commands: " + o.error);
        }
        ++sent;
    }
    return ActionResult{true, typed, false};
}

}  // namespace droidlens::actions
