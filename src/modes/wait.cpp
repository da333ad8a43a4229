#include "modes/wait.hpp"

#include <droidlens/cancel.hpp>
#include <droidlens/console.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/events.hpp>

#include "device/adb/device.hpp"
#include "modes/assert.hpp"
#include "modes/common.hpp"
#include "modes/diff.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace droidlens::waiting {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

// The PNG of a judged poll, as a new file of the output directory.
std::string save_screen(const std::string& output_dir, const std::string& png) {
    fs::ensure_directory(output_dir);
    const std::string stamp = fs::local_time_text("%Y%m%d_%H%M%S");
    const std::string path =
        fs::write_new_file(output_dir, [&](const std::string& n) { return stamp + "_wait" + n + ".png"; }, png).path;
    if (RunObserver* observer = current_run_observer()) {
        try {
            observer->on_screenshot_saved(path);
        } catch (...) {
            // An observer's failure is its own; the capture succeeded.
        }
    }
    return path;
}

}  // namespace

Json wait_until(ChatModel& llm, const ModeArgs& args, const Timing& timing) {
    if (!args.image_paths.empty()) {
        throw UsageError("Mode 'wait' watches a device's screen and takes no image files (assert judges screenshots)");
    }
    if (!(timing.timeout >= 0) || !(timing.interval >= 0)) {
        throw UsageError("Mode 'wait' needs a timeout and an interval of 0 seconds or more");
    }
    const Clock::time_point start = Clock::now();
    adb::Device device(args.device_id, args.display_id);  // resolved once, its display looked up once

    Json verdict;                  // the last model verdict
    std::string judged_png;        // the screenshot it judged, as the device sent it
    image::Raster judged_pixels;   // and its pixels, for the comparison
    Json verdicts = Json::array();
    std::int64_t polls = 0, model_calls = 0;
    bool timed_out = false;
    while (true) {
        cancel::throw_if_requested();
        std::string png = device.screenshot().png;
        ++polls;
        // Bytes equal to the judged screenshot's are the same screen without a
        // decode; otherwise the pixels decide, as in the diff mode.
        bool changed = verdict.is_null();
        image::Raster pixels;
        if (!changed && png != judged_png) {
            pixels = image::decode_rgb(png);
            changed = diff::screens_differ(judged_pixels, pixels);
        }
        const std::string at = seconds_text(seconds_since(start));
        if (changed) {
            if (pixels.empty()) pixels = image::decode_rgb(png);
            const std::string path = save_screen(args.output_dir, png);
            verdict = assertion::assert_screen(llm, args.prompt, {path}, args.lang, args.output_dir);
            ++model_calls;
            judged_png = std::move(png);
            judged_pixels = std::move(pixels);
            Json entry = Json::object();
            entry["poll"] = polls;
            entry["at_s"] = std::round(seconds_since(start) * 1000.0) / 1000.0;
            entry["passed"] = verdict["passed"];
            entry["reason"] = verdict["reason"];
            entry["evidence_box"] = verdict["evidence_box"];
            entry["screenshot_path"] = path;
            entry["annotated_image_path"] = verdict["annotated_image_path"];
            verdicts.push_back(std::move(entry));
            console_line("[wait] poll " + std::to_string(polls) + " at " + at + " s: " +
                         (assertion::verdict_passed(verdict) ? "passed" : "not yet") + " - " +
                         verdict["reason"].get<std::string>());
            if (assertion::verdict_passed(verdict)) break;
        } else {
            console_line("[wait] poll " + std::to_string(polls) + " at " + at +
                         " s: screen unchanged, not asked again");
        }
        if (seconds_since(start) + timing.interval > timing.timeout) {
            timed_out = true;
            break;
        }
        cancel::sleep_for(std::chrono::duration<double>(timing.interval));
    }

    Json record = verdict;
    record["mode"] = "wait";
    record["polls"] = polls;
    record["model_calls"] = model_calls;
    record["waited_s"] = std::round(seconds_since(start) * 1000.0) / 1000.0;
    record["timed_out"] = timed_out;
    record["device_id"] = device.serial();
    record["verdicts"] = std::move(verdicts);
    return record;
}

Json run(const ModeArgs& args) {
    ChatModel& llm = common::require_model(args, "wait");
    Timing timing;
    timing.timeout = args.options.value("timeout", timing.timeout);
    timing.interval = args.options.value("interval", timing.interval);
    return wait_until(llm, args, timing);
}

}  // namespace droidlens::waiting
