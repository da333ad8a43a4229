// The foreground application of a device, from `dumpsys window`.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace droidlens::adb {

// Package name of the focused window (on the given display when one is named).
std::string get_current_app(const std::optional<std::string>& device_id,
                            std::optional<std::int64_t> display_id = std::nullopt);

// The app named by the window manager's reports: `displays_report` is the output of
// `dumpsys window displays`; `windows_report` gives that of `dumpsys window windows`
// and is asked only when the first report has no focus lines (Android 9 and
// earlier). Throws RuntimeError for output that is no window manager report, or a
// display the report does not list; `device_id` only names the device in messages.
std::string current_app_from_reports(const std::string& displays_report,
                                     const std::function<std::string()>& windows_report,
                                     std::optional<std::int64_t> display_id,
                                     const std::optional<std::string>& device_id = std::nullopt);

}  // namespace droidlens::adb
