// The single entry of droidlens: a mode name, the user's request and the run
// options go in, the mode's result record comes out.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace droidlens {

class ChatModel;

// Defaults of the run options, shared by the library, the command line and bindings.
inline constexpr const char* kDefaultOutputDir = "outputs";
inline constexpr std::int64_t kDefaultMaxSteps = 10;
inline constexpr const char* kDefaultLang = "cn";

// The common argument set handed to every mode's run(). Each mode uses what it
// needs and ignores the rest.
struct ModeArgs {
    ChatModel* llm = nullptr;             // the model client; not inspected by the router
    std::string prompt;                   // the user's request
    std::vector<std::string> image_paths; // screenshot files; empty: capture from the device
    std::optional<std::string> device_id; // adb serial
    std::optional<std::int64_t> display_id;
    std::string output_dir = kDefaultOutputDir;
    std::int64_t max_steps = kDefaultMaxSteps;
    std::string lang = kDefaultLang;      // "en" selects English prompts, anything else Chinese
};

// Run options of route(), all optional.
struct RouteOptions {
    std::optional<std::vector<std::string>> image_paths;
    std::optional<std::string> device_id;
    std::optional<std::int64_t> display_id;
    std::string output_dir = kDefaultOutputDir;
    std::int64_t max_steps = kDefaultMaxSteps;
    std::string lang = kDefaultLang;
};

// What a front end may know of a mode without running it.
struct ModeInfo {
    const char* name;     // the name route() takes
    bool needs_model;     // asks the model: route() refuses a null `llm` for it
    const char* summary;  // one line for help texts
};

// Every mode, in the order route() tests the names.
const std::vector<ModeInfo>& modes();

// The mode names, in the order route() tests them.
const std::vector<std::string>& mode_names();

// The mode called `name`, or null when there is none.
const ModeInfo* find_mode(const std::string& name);

// Dispatches to the handler named by `mode` and returns its record (an object, or
// null when the handler returns nothing). Throws ValueError "Unknown mode: " + mode,
// and ValueError when the mode asks the model and `llm` is null.
Json route(ChatModel* llm, const std::string& mode, const std::string& prompt,
           const RouteOptions& options = {});

// The dynamic entry used by the command line and bindings: arguments as JSON, after
// `llm`: `args` positional (mode, prompt, image_paths, device_id, display_id,
// output_dir, max_steps, lang) and `kwargs` by name. Checks types with the exact
// messages ("Argument 'display_id' has incorrect type (expected int, got str)") and
// converts decimals and booleans given for integers by truncation.
Json route_dynamic(ChatModel* llm, const Json& args, const Json& kwargs = Json::object());

}  // namespace droidlens
