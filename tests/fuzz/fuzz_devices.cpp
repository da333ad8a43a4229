// What `adb devices -l` prints: any bytes give a list (possibly empty), never a crash.
#include "device/adb/devices.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const auto& d : droidlens::adb::parse_device_list(text)) {
        if (d.device_id.empty() || d.status.empty()) __builtin_trap();
    }
    return 0;
}
