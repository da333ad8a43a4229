// The leading words of every adb command line that addresses one device.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace droidlens::adb {

// ["adb", "-s", device_id] when device_id is non-empty text, else ["adb"].
std::vector<std::string> adb_prefix(const std::optional<std::string>& device_id);

}  // namespace droidlens::adb
