#include <droidlens/errors.hpp>
#include <droidlens/route.hpp>

#include "modes/diff.hpp"
#include "router.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

namespace droidlens {

namespace {

using Handler = ModeHandler;

// Modes whose handlers are not part of this build yet fail clearly instead of
// pretending to work.
template <const char* Name>
Json not_yet_available(const ModeArgs&) {
    throw RuntimeError(std::string("Mode '") + Name + "' is not available in this build yet");
}

constexpr char kDisplays[] = "displays";
constexpr char kNodepin[] = "nodepin";
constexpr char kLocate[] = "locate";
constexpr char kOcr[] = "ocr";
constexpr char kGlyphpin[] = "glyphpin";
constexpr char kAction[] = "action";
constexpr char kAutomate[] = "automate";

// Mode names and their handlers, in the order they are tested.
std::array<std::pair<const char*, Handler>, 8> kHandlers = {{
    {"displays", &not_yet_available<kDisplays>},
    {"diff", &diff::run},
    {"nodepin", &not_yet_available<kNodepin>},
    {"locate", &not_yet_available<kLocate>},
    {"ocr", &not_yet_available<kOcr>},
    {"glyphpin", &not_yet_available<kGlyphpin>},
    {"action", &not_yet_available<kAction>},
    {"automate", &not_yet_available<kAutomate>},
}};

Json dispatch(const std::string& mode, const ModeArgs& args) {
    for (const auto& [name, handler] : kHandlers) {
        if (mode == name) {
            ModeArgs copy = args;  // each handler gets its own copy of the argument set
            Json result = handler(copy);
            if (!result.is_object() && !result.is_null()) {
                throw TypeError("Expected dict, got " + type_name(result).substr(0, 200));
            }
            return result;
        }
    }
    throw ValueError("Unknown mode: " + mode);
}

// "%.200s": the argument-error texts cut every filled-in value at 200 characters.
std::string cut200(const std::string& s) { return s.substr(0, 200); }

[[noreturn]] void wrong_type(const std::string& name, const std::string& expected, const Json& given) {
    throw TypeError("Argument '" + cut200(name) + "' has incorrect type (expected " + cut200(expected) +
                    ", got " + cut200(type_name(given)) + ")");
}

std::string as_text(const std::string& name, const Json& v) {
    if (!v.is_string()) wrong_type(name, "str", v);
    return v.get<std::string>();
}

// Integers pass; decimals and booleans are truncated toward zero; anything else is
// rejected. Values that have no integer (NaN, infinities, out of range) fail clearly.
std::int64_t as_integer(const std::string& name, const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw ConversionError("Argument '" + cut200(name) + "' is out of range");
        }
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (std::isnan(d)) throw ConversionError("cannot convert float NaN to integer");
        if (std::isinf(d)) throw ConversionError("cannot convert float infinity to integer");
        double t = std::trunc(d);
        if (t < -9.2233720368547758e18 || t >= 9.2233720368547758e18) {
            throw ConversionError("Argument '" + cut200(name) + "' is out of range");
        }
        return static_cast<std::int64_t>(t);
    }
    wrong_type(name, "int", v);
}

const std::array<const char*, 8> kParamNames = {"mode",      "prompt",     "image_paths", "device_id",
                                                "display_id", "output_dir", "max_steps",   "lang"};

}  // namespace

ModeHandler swap_mode_handler(const std::string& mode, ModeHandler handler) {
    for (auto& entry : kHandlers) {
        if (mode == entry.first) return std::exchange(entry.second, handler);
    }
    throw ValueError("Unknown mode: " + mode);
}

const std::vector<std::string>& mode_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& h : kHandlers) v.emplace_back(h.first);
        return v;
    }();
    return names;
}

Json route(ChatModel* llm, const std::string& mode, const std::string& prompt, const RouteOptions& options) {
    ModeArgs args;
    args.llm = llm;
    args.prompt = prompt;
    if (options.image_paths) args.image_paths = *options.image_paths;
    args.device_id = options.device_id;
    args.display_id = options.display_id;
    args.output_dir = options.output_dir;
    args.max_steps = options.max_steps;
    args.lang = options.lang;
    return dispatch(mode, args);
}

Json route_dynamic(ChatModel* llm, const Json& args, const Json& kwargs) {
    if (!args.is_array()) wrong_type("args", "list", args);
    if (!kwargs.is_object()) wrong_type("kwargs", "dict", kwargs);

    // Bind positional and named arguments to the parameters after `llm`.
    const size_t given = args.size() + 1;  // `llm` is the first positional argument
    if (given > 9) {
        throw TypeError("route() takes from 3 to 9 positional arguments but " + std::to_string(given) +
                        " were given");
    }
    std::map<std::string, Json> bound;
    for (size_t i = 0; i < args.size(); ++i) bound[kParamNames[i]] = args[i];
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
        const std::string& key = it.key();
        bool known = key == "llm";
        for (const char* p : kParamNames) known = known || key == p;
        if (!known) throw TypeError("route() got an unexpected keyword argument '" + key + "'");
        if (key == "llm" || bound.count(key)) {
            throw TypeError("route() got multiple values for argument '" + key + "'");
        }
        bound[key] = it.value();
    }
    std::vector<std::string> missing;
    for (const char* required : {"mode", "prompt"}) {
        if (!bound.count(required)) missing.push_back(required);
    }
    if (missing.size() == 1) {
        throw TypeError("route() missing 1 required positional argument: '" + missing[0] + "'");
    }
    if (missing.size() == 2) {
        throw TypeError("route() missing 2 required positional arguments: 'mode' and 'prompt'");
    }

    auto get = [&](const char* name) -> const Json* {
        auto it = bound.find(name);
        return it == bound.end() ? nullptr : &it->second;
    };

    std::string mode = as_text("mode", *get("mode"));
    ModeArgs out;
    out.llm = llm;
    out.prompt = as_text("prompt", *get("prompt"));
    if (const Json* v = get("image_paths"); v && !v->is_null()) {
        if (!v->is_array()) wrong_type("image_paths", "list", *v);
        for (size_t i = 0; i < v->size(); ++i) {
            out.image_paths.push_back(as_text("image_paths[" + std::to_string(i) + "]", (*v)[i]));
        }
    }
    if (const Json* v = get("device_id"); v && !v->is_null()) {
        if (!v->is_string()) wrong_type("device_id", "str", *v);
        out.device_id = v->get<std::string>();
    }
    if (const Json* v = get("display_id"); v && !v->is_null()) out.display_id = as_integer("display_id", *v);
    if (const Json* v = get("output_dir")) out.output_dir = as_text("output_dir", *v);
    if (const Json* v = get("max_steps")) out.max_steps = as_integer("max_steps", *v);
    if (const Json* v = get("lang")) out.lang = as_text("lang", *v);
    return dispatch(mode, out);
}

}  // namespace droidlens
