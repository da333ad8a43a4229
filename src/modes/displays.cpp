#include "modes/displays.hpp"

#include "device/adb/displays.hpp"
#include "device/adb/viewtree.hpp"

namespace droidlens::displays {

Json run(const ModeArgs& args) {
    const std::string serial = adb::resolve_device_id(args.device_id);
    Json result = Json::object();
    result["mode"] = "displays";
    result["device_id"] = serial;
    result["displays"] = adb::list_displays(serial);
    return result;
}

}  // namespace droidlens::displays
