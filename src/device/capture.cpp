#include "device/capture.hpp"

#include <droidlens/events.hpp>

#include "utils/fs.hpp"

namespace droidlens::capture {

CapturedScreenshot capture_screenshot_to_file(adb::Device& device, const std::string& output_dir) {
    // Device errors and capture errors surface before anything is created on disk.
    const adb::PngScreenshot shot = device.screenshot();
    fs::ensure_directory(output_dir);
    // Named after the capture time; a capture of the same second (another run into the
    // same directory) gets "_2", "_3", ... instead of replacing this one.
    const std::string stamp = fs::local_time_text("%Y%m%d_%H%M%S");
    std::string path =
        fs::write_new_file(output_dir, [&](const std::string& n) { return stamp + n + ".png"; }, shot.png).path;
    if (RunObserver* observer = current_run_observer()) {
        try {
            observer->on_screenshot_saved(path);
        } catch (...) {
            // An observer's failure is its own; the capture succeeded.
        }
    }
    return {path, device.serial()};
}

CapturedScreenshot capture_screenshot_to_file(const std::optional<std::string>& device_id,
                                              const std::string& output_dir,
                                              std::optional<std::int64_t> display_id) {
    adb::Device device(device_id, display_id);
    return capture_screenshot_to_file(device, output_dir);
}

}  // namespace droidlens::capture
