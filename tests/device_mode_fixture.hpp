// A simulated device and a scripted model for the tests of the device modes: the
// simulated adb with one device ("emu-1", a screen of the chosen size, a window
// report naming the foreground app) and the scripted chat-completions server reached
// through the real model client over HTTP.
#pragma once

#include <droidlens/modelwire.hpp>

#include "fakes/adb_fixture.hpp"
#include "fakes/chat_server.hpp"
#include "test_support.hpp"
#include "utils/image.hpp"
#include "utils/png.hpp"

#include <functional>
#include <memory>
#include <mutex>

namespace testsupport {

// The window manager's report of a phone with a second display.
inline std::string window_report(const std::string& app_on_0, const std::string& app_on_2) {
    return "WINDOW MANAGER DISPLAY CONTENTS (dumpsys window displays)\n"
           "  Display: mDisplayId=0 rootTasks=3\n"
           "    mCurrentFocus=Window{1651cd4 u0 " + app_on_0 + "/.Main}\n"
           "  Display: mDisplayId=2 rootTasks=1\n"
           "    mCurrentFocus=Window{77aa u0 " + app_on_2 + "/.Main}\n";
}

// The PNG a screenshot of a device showing `device_png` delivers: the device sends its
// pixels (the raw form) and the host encodes them.
inline std::string as_captured(const std::string& device_png) {
    return droidlens::png::encode(droidlens::image::decode_rgb(device_png), droidlens::png::Effort::Fast);
}

class DeviceModeTest : public ::testing::Test {
    // Declared first: the server's thread may use them until the server is gone.
    std::mutex mutex_;
    std::function<void(int)> hook_;
    int seen_ = 0;

protected:
    static constexpr const char* kSerial = "emu-1";

    FakeAdb adb;
    fakes::FakeChatServer server{0, [this](const fakes::RecordedRequest& r) { on_request(r); }};
    std::unique_ptr<droidlens::Modelwire> llm;
    TempDir out;

    DeviceModeTest() {
        adb.add_device(kSerial, "device", "Pixel_7");
        set_screen(617, 1280);
        adb.set_file(kSerial, "dumpsys_window.txt", window_report("com.android.settings", "com.example.cluster"));
        droidlens::ModelConfig c;
        c.base_url = server.base_url();
        c.model = "vision-model";
        c.timeout = 20;
        c.max_retries = 0;
        llm = std::make_unique<droidlens::Modelwire>(c);
    }

    // The screen the device shows from now on (grey value `grey`), on the default
    // display or on `display`.
    void set_screen(int width, int height, unsigned char grey = 0x80, std::optional<std::int64_t> display = {}) {
        adb.set_screencap(kSerial, tiny_png(width, height, grey), display);
    }

    // Called on the server's thread as each request arrives (the model client waits
    // for the answer meanwhile), with the number of the request, from 1.
    void on_each_request(std::function<void(int)> f) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(f);
    }

    // The JSON bodies of the requests the model received, in order.
    std::vector<droidlens::Json> bodies() const {
        std::vector<droidlens::Json> v;
        for (const auto& r : server.requests()) v.push_back(r.json.value_or(droidlens::Json()));
        return v;
    }

    std::vector<std::string> input_log() const { return adb.input_log(kSerial); }

private:
    void on_request(const fakes::RecordedRequest&) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++seen_;
        if (hook_) hook_(seen_);
    }
};

}  // namespace testsupport
