// The action executor: reads the model's action-call text into an action mapping
// (`parse_action`) and performs action mappings on a device (`ActionHandler`).
//
// Action mapping (ordered JSON object): "_metadata" is "do" or "finish". A finish
// mapping carries "message". A do mapping carries "action" (one of kActionNames) and,
// by action: "element" [x, y] for Tap, Double Tap and Long Press; "start" and "end"
// for Swipe; "text" for Type and Type_Name; "duration" ("2.0 seconds") for Wait.
// Coordinates are in the model's 0-1000 space on each axis.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/adb/device.hpp"

namespace droidlens::actions {

// The actions the executor performs, in the order error messages list them.
inline constexpr const char* kActionNames[] = {"Tap",  "Double Tap", "Long Press", "Swipe", "Type",
                                               "Type_Name", "Back", "Home", "Wait"};

// The canonical name of an action the way a model may write it: trimmed, case
// ignored, "_" read as a blank, with the aliases click -> Tap, doubletap -> Double
// Tap, longpress -> Long Press, type name -> Type_Name (and "screenshot" ->
// "Screenshot", which only the single-action mode handles). A name not in the table
// comes back unchanged.
std::string canonical_action_name(const std::string& name);

// True for the names in kActionNames.
bool is_executable_action(const std::string& canonical);

// A wait duration in seconds from a number or a text such as "2 seconds", "2.5 s",
// "500 ms", "1 minute" or "3". Throws ValueError for anything else, for negative and
// for non-finite values.
double parse_duration_seconds(const Json& value);

// Seconds in the mapping's form: the shortest decimal that reads back as the same
// number, always with a fractional part, then " seconds" (2 -> "2.0 seconds").
std::string format_seconds(double seconds);

// Parses the model's action-call text, `do(action="Tap", element=[500, 300])` or
// `finish(message="done")`, into an action mapping. A real parser, never an
// evaluator: strings in single or double quotes with backslash escapes, numbers,
// lists, True/False/None (or true/false/null). Keys: "_metadata", then "action" (or
// "message"), then the other arguments in the order written. The action name is made
// canonical and its required arguments are checked; a missing Wait duration becomes
// "1.0 seconds"; a finish without a message gets the message "". Anything malformed
// throws ValueError whose message says what is wrong and at which character
// position (counted from 0), for the model to correct itself.
Json parse_action(std::string_view text);

// What performing an action gave.
struct ActionResult {
    bool success = false;
    std::string message;         // short, for the model: "Tapped (540, 1200)"
    bool should_finish = false;  // the task is to end (a finish action)

    Json to_json() const;  // {"success", "message", "should_finish"}
};

// Performs action mappings on the device and display of a device facade over
// `adb shell input`.
//
// Tap is `input tap`; Double Tap two taps 100 ms apart in one device shell line (two
// separate adb calls would land too far apart to count as a double tap); Long Press a
// swipe that stays in place for 1000 ms; Swipe a 300 ms swipe (slow enough to scroll
// by about the swiped distance rather than fling); Back and Home key events 4 and 3;
// Wait sleeps (capped at 60 s); finish sends nothing and asks to end.
//
// Type and Type_Name type ASCII text with `input text` in short pieces, a line break
// as ENTER and a tab as TAB. Text with anything beyond ASCII goes through the ADB
// Keyboard input method when the device has it (adb::type_with_adb_keyboard), the
// same line breaks and tabs as key events; without it nothing is typed and the
// result says what to install. Text that cannot be typed faithfully (other control
// characters, bytes that are not UTF-8) is refused before anything is sent.
//
// Device failures (adb error, device gone, unauthorized) give success false with
// adb's error text; an unknown action or missing arguments give success false and
// send nothing. A missing or hanging adb raises ProcessError / TimeoutError.
class ActionHandler {
public:
    // Input goes to the facade's device and display (a copy of the facade is kept).
    explicit ActionHandler(const adb::Device& device);
    // The same for a serial passed to adb as it is (absent: adb's only device).
    explicit ActionHandler(std::optional<std::string> device_id = std::nullopt,
                           std::optional<std::int64_t> display_id = std::nullopt);

    // Performs `action` for a screenshot of width x height pixels. Throws ValueError
    // when width or height is not positive.
    ActionResult execute(const Json& action, int width, int height) const;

private:
    adb::Device device_;
};

}  // namespace droidlens::actions
