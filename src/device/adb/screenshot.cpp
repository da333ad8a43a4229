#include "device/adb/screenshot.hpp"

#include "device/adb/device_text.hpp"
#include "device/adb/displays.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/base64.hpp"
#include "utils/png.hpp"
#include "utils/raster.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdint>
#include <cstring>
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

std::uint32_t le32(std::string_view s, size_t at) {
    return std::uint32_t(static_cast<unsigned char>(s[at])) |
           (std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 8) |
           (std::uint32_t(static_cast<unsigned char>(s[at + 2])) << 16) |
           (std::uint32_t(static_cast<unsigned char>(s[at + 3])) << 24);
}

// Bytes per pixel of the raw formats we convert (android PixelFormat numbers); 0 for
// the others (RGBA_1010102 of HDR displays, RGBA_FP16, ...), which go to -p.
int raw_bytes_per_pixel(std::uint32_t format) {
    switch (format) {
        case 1: return 4;  // RGBA_8888
        case 2: return 4;  // RGBX_8888
        case 3: return 3;  // RGB_888
        case 4: return 2;  // RGB_565
        default: return 0;
    }
}

bool is_text(std::string_view s) {
    for (unsigned char c : s)
        if (c == 0 || (c < 0x20 && c != '\n' && c != '\r' && c != '\t')) return false;
    return true;
}

}  // namespace

CaptureMode parse_capture_mode(std::string_view text) {
    if (text == "auto") return CaptureMode::kAuto;
    if (text == "raw") return CaptureMode::kRaw;
    if (text == "png") return CaptureMode::kPng;
    throw UsageError("capture must be raw, png or auto, got '" + std::string(text.substr(0, 200)) + "'");
}

std::optional<PngScreenshot> png_from_raw(std::string_view data, std::string& why) {
    if (data.size() < 12) {
        why = data.empty() ? "no output" : "\"" + detail::device_text(data) + "\"";
        return std::nullopt;
    }
    const std::uint64_t width = le32(data, 0), height = le32(data, 4);
    const std::uint32_t format = le32(data, 8);
    const int bpp = raw_bytes_per_pixel(format);
    if (width == 0 || height == 0 || width * height > image::kMaxPixels) {
        why = is_text(data) ? "\"" + detail::device_text(data) + "\""
                            : "a raw image of size " + std::to_string(width) + "x" + std::to_string(height);
        return std::nullopt;
    }
    if (bpp == 0) {
        why = "pixel format " + std::to_string(format) + " is not converted";
        return std::nullopt;
    }
    const std::uint64_t pixels = width * height * static_cast<std::uint64_t>(bpp);
    size_t header = 0;
    // A 12-byte header with four bytes too many has the length of a 16-byte one; the
    // colour-space word (0 unknown, 1 sRGB, 2 Display P3) tells them apart.
    if (data.size() == 16 + pixels) {
        header = 16;
        if (const std::uint32_t space = le32(data, 12); space > 2) {
            why = "the raw header's colour space is " + std::to_string(space) + ", not 0, 1 or 2";
            return std::nullopt;
        }
    } else if (data.size() == 12 + pixels) {
        header = 12;
    } else {
        why = "a raw image of " + std::to_string(width) + "x" + std::to_string(height) + " in format " +
              std::to_string(format) + " needs " + std::to_string(pixels) + " bytes after its header, got " +
              std::to_string(data.size()) + " bytes in all";
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(data.data()) + header;
    image::Raster rgb(static_cast<int>(width), static_cast<int>(height), 3);
    std::uint8_t* out = rgb.data();
    const std::uint64_t count = width * height;
    switch (format) {
        case 1:
        case 2:  // the alpha (or padding) byte is dropped, as decoding the device's PNG drops it
            for (std::uint64_t i = 0; i < count; ++i, in += 4, out += 3) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
            }
            break;
        case 3: std::memcpy(out, in, count * 3); break;
        case 4:  // 5-6-5 bits widened by repeating the top bits, as the device's own PNG does
            for (std::uint64_t i = 0; i < count; ++i, in += 2, out += 3) {
                const unsigned v = unsigned(in[0]) | (unsigned(in[1]) << 8);
                const unsigned r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
                out[0] = static_cast<std::uint8_t>((r << 3) | (r >> 2));
                out[1] = static_cast<std::uint8_t>((g << 2) | (g >> 4));
                out[2] = static_cast<std::uint8_t>((b << 3) | (b >> 2));
            }
            break;
    }
    PngScreenshot shot;
    shot.png = png::encode(rgb, png::Effort::Fast);
    shot.width = static_cast<int>(width);
    shot.height = static_cast<int>(height);
    return shot;
}

std::optional<PngScreenshot> capture_raw(const std::optional<std::string>& device_id,
                                         const std::optional<std::string>& screencap_display_id, std::string& why) {
    auto argv = adb_prefix(device_id);
    argv.insert(argv.end(), {"exec-out", "screencap"});
    if (screencap_display_id) argv.insert(argv.end(), {"-d", *screencap_display_id});
    auto result = detail::run_adb(argv, kCaptureTimeout, "Screenshot failed", device_id);
    return png_from_raw(result.stdout_data, why);
}

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
