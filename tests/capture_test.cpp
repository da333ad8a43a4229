// Capturing a device's screen into a file, through the real adb client against the
// simulated adb server.
#include "device/capture.hpp"

#include <droidlens/errors.hpp>

#include "fakes/adb_fixture.hpp"
#include "raster_support.hpp"
#include "test_support.hpp"
#include "utils/image.hpp"
#include "utils/png.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

using namespace droidlens;
using namespace testsupport;

namespace {

// A logical display 2 that sits on SurfaceFlinger output 4619827259835644673.
constexpr const char* kDisplayReport =
    "  Display 0:\n    mBaseDisplayInfo=DisplayInfo{\"Built-in Screen\", type INTERNAL, uniqueId "
    "\"local:4619827259835644672\", real 1080 x 2400}\n"
    "  Display 2:\n    mBaseDisplayInfo=DisplayInfo{\"HDMI Screen\", type EXTERNAL, uniqueId "
    "\"local:4619827259835644673\", real 1920 x 1080}\n";
constexpr const char* kSurfaceFlingerReport =
    "Display 4619827259835644672 (HWC display 0): port=0 pnpId=GGL displayName=\"EMU_display_0\"\n"
    "Display 4619827259835644673 (HWC display 1): port=1 pnpId=GGL displayName=\"EMU_display_1\"\n";

size_t count_containing(const std::vector<std::string>& lines, const std::string& what) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; }));
}

}  // namespace

TEST(CaptureScreenshot, WritesTheDevicePngUnderATimeStampedName) {
    FakeAdb adb;
    adb.add_device("emulator-5554", "device", "Pixel_7");
    const std::string png = png::encode(solid(32, 64, {30, 20, 10}), png::Effort::Fast);
    adb.set_screencap("emulator-5554", png);
    adb.set_screencap("emulator-5554", tiny_png(7, 5), 2);
    TempDir dir;

    image::CapturedScreenshot shot = image::capture_screenshot_to_file(std::nullopt, dir.file("shots/new"));
    EXPECT_EQ(shot.resolved_device_id, "emulator-5554");
    const std::string name = stdfs::path(shot.file_path).filename().string();
    EXPECT_EQ(stdfs::path(shot.file_path).parent_path(), stdfs::path(dir.file("shots/new")));
    ASSERT_EQ(name.size(), 19u) << name;  // %Y%m%d_%H%M%S.png
    for (size_t i = 0; i < 15; ++i) EXPECT_TRUE(i == 8 ? name[i] == '_' : std::isdigit(name[i])) << name;
    EXPECT_EQ(name.substr(15), ".png");
    EXPECT_EQ(read_text(shot.file_path), png);  // the device's bytes, unchanged

    shot = image::capture_screenshot_to_file(std::string("emulator-5554"), dir.str(), 2);
    EXPECT_EQ(image::load_rgb(shot.file_path).width(), 7);
}

// One facade per run: its screenshots of a named display read the display reports
// once, and each file holds exactly the PNG the device served, whatever a ROM printed
// around it.
TEST(CaptureScreenshot, OneDisplayLookupPerFacadeAndTheServedBytesOnDisk) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_file("SER1", "dumpsys_display.txt", kDisplayReport);
    adb.set_file("SER1", "dumpsys_sf_display_id.txt", kSurfaceFlingerReport);
    const std::string hdmi = png::encode(solid(19, 11, {200, 10, 90}), png::Effort::Fast);
    adb.set_screencap("SER1", "WARNING: linker: unused DT entry\n" + hdmi + "\nlate warning\n", 4619827259835644673);
    TempDir dir;

    adb::Device device(std::nullopt, 2);
    EXPECT_EQ(device.serial(), "SER1");
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) paths.push_back(capture::capture_screenshot_to_file(device, dir.str()).file_path);
    EXPECT_EQ(device.display_lookups(), 1);
    for (const std::string& p : paths) EXPECT_EQ(read_text(p), hdmi) << p;
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 3u);  // no capture replaced another

    const auto log = adb.adb_log();
    EXPECT_EQ(count_containing(log, "dumpsys display"), 1u);
    EXPECT_EQ(count_containing(log, "screencap '-p' '-d' '4619827259835644673'"), 3u);
    EXPECT_EQ(count_containing(log, "devices"), 1u);  // the serial resolved once, too
}

TEST(CaptureScreenshot, DeviceFailuresComeBeforeAnythingIsCreated) {
    FakeAdb adb;
    TempDir dir;
    const std::string out = dir.file("never");
    EXPECT_THROW_MSG(image::capture_screenshot_to_file(std::nullopt, out), RuntimeError, "No ADB devices detected");
    adb.add_device("SER1");
    EXPECT_THROW_MSG(image::capture_screenshot_to_file(std::string("SER2"), out), RuntimeError,
                     "Device not found: SER2 (connected: SER1)");
    // No screenshot on the device: it answers "Capturing failed." instead of a PNG.
    EXPECT_THROW(image::capture_screenshot_to_file(std::string("SER1"), out), RuntimeError);
    EXPECT_FALSE(stdfs::exists(out));

    adb.set_screencap("SER1", tiny_png(2, 2));
    write_text(dir.file("file"), "x");
    EXPECT_THROW(image::capture_screenshot_to_file(std::string("SER1"), dir.file("file/sub")), FileSystemError);
}

namespace {

// An RGBA PNG of odd size whose colours survive RGB_565 (each channel is the
// widening of a 5- or 6-bit value) and whose alpha varies, as the device's -p would
// encode its screen.
std::string device_png(int w, int h) {
    std::string rows;
    std::uint32_t seed = 12345;
    auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int y = 0; y < h; ++y) {
        rows += '\0';
        for (int x = 0; x < w; ++x) {
            const unsigned r = next() & 31, g = next() & 63, b = next() & 31;
            rows += char((r << 3) | (r >> 2));
            rows += char((g << 2) | (g >> 4));
            rows += char((b << 3) | (b >> 2));
            rows += char(next() & 255);
        }
    }
    return png_file(w, h, 8, 6, rows);
}

std::vector<std::string> screencaps(const FakeAdb& adb) {
    std::vector<std::string> out;
    for (const auto& line : adb.adb_log())
        if (line.find("screencap") != std::string::npos) out.push_back(line);
    return out;
}

}  // namespace

// The raw form of every pixel format and both header sizes gives the pixels of the
// device's own PNG, in one request per capture without -p.
TEST(RawCapture, EveryFormatAndHeaderGivesThePixelsOfThePng) {
    FakeAdb adb;
    adb.add_device("SER1");
    const std::string png = device_png(37, 23);
    adb.set_screencap("SER1", png);
    const image::Raster expected = image::decode_rgb(png);

    for (const char* format : {"rgba", "rgbx", "rgb888", "rgb565"}) {
        for (const char* header : {"", " header12"}) {
            SCOPED_TRACE(std::string(format) + header);
            adb.set_knob("FAKE_SCREENCAP_RAW", std::string(format) + header);
            adb::Device device = adb::Device::unresolved(std::string("SER1"));
            device.set_capture_mode(adb::CaptureMode::kRaw);
            const adb::PngScreenshot shot = device.screenshot();
            EXPECT_EQ(shot.width, 37);
            EXPECT_EQ(shot.height, 23);
            EXPECT_TRUE(image::decode_rgb(shot.png) == expected);
        }
    }
    EXPECT_EQ(screencaps(adb), std::vector<std::string>(8, "-s SER1 exec-out screencap"));
}

// Raw output that does not add up is refused, never turned into a wrong image: in raw
// mode with the reason, in auto mode by taking -p for the rest of the facade's life.
TEST(RawCapture, UnusableOutputIsRefusedOrReplacedByPng) {
    FakeAdb adb;
    adb.add_device("SER1");
    const std::string png = device_png(9, 7);
    adb.set_screencap("SER1", png);
    const image::Raster expected = image::decode_rgb(png);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"truncated", "a raw image of 9x7 in format 1 needs 252 bytes after its header, got 134 bytes in all"},
        {"extra", "a raw image of 9x7 in format 1 needs 252 bytes after its header, got 272 bytes in all"},
        // Four bytes too many after a 12-byte header add up to a 16-byte header: the
        // first pixels are no colour space.
        {"rgb565 header12 extra", "the raw header's colour space is 4257079429, not 0, 1 or 2"},
        {"rgb888 header12 truncated", "a raw image of 9x7 in format 3 needs 189 bytes after its header, got 100 bytes in all"},
        {"error", "\"Capturing failed.\""},
        {"rgba1010102", "pixel format 43 is not converted"},
    };
    for (const auto& [knob, why] : cases) {
        SCOPED_TRACE(knob);
        adb.set_knob("FAKE_SCREENCAP_RAW", knob);
        adb::Device raw = adb::Device::unresolved(std::string("SER1"));
        raw.set_capture_mode(adb::CaptureMode::kRaw);
        EXPECT_THROW_MSG(raw.screenshot(), DeviceError,
                         "Screenshot failed on device 'SER1': the raw screen is unusable (" + why +
                             "); try --capture png");

        stdfs::remove(adb.root() + "/adb.log");
        adb::Device automatic = adb::Device::unresolved(std::string("SER1"));
        for (int i = 0; i < 2; ++i) EXPECT_TRUE(image::decode_rgb(automatic.screenshot().png) == expected);
        EXPECT_TRUE(automatic.raw_given_up());
        EXPECT_EQ(screencaps(adb), (std::vector<std::string>{"-s SER1 exec-out screencap",
                                                              "-s SER1 exec-out screencap '-p'",
                                                              "-s SER1 exec-out screencap '-p'"}));
    }
}
