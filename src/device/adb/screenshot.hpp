// Screenshot capture over adb (`adb exec-out screencap -p`).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace droidlens::adb {

struct Screenshot {
    std::string base64_data;  // Base64 text of the PNG image
    int width = 0;            // pixel size of that image
    int height = 0;
};

// A screenshot as the device sent it.
struct PngScreenshot {
    std::string png;  // the PNG file's bytes
    int width = 0;    // pixel size of that image
    int height = 0;
};

// Captures the screen of the device (all devices when absent: adb picks the only one)
// on the given logical display. Throws RuntimeError quoting the device's text when it
// does not answer with a PNG, and the process errors of the child-process runner.
Screenshot get_screenshot(const std::optional<std::string>& device_id,
                          std::optional<std::int64_t> display_id = std::nullopt);

// `screencap -d` takes a SurfaceFlinger (physical) display id, while callers name
// logical displays: the ids of `dumpsys window` and `input -d`, which `input` keeps.
// The logical id is mapped through the display enumeration (list_displays); a display
// without a physical output keeps its logical id, and so does every display of a
// device whose display report is empty or unreadable. A device that hangs or a
// missing adb fails here as it would in the capture itself.
std::string screencap_display(const std::optional<std::string>& device_id, std::int64_t display_id);

// The capture behind get_screenshot, for a display id already mapped (what
// `screencap -d` takes; the default display when absent): the PNG bytes, with any
// text a ROM printed before the image or after its end left out. Same errors.
PngScreenshot capture_png(const std::optional<std::string>& device_id,
                          const std::optional<std::string>& screencap_display_id);

}  // namespace droidlens::adb
