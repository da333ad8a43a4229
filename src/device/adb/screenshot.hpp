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

// Captures the screen of the device (all devices when absent: adb picks the only one)
// on the given logical display. Throws RuntimeError quoting the device's text when it
// does not answer with a PNG, and the process errors of the child-process runner.
Screenshot get_screenshot(const std::optional<std::string>& device_id,
                          std::optional<std::int64_t> display_id = std::nullopt);

}  // namespace droidlens::adb
