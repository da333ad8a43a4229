// Capturing a device's screen into a file: the screenshot every mode works on when it
// is given no image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/adb/device.hpp"

namespace droidlens::capture {

struct CapturedScreenshot {
    std::string file_path;           // output_dir/%Y%m%d_%H%M%S.png
    std::string resolved_device_id;  // the serial the screenshot came from
};

// Takes a screenshot of the device's display and writes the PNG, byte for byte as the
// device sent it, as a time-stamped file into output_dir (created when missing); a
// capture of the same second gets "_2", "_3", ... Device and capture errors pass
// through before anything is created on disk. The run's observer hears of the file.
CapturedScreenshot capture_screenshot_to_file(adb::Device& device, const std::string& output_dir);

// The same for a device still to be resolved (by the rules every mode uses) and the
// display `display_id` (the default one when absent).
CapturedScreenshot capture_screenshot_to_file(const std::optional<std::string>& device_id,
                                              const std::string& output_dir,
                                              std::optional<std::int64_t> display_id = std::nullopt);

}  // namespace droidlens::capture

// The names as the image helpers offered them before capture had a module of its own.
namespace droidlens::image {
using capture::capture_screenshot_to_file;
using capture::CapturedScreenshot;
}  // namespace droidlens::image
