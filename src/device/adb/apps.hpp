// The foreground application of a device, from `dumpsys window`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace droidlens::adb {

// Package name of the focused window (on the given display when one is named).
std::string get_current_app(const std::optional<std::string>& device_id,
                            std::optional<std::int64_t> display_id = std::nullopt);

}  // namespace droidlens::adb
