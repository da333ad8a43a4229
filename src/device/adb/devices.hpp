// The devices that adb currently sees: serial, state, connection kind and model.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace droidlens::adb {

enum class ConnectionType { USB, REMOTE };

// "usb" or "remote".
const char* to_string(ConnectionType type);

struct DeviceInfo {
    std::string device_id;  // serial as adb prints it (host:port for network devices)
    std::string status;     // state word as printed: device, offline, unauthorized, ...
    ConnectionType connection_type = ConnectionType::USB;
    std::optional<std::string> model;
    std::optional<std::string> android_version;  // never filled by the listing
};

class ADBConnection {
public:
    explicit ADBConnection(std::string adb_path = "adb");
    // Runs `adb devices -l` (5-second time-out) and parses its lines. Never throws:
    // any failure prints "Error listing devices: " + the error on the console and
    // yields an empty list.
    std::vector<DeviceInfo> list_devices() const;
    const std::string& adb_path() const { return adb_path_; }

private:
    std::string adb_path_;
};

// Parses the text that `adb devices -l` prints (header line first).
std::vector<DeviceInfo> parse_device_list(const std::string& output);

// ADBConnection().list_devices().
std::vector<DeviceInfo> list_devices();

// The device list with the reason it may be empty: `problem` says why adb could not
// list devices ("adb was not found on PATH; install the Android platform tools", its
// own error text), and is empty when adb answered. Prints the same console line as
// list_devices().
struct DeviceListing {
    std::vector<DeviceInfo> devices;
    std::string problem;
};
DeviceListing list_devices_explained(const std::string& adb_path = "adb");

}  // namespace droidlens::adb
