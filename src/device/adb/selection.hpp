// Which connected device a request addresses. Every mode that reaches a device
// resolves it here, by the same rules and with the same messages.
#pragma once

#include <optional>
#include <string>

namespace droidlens::adb {

// Picks the device from a fresh `adb devices -l`. Fails with DeviceError:
//   "No ADB devices detected" (with the reason when adb could not list devices:
//     "No ADB devices detected: adb was not found on PATH; install the Android
//     platform tools");
//   "Device not found: " + id (with the serials that are connected);
//   "Multiple devices detected; please provide --device-id (connected: A, B)".
// An empty id counts as none. A device in any state counts as connected.
std::string _select_device(const std::optional<std::string>& device_id);

// The entry other modules call; same contract as _select_device.
std::string resolve_device_id(const std::optional<std::string>& device_id);

}  // namespace droidlens::adb
