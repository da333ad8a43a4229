// The displays of one device, from two dumpsys reports read over adb:
// `dumpsys display` gives the logical displays (the WindowManager/DisplayManager ids
// that `dumpsys window` and `input -d` use) with their names, types, sizes and unique
// ids; `dumpsys SurfaceFlinger --display-id` gives the physical outputs with their
// SurfaceFlinger and hardware-composer ids and ports. A logical display whose unique
// id is "local:" + number sits on the physical output with that SurfaceFlinger id.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace droidlens::adb {

// Runs `adb [-s device_id] shell dumpsys SurfaceFlinger --display-id` (10-second
// time-out) and returns one record per display line, in report order:
//   {"surfaceflinger_display_id": "4619827259835644672" (the digits, as text),
//    "surfaceflinger_display_name": displayName or "", "hwc_display_id": integer,
//    "port": integer or null, "pnp_id": pnpId or ""}.
// An empty report gives an empty list. A missing adb (ProcessError) or a time-out
// (TimeoutError) propagates; the exit status is not examined.
Json list_surfaceflinger_displays(const std::optional<std::string>& device_id = std::nullopt);

// Runs `adb [-s device_id] shell dumpsys display` and the SurfaceFlinger report above
// and returns one record per logical display, in the order the report first lists
// them:
//   {"display_id": integer, "display_name", "type", "unique_id": text or "",
//    "real_size": [width, height] or [], "device_product_name": text or "",
//    "surfaceflinger_display_id", "surfaceflinger_display_name": text or "" (from the
//    join), "hwc_display_id", "hwc_port": integer or null (from the join)}.
// Throws RuntimeError "No output from `dumpsys display`" when that report is empty
// (with adb's own complaint nested as the cause when adb failed); a missing adb or a
// time-out of either call propagates.
Json list_displays(const std::optional<std::string>& device_id = std::nullopt);

// The display id that `screencap -d` takes for logical display `display_id` among the
// records of list_displays: the SurfaceFlinger id of the physical output it sits on,
// or the logical id itself when it has none (virtual displays, overlays) or is not
// listed.
std::string screencap_display_id(const Json& displays, std::int64_t display_id);

// The parsing behind the two calls, for reports already read. Text that is not UTF-8
// is read with each bad byte as U+FFFD.
Json parse_surfaceflinger_displays(std::string_view report);
Json parse_displays(std::string_view display_report, const Json& surfaceflinger_displays);

}  // namespace droidlens::adb
