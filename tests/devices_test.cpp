#include "device/adb/devices.hpp"
#include "device/adb/viewtree.hpp"

#include <droidlens/console.hpp>
#include <droidlens/cancel.hpp>
#include <droidlens/errors.hpp>

#include <csignal>
#include <thread>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

using droidlens::adb::ConnectionType;
using droidlens::adb::DeviceInfo;
using droidlens::adb::parse_device_list;
using testsupport::FakeAdb;

namespace {

// Console lines written while the object lives.
class ConsoleCapture {
public:
    ConsoleCapture() { droidlens::set_console_stream(out_); }
    ~ConsoleCapture() { droidlens::set_console_stream(std::cout); }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

// "serial|status|usb|model" per device, for compact comparisons.
std::vector<std::string> summary(const std::vector<DeviceInfo>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices) {
        out.push_back(d.device_id + "|" + d.status + "|" + droidlens::adb::to_string(d.connection_type) + "|" +
                      d.model.value_or("<none>"));
        EXPECT_FALSE(d.android_version.has_value());
    }
    return out;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(ParseDeviceList, RealAdbOutputs) {
    struct Case {
        const char* file;
        Lines expected;
    };
    const Case cases[] = {
        {"adb/adb_devices_generic_serial_udevrules150.txt", {"0123456789ABCDEF|device|usb|<none>"}},
        {"adb/adb_devices_l_emulator_pythonadb98.txt", {"emulator-5554|device|usb|Android_SDK_built_for_x86"}},
        {"adb/adb_devices_network_sonycommon28.txt", {"192.168.1.3:5555|device|remote|<none>"}},
        // "no permissions (...)": the state is the first word, the rest are not attributes.
        {"adb/adb_devices_no_permissions_truncated_openpilot36516.txt", {"863276c1|no|usb|<none>"}},
    };
    for (const auto& c : cases) {
        const std::string path = testsupport::shared_fixture(c.file);
        if (path.empty()) GTEST_SKIP() << "shared fixture not present: " << c.file;
        std::string text = testsupport::read_text(path);
        EXPECT_EQ(summary(parse_device_list(text)), c.expected) << c.file;
        // Windows line endings give the same records.
        std::string crlf;
        for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        EXPECT_EQ(summary(parse_device_list(crlf)), c.expected) << c.file << " with CRLF";
    }
}

TEST(ParseDeviceList, LinesAndAttributes) {
    const std::string text =
        "List of devices attached\n"
        "R58M123ABC\tdevice usb:1-1 product:a model:SM_G970F model:Other device:beyond0 transport_id:3\n"
        "lonely-serial\n"
        "\n"
        "emulator-5556 offline\n"
        "10.0.0.7:37125  unauthorized transport_id:9\n"
        "adb-XYZ._adb-tls-connect._tcp device model:Head:Unit:2 \r\n";
    EXPECT_EQ(summary(parse_device_list(text)),
              (Lines{"R58M123ABC|device|usb|SM_G970F", "emulator-5556|offline|usb|<none>",
                     "10.0.0.7:37125|unauthorized|remote|<none>",
                     "adb-XYZ._adb-tls-connect._tcp|device|usb|Head:Unit:2"}));
    // Only the header, or nothing at all: no devices. A device line without the
    // header line is taken for the header.
    EXPECT_TRUE(parse_device_list("List of devices attached\n\n").empty());
    EXPECT_TRUE(parse_device_list("").empty());
    EXPECT_TRUE(parse_device_list("  \n").empty());
    EXPECT_TRUE(parse_device_list("SER device\n").empty());
}

TEST(ListDevices, ReadsTheSimulatedAdb) {
    FakeAdb adb;
    adb.add_device("SER1", "device", "Pixel_7");
    adb.add_device("192.168.0.5:5555", "unauthorized");
    ConsoleCapture console;
    EXPECT_EQ(summary(droidlens::adb::list_devices()),
              (Lines{"SER1|device|usb|Pixel_7", "192.168.0.5:5555|unauthorized|remote|<none>"}));
    EXPECT_EQ(adb.adb_log(), Lines{"devices -l"});
    EXPECT_EQ(console.text(), "");
}

TEST(ListDevices, FailuresBecomeAConsoleLineAndAnEmptyList) {
    ConsoleCapture console;
    EXPECT_TRUE(droidlens::adb::ADBConnection("droidlens-no-such-adb").list_devices().empty());
    EXPECT_EQ(console.text(),
              "Error listing devices: droidlens-no-such-adb was not found on PATH; install the Android platform tools\n");

    {  // No adb on the search path at all.
        testsupport::TempDir empty;
        testsupport::ScopedEnv path("PATH", empty.str());
        ConsoleCapture c;
        EXPECT_TRUE(droidlens::adb::list_devices().empty());
        EXPECT_EQ(c.text(), "Error listing devices: adb was not found on PATH; install the Android platform tools\n");
        // Selection says why there is no device.
        EXPECT_THROW_MSG(droidlens::adb::resolve_device_id(std::nullopt), droidlens::DeviceError,
                         "No ADB devices detected: adb was not found on PATH; install the Android platform tools");
    }
    {  // adb fails (no server, no permission): said on the console, not a silent "none".
        FakeAdb adb;
        adb.add_device("SER1");
        adb.set_knob("EXIT", "1");
        ConsoleCapture c;
        EXPECT_TRUE(droidlens::adb::list_devices().empty());
        EXPECT_EQ(c.text(), "Error listing devices: adb exited with status 1: error: simulated failure\n");
    }
    {  // Bytes that are not text never reach the records.
        FakeAdb adb;
        adb.set_knob("GARBAGE", "1");
        ConsoleCapture c;
        EXPECT_TRUE(droidlens::adb::list_devices().empty());
        // The client prints its header line before the server's answer.
        EXPECT_EQ(c.text(),
                  "Error listing devices: 'utf-8' codec can't decode byte 0xff in position 29: invalid start byte\n");
    }
}

TEST(ListDevices, AHangingAdbIsKilledAfterFiveSeconds) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_knob("HANG", "60");
    ConsoleCapture console;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(droidlens::adb::list_devices().empty());
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 8.0);
    EXPECT_EQ(console.text(),
              "Error listing devices: Command '['adb', 'devices', '-l']' timed out after 5 seconds\n");
}

TEST(ListDevices, AStopRequestIsNotMistakenForNoDevices) {
    FakeAdb adb;
    adb.add_device("SER1");
    adb.set_knob("HANG", "60");
    ConsoleCapture console;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        droidlens::cancel::request(SIGINT);
    });
    EXPECT_THROW(droidlens::adb::list_devices(), droidlens::CancelledError);
    stopper.join();
    droidlens::cancel::reset();
    EXPECT_EQ(console.text(), "");
}

TEST(SelectDevice, RulesAndMessages) {
    using droidlens::RuntimeError;
    using droidlens::adb::_select_device;
    using droidlens::adb::resolve_device_id;
    FakeAdb adb;
    ConsoleCapture console;
    // No device: the emptiness test comes before the identifier.
    EXPECT_THROW_MSG(_select_device(std::nullopt), RuntimeError, "No ADB devices detected");
    EXPECT_THROW_MSG(_select_device("SER1"), RuntimeError, "No ADB devices detected");

    adb.add_device("SER1", "unauthorized");  // any state counts as connected
    EXPECT_EQ(_select_device(std::nullopt), "SER1");
    EXPECT_EQ(resolve_device_id(""), "SER1");
    EXPECT_THROW_MSG(_select_device("ser1"), RuntimeError, "Device not found: ser1 (connected: SER1)");

    adb.add_device("10.0.0.2:5555");
    // The serials to choose from, in the order adb lists them.
    EXPECT_THROW_MSG(resolve_device_id(std::nullopt), droidlens::DeviceError,
                     "Multiple devices detected; please provide --device-id (connected: SER1, 10.0.0.2:5555)");
    EXPECT_THROW_MSG(resolve_device_id(""), RuntimeError,
                     "Multiple devices detected; please provide --device-id (connected: SER1, 10.0.0.2:5555)");
    EXPECT_EQ(resolve_device_id("10.0.0.2:5555"), "10.0.0.2:5555");
    // The list is read afresh on every call.
    EXPECT_EQ(adb.adb_log().size(), 8u);
}
