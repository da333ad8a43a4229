#include "modes/action.hpp"

#include "model/frames.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/events.hpp>
#include <droidlens/modelwire.hpp>

#include "device/action_executor.hpp"
#include "device/adb/device.hpp"
#include "device/adb/devices.hpp"
#include "modes/common.hpp"
#include "utils/args.hpp"
#include "utils/base64.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/values.hpp"

#include <algorithm>

namespace droidlens::action {

namespace {

constexpr const char* kToolName = "perform_action";
constexpr const char* kSystemText =
    "Decide one device action to satisfy the request. Coordinates use 0-1000 relative space.";

Json property(const char* type, const char* description, bool number_items = false) {
    Json p = Json::object();
    p["type"] = type;
    if (number_items) p["items"] = Json{{"type", "number"}};
    if (description) p["description"] = description;
    return p;
}

// The one tool the model must call, with its argument schema.
Json perform_action_tool() {
    Json properties = Json::object();
    properties["action"] =
        property("string", "One of Tap, Swipe, Type, Back, Home, Long Press, Double Tap, Wait, Screenshot.");
    properties["element"] = property("array", "XY coordinates in 0-1000 relative space.", true);
    properties["start"] = property("array", "Swipe start XY in 0-1000 relative space.", true);
    properties["end"] = property("array", "Swipe end XY in 0-1000 relative space.", true);
    properties["text"] = property("string", nullptr);
    properties["duration"] = property("number", "Seconds to wait.");

    Json parameters = Json::object();
    parameters["type"] = "object";
    parameters["required"] = Json::array({"action"});
    parameters["properties"] = std::move(properties);

    Json function = Json::object();
    function["name"] = kToolName;
    function["description"] = "Choose a single device action to execute.";
    function["parameters"] = std::move(parameters);

    Json tool = Json::object();
    tool["type"] = "function";
    tool["function"] = std::move(function);
    return tool;
}

Json record(const std::string& action, bool success) {
    Json r = Json::object();
    r["mode"] = "action";
    r["action"] = action;
    r["success"] = success;
    return r;
}

// A run report shows the screen the model saw with the action drawn on it, as it
// does for an automation step.
void tell_observer(const ModeArgs& args, const adb::PngScreenshot& screenshot, const std::string& current_app,
                   const Json& mapping, const Json& arguments, const std::string& message) {
    RunObserver* observer = current_run_observer();
    if (observer == nullptr) return;
    AutomateStep step;
    step.step = 1;
    step.max_steps = 1;
    step.task = args.prompt;
    step.screenshot_base64 = base64::encode(screenshot.png);
    step.width = screenshot.width;
    step.height = screenshot.height;
    step.display_id = args.display_id;
    step.current_app = current_app;
    step.action_text = dump_json(arguments);
    step.action = mapping;
    step.executor_message = message;
    step.finished = true;
    try {
        observer->on_automate_step(step);
    } catch (...) {
        // The report is the observer's business; the action was performed.
    }
}

}  // namespace

void _ensure_device(const std::optional<std::string>& device_id) {
    const std::vector<adb::DeviceInfo> devices = adb::list_devices();
    if (devices.empty()) throw DeviceError("No ADB devices detected");
    if (device_id && !device_id->empty() &&
        std::none_of(devices.begin(), devices.end(),
                     [&](const adb::DeviceInfo& d) { return d.device_id == *device_id; })) {
        throw DeviceError("Device not found: " + *device_id);
    }
}

std::string _normalize_action(const Json& action_name) {
    if (!action_name.is_string()) args::throw_wrong_type("action", "str", action_name);
    return actions::canonical_action_name(action_name.get<std::string>());
}

std::string _save_screenshot(const std::string& base64_data, const std::string& output_dir) {
    return save_screenshot_png(image::base64_to_image_bytes(base64_data), output_dir);
}

std::string save_screenshot_png(const std::string& png, const std::string& output_dir) {
    fs::ensure_directory(output_dir);
    const std::string stamp = fs::local_time_text("%Y%m%d_%H%M%S");
    return fs::write_new_file(output_dir, [&](const std::string& n) { return "screenshot_" + stamp + n + ".png"; }, png)
        .path;
}

std::string _screen_info(const std::string& current_app, std::optional<std::int64_t> display_id) {
    Json info = Json::object();
    info["current_app"] = current_app;
    info["display_id"] = display_id ? *display_id : 0;
    return dump_json_spaced(info);
}

Json action_mapping(const std::string& action, const Json& arguments) {
    Json mapping = Json::object();
    mapping["_metadata"] = "do";
    mapping["action"] = action;
    // Points are passed on only when the model gave them: a missing one must be
    // refused by the executor ("Tap needs element=[x,y]"), never become the corner.
    auto copy = [&](const char* key) {
        if (const auto it = arguments.find(key); it != arguments.end() && !it->is_null()) mapping[key] = *it;
    };
    if (action == "Tap" || action == "Double Tap" || action == "Long Press") {
        copy("element");
    } else if (action == "Swipe") {
        copy("start");
        copy("end");
    } else if (action == "Type" || action == "Type_Name") {
        mapping["text"] = arguments.value("text", Json(""));
    } else if (action == "Wait") {
        mapping["duration"] = actions::format_seconds(values::to_real(arguments.value("duration", Json(1.0))));
    } else if (action != "Back" && action != "Home") {
        return nullptr;
    }
    return mapping;
}

Json run(const ModeArgs& args) {
    if (args.llm == nullptr) throw UsageError("Mode 'action' needs a model client, but none was given");
    std::string performing;  // the action, once it goes to the device
    try {
        // Resolved by the rules every mode uses; every device call then names it.
        adb::Device device(args.device_id, args.display_id);
        const adb::PngScreenshot screenshot = device.screenshot();
        const std::string current_app = device.current_app();

        // The screenshot as the model's profile asks: scaled down to its largest side.
        const AnswerProfile profile = args.llm->answer_profile();
        frames::SentSize sent;
        int sent_w = screenshot.width, sent_h = screenshot.height;
        const std::string picture = image::fit_png_to_base64(screenshot.png, profile.max_image_side, sent_w, sent_h);
        sent = {sent_w, sent_h};
        Json image_part = Json::object();
        image_part["type"] = "image_url";
        image_part["image_url"] = Json{{"url", "data:image/png;base64," + picture}};
        Json screen = common::text_message("user", "Current screen:");
        screen["content"].push_back(std::move(image_part));
        const Json messages =
            Json::array({common::text_message("system", kSystemText),
                         common::text_message("user", "User request: " + args.prompt),
                         common::text_message("user", "Screen info: " + _screen_info(current_app, args.display_id)),
                         std::move(screen)});

        const Json response = args.llm->chat(messages, Json::array({perform_action_tool()}),
                                             common::forced_tool_choice(kToolName), 0.1);
        Json arguments = common::_extract_tool_args(response, kToolName);
        // Points in droidlens's frame, whatever frame the model answers in.
        const frames::Frame frame = frames::parse_frame(profile.coordinates);
        for (const char* key : {"element", "start", "end"})
            if (arguments.contains(key)) arguments[key] = frames::point_to_ours(arguments[key], frame, sent);
        const std::string action = _normalize_action(arguments.value("action", Json("")));

        if (action == "Screenshot") {
            Json r = record(action, true);
            r["path"] = save_screenshot_png(screenshot.png, args.output_dir);
            return r;
        }

        const Json mapping = action_mapping(action, arguments);
        if (mapping.is_null()) {
            Json r = record(action, false);
            r["message"] = "Unsupported action: " + action;
            return r;
        }

        const actions::ActionHandler handler(device);
        performing = action;
        const actions::ActionResult result = handler.execute(mapping, screenshot.width, screenshot.height);
        Json r = record(action, result.success);
        r["message"] = result.message;
        tell_observer(args, screenshot, current_app, mapping, arguments, result.message);
        return r;
    } catch (const CancelledError&) {
        // Stopped on request: say whether the device was touched.
        throw CancelledError(performing.empty() ? "Cancelled before any action was performed"
                                                : "Cancelled while performing " + performing + "; it may be partly done");
    }
}

}  // namespace droidlens::action
