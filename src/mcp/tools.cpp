#include "mcp/tools.hpp"

#include <droidlens/console.hpp>
#include <droidlens/devices.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>
#include <droidlens/run.hpp>

#include "device/adb/devices.hpp"
#include "utils/args.hpp"
#include "utils/base64.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/secrets.hpp"


#include <algorithm>
#include <array>
#include <climits>
#include <fstream>
#include <optional>
#include <vector>

namespace droidlens::mcp {

namespace {

// ---- Output schemas ----
// Only what the library guarantees is typed; values copied from the model's answer
// (a locate box, its label and confidence) are described but left untyped, so that
// an odd answer still reaches the caller instead of failing the client's check.

const char* const kDevicesSchema = R"({
  "type": "object",
  "properties": {
    "devices": {
      "type": "array",
      "description": "Every device adb lists, in its order",
      "items": {
        "type": "object",
        "properties": {
          "device_id": {"type": "string", "description": "the serial to pass as device_id"},
          "status": {"type": "string", "description": "device (ready), offline, unauthorized, ..."},
          "connection_type": {"type": "string", "enum": ["usb", "remote"]},
          "model": {"type": ["string", "null"]},
          "android_version": {"type": ["string", "null"]}
        },
        "required": ["device_id", "status", "connection_type"]
      }
    }
  },
  "required": ["devices"]
})";

const char* const kDisplaysSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "displays"},
    "device_id": {"type": "string", "description": "the device that was asked"},
    "displays": {
      "type": "array",
      "items": {
        "type": "object",
        "properties": {
          "display_id": {"type": "integer", "description": "the display_id the other tools take"},
          "display_name": {"type": "string"},
          "type": {"type": "string"},
          "real_size": {"type": "array", "items": {"type": "integer"}, "description": "[width, height] in pixels, or []"}
        },
        "required": ["display_id"]
      }
    }
  },
  "required": ["mode", "device_id", "displays"]
})";

const char* const kScreenshotSchema = R"({
  "type": "object",
  "properties": {
    "device_id": {"type": "string", "description": "the device the screenshot came from"},
    "display_id": {"type": ["integer", "null"]},
    "image_path": {"type": "string", "description": "the full-size PNG, for image_paths of other tools"},
    "image_dimensions": {"type": "array", "items": {"type": "integer"}, "minItems": 2, "maxItems": 2,
                         "description": "[width, height] of the full-size screenshot in pixels"}
  },
  "required": ["device_id", "display_id", "image_path", "image_dimensions"]
})";

const char* const kLocateSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "locate"},
    "label": {"description": "what the model says it found"},
    "bounding_box": {"description": "[x1, y1, x2, y2] in 0-1000 relative coordinates of the page's image"},
    "confidence": {"description": "the model's confidence, 0 to 1"},
    "page": {"description": "1-based index into the screenshots"},
    "image_dimensions": {"type": "array", "description": "[width, height] in pixels of each screenshot",
                         "items": {"type": "array", "items": {"type": "integer"}, "minItems": 2, "maxItems": 2}},
    "annotated_image_path": {"type": "string", "description": "the screenshot with the box drawn"}
  },
  "required": ["mode", "image_dimensions"]
})";

const char* const kPagesSchema = R"({
  "type": "array",
  "description": "one record per screenshot",
  "items": {
    "type": "object",
    "properties": {
      "page": {"type": "integer"},
      "image_path": {"type": "string"},
      "image_dimensions": {"type": "array", "items": {"type": "integer"}, "minItems": 2, "maxItems": 2}
    },
    "required": ["page", "image_path", "image_dimensions"]
  }
})";

const char* const kOcrSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "ocr"},
    "text": {"type": "string", "description": "the items' texts joined by line breaks"},
    "pages": {},
    "items": {
      "type": "array",
      "items": {
        "type": "object",
        "properties": {
          "text": {"type": "string"},
          "confidence": {"type": "number"},
          "page": {"type": "integer"}
        },
        "required": ["text", "confidence", "page"]
      }
    }
  },
  "required": ["mode", "text", "pages", "items"]
})";

const char* const kGlyphpinSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "glyphpin"},
    "text": {"type": "string", "description": "the items' texts joined by line breaks"},
    "pages": {},
    "items": {
      "type": "array",
      "description": "in reading order: page, then top, then left",
      "items": {
        "type": "object",
        "properties": {
          "text": {"type": "string"},
          "bounding_box": {"type": "array", "items": {"type": "number"}, "minItems": 4, "maxItems": 4,
                           "description": "[x1, y1, x2, y2] in 0-1000 relative coordinates"},
          "confidence": {"type": "number"},
          "page": {"type": "integer"}
        },
        "required": ["text", "bounding_box", "confidence", "page"]
      }
    },
    "annotated_images": {
      "type": "array",
      "items": {
        "type": "object",
        "properties": {"page": {"type": "integer"}, "annotated_image_path": {"type": "string"}},
        "required": ["page", "annotated_image_path"]
      }
    }
  },
  "required": ["mode", "text", "pages", "items"]
})";

const char* const kNodepinSchema = R"({
  "type": "object",
  "description": "the matched node's attributes (text, resource-id, class, package, content-desc, bounds, clickable, ...) when a node was found",
  "properties": {
    "mode": {"const": "nodepin"},
    "bounds": {"type": "string", "description": "[x1,y1][x2,y2] in device pixels"},
    "annotated_image_path": {"type": "string", "description": "the screenshot with the node drawn"},
    "xml_file_path": {"type": "string", "description": "the saved UI hierarchy dump"}
  },
  "additionalProperties": {"type": "string"},
  "required": ["mode"]
})";

const char* const kDiffSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "diff"},
    "diff_score": {"type": "number", "minimum": 0, "maximum": 1,
                   "description": "mean grey-level difference: 0 identical, 1 opposite"},
    "diff_boxes": {"type": "array", "description": "changed regions [x1, y1, x2, y2] in pixels of the first image, largest first",
                   "items": {"type": "array", "items": {"type": "integer"}, "minItems": 4, "maxItems": 4}},
    "diff_image_path": {"type": "string", "description": "the first image with the regions outlined"},
    "regions": {"type": "array", "description": "with any of mask, merge_gap, max_boxes, min_area, fail_above: the regions of diff_boxes, largest first, numbered from 1 in the image",
                "items": {"type": "object",
                          "properties": {
                            "box": {"type": "array", "items": {"type": "integer"}, "minItems": 4, "maxItems": 4,
                                    "description": "[x1, y1, x2, y2] in pixels of the first image, inclusive"},
                            "bounding_box": {"type": "array", "items": {"type": "integer"}, "minItems": 4, "maxItems": 4,
                                             "description": "the same box in 0-1000 relative coordinates, rounded outward, so that it serves as a mask"},
                            "area": {"type": "integer", "description": "changed pixels in the region"},
                            "share": {"type": "number", "minimum": 0, "maximum": 1, "description": "its part of all changed pixels"}
                          },
                          "required": ["box", "bounding_box", "area", "share"]}},
    "resized": {"type": "boolean", "description": "with the options: the second image was resampled to the first one's size"},
    "passed": {"type": "boolean", "description": "with fail_above: diff_score is at most fail_above"}
  },
  "required": ["mode", "diff_score", "diff_boxes", "diff_image_path"]
})";

const char* const kActionSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "action"},
    "action": {"type": "string", "description": "the action the model chose"},
    "success": {"type": "boolean"},
    "message": {"type": "string", "description": "what was done, or why it failed"},
    "path": {"type": "string", "description": "the saved screenshot, when the model asked for one"}
  },
  "required": ["mode", "action", "success"]
})";

const char* const kAutomateSchema = R"({
  "type": "object",
  "properties": {
    "mode": {"const": "automate"},
    "status": {"type": "string", "enum": ["finished", "max_steps"]},
    "message": {"type": "string", "description": "the model's closing message"},
    "steps": {"type": "integer", "description": "steps taken"}
  },
  "required": ["mode", "status", "message", "steps"]
})";

const char* const kAssertSchema = R"json({
  "type": "object",
  "properties": {
    "mode": {"const": "assert"},
    "passed": {"type": "boolean", "description": "the statement holds on the screen"},
    "reason": {"type": "string", "description": "the model's one-sentence reason"},
    "evidence_box": {"description": "[x1, y1, x2, y2] in 0-1000 of what decided it, or null"},
    "confidence": {"description": "the model's confidence, 0 to 1, or null"},
    "image_dimensions": {"type": "array", "items": {"type": "array", "items": {"type": "integer"}}},
    "page": {"type": "integer", "description": "the screenshot the evidence is on, from 1"},
    "annotated_image_path": {"type": ["string", "null"], "description": "the evidence drawn, green passed, red not"}
  },
  "required": ["mode", "passed", "reason"]
})json";

const char* const kWaitSchema = R"json({
  "type": "object",
  "properties": {
    "mode": {"const": "wait"},
    "passed": {"type": "boolean", "description": "the statement came true before the time-out"},
    "reason": {"type": "string", "description": "the last verdict's reason"},
    "evidence_box": {"description": "[x1, y1, x2, y2] in 0-1000 of what decided the last verdict, or null"},
    "polls": {"type": "integer", "description": "screenshots taken"},
    "model_calls": {"type": "integer", "description": "screens the model judged (unchanged screens are not sent again)"},
    "waited_s": {"type": "number", "description": "seconds the wait took"},
    "timed_out": {"type": "boolean"},
    "verdicts": {"type": "array", "description": "one entry per judged screen: poll, at_s, passed, reason, evidence_box, screenshot_path, annotated_image_path"},
    "annotated_image_path": {"type": ["string", "null"]}
  },
  "required": ["mode", "passed", "reason", "polls", "model_calls", "waited_s"]
})json";

const char* const kAnyModeSchema = R"({
  "type": "object",
  "properties": {"mode": {"type": "string"}}
})";

// ---- The catalogue ----

struct ToolSpec {
    std::string name;
    std::string mode;  // the route() mode; empty for the tools that call the device directly
    std::string title;
    std::string description;
    std::string prompt_text;  // how the prompt argument is described
    std::vector<std::string> params;
    bool needs_model = false;
    Json output_schema;
    Json annotations;
    Json (*run)(const Json& arguments, const ToolEnv& env) = nullptr;  // tools without a mode
};

Json hints(bool read_only, bool open_world) {
    Json a = Json::object();
    a["readOnlyHint"] = read_only;
    if (!read_only) a["destructiveHint"] = true;
    a["openWorldHint"] = open_world;
    return a;
}

// The arguments a tool takes: the prompt for the modes that ask the model, then the
// run options that list `key` (the mode, or "screenshot" and "devices" for the tools
// that call the device directly), in the table's order.
std::vector<std::string> params_for(const std::string& key, bool prompt) {
    std::vector<std::string> params;
    if (prompt) params.emplace_back("prompt");
    for (const RunOption& o : run_options())
        if (option_takes(o, key)) params.emplace_back(o.name);
    return params;
}

// The value of a run option in the call's arguments, checked as route() checks it
// (null when absent).
Json option_argument(const Json& arguments, const char* name) {
    const auto it = arguments.find(name);
    return it == arguments.end() ? Json() : check_option_value(*find_run_option(name), *it);
}

// The device tools call the library directly rather than through route(): the adb
// server their call names is set on the call's run.
void use_adb_server(const Json& arguments, RunContext& run) {
    const Json server = option_argument(arguments, "adb_server");
    if (!server.is_null()) run.adb_server = server.get<std::string>();
}

Json run_list_devices(const Json& arguments, const ToolEnv&) {
    std::optional<ScopedRun> scope;
    use_adb_server(arguments, current_or_fresh_run(scope));
    return device_list();
}

Json run_screenshot(const Json& arguments, const ToolEnv& env) {
    const Json device = option_argument(arguments, "device_id");
    const Json display = option_argument(arguments, "display_id");
    const Json out = option_argument(arguments, "output_dir");
    const Json capture = option_argument(arguments, "capture");
    std::optional<ScopedRun> scope;
    RunContext& run = current_or_fresh_run(scope);
    use_adb_server(arguments, run);
    run.capture = capture.is_string() ? capture.get<std::string>() : "auto";
    return take_screenshot(device.is_null() ? std::nullopt : std::optional(device.get<std::string>()),
                           display.is_null() ? std::nullopt : std::optional(display.get<std::int64_t>()),
                           out.is_null() ? env.defaults.output_dir : out.get<std::string>());
}

// The tool that stands for one mode of the router's table: name, description and schemas; a mode this
// file does not know yet still becomes a tool, with the whole argument set.
ToolSpec mode_tool(const ModeInfo& info) {
    ToolSpec t;
    t.name = info.name;
    t.mode = info.name;
    t.needs_model = info.needs_model;
    t.params = params_for(info.name, info.needs_model);
    const std::string mode = info.name;
    const std::string screens =
        " Works on the screenshots in image_paths when given, otherwise on a new screenshot of the device "
        "(saved in output_dir).";
    if (mode == "displays") {
        t.name = "list_displays";
        t.title = "List displays";
        t.description =
            "List the displays of one Android device (phones have one; car head units, foldables and devices "
            "casting a screen have several): display_id, name, type and size of each. Pass a display_id from "
            "here to the other tools to work on that display.";
        t.output_schema = Json::parse(kDisplaysSchema);
        t.annotations = hints(true, false);
    } else if (mode == "locate") {
        t.title = "Locate a UI element";
        t.description =
            "Find one UI element that the prompt describes (\"the Settings icon\", \"the search field\") with the "
            "vision model. Returns the model's bounding_box [x1, y1, x2, y2] in 0-1000 relative coordinates of "
            "each axis, its label, confidence and page (1-based index into the screenshots), the pixel size of "
            "each screenshot (image_dimensions), and the screenshot with the box drawn." + screens;
        t.prompt_text = "The element to find, in natural language";
        t.output_schema = Json::parse(kLocateSchema);
        t.annotations = hints(true, true);
    } else if (mode == "ocr") {
        t.title = "Read text";
        t.description =
            "Copy text from the screen verbatim, item by item in reading order, with the vision model; the "
            "prompt says which text (\"all prices\", \"the error message\"; naming a row label as in \"the price "
            "for NGX\" keeps only that row). Returns the items (text, confidence, page) and their texts joined "
            "by line breaks. Use glyphpin instead when you need where each text is." + screens;
        t.prompt_text = "Which text to copy, in natural language";
        t.output_schema = Json::parse(kOcrSchema);
        t.annotations = hints(true, true);
    } else if (mode == "glyphpin") {
        t.title = "Find text with its boxes";
        t.description =
            "Find the text values the prompt asks for and return each with its bounding_box [x1, y1, x2, y2] "
            "in 0-1000 relative coordinates, its confidence and page, in reading order. A prompt that names a "
            "row label (\"the price for NGX\", \"NGX对应的价格\") keeps only the values on that label's row. "
            "Returns annotated images with the boxes drawn." + screens;
        t.prompt_text = "Which text values to find, in natural language";
        t.output_schema = Json::parse(kGlyphpinSchema);
        t.annotations = hints(true, true);
    } else if (mode == "nodepin") {
        t.title = "Locate an element's UI node";
        t.description =
            "Locate the element the prompt describes on a new screenshot of the device, then return the "
            "device's own UI hierarchy node under it: its attributes (text, resource-id, class, package, "
            "content-desc, bounds in device pixels, clickable, ...), the path of the saved hierarchy XML and "
            "the screenshot with the node drawn. Use it for exact pixel bounds or resource ids; it always "
            "captures from the device. Only \"mode\" (and the XML path) come back when no node lies under the "
            "element.";
        t.prompt_text = "The element to find, in natural language";
        t.output_schema = Json::parse(kNodepinSchema);
        t.annotations = hints(true, true);
    } else if (mode == "diff") {
        t.title = "Compare two screenshots";
        t.description =
            "Compare two screenshots without the model. Returns diff_score (mean difference: 0 identical, "
            "1 opposite), diff_boxes (the changed regions as pixel boxes [x1, y1, x2, y2] of the first image, "
            "largest first) and the first image with the regions outlined in red. Use it to check whether an "
            "action changed the screen, or as a visual assertion against a golden screenshot: mask the status "
            "bar (its clock changes), merge_gap to make a changed text line one region, and fail_above to get "
            "passed: false when the score is above it. With any of these options the record also lists the "
            "regions (box, 0-1000 bounding_box, area, share of the change), numbered in the image.";
        t.output_schema = Json::parse(kDiffSchema);
        t.annotations = hints(true, false);
    } else if (mode == "action") {
        t.title = "Perform one action";
        t.description =
            "Perform ONE action on the device that the prompt asks for (\"tap the Wi-Fi switch\", \"type hello "
            "into the search field\", \"go back\"): the vision model looks at the current screen and chooses a "
            "tap, swipe, type, back, home, long press, double tap, wait or screenshot, which is then performed. "
            "Returns the action, whether it succeeded and what was done. Changes the device's state.";
        t.prompt_text = "What to do on the current screen, in natural language";
        t.output_schema = Json::parse(kActionSchema);
        t.annotations = hints(false, true);
    } else if (mode == "automate") {
        t.title = "Carry out a task";
        t.description =
            "Carry out a multi-step task on the device (\"open Settings and turn on Bluetooth\"): at each step "
            "the vision model sees the screen and chooses one action, until it reports the task finished or "
            "max_steps is reached. Returns status (\"finished\" or \"max_steps\"), the model's closing message "
            "and the number of steps. Reports each step as progress when the call carries a progress token and "
            "stops when the call is cancelled. Changes the device's state; step screenshots are saved in "
            "output_dir.";
        t.prompt_text = "The task, in natural language";
        t.output_schema = Json::parse(kAutomateSchema);
        t.annotations = hints(false, true);
    } else if (mode == "assert") {
        t.title = "Check a statement about the screen";
        t.description =
            "Ask the vision model whether a statement is true of the screen (\"the Wi-Fi switch is on\", \"an "
            "error dialog is shown\"): returns passed (true or false), a one-sentence reason, the evidence_box "
            "[x1, y1, x2, y2] in 0-1000 of what decided it, the confidence, and the screenshot with the evidence "
            "drawn (green passed, red not). A statement that does not hold is a result with passed: false, not "
            "an error." + screens;
        t.prompt_text = "The statement to check, in natural language";
        t.output_schema = Json::parse(kAssertSchema);
        t.annotations = hints(true, true);
    } else if (mode == "wait") {
        t.title = "Wait until a statement is true";
        t.description =
            "Poll the device's screen every interval seconds until the vision model finds the statement true "
            "(\"the download has finished\") or timeout seconds have passed. A screen unchanged since the last "
            "one judged is not sent to the model again. Returns the last verdict (passed, reason, evidence_box) "
            "with polls, model_calls, waited_s, timed_out and every verdict; passed: false at the time-out. "
            "Stops when the call is cancelled.";
        t.prompt_text = "The statement to wait for, in natural language";
        t.output_schema = Json::parse(kWaitSchema);
        t.annotations = hints(true, true);
    } else {
        t.title = mode;
        t.description = std::string(info.summary) + " (droidlens mode \"" + mode + "\").";
        t.prompt_text = "The request in natural language";
        t.output_schema = Json::parse(kAnyModeSchema);
        t.annotations = hints(false, true);
    }
    // The page records that ocr and glyphpin share, written once above.
    if (Json& props = t.output_schema["properties"]; props.contains("pages")) props["pages"] = Json::parse(kPagesSchema);
    return t;
}

const std::vector<ToolSpec>& catalogue() {
    static const std::vector<ToolSpec> tools = [] {
        std::vector<ToolSpec> v;
        ToolSpec devices;
        devices.name = "list_devices";
        devices.title = "List devices";
        devices.description =
            "List the Android devices that adb sees on the machine running this server: serial (device_id), "
            "state (\"device\" when ready; offline, unauthorized, ...), connection type (usb or remote) and "
            "model. Pass a device_id from here to the other tools when more than one device is connected.";
        devices.output_schema = Json::parse(kDevicesSchema);
        devices.annotations = hints(true, false);
        devices.params = params_for("devices", false);
        devices.run = &run_list_devices;
        v.push_back(std::move(devices));

        // The displays mode comes first in the router's table: list_displays follows list_devices.
        for (const ModeInfo& info : modes())
            if (std::string(info.name) == "displays") v.push_back(mode_tool(info));

        ToolSpec shot;
        shot.name = "screenshot";
        shot.title = "Take a screenshot";
        shot.description =
            "Take a screenshot of the device's current screen. Returns it as an image (scaled down) and saves "
            "the full-size PNG in output_dir; pass its image_path to locate, ocr, glyphpin or diff through "
            "image_paths to ask about this very screen.";
        shot.output_schema = Json::parse(kScreenshotSchema);
        shot.annotations = hints(true, false);
        shot.params = params_for("screenshot", false);
        shot.run = &run_screenshot;
        v.push_back(std::move(shot));

        for (const ModeInfo& info : modes())
            if (std::string(info.name) != "displays") v.push_back(mode_tool(info));
        return v;
    }();
    return tools;
}

const ToolSpec* find_tool(const std::string& name) {
    for (const ToolSpec& t : catalogue())
        if (t.name == name) return &t;
    return nullptr;
}

bool takes(const ToolSpec& tool, const std::string& param) {
    return std::find(tool.params.begin(), tool.params.end(), param) != tool.params.end();
}

Json param_schema(const ToolSpec& tool, const std::string& name, const ToolDefaults& defaults) {
    if (name == "prompt") {
        Json s = Json::object();
        s["type"] = "string";
        s["minLength"] = 1;
        s["description"] = tool.prompt_text;
        return s;
    }
    Json s = option_schema(*find_run_option(name));
    // The server's own defaults (its --output-dir, --max-steps and --lang).
    if (name == "output_dir") s["default"] = defaults.output_dir;
    if (name == "max_steps") s["default"] = defaults.max_steps;
    if (name == "lang") s["default"] = defaults.lang;
    if (name == "image_paths" && tool.mode == "diff") {
        s["minItems"] = 2;
        s["maxItems"] = 2;
        s["description"] =
            "The two screenshots to compare (PNG or JPEG files on the machine running the server; absolute "
            "paths, or relative to its working directory), the earlier one first";
    } else if (name == "image_paths") {
        s["description"] =
            "Screenshot files (PNG or JPEG) on the machine running the server, one per page; absolute "
            "paths, or relative to its working directory. Empty or absent: a new screenshot of the device";
    }
    return s;
}

Json definition(const ToolSpec& tool, const ToolDefaults& defaults) {
    Json properties = Json::object();
    Json required = Json::array();
    for (const std::string& p : tool.params) {
        properties[p] = param_schema(tool, p, defaults);
        if (p == "prompt" || (p == "image_paths" && tool.mode == "diff")) required.push_back(p);
    }
    Json input = Json::object();
    input["type"] = "object";
    input["properties"] = std::move(properties);
    if (!required.empty()) input["required"] = std::move(required);
    input["additionalProperties"] = false;

    Json d = Json::object();
    d["name"] = tool.name;
    d["title"] = tool.title;
    d["description"] = tool.description;
    d["inputSchema"] = std::move(input);
    d["outputSchema"] = tool.output_schema;
    Json annotations = tool.annotations;
    annotations["title"] = tool.title;
    d["annotations"] = std::move(annotations);
    return d;
}

// Unknown names and missing required arguments are the caller's to fix: they come
// back as tool errors that say what the tool takes. Types are checked by the router
// (or the device tools) with the library's own messages.
void check_arguments(const ToolSpec& tool, const Json& arguments) {
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (takes(tool, it.key())) continue;
        std::string known;
        for (const std::string& p : tool.params) known += (known.empty() ? "" : ", ") + p;
        throw ValueError("Unknown argument '" + it.key().substr(0, 200) + "' for " + tool.name +
                         (known.empty() ? "; it takes no arguments" : "; it takes " + known));
    }
    // Every value as the router checks it, with its messages, before anything (the
    // model's configuration among them) is looked at; an empty request likewise.
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (it.key() == "prompt") {
            if (!it->is_null() && !it->is_string()) args::throw_wrong_type("prompt", "str", *it);
        } else {
            (void)check_option_value(*find_run_option(it.key()), *it);
        }
    }
    if (takes(tool, "prompt")) {
        const auto prompt = arguments.find("prompt");
        if (prompt == arguments.end() || prompt->is_null()) throw ValueError("Missing required argument 'prompt'");
        check_request(tool.mode, prompt->get<std::string>());
    }
    if (tool.mode == "diff") {
        const auto images = arguments.find("image_paths");
        if (images == arguments.end() || images->is_null())
            throw ValueError("Missing required argument 'image_paths' (the two screenshots to compare)");
    }
}

Json run_mode(const ToolSpec& tool, const Json& arguments, const ToolEnv& env) {
    Json kwargs = Json::object();
    kwargs["mode"] = tool.mode;
    kwargs["prompt"] = "";
    for (auto it = arguments.begin(); it != arguments.end(); ++it)
        if (!it->is_null()) kwargs[it.key()] = *it;
    if (!kwargs.contains("output_dir")) kwargs["output_dir"] = env.defaults.output_dir;
    if (!kwargs.contains("max_steps")) kwargs["max_steps"] = env.defaults.max_steps;
    if (!kwargs.contains("lang")) kwargs["lang"] = env.defaults.lang;
    ChatModel* llm = tool.needs_model ? env.model() : nullptr;
    Json record = route_dynamic(llm, Json::array(), kwargs);
    return record.is_object() ? record : Json::object();
}

// The image files a record names: the screenshot of the screenshot tool, annotated
// copies, the diff image, and the screenshot the action mode saved.
std::vector<std::string> record_images(const Json& record) {
    std::vector<std::string> paths;
    auto add = [&](const Json& v) {
        if (v.is_string() && std::find(paths.begin(), paths.end(), v.get<std::string>()) == paths.end())
            paths.push_back(v.get<std::string>());
    };
    for (const char* key : {"image_path", "annotated_image_path", "diff_image_path"})
        if (const auto it = record.find(key); it != record.end()) add(*it);
    if (const auto it = record.find("annotated_images"); it != record.end() && it->is_array()) {
        for (const Json& entry : *it)
            if (entry.is_object() && entry.contains("annotated_image_path")) add(entry["annotated_image_path"]);
    }
    if (record.value("mode", Json()) == "action" && record.contains("path")) add(record["path"]);
    return paths;
}

Json success_result(const Json& record, const PreviewLimits& limits) {
    Json content = Json::array();
    content.push_back({{"type", "text"}, {"text", dump_json(record)}});
    const std::vector<std::string> images = limits.max_edge > 0 ? record_images(record) : std::vector<std::string>{};
    for (const std::string& path : images) {
        try {
            const Preview p = make_preview(path, limits.max_edge, limits.max_total_bytes / images.size());
            content.push_back({{"type", "image"}, {"data", base64::encode(p.png)}, {"mimeType", "image/png"}});
        } catch (const Error& e) {
            // The record already names the file; a copy that cannot be read is left out.
            console_line("[WARNING] Image " + path + " left out of the result: " + e.what());
        }
    }
    Json result = Json::object();
    result["content"] = std::move(content);
    result["structuredContent"] = record;
    result["isError"] = false;
    return result;
}

}  // namespace

Json error_result(const std::string& message, const char* kind) {
    Json result = Json::object();
    result["content"] = Json::array({{{"type", "text"}, {"text", secrets::redact(message)}}});
    result["isError"] = true;
    result["_meta"] = {{"droidlens/failure", kind}};
    return result;
}

Json error_result(const std::exception& e) {
    return error_result(message_with_causes(e), failure_kind_name(failure_kind(e)));
}

Json list_tools(const ToolDefaults& defaults) {
    Json tools = Json::array();
    for (const ToolSpec& t : catalogue()) tools.push_back(definition(t, defaults));
    return {{"tools", std::move(tools)}};
}

bool has_tool(const std::string& name) { return find_tool(name) != nullptr; }

Json call_tool(const std::string& name, const Json& arguments, const ToolEnv& env) {
    const ToolSpec* tool = find_tool(name);
    if (tool == nullptr) return error_result("Unknown tool: " + name, "usage");
    try {
        check_arguments(*tool, arguments);
        const Json record = tool->run ? tool->run(arguments, env) : run_mode(*tool, arguments, env);
        return success_result(record, env.preview);
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception& e) {
        return error_result(e);
    }
}

}  // namespace droidlens::mcp
