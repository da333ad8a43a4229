#include "device/adb/device.hpp"

#include "device/adb/apps.hpp"
#include "device/adb/device_text.hpp"
#include "device/adb/selection.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/run.hpp>

#include <utility>

namespace droidlens::adb {

namespace {

// The capture mode of the current run (auto outside a run or when not given).
CaptureMode run_capture_mode() {
    const RunContext* run = current_run();
    return run != nullptr && run->capture ? parse_capture_mode(*run->capture) : CaptureMode::kAuto;
}

}  // namespace

Device::Device(const std::optional<std::string>& device_id, std::optional<std::int64_t> display_id) {
    target_.device_id = resolve_device_id(device_id);
    target_.display_id = display_id;
    capture_mode_ = run_capture_mode();
}

Device Device::unresolved(std::optional<std::string> device_id, std::optional<std::int64_t> display_id) {
    Device d;
    d.target_.device_id = std::move(device_id);
    d.target_.display_id = display_id;
    d.capture_mode_ = run_capture_mode();
    return d;
}

PngScreenshot Device::screenshot() {
    if (target_.display_id && !screencap_display_) {
        // Kept only once it has been read: a time-out or a missing adb is raised now and
        // the next screenshot tries again.
        ++display_lookups_;
        screencap_display_ = screencap_display(target_.device_id, *target_.display_id);
    }
    if (capture_mode_ == CaptureMode::kPng || raw_given_up_) return capture_png(target_.device_id, screencap_display_);
    std::string why;
    if (auto shot = capture_raw(target_.device_id, screencap_display_, why)) return std::move(*shot);
    if (capture_mode_ == CaptureMode::kRaw)
        throw DeviceError(detail::failure_prefix("Screenshot failed", target_.device_id) +
                          ": the raw screen is unusable (" + why + "); try --capture png");
    // A device whose raw output does not add up (an old or vendor screencap, an HDR
    // pixel format, text printed into the stream) is asked for PNGs from now on.
    raw_given_up_ = true;
    return capture_png(target_.device_id, screencap_display_);
}

std::string Device::current_app() const { return get_current_app(target_.device_id, target_.display_id); }

ShellOutcome Device::input(const std::vector<std::string>& args) const {
    return run_shell(target_, input_words(target_, args));
}

ShellOutcome Device::shell(const std::vector<std::string>& words) const { return run_shell(target_, words); }

ImeTyping Device::type_with_adb_keyboard(const std::vector<ImeStep>& steps) const {
    return adb::type_with_adb_keyboard(target_, steps);
}

std::string Device::dump_hierarchy(std::chrono::milliseconds dump_timeout) const {
    return dump_viewtree(target_.device_id, dump_timeout);
}

}  // namespace droidlens::adb
