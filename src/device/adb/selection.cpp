#include "device/adb/selection.hpp"

#include "device/adb/devices.hpp"

#include <droidlens/errors.hpp>

#include <cstdlib>

namespace droidlens::adb {

namespace {

// "A, B": the serials to choose from, as the user would type them.
std::string serials(const std::vector<DeviceInfo>& devices) {
    std::string out;
    for (const DeviceInfo& d : devices) out += (out.empty() ? "" : ", ") + d.device_id;
    return out;
}

}  // namespace

std::string _select_device(const std::optional<std::string>& given) {
    // Without a device named by the caller, the one adb itself would use: ANDROID_SERIAL.
    std::optional<std::string> device_id = given;
    bool from_environment = false;
    if (!device_id || device_id->empty()) {
        if (const char* env = std::getenv("ANDROID_SERIAL"); env != nullptr && *env != '\0') {
            device_id = env;
            from_environment = true;
        }
    }
    // Fetched afresh on every call: devices come and go between requests.
    const DeviceListing listing = list_devices_explained();
    const auto& devices = listing.devices;
    if (devices.empty()) {
        throw DeviceError(listing.problem.empty() ? "No ADB devices detected"
                                                  : "No ADB devices detected: " + listing.problem);
    }
    if (device_id && !device_id->empty()) {
        for (const auto& d : devices)
            if (d.device_id == *device_id) return *device_id;
        throw DeviceError("Device not found: " + *device_id + (from_environment ? " (named by ANDROID_SERIAL;" : " (") +
                          "connected: " + serials(devices) + ")");
    }
    if (devices.size() > 1)
        throw DeviceError("Multiple devices detected; please provide --device-id (connected: " + serials(devices) + ")");
    return devices.front().device_id;
}

std::string resolve_device_id(const std::optional<std::string>& device_id) { return _select_device(device_id); }

}  // namespace droidlens::adb
