// The action mode: the model chooses one device action for the current screen (a
// forced call of the tool `perform_action`) and droidlens performs it, or saves the
// screenshot when the model asks for one.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace droidlens::action {

// Fails with RuntimeError "No ADB devices detected" when adb lists no device, and
// "Device not found: " + id when a device is named (non-empty) and not listed.
void _ensure_device(const std::optional<std::string>& device_id);

// The canonical name of the model's action name (trimmed, case ignored, "_" read as a
// blank, with the aliases click, doubletap, longpress, type name); any other name
// comes back exactly as given. Throws TypeError when the name is not text.
std::string _normalize_action(const Json& action_name);

// Writes the decoded PNG to `output_dir` (created when missing) as
// "screenshot_%Y%m%d_%H%M%S.png", replacing a file of that name; returns its path.
std::string _save_screenshot(const std::string& base64_data, const std::string& output_dir);
// The same for the PNG bytes as the device sent them.
std::string save_screenshot_png(const std::string& png, const std::string& output_dir);

// The screen info text shown to the model: {"current_app": ..., "display_id": ...}
// with ", " and ": " separators, non-ASCII characters as they are, and display 0
// when none is set.
std::string _screen_info(const std::string& current_app, std::optional<std::int64_t> display_id);

// The executor's mapping for the canonical `action` from the tool's arguments
// ({"_metadata": "do", "action", and the action's own fields}), or null for an
// action the mode does not perform (Screenshot is handled by the mode itself).
Json action_mapping(const std::string& action, const Json& arguments);

// The mode entry: checks the device, takes a screenshot and the foreground app, asks
// the model once (temperature 0.1) and performs the chosen action. Returns
// {"mode": "action", "action", "success", "path"} for a screenshot,
// {"mode", "action", "success": false, "message": "Unsupported action: " + name} for a
// name it does not know, and {"mode", "action", "success", "message"} from the
// executor otherwise. Uses llm, prompt, device_id, display_id and output_dir.
Json run(const ModeArgs& args);

}  // namespace droidlens::action
