// The "displays" mode: the displays of the device, as the display enumeration reads
// them, for choosing a --display-id.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

namespace droidlens::displays {

// Mode entry: {"mode": "displays", "device_id": the serial the device selection
// resolved, "displays": the records of list_displays}. Uses only `device_id` of the
// argument set. Device selection errors ("No ADB devices detected", ...) and the
// enumeration's errors propagate.
Json run(const ModeArgs& args);

}  // namespace droidlens::displays
