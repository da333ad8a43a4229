#include "device/adb/viewtree.hpp"

#include "device/adb/devices.hpp"

#include <droidlens/errors.hpp>

namespace droidlens::adb {

std::string _select_device(const std::optional<std::string>& device_id) {
    // Fetched afresh on every call: devices come and go between requests.
    const auto devices = list_devices();
    if (devices.empty()) throw RuntimeError("No ADB devices detected");
    if (device_id && !device_id->empty()) {
        for (const auto& d : devices)
            if (d.device_id == *device_id) return *device_id;
        throw RuntimeError("Device not found: " + *device_id);
    }
    if (devices.size() > 1) throw RuntimeError("Multiple devices detected; please provide --device-id");
    return devices.front().device_id;
}

std::string resolve_device_id(const std::optional<std::string>& device_id) { return _select_device(device_id); }

}  // namespace droidlens::adb
