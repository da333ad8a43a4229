#include <droidlens/errors.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>

#include "utils/args.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace droidlens {

namespace {

using T = OptionType;
constexpr std::optional<double> kAny = std::nullopt;

// The modes that reach a device, and those that read screenshots.
constexpr const char* kScreenModes = "nodepin locate ocr glyphpin action automate assert wait screenshot";

// One row per option. The positional ones come first, in route()'s order; the others
// are keyword-only. Modes listed for an option that is not kOwnModes say where it
// means something (help, tool schemas); every mode still accepts it.
const std::vector<RunOption> kOptions = {
    {"image_paths", T::kTextList, nullptr, "Screenshot file; repeat for several (none: capture from the device)",
     "diff locate ocr glyphpin assert", kPositional | kPath, kAny, kAny, nullptr, "--image", "-i", "PATH"},
    {"device_id", T::kText, nullptr, "adb serial of the device (needed when several are connected)",
     "displays nodepin locate ocr glyphpin action automate assert wait screenshot", kPositional, kAny, kAny, nullptr,
     "--device-id", nullptr, "SERIAL"},
    {"display_id", T::kInteger, nullptr, "Display of the device (default: the main display)", kScreenModes,
     kPositional, 0, kAny, nullptr, "--display-id", nullptr, "ID"},
    {"output_dir", T::kText, kDefaultOutputDir, "Directory for screenshots and annotated images",
     "diff nodepin locate ocr glyphpin action automate assert wait screenshot mcp", kPositional | kPath, kAny, kAny, nullptr,
     "--output-dir", "-o", "DIR"},
    {"max_steps", T::kInteger, kDefaultMaxSteps, "Step limit of the automate mode", "automate mcp", kPositional, 0,
     kAny, nullptr, "--max-steps", nullptr, "N"},
    {"lang", T::kText, kDefaultLang, "Prompt language: en, or cn for Chinese", "ocr glyphpin automate assert wait mcp",
     kPositional, kAny, kAny, nullptr, "--lang", nullptr, "LANG"},
    {"adb_server", T::kText, nullptr, "adb server to use, HOST:PORT (default: the local one)",
     "displays nodepin locate ocr glyphpin action automate assert wait screenshot devices", 0, kAny, kAny, "HOST:PORT",
     "--adb-server", nullptr, "HOST:PORT"},
    {"capture", T::kText, "auto",
     "How screenshots are taken: raw (the device sends its pixels, the PNG is made here: fastest), png "
     "(screencap -p), auto (raw, and png for the rest of the run once raw is unusable)",
     kScreenModes, 0, kAny, kAny, "raw|png|auto", "--capture", nullptr, "MODE"},
    {"mask", T::kTextList, nullptr,
     "Leave an area out of the diff: x1,y1,x2,y2 in 0-1000 of the width and height, status-bar or nav-bar; "
     "repeat for several",
     "diff", kOwnModes | kOneOrMany, kAny, kAny, nullptr, "--mask", nullptr, "AREA"},
    {"merge_gap", T::kInteger, nullptr,
     "Merge diff regions whose boxes come closer than N pixels (a changed text line becomes one; default 0)", "diff",
     kOwnModes, 0, kAny, nullptr, "--merge-gap", nullptr, "N"},
    {"max_boxes", T::kInteger, nullptr, "Diff regions kept, largest first; 0 keeps all (default 10)", "diff",
     kOwnModes, 0, kAny, nullptr, "--max-boxes", nullptr, "N"},
    {"min_area", T::kInteger, nullptr, "Drop diff regions of fewer than N changed pixels (default 240)", "diff",
     kOwnModes, 0, kAny, nullptr, "--min-area", nullptr, "N"},
    {"fail_above", T::kReal, nullptr,
     "Exit with status 6 when the diff score (0-1) is above SCORE; the record is still printed (and says "
     "passed: false)",
     "diff", kOwnModes, 0, 1, nullptr, "--fail-above", nullptr, "SCORE"},
    {"timeout", T::kReal, nullptr, "Seconds the wait gives up after, with exit status 6 (default 30)", "wait", kOwnModes,
     0, 86400, nullptr, "--timeout", nullptr, "SECONDS"},
    {"interval", T::kReal, nullptr, "Seconds between a wait's captures of the screen (default 1)", "wait", kOwnModes, 0,
     3600, nullptr, "--interval", nullptr, "SECONDS"},
};

// Integers pass; decimals and booleans are truncated toward zero; anything else is
// rejected. Values that have no integer (NaN, infinities, out of range) fail clearly.
std::int64_t as_integer(const std::string& name, const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw UsageError("Argument '" + name.substr(0, 200) + "' is out of range");
        }
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (std::isnan(d)) throw UsageError("cannot convert float NaN to integer");
        if (std::isinf(d)) throw UsageError("cannot convert float infinity to integer");
        double t = std::trunc(d);
        if (t < -9.2233720368547758e18 || t >= 9.2233720368547758e18) {
            throw UsageError("Argument '" + name.substr(0, 200) + "' is out of range");
        }
        return static_cast<std::int64_t>(t);
    }
    args::throw_wrong_type(name, "int", v);
}

std::string number_text(double d) {
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<long long>(d));
    return dump_json(Json(d));
}

void check_range(const RunOption& o, double value, const Json& shown) {
    const bool low = o.minimum && !(value >= *o.minimum);
    const bool high = o.maximum && !(value <= *o.maximum);
    if (!low && !high && !std::isnan(value)) return;
    const std::string got = ", got " + dump_json(shown);
    if (o.minimum && o.maximum)
        throw UsageError(std::string(o.name) + " must be from " + number_text(*o.minimum) + " to " +
                         number_text(*o.maximum) + got);
    if (o.minimum && *o.minimum == 0) throw UsageError(std::string(o.name) + " must not be negative" + got);
    if (o.minimum) throw UsageError(std::string(o.name) + " must be at least " + number_text(*o.minimum) + got);
    throw UsageError(std::string(o.name) + " must be at most " + number_text(*o.maximum) + got);
}

// The forms a text option may take. "HOST:PORT": a host (a name, an IPv4 address or a bracketed IPv6 one) and a port
// from 1 to 65535.
void check_format(const RunOption& o, const std::string& text) {
    if (o.format == nullptr) return;
    const std::string_view format = o.format;
    if (format == "HOST:PORT") {
        const auto colon = text.rfind(':');
        bool ok = colon != std::string::npos && colon > 0 && colon + 1 < text.size() && colon + 6 >= text.size();
        long port = 0;
        for (std::size_t i = colon + 1; ok && i < text.size(); ++i) {
            ok = text[i] >= '0' && text[i] <= '9';
            port = port * 10 + (text[i] - '0');
        }
        for (std::size_t i = 0; ok && i < colon; ++i) ok = text[i] > ' ' && text[i] != 0x7f && text[i] != '/';
        if (ok && port >= 1 && port <= 65535) return;
        throw UsageError(std::string(o.name) + " must be HOST:PORT, got " + dump_json(Json(text)));
    }
    // "a|b|c": one of the words.
    if (format.find('|') != std::string_view::npos) {
        std::size_t start = 0;
        while (start <= format.size()) {
            const std::size_t bar = std::min(format.find('|', start), format.size());
            if (format.substr(start, bar - start) == text) return;
            start = bar + 1;
        }
        throw UsageError(std::string(o.name) + " must be one of " + std::string(format) + ", got " + dump_json(Json(text)));
    }
}

std::string text_of(const RunOption& o, const std::string& name, const Json& v) {
    if (!v.is_string()) args::throw_wrong_type(name, "str", v);
    check_format(o, v.get<std::string>());
    return v.get<std::string>();
}

// A number read whole from `text`, as JSON: an integer when it is written as one.
std::optional<Json> number_from_text(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (*end == '\0' && errno == 0) return Json(static_cast<std::int64_t>(n));
    const double d = std::strtod(text.c_str(), &end);
    if (*end == '\0') return Json(d);
    return std::nullopt;
}

}  // namespace

const std::vector<RunOption>& run_options() { return kOptions; }

const RunOption* find_run_option(std::string_view name) {
    for (const RunOption& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

bool option_takes(const RunOption& option, std::string_view mode) {
    std::string_view list = option.modes;
    while (!list.empty()) {
        const auto space = list.find(' ');
        if (list.substr(0, space) == mode) return true;
        if (space == std::string_view::npos) break;
        list.remove_prefix(space + 1);
    }
    return false;
}

const char* option_type_name(OptionType type) {
    switch (type) {
        case T::kText: return "str";
        case T::kInteger: return "int";
        case T::kReal: return "float";
        case T::kBoolean: return "bool";
        case T::kTextList: return "list";
    }
    return "str";
}

Json check_option_value(const RunOption& o, const Json& v) {
    const std::string name = o.name;
    if (v.is_null() && o.default_value.is_null()) return nullptr;
    switch (o.type) {
        case T::kText: return text_of(o, name, v);
        case T::kInteger: {
            const std::int64_t n = as_integer(name, v);
            check_range(o, static_cast<double>(n), Json(n));
            return n;
        }
        case T::kReal: {
            if (!v.is_number()) args::throw_wrong_type(name, "float", v);
            const double d = v.get<double>();
            check_range(o, d, Json(d));
            return d;
        }
        case T::kBoolean:
            if (!v.is_boolean()) args::throw_wrong_type(name, "bool", v);
            return v;
        case T::kTextList: {
            if (v.is_string() && (o.flags & kOneOrMany)) return Json::array({text_of(o, name, v)});
            if (!v.is_array()) args::throw_wrong_type(name, "list", v);
            Json out = Json::array();
            for (std::size_t i = 0; i < v.size(); ++i)
                out.push_back(text_of(o, name + "[" + std::to_string(i) + "]", v[i]));
            return out;
        }
    }
    return v;
}

Json option_value_from_text(const RunOption& o, const std::vector<std::string>& texts) {
    if (texts.empty()) return check_option_value(o, o.default_value);
    if (o.type == T::kTextList) return check_option_value(o, Json(texts));
    const std::string& text = texts.back();  // a flag given twice: the last one counts
    if (o.type == T::kText) return check_option_value(o, Json(text));
    if (o.type == T::kBoolean) {
        if (text == "true" || text == "1") return true;
        if (text == "false" || text == "0") return false;
        throw UsageError(std::string(o.flag) + ": '" + text + "' is not true or false");
    }
    const std::optional<Json> number = number_from_text(text);
    if (!number)
        throw UsageError(std::string(o.flag) + ": '" + text + "' is not " +
                         (o.type == T::kInteger ? "an integer" : "a number"));
    return check_option_value(o, *number);
}

Json option_schema(const RunOption& o) {
    Json s = Json::object();
    switch (o.type) {
        case T::kText: s["type"] = "string"; break;
        case T::kInteger: s["type"] = "integer"; break;
        case T::kReal: s["type"] = "number"; break;
        case T::kBoolean: s["type"] = "boolean"; break;
        case T::kTextList: s["type"] = "array"; s["items"] = {{"type", "string"}}; break;
    }
    if (o.minimum) s["minimum"] = *o.minimum == std::trunc(*o.minimum) ? Json(static_cast<std::int64_t>(*o.minimum)) : Json(*o.minimum);
    if (o.maximum) s["maximum"] = *o.maximum == std::trunc(*o.maximum) ? Json(static_cast<std::int64_t>(*o.maximum)) : Json(*o.maximum);
    if (o.format && std::string_view(o.format) == "HOST:PORT") s["pattern"] = "^[^:/\\s][^/\\s]*:[0-9]{1,5}$";
    if (o.format && std::string_view(o.format).find('|') != std::string_view::npos) {
        Json words = Json::array();
        std::string_view rest = o.format;
        for (std::size_t bar; (bar = rest.find('|')) != std::string_view::npos; rest.remove_prefix(bar + 1))
            words.push_back(std::string(rest.substr(0, bar)));
        words.push_back(std::string(rest));
        s["enum"] = std::move(words);
    }
    s["description"] = o.help;
    if (!o.default_value.is_null()) s["default"] = o.default_value;
    return s;
}

std::string python_route_parameters(bool annotated) {
    std::string out;
    bool keyword_only = false;
    for (const RunOption& o : kOptions) {
        if (!(o.flags & kPositional) && !keyword_only) {
            out += ", *";
            keyword_only = true;
        }
        out += out.empty() ? "" : ", ";
        out += o.name;
        const bool optional = o.default_value.is_null();
        if (annotated) {
            const std::string text = (o.flags & kPath) ? "_Path" : "str";
            std::string type;
            switch (o.type) {
                case T::kText: type = text; break;
                case T::kInteger: type = "int"; break;
                case T::kReal: type = "float"; break;
                case T::kBoolean: type = "bool"; break;
                case T::kTextList: type = "list[" + text + "]"; break;
            }
            if (o.flags & kOneOrMany) type = "Union[" + text + ", " + type + (optional ? ", None]" : "]");
            else if (optional) type = "Optional[" + type + "]";
            out += ": " + type + " = ";
        } else {
            out += "=";
        }
        const Json& d = o.default_value;
        if (d.is_null()) out += "None";
        else if (d.is_boolean()) out += d.get<bool>() ? "True" : "False";
        else if (d.is_string()) out += (annotated ? "\"" : "'") + d.get<std::string>() + (annotated ? "\"" : "'");
        else out += dump_json(d);
    }
    return out;
}

}  // namespace droidlens
