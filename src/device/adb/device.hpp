// One device and display for the whole of a run: the serial is resolved when the
// facade is made, and the logical display's SurfaceFlinger id (what `screencap -d`
// takes) is looked up at the first screenshot and kept for the rest of the run. Every
// device call of a mode goes through it, so a ten-step automation lists the devices
// once and reads the display reports once, not at every step.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/adb/input.hpp"
#include "device/adb/screenshot.hpp"
#include "device/adb/viewtree.hpp"

namespace droidlens::adb {

class Device {
public:
    // Resolves the device by the rules every mode uses (resolve_device_id: "No ADB
    // devices detected", "Device not found: ...", "Multiple devices detected; ...").
    explicit Device(const std::optional<std::string>& device_id,
                    std::optional<std::int64_t> display_id = std::nullopt);

    // A facade that passes `device_id` to adb as it is, without resolving it: a serial
    // resolved earlier, or (absent) whatever single device adb addresses itself.
    static Device unresolved(std::optional<std::string> device_id, std::optional<std::int64_t> display_id = std::nullopt);

    // The resolved serial ("" for an unresolved facade without one).
    std::string serial() const { return target_.device_id.value_or(""); }
    std::optional<std::int64_t> display_id() const { return target_.display_id; }
    // The device and display that input events go to.
    const InputTarget& target() const { return target_; }

    // The screen as PNG bytes. With -p exactly as the device sent them (any text a ROM
    // printed before the image and after its end removed); in the raw form encoded on
    // the host, with the same pixels. The capture mode is the run's (`capture` option,
    // default auto): auto takes the raw form and, once it is unusable, -p for the
    // rest of the facade's life; raw fails with the reason instead. Errors as
    // get_screenshot.
    PngScreenshot screenshot();

    CaptureMode capture_mode() const { return capture_mode_; }
    void set_capture_mode(CaptureMode mode) { capture_mode_ = mode; }
    // True once auto mode gave up the raw form for this facade.
    bool raw_given_up() const { return raw_given_up_; }

    // Package name of the focused window on this display (get_current_app).
    std::string current_app() const;

    // Runs `input [-d DISPLAY] args...` on the device (run_shell, input_words).
    ShellOutcome input(const std::vector<std::string>& args) const;
    // Runs a device shell line composed of words (several input commands, say).
    ShellOutcome shell(const std::vector<std::string>& words) const;
    // Types through the ADB Keyboard input method (type_with_adb_keyboard).
    ImeTyping type_with_adb_keyboard(const std::vector<ImeStep>& steps) const;

    // The UI hierarchy XML (dump_viewtree).
    std::string dump_hierarchy(std::chrono::milliseconds dump_timeout = kDumpTimeout) const;

    // How many times this facade read the display reports (0 or 1 in a run).
    int display_lookups() const { return display_lookups_; }

private:
    Device() = default;

    InputTarget target_;
    std::optional<std::string> screencap_display_;  // set once looked up
    int display_lookups_ = 0;
    CaptureMode capture_mode_ = CaptureMode::kAuto;
    bool raw_given_up_ = false;
};

}  // namespace droidlens::adb
