// The UI hierarchy dump of a device (the XML that uiautomator writes for the current
// windows).
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "device/adb/selection.hpp"

namespace droidlens::adb {

// How long one `uiautomator dump` may take on the device. uiautomator itself waits up
// to about 10 seconds for the screen to become idle before it gives up.
inline constexpr std::chrono::seconds kDumpTimeout{30};

// The hierarchy XML of the selected device, byte for byte as uiautomator wrote it.
// In this order:
//   1. adb must be on PATH, else RuntimeError "adb is required for nodepin mode.
//      Install the Android platform tools and put adb on PATH." (before any device
//      is looked at);
//   2. _select_device(device_id); its errors pass unchanged;
//   3. the device must answer in state "device", else RuntimeError
//      "Failed to connect to device via uiautomator2";
//   4. `uiautomator dump` into a file of this process on the device, read back with
//      exec-out and removed; any failure is RuntimeError "Failed to dump UI hierarchy
//      via uiautomator2".
// The failures of steps 1, 3 and 4 carry the reason as their nested cause
// (std::nested_exception): adb's or the device's own words, "could not get idle state"
// on a screen that never settles, a time-out. The dump file is removed before dumping
// (a stale file is never read as new) and afterwards, whatever happened. A non-zero
// exit status is accepted when the file holds complete XML; "null root node" (no
// window to dump, common while windows change) is retried once. Dumps of one process
// run one at a time.
std::string dump_viewtree(const std::optional<std::string>& device_id = std::nullopt,
                          std::chrono::milliseconds dump_timeout = kDumpTimeout);

// The device file a dump of this process goes through.
std::string _dump_file_path();

}  // namespace droidlens::adb
