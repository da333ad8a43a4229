#include "device/adb/displays.hpp"
#include "device/adb/screenshot.hpp"
#include "modes/displays.hpp"

#include <droidlens/errors.hpp>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <string>

using droidlens::Json;
using droidlens::RuntimeError;
using droidlens::adb::list_displays;
using droidlens::adb::list_surfaceflinger_displays;
using droidlens::adb::parse_displays;
using droidlens::adb::parse_surfaceflinger_displays;
using testsupport::FakeAdb;

namespace {

const char* const kChromebook = "dumpsys/dumpsys_display_chromebook_arc_r_3displays.txt";

// The Chromebook's two physical outputs as SurfaceFlinger would list them.
const char* const kChromebookSurfaceFlinger =
    "Display 21536137753913600 (HWC display 0): port=0 pnpId=SDC displayName=\"Built-in panel\"\n"
    "Display 1886094531531010 (HWC display 1): port=2 pnpId=AUS displayName=\"ASUS MB16AMT\"\n";

Json record(std::int64_t id, const char* name, const char* type, const char* unique_id, Json size,
            const char* product, const char* sf_id, const char* sf_name, Json hwc, Json port) {
    return Json{{"display_id", id},
                {"display_name", name},
                {"type", type},
                {"unique_id", unique_id},
                {"real_size", std::move(size)},
                {"device_product_name", product},
                {"surfaceflinger_display_id", sf_id},
                {"surfaceflinger_display_name", sf_name},
                {"hwc_display_id", std::move(hwc)},
                {"hwc_port", std::move(port)}};
}

std::string with_line_ends(const std::string& text, const std::string& end) {
    std::string out;
    for (char c : text) out += c == '\n' ? end : std::string(1, c);
    return out;
}

// "outer <- cause <- ..." of a nested error.
std::string chain(const std::exception& e) {
    std::string out = e.what();
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& cause) {
        out += " <- " + chain(cause);
    }
    return out;
}

}  // namespace

TEST(ParseDisplays, RealReportsAndTheirJoins) {
    REQUIRE_SHARED_FIXTURE(chromebook, kChromebook);
    const std::string report = testsupport::read_text(chromebook);
    const Json expected = Json::array(
        {record(0, "Built-in Screen", "INTERNAL", "local:21536137753913600", {3840, 2160}, "", "21536137753913600",
                "", nullptr, nullptr),
         record(1, "ArcNotificationVirtualDisplay", "VIRTUAL",
                "virtual:com.android.systemui,10039,ArcNotificationVirtualDisplay,0", {1, 1}, "", "", "", nullptr,
                nullptr),
         record(2, "HDMI Screen", "EXTERNAL", "local:1886094531531010", {1920, 1080}, "ASUS MB16AMT",
                "1886094531531010", "", nullptr, nullptr)});
    // Without SurfaceFlinger displays nothing is joined; the ids still come from "local:".
    EXPECT_EQ(parse_displays(report, Json::array()), expected);
    // Windows line endings, old Mac ones and Unicode separators read the same.
    for (const char* end : {"\r\n", "\r", "\u2028", "\x0b"})
        EXPECT_EQ(parse_displays(with_line_ends(report, end), Json::array()), expected) << "line end " << end;

    Json joined = expected;
    joined[0]["surfaceflinger_display_name"] = "Built-in panel";
    joined[0]["hwc_display_id"] = 0;
    joined[0]["hwc_port"] = 0;
    joined[2]["surfaceflinger_display_name"] = "ASUS MB16AMT";
    joined[2]["hwc_display_id"] = 1;
    joined[2]["hwc_port"] = 2;
    EXPECT_EQ(parse_displays(report, parse_surfaceflinger_displays(kChromebookSurfaceFlinger)), joined);

    // A tablet with one panel, whose SurfaceFlinger line has no fields at all.
    REQUIRE_SHARED_FIXTURE(tablet, "dumpsys/dumpsys_display_android13_mtk_tablet_480x800.txt");
    REQUIRE_SHARED_FIXTURE(tablet_sf, "dumpsys/sf_display_id_android13_mtk_tablet_no_identification.txt");
    const Json sf = parse_surfaceflinger_displays(testsupport::read_text(tablet_sf));
    EXPECT_EQ(sf, Json::array({Json{{"surfaceflinger_display_id", "0"},
                                    {"surfaceflinger_display_name", ""},
                                    {"hwc_display_id", 0},
                                    {"port", nullptr},
                                    {"pnp_id", ""}}}));
    EXPECT_EQ(parse_displays(testsupport::read_text(tablet), sf),
              Json::array({record(0, "Built-in Screen", "INTERNAL", "local:0", {480, 800}, "", "0", "", 0, nullptr)}));
}

TEST(ParseSurfaceFlinger, FieldsOfTheDisplayLines) {
    REQUIRE_SHARED_FIXTURE(doc, "dumpsys/sf_display_id_aosp_doc_example_droidcast21.txt");
    EXPECT_EQ(parse_surfaceflinger_displays(testsupport::read_text(doc)),
              Json::array({Json{{"surfaceflinger_display_id", "21691504607621632"},
                                {"surfaceflinger_display_name", "LQ123P1JX32"},
                                {"hwc_display_id", 0},
                                {"port", 0},
                                {"pnp_id", "SHP"}}}));

    const Json sf = parse_surfaceflinger_displays(
        "Display identification data:\r\n"
        "   Display 5 (HWC display 1): port=x1 displayName=\" \" pnpId=\"\"\r\n"  // trimmed line; odd port
        "Display 6 (HWC display 2): port=\"+7\" displayName=\"Rear seat screen\" displayName=\"second\"\r\n"
        "Display 7 (HWC display 3): displayName=\" port=99999999999999999999\r\n"
        "Display 8 (HWC display 99999999999999999999): port=1\r\n"  // no such hardware id: skipped
        "Display nine (HWC display 4): port=1\r\n"
        "garbage \x01\xff\r\n");
    ASSERT_EQ(sf.size(), 3u);
    EXPECT_EQ(sf[0]["surfaceflinger_display_name"], " ");
    EXPECT_EQ(sf[0]["port"], nullptr);
    EXPECT_EQ(sf[0]["pnp_id"], "");
    EXPECT_EQ(sf[1]["port"], 7);
    EXPECT_EQ(sf[1]["surfaceflinger_display_name"], "second");  // a later duplicate overwrites
    EXPECT_EQ(sf[2]["surfaceflinger_display_name"], "");         // a lone quote both starts and ends
    EXPECT_EQ(sf[2]["port"], nullptr);                           // does not fit
    EXPECT_EQ(sf[2]["hwc_display_id"], 3);

    for (const char* empty : {"", " \n\t", "no displays here\n"})
        EXPECT_EQ(parse_surfaceflinger_displays(empty), Json::array()) << empty;
}

TEST(ParseDisplays, SectionsFallbacksAndBadReports) {
    const std::string report =
        "DISPLAY MANAGER (dumpsys display)\n"
        "  mDisplayInfo uniqueId \"local:1\" real 1 x 1\n"  // before any section: ignored
        "  Display 4:\n"
        "    mPrimaryDisplayDevice=  Rear seat  \n"
        "    mBaseDisplayInfo=DisplayInfo{\"  \", displayId 4, type EXTERNAL, uniqueId \"local:\n77\", real 800 x "
        "480\n"
        "  Display 9:\n"
        "    mBaseDisplayInfo=DisplayInfo{\"Overlay #1\", type OVERLAY, uniqueId \"overlay:1\", real 2 x x 3, "
        "deviceProductInfo DeviceProductInfo{name=Cam\r, x}\n"
        "  Display 4:\n"
        "    deviceProductInfo DeviceProductInfo{name=Seat unit}\n"  // the repeated header continues display 4
        "Display 99999999999999999999:\n"                             // not a display id: part of display 4
        "Callbacks: size=2\n";
    const Json sf = parse_surfaceflinger_displays("Display 77 (HWC display 3): port=5\n"
                                                  "Display 77 (HWC display 4): port=6\n");  // the later one wins
    const Json displays = parse_displays(report, sf);
    EXPECT_EQ(displays, Json::array({record(4, "Rear seat", "EXTERNAL", "local:77", {800, 480}, "Seat unit", "77",
                                            "", 4, 6),
                                     record(9, "Overlay #1", "OVERLAY", "overlay:1", Json::array(), "Cam", "", "",
                                            nullptr, nullptr)}));

    // No section headers, or garbage: no displays, not an error.
    EXPECT_EQ(parse_displays("Display Devices: size=0\nLogical Displays: size=0\n", sf), Json::array());
    EXPECT_EQ(parse_displays(std::string("\x89PNG\r\n\x1a\n\x00\xff\xfe Display 1:\xc3\x28", 24), sf), Json::array());
    // A stray byte that is not UTF-8 costs only itself.
    EXPECT_EQ(parse_displays("Display 0:\n DisplayInfo{\"Caf\xe9\", real 4 x 2\n", sf)[0]["display_name"],
              "Caf\xef\xbf\xbd");

    for (const char* empty : {"", "  \r\n\t "})
        EXPECT_THROW_MSG(parse_displays(empty, sf), RuntimeError, "No output from `dumpsys display`");
}

TEST(ListDisplays, ThroughAdb) {
    REQUIRE_SHARED_FIXTURE(chromebook, kChromebook);
    FakeAdb adb;
    adb.add_device("SER1");
    adb.add_device("SER2", "unauthorized");
    adb.set_file("SER1", "dumpsys_display.txt", testsupport::read_text(chromebook));
    adb.set_file("SER1", "dumpsys_sf_display_id.txt", kChromebookSurfaceFlinger);

    const Json displays = list_displays("SER1");
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[2]["hwc_port"], 2);
    EXPECT_EQ(list_surfaceflinger_displays("SER1").size(), 2u);
    EXPECT_EQ(adb.adb_log(), (std::vector<std::string>{"-s SER1 shell dumpsys display",
                                                        "-s SER1 shell dumpsys SurfaceFlinger --display-id",
                                                        "-s SER1 shell dumpsys SurfaceFlinger --display-id"}));

    // The display report is empty: on a device adb cannot reach, adb's reason is the cause.
    try {
        list_displays("SER2");
        ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(chain(e), std::string("No output from `dumpsys display` <- dumpsys display on device 'SER2': "
                                        "error: ") +
                                FakeAdb::kUnauthorized);
    }
    adb.set_file("SER1", "dumpsys_display.txt", "");
    EXPECT_THROW_MSG(list_displays("SER1"), RuntimeError, "No output from `dumpsys display`");

    // An empty SurfaceFlinger report only means no joins.
    adb.set_file("SER1", "dumpsys_display.txt", testsupport::read_text(chromebook));
    adb.set_file("SER1", "dumpsys_sf_display_id.txt", "");
    EXPECT_EQ(list_displays("SER1")[2]["hwc_display_id"], nullptr);
}

TEST(ListDisplays, MissingOrHangingAdbPropagates) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_file("SER1", "dumpsys_display.txt", "Display 0:\n");
    {
        testsupport::ScopedEnv no_adb("PATH", "/nonexistent");
        EXPECT_THROW(list_displays("SER1"), droidlens::ProcessError);
        EXPECT_THROW(list_surfaceflinger_displays(std::nullopt), droidlens::ProcessError);
    }
    // The SurfaceFlinger call fails the listing as a whole, after its 10-second time-out.
    adb.set_knob("ONLY", "SurfaceFlinger");
    adb.set_knob("HANG", "30");
    EXPECT_THROW(list_displays("SER1"), droidlens::TimeoutError);
}

TEST(DisplaysMode, ReportsTheResolvedDeviceAndItsDisplays) {
    FakeAdb adb;
    droidlens::ModeArgs args;
    EXPECT_THROW_MSG(droidlens::displays::run(args), RuntimeError, "No ADB devices detected");

    adb.add_device("emulator-5554", "device", "sdk_gphone64");
    adb.set_file("emulator-5554", "dumpsys_display.txt",
                 "  Display 0:\n    mBaseDisplayInfo=DisplayInfo{\"Built-in Screen\", type INTERNAL, uniqueId "
                 "\"local:4619827259835644672\", real 1080 x 2400}\n");
    adb.set_file("emulator-5554", "dumpsys_sf_display_id.txt",
                 "Display 4619827259835644672 (HWC display 0): port=0 pnpId=GGL displayName=\"EMU_display_0\"\n");
    args.display_id = 3;  // the listing is of every display, whatever the request names
    const Json result = droidlens::displays::run(args);
    EXPECT_EQ(result, (Json{{"mode", "displays"},
                            {"device_id", "emulator-5554"},
                            {"displays", Json::array({record(0, "Built-in Screen", "INTERNAL",
                                                             "local:4619827259835644672", {1080, 2400}, "",
                                                             "4619827259835644672", "EMU_display_0", 0, 0)})}}));
    args.device_id = "other";
    EXPECT_THROW_MSG(droidlens::displays::run(args), RuntimeError, "Device not found: other (connected: emulator-5554)");
}

TEST(ScreencapDisplay, LogicalIdsMapToSurfaceFlingerIds) {
    REQUIRE_SHARED_FIXTURE(chromebook, kChromebook);
    FakeAdb adb;
    adb.add_device("SER1");
    const std::string hdmi = testsupport::tiny_png(16, 9), notification = testsupport::tiny_png(1, 1);
    adb.set_screencap("SER1", hdmi, 1886094531531010);
    adb.set_screencap("SER1", notification, 1);
    // Without a display report the logical id goes to screencap unchanged.
    EXPECT_EQ(droidlens::adb::get_screenshot("SER1", 1).width, 1);

    adb.set_file("SER1", "dumpsys_display.txt", testsupport::read_text(chromebook));
    adb.set_file("SER1", "dumpsys_sf_display_id.txt", kChromebookSurfaceFlinger);
    EXPECT_EQ(droidlens::adb::get_screenshot("SER1", 2).width, 16);  // HDMI: on its physical output
    EXPECT_EQ(droidlens::adb::get_screenshot("SER1", 1).width, 1);   // virtual: no physical output
    EXPECT_THROW_MSG(droidlens::adb::get_screenshot("SER1", 5), RuntimeError,
                     "Screenshot failed on device 'SER1': Display Id '5' is not valid.");
    std::vector<std::string> captures;
    for (const auto& line : adb.adb_log())
        if (line.find("screencap") != std::string::npos) captures.push_back(line);
    EXPECT_EQ(captures, (std::vector<std::string>{"-s SER1 exec-out screencap '-p' '-d' '1'",
                                                  "-s SER1 exec-out screencap '-p' '-d' '1886094531531010'",
                                                  "-s SER1 exec-out screencap '-p' '-d' '1'",
                                                  "-s SER1 exec-out screencap '-p' '-d' '5'"}));
}
