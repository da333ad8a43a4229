#include "device/adb.hpp"
#include "device/adb/viewtree.hpp"
#include "utils/base64.hpp"

#include <droidlens/errors.hpp>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using droidlens::RuntimeError;
using droidlens::adb::get_current_app;
using droidlens::adb::get_screenshot;
using testing::HasSubstr;
using testsupport::FakeAdb;
using testsupport::tiny_png;

TEST(GetScreenshot, CapturesEachDisplayByteForByte) {
    FakeAdb adb;
    adb.add_device("SER1");
    const std::string main_png = tiny_png(40, 30), second_png = tiny_png(20, 10, 0x10);
    adb.set_screencap("SER1", main_png);
    adb.set_screencap("SER1", second_png, 2);

    const auto shot = get_screenshot("SER1");
    EXPECT_EQ(shot.width, 40);
    EXPECT_EQ(shot.height, 30);
    EXPECT_EQ(droidlens::base64::decode(shot.base64_data), main_png);

    const auto second = get_screenshot("SER1", 2);
    EXPECT_EQ(second.width, 20);
    EXPECT_EQ(second.height, 10);
    EXPECT_EQ(droidlens::base64::decode(second.base64_data), second_png);

    // Without a serial adb addresses the only device.
    EXPECT_EQ(get_screenshot(std::nullopt).width, 40);
    // The display id goes through the display report (empty here: the id stays as given).
    // (exec-out quotes every word after the first; shell sends them as they are.)
    EXPECT_EQ(adb.adb_log(), (std::vector<std::string>{"-s SER1 exec-out screencap '-p'",
                                                        "-s SER1 shell dumpsys display",
                                                        "-s SER1 exec-out screencap '-p' '-d' '2'",
                                                        "exec-out screencap '-p'"}));

    // Warning lines some ROMs print before the image do not spoil it, nor does a
    // line printed after it.
    adb.set_screencap("SER1", "WARNING: linker: libc.so has text relocations.\n" + main_png + "done\r\n");
    const auto warned = get_screenshot("SER1");
    EXPECT_EQ(warned.width, 40);
    EXPECT_EQ(droidlens::base64::decode(warned.base64_data), main_png);
}

TEST(GetScreenshot, RealScreenshot) {
    REQUIRE_SHARED_FIXTURE(path, "screenshots/fossify-calculator_unit-converter_1080x2400.png");
    FakeAdb adb;
    adb.add_device("emulator-5554");
    adb.set_screencap_from("emulator-5554", path);
    const auto shot = get_screenshot("emulator-5554");
    EXPECT_EQ(shot.width, 1080);
    EXPECT_EQ(shot.height, 2400);
    EXPECT_EQ(droidlens::base64::decode(shot.base64_data), testsupport::read_text(path));
}

TEST(GetScreenshot, AnythingButAPngIsAnErrorQuotingTheDevice) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.add_device("SER2", "unauthorized");
    // The device's own error texts, printed in place of the image with exit status 0.
    EXPECT_THROW_MSG(get_screenshot("SER1"), RuntimeError, "Screenshot failed on device 'SER1': Capturing failed.");
    EXPECT_THROW_MSG(get_screenshot("SER1", 5), RuntimeError,
                     "Screenshot failed on device 'SER1': Display Id '5' is not valid.");
    // adb's own failures.
    EXPECT_THROW_MSG(get_screenshot("SER2"), RuntimeError,
                     std::string("Screenshot failed on device 'SER2': error: ") + FakeAdb::kUnauthorized);
    EXPECT_THROW_MSG(get_screenshot("NOPE"), RuntimeError,
                     "Screenshot failed on device 'NOPE': error: device 'NOPE' not found");

    const std::string png = tiny_png(300, 200);
    adb.set_screencap("SER1", "");
    EXPECT_THROW_MSG(get_screenshot("SER1"), RuntimeError, "Screenshot failed on device 'SER1': no output");
    adb.set_screencap("SER1", png.substr(0, png.size() / 2));
    EXPECT_THROW_MSG(get_screenshot("SER1"), RuntimeError,
                     "Screenshot failed on device 'SER1': the PNG image is truncated (" +
                         std::to_string(png.size() / 2) + " bytes)");
    adb.set_screencap("SER1", png.substr(0, 20));
    EXPECT_THROW_MSG(get_screenshot("SER1"), RuntimeError,
                     "Screenshot failed on device 'SER1': the PNG image is incomplete (20 bytes)");
    // A long error text is cut, and binary junk is described, not quoted.
    adb.set_screencap("SER1", "Error: " + std::string(500, 'x') + "\n");
    try {
        get_screenshot("SER1");
        ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_THAT(e.what(), HasSubstr("'SER1': Error: xxx"));
        EXPECT_LT(std::string(e.what()).size(), 260u);
    }
    adb.set_screencap("SER1", png);
    adb.set_knob("ONLY", "screencap");
    adb.set_knob("GARBAGE", "1");
    try {
        get_screenshot("SER1");
        ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Screenshot failed on device 'SER1': "));
        EXPECT_THAT(e.what(), HasSubstr("bytes of binary output"));
    }
}

TEST(GetScreenshot, DeviceVanishesBetweenListingAndCapture) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_screencap("SER1", tiny_png(4, 4));
    adb.set_knob("VANISH_AFTER", "1");
    const std::string serial = droidlens::adb::resolve_device_id(std::nullopt);
    EXPECT_THROW_MSG(get_screenshot(serial), RuntimeError,
                     "Screenshot failed on device 'SER1': error: device 'SER1' not found");
}

TEST(GetScreenshot, AdbMissingOrSeveralDevicesWithoutASerial) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.add_device("SER2");
    EXPECT_THROW_MSG(get_screenshot(std::nullopt), RuntimeError,
                     "Screenshot failed: error: more than one device/emulator");
    testsupport::TempDir empty;
    testsupport::ScopedEnv path("PATH", empty.str());
    EXPECT_THROW_MSG(get_screenshot("SER1"), droidlens::ProcessError, "[Errno 2] No such file or directory: 'adb'");
    EXPECT_THROW_MSG(get_current_app("SER1"), droidlens::ProcessError,
                     "[Errno 2] No such file or directory: 'adb'");
}

TEST(GetCurrentApp, RealWindowManagerReports) {
    struct Case {
        const char* file;
        const char* app;
    };
    const Case cases[] = {
        // The notification shade covers the camera: the shade is what has focus.
        {"adb/dumpsys_window_android13_mtk_tablet_notificationshade_focus.txt", "NotificationShade"},
        {"adb/dumpsys_window_displays_excerpt_android12_u2_816.txt", "org.codeaurora.snapcam"},
        {"adb/dumpsys_window_grep_focus_adbenhanced4.txt", "com.google.android.apps.photos"},
    };
    for (const auto& c : cases) {
        const std::string path = testsupport::shared_fixture(c.file);
        if (path.empty()) GTEST_SKIP() << "shared fixture not present: " << c.file;
        FakeAdb adb;
        adb.add_device("SER1");
        adb.set_file("SER1", "dumpsys_window.txt", testsupport::read_text(path));
        EXPECT_EQ(get_current_app("SER1"), c.app) << c.file;
        EXPECT_EQ(get_current_app("SER1", 0), c.app) << c.file;
        EXPECT_EQ(adb.adb_log().front(), "-s SER1 shell dumpsys window displays");
    }
    REQUIRE_SHARED_FIXTURE(path, "adb/dumpsys_window_android13_mtk_tablet_notificationshade_focus.txt");
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_file("SER1", "dumpsys_window.txt", testsupport::read_text(path));
    // A display the report has no section for takes the global focus: the app is
    // information for the model, never a reason to stop a run.
    // This report has focus lines per display only, so the app is unknown.
    EXPECT_EQ(get_current_app("SER1", 3), "unknown");
}

TEST(GetCurrentApp, EachDisplayHasItsOwnFocus) {
    FakeAdb adb;
    adb.add_device("HU1");
    adb.set_file("HU1", "dumpsys_window.txt",
                 "WINDOW MANAGER DISPLAY CONTENTS (dumpsys window displays)\n"
                 "  Display: mDisplayId=0 rootTasks=4\n"
                 "    init=1920x720 160dpi cur=1920x720 app=1920x640\n"
                 "  mCurrentFocus=Window{a1 u0 com.android.car.carlauncher/.CarLauncher}\n"
                 "  mFocusedApp=ActivityRecord{b2 u0 com.android.car.carlauncher/.CarLauncher t1}\n"
                 "  Display: mDisplayId=2 rootTasks=1\n"
                 "  mCurrentFocus=Window{c3 u10 com.example.cluster/com.example.cluster.Nav}\n"
                 "  Display: mDisplayId=4 rootTasks=1\n"
                 "  mCurrentFocus=null\n"
                 "  mFocusedApp=ActivityRecord{d4 u0 com.example.rear/.Player t7}\n"
                 "  Display: mDisplayId=5 rootTasks=0\n"
                 "  mCurrentFocus=null\n"
                 "  mFocusedApp=null\n"
                 "  Display: mDisplayId=6 rootTasks=1\n"
                 "  mCurrentFocus=Window{e5 u0 Application Not Responding: com.example.slow}\n"
                 "-------------------------------------------------------------------------------\n"
                 "WINDOW MANAGER WINDOWS (dumpsys window windows)\n"
                 "  mCurrentFocus=Window{f6 u0 com.elsewhere/.Ignored}\n");
    EXPECT_EQ(get_current_app("HU1"), "com.android.car.carlauncher");
    EXPECT_EQ(get_current_app("HU1", 2), "com.example.cluster");
    EXPECT_EQ(get_current_app("HU1", 4), "com.example.rear");  // no focused window: the focused app
    EXPECT_EQ(get_current_app("HU1", 5), "unknown");
    EXPECT_EQ(get_current_app("HU1", 6), "Application Not Responding: com.example.slow");
}

TEST(GetCurrentApp, OlderReleasesAndFailures) {
    FakeAdb adb;
    adb.add_device("OLD");
    adb.add_device("BAD", "offline");
    // Android 9: display sections without focus, focus printed once for the device.
    adb.set_file("OLD", "dumpsys_window.txt",
                 "WINDOW MANAGER DISPLAY CONTENTS (dumpsys window displays)\n"
                 "  Display: mDisplayId=0\n"
                 "    init=1080x1920 420dpi cur=1080x1920\n"
                 "WINDOW MANAGER WINDOWS (dumpsys window windows)\n"
                 "  mCurrentFocus=Window{5c8e4a1 u0 com.android.settings/com.android.settings.Settings}\n"
                 "  mFocusedApp=AppWindowToken{1 token=Token{2 ActivityRecord{3 u0 com.android.settings/.Settings "
                 "t4}}}\n");
    EXPECT_EQ(get_current_app("OLD"), "com.android.settings");
    EXPECT_EQ(get_current_app("OLD", 0), "com.android.settings");

    EXPECT_THROW_MSG(get_current_app("BAD"), RuntimeError,
                     "Reading the foreground app failed on device 'BAD': error: device offline");
    adb.set_file("OLD", "dumpsys_window.txt", "");
    EXPECT_THROW_MSG(get_current_app("OLD"), RuntimeError,
                     "Reading the foreground app failed on device 'OLD': unexpected output of dumpsys window: "
                     "no output");
    adb.set_knob("EXIT", "1");
    EXPECT_THROW_MSG(get_current_app("OLD"), RuntimeError,
                     "Reading the foreground app failed on device 'OLD': error: simulated failure");
}
