// The display reports: `dumpsys display` and `dumpsys SurfaceFlinger --display-id`.
// The input is split at its first NUL byte into the two reports; the join of the
// parsed records and the screencap id lookup must work on whatever they gave.
#include <droidlens/errors.hpp>

#include "device/adb/displays.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = all.find('\0');
    const std::string display_report = all.substr(0, nul);
    const std::string sf_report = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    try {
        const droidlens::Json sf = droidlens::adb::parse_surfaceflinger_displays(sf_report);
        const droidlens::Json displays = droidlens::adb::parse_displays(display_report, sf);
        if (!sf.is_array() || !displays.is_array()) __builtin_trap();
        (void)droidlens::dump_json(displays);
        const std::int64_t id = size > 0 ? data[size - 1] % 5 : 0;
        const std::string screencap_id = droidlens::adb::screencap_display_id(displays, id);
        if (screencap_id.empty()) __builtin_trap();
    } catch (const droidlens::Error&) {
    }
    return 0;
}
