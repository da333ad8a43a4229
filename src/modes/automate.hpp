// The automate mode: carries out a multi-step task on a device in plain conversation
// with the model. Each step shows the model the newest screenshot with the screen
// info; the model answers in free text ending in an action call, do(action=...) or
// finish(message=...), which the action executor performs. Two watchdogs push the
// model out of loops: one for an action repeated verbatim, one for a screen that
// did not change.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "device/action_executor.hpp"
#include "device/adb/device.hpp"

namespace droidlens::automate {

// The local time now; replaceable in AutoRunner so tests can fix the date.
using LocalClock = std::function<std::tm()>;
std::tm local_now();

// The system prompt for `lang` ("en": English; anything else: Chinese), opening
// with the date of `now` ("The current date: 2024-01-02, Tuesday" or
// "今天的日期是: 2024年01月02日 星期二").
std::string _get_system_prompt(const std::string& lang, const std::tm& now);
std::string _get_system_prompt(const std::string& lang = kDefaultLang);

// {"role": "user", "content": [image part, text part]}, the image a Base64 PNG.
Json _build_user_message(const std::string& text, const std::string& image_base64);

// Splits the model's answer into (thinking, action text) at the first
// "finish(message=" or, when there is none, the first "do(action="; the thinking is
// trimmed, the action text runs to the end. Without either marker: ("", the whole
// answer trimmed).
std::pair<std::string, std::string> _parse_response(const std::string& content);

// Keeps only the text parts of a message whose content is a list of parts; any
// other message is left as it is.
void _strip_images(Json& message);

// The feedback texts the watchdogs and the parser send back to the model.
std::string repeat_feedback(const std::string& action_text, std::int64_t count, const std::string& current_app);
std::string no_change_feedback(const std::string& action_text, std::int64_t count, const std::string& current_app);
std::string parse_feedback(const std::string& error, const std::string& action_text);

// One automation run's settings; `run` performs the loop. Progress goes to the
// console as "[DEBUG] " and "[WARNING] " lines.
class AutoRunner {
public:
    AutoRunner(ChatModel* llm, std::optional<std::string> device_id, std::int64_t max_steps,
               const std::string& lang = kDefaultLang, std::optional<std::string> output_dir = std::nullopt,
               std::optional<std::int64_t> display_id = std::nullopt, LocalClock clock = local_now);

    // Runs the task for at most max_steps steps. Returns {"mode": "automate",
    // "status": "finished" | "max_steps", "message", "steps"}. Errors of the device,
    // the model and the executor propagate; screenshots saved so far stay. A cancel
    // request stops the run with CancelledError "Cancelled after N completed steps
    // (step N+1 was interrupted)[; step screenshots are in DIR]".
    Json run(const std::string& task);

    // Saves one step's screenshot as RUNID_stepNNN[_dDISPLAY].png in output_dir and
    // returns its path; nothing (and no file) when output_dir is absent or empty.
    std::optional<std::string> _save_step_screenshot(const std::string& base64_data, const std::string& run_id,
                                                     std::int64_t step) const;

    // The same for the PNG bytes as the device sent them.
    std::optional<std::string> save_step_png(const std::string& png, const std::string& run_id,
                                             std::int64_t step) const;

    // Saves step 1 (PNG bytes) under a run id no other run in the directory has:
    // `run_id` itself, or run_id + "_2", ... (updated in place). nullopt when no
    // directory is set.
    std::optional<std::string> save_first_step(const std::string& png, std::string& run_id) const;
    // run_id + "_step" + three-digit step (+ "_d" + display id) + ".png".
    std::string step_file_name(const std::string& run_id, std::int64_t step) const;

    ChatModel* const llm;
    const std::optional<std::string> device_id;
    const std::int64_t max_steps;
    const std::string system_prompt;
    const std::optional<std::string> output_dir;
    const std::optional<std::int64_t> display_id;
    // The run's device facade: serial as given, the display mapping looked up once.
    adb::Device device;
    const actions::ActionHandler action_handler;

private:
    // The loop; `completed` follows the number of steps finished.
    Json run_steps(const std::string& task, std::int64_t& completed);

    LocalClock clock_;
};

// The mode entry: AutoRunner(llm, device_id, max_steps, lang, output_dir,
// display_id).run(prompt). Throws ValueError for a negative max_steps.
Json run(const ModeArgs& args);

}  // namespace droidlens::automate
