// The window manager's reports that name the foreground app. The input is split at
// its first NUL byte into the `dumpsys window displays` report and the older
// `dumpsys window windows` one; the display id comes from the first byte.
#include <droidlens/errors.hpp>

#include "device/adb/apps.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = all.find('\0');
    const std::string first = all.substr(0, nul);
    const std::string second = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    std::optional<std::int64_t> display;
    if (size > 0 && data[0] % 3 != 0) display = data[0] % 5;
    try {
        const std::string app =
            droidlens::adb::current_app_from_reports(first, [&] { return second; }, display, "SER");
        if (app.empty()) __builtin_trap();
    } catch (const droidlens::RuntimeError&) {
    }
    return 0;
}
