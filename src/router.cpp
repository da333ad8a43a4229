#include <droidlens/errors.hpp>
#include <droidlens/route.hpp>

#include "modes/action.hpp"
#include "modes/assert.hpp"
#include "modes/automate.hpp"
#include "modes/diff.hpp"
#include "modes/displays.hpp"
#include "modes/glyphpin.hpp"
#include "modes/locate.hpp"
#include "modes/nodepin.hpp"
#include "modes/ocr.hpp"
#include "modes/wait.hpp"
#include "router.hpp"
#include "utils/args.hpp"
#include "utils/text.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <map>

namespace droidlens {

namespace {

// Every mode: its name, whether it asks the model, its line in help texts and its
// handler, in the order the names are tested. Adding a mode is adding a line here.
const std::vector<ModeEntry> kTable = {
    {{"displays", false, "list the displays of the device"}, &displays::run},
    {{"diff", false, "compare two screenshots: a difference score and boxes of the changed regions"}, &diff::run},
    {{"nodepin", true, "locate an element and snap it to the UI hierarchy node under it"},
     &nodepin::run},
    {{"locate", true, "find one UI element named by the request: its box, confidence and page"},
     &locate::run},
    {{"ocr", true, "copy the requested text from the screen, item by item"}, &ocr::run},
    {{"glyphpin", true, "find the requested text and return every value with its box"}, &glyphpin::run},
    {{"action", true, "let the model choose and perform one device action"}, &action::run},
    {{"automate", true, "carry out a multi-step task on the device"}, &automate::run},
    {{"assert", true, "check a statement about the screen: passed or not, the reason and the evidence"},
     &assertion::run},
    {{"wait", true, "poll the device's screen until a statement about it is true, or the time is up"},
     &waiting::run},
};

Json dispatch(const std::vector<ModeEntry>& table, const std::string& mode, ChatModel* llm, const ModeArgs& args) {
    for (const ModeEntry& entry : table) {
        if (mode != entry.info.name) continue;
        if (entry.info.needs_model && llm == nullptr) {
            throw UsageError("Mode '" + mode + "' needs a model client, but none was given");
        }
        // A model call with nothing to ask costs money and answers nothing.
        if (entry.info.needs_model && text::strip(args.prompt).empty()) {
            throw UsageError("Mode '" + mode + "' needs a request (the prompt is empty)");
        }
        const ModeArgs copy = args;  // each handler gets its own copy of the argument set
        Json result = entry.handler(copy);
        if (!result.is_object() && !result.is_null()) args::throw_expected("dict", result);
        return result;
    }
    throw UsageError("Unknown mode: " + mode);
}

std::string as_text(const std::string& name, const Json& v) {
    if (!v.is_string()) args::throw_wrong_type(name, "str", v);
    return v.get<std::string>();
}

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

const std::array<const char*, 8> kParamNames = {"mode",       "prompt",     "image_paths", "device_id",
                                                "display_id", "output_dir", "max_steps",   "lang"};

}  // namespace

const std::vector<ModeEntry>& mode_table() { return kTable; }

const std::vector<ModeInfo>& modes() {
    static const std::vector<ModeInfo> infos = [] {
        std::vector<ModeInfo> v;
        for (const ModeEntry& e : kTable) v.push_back(e.info);
        return v;
    }();
    return infos;
}

const std::vector<std::string>& mode_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const ModeEntry& e : kTable) v.emplace_back(e.info.name);
        return v;
    }();
    return names;
}

const ModeInfo* find_mode(const std::string& name) {
    for (const ModeInfo& m : modes())
        if (name == m.name) return &m;
    return nullptr;
}

Json route_with(const std::vector<ModeEntry>& table, ChatModel* llm, const std::string& mode,
                const std::string& prompt, const RouteOptions& options) {
    ModeArgs args;
    args.llm = llm;
    args.prompt = prompt;
    if (options.image_paths) args.image_paths = *options.image_paths;
    args.device_id = options.device_id;
    args.display_id = options.display_id;
    args.output_dir = options.output_dir;
    args.max_steps = options.max_steps;
    args.lang = options.lang;
    return dispatch(table, mode, llm, args);
}

Json route_dynamic_with(const std::vector<ModeEntry>& table, ChatModel* llm, const Json& args, const Json& kwargs) {
    if (!args.is_array()) args::throw_wrong_type("args", "list", args);
    if (!kwargs.is_object()) args::throw_wrong_type("kwargs", "dict", kwargs);

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
        if (!known) throw TypeError("route() got an unexpected keyword argument '" + key.substr(0, 200) + "'");
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
        if (!v->is_array()) args::throw_wrong_type("image_paths", "list", *v);
        for (size_t i = 0; i < v->size(); ++i) {
            out.image_paths.push_back(as_text("image_paths[" + std::to_string(i) + "]", (*v)[i]));
        }
    }
    if (const Json* v = get("device_id"); v && !v->is_null()) {
        if (!v->is_string()) args::throw_wrong_type("device_id", "str", *v);
        out.device_id = v->get<std::string>();
    }
    if (const Json* v = get("display_id"); v && !v->is_null()) out.display_id = as_integer("display_id", *v);
    if (const Json* v = get("output_dir")) out.output_dir = as_text("output_dir", *v);
    if (const Json* v = get("max_steps")) out.max_steps = as_integer("max_steps", *v);
    if (const Json* v = get("lang")) out.lang = as_text("lang", *v);
    return dispatch(table, mode, llm, out);
}

Json route(ChatModel* llm, const std::string& mode, const std::string& prompt, const RouteOptions& options) {
    return route_with(kTable, llm, mode, prompt, options);
}

Json route_dynamic(ChatModel* llm, const Json& args, const Json& kwargs) {
    return route_dynamic_with(kTable, llm, args, kwargs);
}

}  // namespace droidlens
