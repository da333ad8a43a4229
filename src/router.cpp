#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>
#include <droidlens/run.hpp>

#include "device/adb/screenshot.hpp"
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

#include <map>
#include <memory>
#include <optional>

namespace droidlens {

namespace {

// Every mode: its name, whether it asks the model, its line in help texts and its
// handler, in the order the names are tested. Adding a mode is adding a line here.
const std::vector<ModeEntry> kTable = {
    {{"displays", false, "list the displays of the device"}, &displays::run},
    {{"diff", false, "compare two screenshots: a difference score and boxes of the changed regions"}, &diff::run_with_options},
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

bool asks_for_nothing(const ModeInfo& info, const std::string& prompt) {
    return info.needs_model && text::strip(prompt).empty();
}

Json dispatch(const std::vector<ModeEntry>& table, const std::string& mode, ChatModel* llm, const ModeArgs& args) {
    for (const ModeEntry& entry : table) {
        if (mode != entry.info.name) continue;
        // A model call with nothing to ask costs money and answers nothing.
        if (asks_for_nothing(entry.info, args.prompt)) {
            throw UsageError("Mode '" + mode + "' needs a request (the prompt is empty)");
        }
        if (entry.info.needs_model && llm == nullptr) {
            throw UsageError("Mode '" + mode + "' needs a model client, but none was given");
        }
        if (args.adb_server) parse_adb_server(*args.adb_server);
        adb::parse_capture_mode(args.capture);
        // The run this mode belongs to: the caller's, or a fresh one of its own.
        std::optional<ScopedRun> scope;
        RunContext* run = &current_or_fresh_run(scope);
        if (args.adb_server) run->adb_server = args.adb_server;
        run->capture = args.capture;
        if (auto* wire = dynamic_cast<Modelwire*>(llm); wire != nullptr && run->model != wire) {
            run->model = wire;
            run->model_settings = std::make_shared<const ModelConfig>(wire->settings());
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

// route()'s parameters after `llm`: the mode, the prompt and the positional options.
const std::vector<std::string>& parameter_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = {"mode", "prompt"};
        for (const RunOption& o : run_options())
            if (o.flags & kPositional) v.emplace_back(o.name);
        return v;
    }();
    return names;
}

// "the diff mode", "the diff and wait modes".
std::string modes_in_words(const RunOption& o) {
    std::string list = o.modes;
    const auto last = list.rfind(' ');
    if (last == std::string::npos) return "the " + list + " mode";
    for (std::size_t i = 0; i < last; ++i)
        if (list[i] == ' ') list.replace(i, 1, ", ");
    return "the " + list.replace(list.rfind(' '), 1, " and ") + " modes";
}

// A checked common option into its field of the argument set.
void store(ModeArgs& out, const std::string& name, const Json& v) {
    if (name == "image_paths") out.image_paths = v.get<std::vector<std::string>>();
    else if (name == "device_id") out.device_id = v.get<std::string>();
    else if (name == "display_id") out.display_id = v.get<std::int64_t>();
    else if (name == "output_dir") out.output_dir = v.get<std::string>();
    else if (name == "max_steps") out.max_steps = v.get<std::int64_t>();
    else if (name == "lang") out.lang = v.get<std::string>();
    else if (name == "adb_server") out.adb_server = v.get<std::string>();
    else if (name == "capture") out.capture = v.get<std::string>();
    else out.options[name] = v;
}

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
    args.adb_server = options.adb_server;
    args.capture = options.capture;
    return dispatch(table, mode, llm, args);
}

Json route_dynamic_with(const std::vector<ModeEntry>& table, ChatModel* llm, const Json& args, const Json& kwargs) {
    if (!args.is_array()) args::throw_wrong_type("args", "list", args);
    if (!kwargs.is_object()) args::throw_wrong_type("kwargs", "dict", kwargs);

    // Bind positional and named arguments to the parameters after `llm`.
    const std::vector<std::string>& params = parameter_names();
    const size_t given = args.size() + 1;  // `llm` is the first positional argument
    if (given > params.size() + 1) {
        throw TypeError("route() takes from 3 to " + std::to_string(params.size() + 1) +
                        " positional arguments but " + std::to_string(given) + " were given");
    }
    std::map<std::string, Json> bound;
    for (size_t i = 0; i < args.size(); ++i) bound[params[i]] = args[i];
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
        const std::string& key = it.key();
        const bool known = key == "llm" || key == "mode" || key == "prompt" || find_run_option(key) != nullptr;
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

    const std::string mode = as_text("mode", bound["mode"]);
    ModeArgs out;
    out.llm = llm;
    out.prompt = as_text("prompt", bound["prompt"]);
    bool known_mode = false;
    for (const ModeEntry& e : table) known_mode = known_mode || mode == e.info.name;
    for (const RunOption& o : run_options()) {
        const auto it = bound.find(o.name);
        if (it == bound.end()) continue;
        const Json v = check_option_value(o, it->second);
        if (v.is_null()) continue;
        // Another mode would silently ignore it: an unknown mode is reported as such.
        if ((o.flags & kOwnModes) && known_mode && !option_takes(o, mode))
            throw UsageError("Argument '" + std::string(o.name) + "' is taken by " + modes_in_words(o) + " only");
        store(out, o.name, v);
    }
    return dispatch(table, mode, llm, out);
}

Json route(ChatModel* llm, const std::string& mode, const std::string& prompt, const RouteOptions& options) {
    return route_with(kTable, llm, mode, prompt, options);
}

Json route_dynamic(ChatModel* llm, const Json& args, const Json& kwargs) {
    return route_dynamic_with(kTable, llm, args, kwargs);
}

void check_request(const std::string& mode, const std::string& prompt) {
    for (const ModeEntry& entry : kTable)
        if (mode == entry.info.name && asks_for_nothing(entry.info, prompt))
            throw UsageError("Mode '" + mode + "' needs a request (the prompt is empty)");
}

}  // namespace droidlens
