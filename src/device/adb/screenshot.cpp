#include "device/adb/screenshot.hpp"

#include "device/adb/device_text.hpp"
#include "device/adb/displays.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/base64.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>

namespace droidlens::adb {

namespace {

constexpr std::chrono::seconds kCaptureTimeout{20};
constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};
// The IEND chunk that closes every PNG: zero length, type, CRC.
constexpr std::string_view kPngEnd{"\0\0\0\0IEND\xae\x42\x60\x82", 12};
// Some ROMs print linker or property warnings (merged into the exec-out stream)
// before the image; text this long at most is skipped.
constexpr size_t kMaxLeadingText = 4096;

std::uint32_t be32(std::string_view s, size_t at) {
    return (std::uint32_t(static_cast<unsigned char>(s[at])) << 24) |
           (std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 16) |
           (std::uint32_t(static_cast<unsigned char>(s[at + 2])) << 8) |
           std::uint32_t(static_cast<unsigned char>(s[at + 3]));
}

bool is_text(std::string_view s) {
    for (unsigned char c : s)
        if (c == 0 || (c < 0x20 && c != '\n' && c != '\r' && c != '\t')) return false;
    return true;
}

}  // namespace

std::string screencap_display(const std::optional<std::string>& device_id, std::int64_t display_id) {
    Json displays;
    try {
        displays = list_displays(device_id);
    } catch (const RuntimeError&) {
        return std::to_string(display_id);
    } catch (const ValueError&) {
        return std::to_string(display_id);
    }
    return screencap_display_id(displays, display_id);
}

Screenshot get_screenshot(const std::optional<std::string>& device_id, std::optional<std::int64_t> display_id) {
    std::optional<std::string> mapped;
    if (display_id) mapped = screencap_display(device_id, *display_id);
    PngScreenshot shot = capture_png(device_id, mapped);
    return {base64::encode(shot.png), shot.width, shot.height};
}

PngScreenshot capture_png(const std::optional<std::string>& device_id,
                          const std::optional<std::string>& screencap_display_id) {
    auto argv = adb_prefix(device_id);
    argv.insert(argv.end(), {"exec-out", "screencap", "-p"});
    if (screencap_display_id) argv.insert(argv.end(), {"-d", *screencap_display_id});

    auto result = detail::run_adb(argv, kCaptureTimeout, "Screenshot failed", device_id);
    std::string_view png = result.stdout_data;
    auto failure = [&](const std::string& why) {
        return DeviceError(detail::failure_prefix("Screenshot failed", device_id) + ": " + why);
    };

    // exec-out carries the device's error text ("Capturing failed.", "Display Id '5'
    // is not valid.") in place of the image, with a zero exit status.
    const size_t sig = png.find(kPngSignature);
    if (sig == std::string_view::npos || sig > kMaxLeadingText || !is_text(png.substr(0, sig)))
        throw failure(detail::device_text(png));
    png.remove_prefix(sig);

    // Signature, then the IHDR chunk (length 13) with width and height.
    if (png.size() < 8 + 25 + kPngEnd.size() || be32(png, 8) != 13 || png.substr(12, 4) != "IHDR")
        throw failure("the PNG image is incomplete (" + std::to_string(png.size()) + " bytes)");
    const std::uint32_t width = be32(png, 16), height = be32(png, 20);
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu)
        throw failure("the PNG image has an invalid size " + std::to_string(width) + "x" + std::to_string(height));
    // A connection lost mid-transfer leaves a cut-off image; anything after the end
    // chunk (a late warning line) is not part of it.
    const size_t end = png.rfind(kPngEnd);
    if (end == std::string_view::npos || end < 33)
        throw failure("the PNG image is truncated (" + std::to_string(png.size()) + " bytes)");
    png = png.substr(0, end + kPngEnd.size());

    PngScreenshot shot;
    // The image is cut out of the output in place (no copy of a screenful of bytes).
    const size_t offset = static_cast<size_t>(png.data() - result.stdout_data.data());
    const size_t size = png.size();
    shot.png = std::move(result.stdout_data);
    shot.png.resize(offset + size);
    shot.png.erase(0, offset);
    shot.width = static_cast<int>(width);
    shot.height = static_cast<int>(height);
    return shot;
}

}  // namespace droidlens::adb
