#include <droidlens/devices.hpp>

#include <droidlens/errors.hpp>

#include "device/adb/devices.hpp"
#include "device/adb/hostcall.hpp"
#include "device/capture.hpp"
#include "utils/image.hpp"
#include "utils/subprocess.hpp"
#include "utils/text.hpp"

#include <array>
#include <chrono>
#include <fstream>

namespace droidlens {

namespace {

constexpr std::chrono::seconds kPropertyTimeout{5};

// One system property of a device, or nothing when the device does not answer it.
std::optional<std::string> device_property(const std::string& serial, const std::string& name) {
    try {
        auto argv = adb::adb_prefix(serial);
        argv.insert(argv.end(), {"shell", "getprop", name});
        const auto r = proc::run_process(argv, kPropertyTimeout);
        const std::string value(text::strip(r.stdout_data));
        if (r.exit_code != 0 || value.empty() || text::find_invalid_utf8(value) != std::string::npos) return std::nullopt;
        return value;
    } catch (const CancelledError&) {
        throw;
    } catch (const Error&) {
        return std::nullopt;  // extra information only: a device that hangs still gets listed
    }
}

// Width and height from a PNG file's header, without decoding it.
std::optional<std::array<std::int64_t, 2>> png_size(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char h[24] = {};
    if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return std::nullopt;
    if (h[0] != 0x89 || h[1] != 'P' || h[2] != 'N' || h[3] != 'G' || h[12] != 'I' || h[13] != 'H') return std::nullopt;
    auto be32 = [&](int at) {
        return (std::int64_t{h[at]} << 24) | (std::int64_t{h[at + 1]} << 16) | (std::int64_t{h[at + 2]} << 8) |
               std::int64_t{h[at + 3]};
    };
    return std::array<std::int64_t, 2>{be32(16), be32(20)};
}

}  // namespace

Json device_list() {
    const adb::DeviceListing listing = adb::list_devices_explained();
    if (!listing.problem.empty()) throw DeviceError("Cannot list devices: " + listing.problem);
    Json devices = Json::array();
    for (const adb::DeviceInfo& d : listing.devices) {
        std::optional<std::string> model = d.model, version = d.android_version;
        if (d.status == "device") {
            if (!model) model = device_property(d.device_id, "ro.product.model");
            if (!version) version = device_property(d.device_id, "ro.build.version.release");
        }
        Json r = Json::object();
        r["device_id"] = d.device_id;
        r["status"] = d.status;
        r["connection_type"] = adb::to_string(d.connection_type);
        r["model"] = model ? Json(*model) : Json(nullptr);
        r["android_version"] = version ? Json(*version) : Json(nullptr);
        devices.push_back(std::move(r));
    }
    Json out = Json::object();
    out["devices"] = std::move(devices);
    return out;
}

Json take_screenshot(const std::optional<std::string>& device_id, std::optional<std::int64_t> display_id,
                     const std::string& output_dir) {
    const capture::CapturedScreenshot shot = capture::capture_screenshot_to_file(device_id, output_dir, display_id);
    std::array<std::int64_t, 2> size{0, 0};
    if (const auto header = png_size(shot.file_path)) {
        size = *header;
    } else {
        const image::Raster r = image::load_rgb(shot.file_path);
        size = {r.width(), r.height()};
    }
    Json record = Json::object();
    record["device_id"] = shot.resolved_device_id;
    record["display_id"] = display_id ? Json(*display_id) : Json(nullptr);
    record["image_path"] = shot.file_path;
    record["image_dimensions"] = size;
    return record;
}

}  // namespace droidlens
