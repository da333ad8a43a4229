// The leading words of every adb command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace droidlens::adb {

// [adb_path] addressing the run's adb server: with "-H HOST -P PORT" when the run
// (or DROIDLENS_ADB_SERVER) names one. Throws UsageError for a malformed server.
std::vector<std::string> adb_command(const std::string& adb_path = "adb");

// adb_command() followed by "-s device_id" when device_id is non-empty text.
std::vector<std::string> adb_prefix(const std::optional<std::string>& device_id);

}  // namespace droidlens::adb
