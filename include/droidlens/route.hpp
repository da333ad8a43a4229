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
    // "HOST:PORT" of the adb server for every adb call of the run; absent: the
    // DROIDLENS_ADB_SERVER environment variable, else adb's default.
    std::optional<std::string> adb_server;
    // How screenshots are taken: "raw", "png" or "auto".
    std::string capture = "auto";
    // The mode's own options that were given (see options.hpp), checked, by name.
    Json options = Json::object();
};

// Run options of route(), all optional.
struct RouteOptions {
    std::optional<std::vector<std::string>> image_paths;
    std::optional<std::string> device_id;
    std::optional<std::int64_t> display_id;
    std::string output_dir = kDefaultOutputDir;
    std::int64_t max_steps = kDefaultMaxSteps;
    std::string lang = kDefaultLang;
    std::optional<std::string> adb_server;  // "HOST:PORT", as in ModeArgs
    std::string capture = "auto";           // "raw", "png" or "auto", as in ModeArgs
};

// The diff mode's own options, for a test suite's visual assertion. With none given
// the diff record is the plain one; with any, it also carries "regions" and
// "resized" (and "passed" with fail_above). See the README's diff section.
struct DiffOptions {
    // "x1,y1,x2,y2" (0-1000 of the first image's width and height), "status-bar" or
    // "nav-bar": masked pixels count as unchanged in the score and the regions.
    std::vector<std::string> masks;
    std::optional<std::int64_t> merge_gap;  // regions closer than this many pixels become one (default 0)
    std::optional<std::int64_t> max_boxes;  // regions kept, largest first; 0 keeps all (default 10)
    std::optional<std::int64_t> min_area;   // changed pixels a region needs (default 240)
    std::optional<double> fail_above;       // "passed" is false when the score is above this

    bool given() const {
        return !masks.empty() || merge_gap || max_boxes || min_area || fail_above;
    }
};

// The names DiffOptions has as keyword arguments (the run options of the diff mode
// alone): mask, merge_gap, max_boxes, min_area, fail_above.
const std::vector<std::string>& diff_option_names();

// The diff mode on two images with its options. Throws as route() does, and
// UsageError for a mask that cannot be read or an option out of range.
Json route_diff(const std::vector<std::string>& image_paths, const std::string& output_dir,
                const DiffOptions& options);

// The same as route_dynamic(), which takes the diff options too; kept for callers
// that name it.
Json route_dynamic_with_diff(ChatModel* llm, const Json& args, const Json& kwargs);

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
// null when the handler returns nothing). The mode runs in the caller's current run
// (run.hpp) or, when there is none, in a fresh one; either way the run takes a
// snapshot of a Modelwire's settings at its start and the adb server of the options. Throws ValueError "Unknown mode: " + mode,
// and ValueError when the mode asks the model and `llm` is null.
Json route(ChatModel* llm, const std::string& mode, const std::string& prompt,
           const RouteOptions& options = {});

// The dynamic entry used by the command line and bindings: arguments as JSON, after
// `llm`: `args` positional (mode, prompt, then the positional run options of
// options.hpp: image_paths, device_id, display_id, output_dir, max_steps, lang) and
// `kwargs` by name (any run option). Checks every option as check_option_value()
// does, with the exact messages ("Argument 'display_id' has incorrect type (expected
// int, got str)"); a mode's own option given to another mode is a UsageError
// ("Argument 'mask' is taken by the diff mode only"); null counts as not given for
// the options whose default is absent.
Json route_dynamic(ChatModel* llm, const Json& args, const Json& kwargs = Json::object());

// Throws UsageError "Mode 'locate' needs a request (the prompt is empty)" when the
// mode asks the model and the prompt is empty or white space: a model call with
// nothing to ask costs money and answers nothing. route() checks it before anything
// else of the environment; front ends call it to refuse such a request early.
void check_request(const std::string& mode, const std::string& prompt);

}  // namespace droidlens
