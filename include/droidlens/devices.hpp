// The devices adb sees, and one screenshot of a device, as JSON records: what the
// command's `devices` and `screenshot` and the protocol server's tools answer.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace droidlens {

// {"devices": [{"device_id", "status", "connection_type", "model", "android_version"}]}
// in the order adb lists them. The model comes from the listing (or the device's
// ro.product.model), the Android version from ro.build.version.release of each
// device in state "device"; either is null when unknown. Throws DeviceError with
// the reason when adb cannot list devices (missing, no server, a time-out); an
// empty list means adb answered and sees no device.
Json device_list();

// Captures one screenshot of the device (resolved like every mode does) into
// output_dir as a new PNG file: {"device_id", "display_id", "image_path",
// "image_dimensions": [width, height]}.
Json take_screenshot(const std::optional<std::string>& device_id, std::optional<std::int64_t> display_id,
                     const std::string& output_dir);

}  // namespace droidlens
