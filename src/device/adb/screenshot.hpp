// Screenshot capture over adb: `adb exec-out screencap -p` (the device encodes a PNG)
// and the raw form `adb exec-out screencap` (the device sends its pixels and the host
// encodes them, which is several times faster on a phone).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// How screenshots are taken: `raw` always in the raw form, `png` always with -p,
// `auto` in the raw form until the device gives something unusable, then with -p.
enum class CaptureMode { kAuto, kRaw, kPng };

// "auto", "raw", "png"; throws UsageError naming the value otherwise.
CaptureMode parse_capture_mode(std::string_view text);

// The screen in the raw form of `screencap` (no -p), converted to a PNG on the host:
// the same pixels as the device's own PNG. Process errors (adb missing, time-out,
// cancel) are thrown as for capture_png; output that is not a usable raw image (an
// error text, a header that does not add up, a pixel format other than RGBA_8888,
// RGBX_8888, RGB_888 and RGB_565) gives an absent result and `why` says what was wrong.
std::optional<PngScreenshot> capture_raw(const std::optional<std::string>& device_id,
                                         const std::optional<std::string>& screencap_display_id, std::string& why);

// The PNG of a raw screencap output: little-endian 32-bit width, height and pixel
// format, then on Android 8.1 and later the colour space, then the pixels. The two
// header sizes are told apart by the total length. Absent (with `why`) for anything
// that does not add up.
std::optional<PngScreenshot> png_from_raw(std::string_view data, std::string& why);

}  // namespace droidlens::adb
