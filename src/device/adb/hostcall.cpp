#include "device/adb/hostcall.hpp"

namespace droidlens::adb {

std::vector<std::string> adb_prefix(const std::optional<std::string>& device_id) {
    if (device_id && !device_id->empty()) return {"adb", "-s", *device_id};
    return {"adb"};
}

}  // namespace droidlens::adb
