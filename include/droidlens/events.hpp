// Watching a run while it happens. Front ends that show progress or keep a record
// of what the model saw (the protocol server's progress notifications, the run
// report) install an observer; the modes tell it about each step. The result record
// is the same with or without one.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace droidlens {

// One step of an automation run, as it ended: performed, finished, or answered with
// feedback instead of an action.
struct AutomateStep {
    std::int64_t step = 0;       // 1-based
    std::int64_t max_steps = 0;
    std::string task;
    std::string run_id;                          // names the step screenshots
    std::optional<std::string> screenshot_path;  // the saved step screenshot, when saved
    std::string screenshot_base64;               // the PNG the model saw, Base64
    int width = 0;
    int height = 0;
    std::optional<std::int64_t> display_id;
    std::string current_app;
    std::string content;      // the model's whole answer
    std::string thinking;     // its reasoning, before the action call
    std::string action_text;  // the action call as written
    Json action;              // the parsed action; null when it did not parse
    std::optional<std::string> executor_message;  // set when the action was performed
    std::vector<std::string> warnings;            // watchdog lines of this step
    std::optional<std::string> feedback;          // text sent back to the model, if any
    bool finished = false;                        // the run ends with this step
    bool cached = false;                          // the model's answer came from the answer cache
    double device_seconds = 0;  // screenshot, current app, performing the action
    double model_seconds = 0;   // the model request
    double own_seconds = 0;     // everything else of the step
};

class RunObserver {
public:
    virtual ~RunObserver() = default;
    // Called on the running thread once per step, after the step ended.
    virtual void on_automate_step(const AutomateStep& step) { (void)step; }

    // Called on the running thread when a mode has captured the device's screen into
    // a file (the query modes without given images, nodepin), with the file's path.
    virtual void on_screenshot_saved(const std::string& path) { (void)path; }
};

// The observer of runs on this thread, or null.
RunObserver* current_run_observer() noexcept;

// Installs `observer` for runs on this thread while the guard lives; the previous
// one comes back afterwards.
class ScopedRunObserver {
public:
    explicit ScopedRunObserver(RunObserver* observer) noexcept;
    ~ScopedRunObserver();
    ScopedRunObserver(const ScopedRunObserver&) = delete;
    ScopedRunObserver& operator=(const ScopedRunObserver&) = delete;

private:
    RunObserver* previous_;
};

}  // namespace droidlens
