// Which connected device a request addresses (and, later, its UI hierarchy dump).
#pragma once

#include <optional>
#include <string>

namespace droidlens::adb {

// Picks the device: fails with RuntimeError "No ADB devices detected",
// "Device not found: " + id, or "Multiple devices detected; please provide --device-id".
// An empty id counts as none.
std::string _select_device(const std::optional<std::string>& device_id);

// The entry other modules call; same contract as _select_device.
std::string resolve_device_id(const std::optional<std::string>& device_id);

}  // namespace droidlens::adb
