#include "device/adb/viewtree.hpp"

#include <droidlens/errors.hpp>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

using droidlens::RuntimeError;
using droidlens::adb::_dump_file_path;
using droidlens::adb::dump_viewtree;
using testsupport::FakeAdb;

namespace {

const char* const kConnectFailed = "Failed to connect to device via uiautomator2";
const char* const kDumpFailed = "Failed to dump UI hierarchy via uiautomator2";

// A small dump with what a byte-for-byte copy must keep: CRLF, a tab, non-ASCII text.
const std::string kDump =
    "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\r\n<hierarchy rotation=\"0\">\r\n"
    "\t<node text=\"Caf\xc3\xa9 \xe2\x9c\x93\" bounds=\"[0,0][1080,2400]\" />\r\n</hierarchy>\r\n";

// The message of the error `dump_viewtree` throws and of each nested cause.
std::vector<std::string> failure(const std::optional<std::string>& serial,
                                 std::chrono::milliseconds timeout = droidlens::adb::kDumpTimeout) {
    std::vector<std::string> out;
    try {
        dump_viewtree(serial, timeout);
        out.push_back("<no error>");
    } catch (const std::exception& e) {
        std::exception_ptr current = std::current_exception();
        while (current) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& x) {
                out.push_back(x.what());
                current = nullptr;
                if (const auto* nested = dynamic_cast<const std::nested_exception*>(&x)) current = nested->nested_ptr();
            }
        }
    }
    return out;
}

std::size_t dumps_run(const FakeAdb& adb, const std::string& serial) {
    return adb.device_log(serial, "uiautomator").size();
}

class DumpViewtree : public ::testing::Test {
protected:
    void SetUp() override {
        adb.add_device("SER1", "device", "Pixel_7");
        adb.set_file("SER1", "window_dump.xml", kDump);
    }
    FakeAdb adb;
};

}  // namespace

TEST_F(DumpViewtree, ReturnsTheDumpByteForByteAndLeavesNothingBehind) {
    EXPECT_EQ(dump_viewtree("SER1"), kDump);
    EXPECT_EQ(dump_viewtree(std::nullopt), kDump);  // the only device
    EXPECT_EQ(adb.device_files("SER1"), std::vector<std::string>{});
    const std::string path = _dump_file_path();
    EXPECT_EQ(path.rfind("/data/local/tmp/", 0), 0u);
    const std::vector<std::string> log = adb.adb_log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"devices -l", "-s SER1 get-state",
                                        "-s SER1 shell rm -f " + path + "; uiautomator dump " + path,
                                        "-s SER1 exec-out cat " + path + "; rm -f " + path}));

    REQUIRE_SHARED_FIXTURE(real, "uidumps/lingbook_editor-multiline_1220x2656.xml");
    const std::string bytes = testsupport::read_text(real);
    adb.set_file("SER1", "window_dump.xml", bytes);
    EXPECT_EQ(dump_viewtree("SER1"), bytes);
}

TEST_F(DumpViewtree, LoadingComesFirstThenSelectionThenConnecting) {
    {
        testsupport::ScopedEnv no_adb("PATH", "/nonexistent:/also/missing");
        EXPECT_EQ(failure("SER1"),
                  (std::vector<std::string>{
                      "adb is required for nodepin mode. Install the Android platform tools and put adb on PATH.",
                      "adb was not found on PATH"}));
    }
    adb.add_device("SER2", "unauthorized");
    EXPECT_EQ(failure(std::nullopt),
              std::vector<std::string>{"Multiple devices detected; please provide --device-id (connected: SER1, SER2)"});
    EXPECT_EQ(failure("NOPE"), std::vector<std::string>{"Device not found: NOPE (connected: SER1, SER2)"});
    EXPECT_EQ(failure("SER2"), (std::vector<std::string>{kConnectFailed, std::string("adb get-state on device 'SER2': "
                                                                                     "error: ") +
                                                                             FakeAdb::kUnauthorized}));
    adb.set_devices(FakeAdb::kHeader);
    EXPECT_EQ(failure("SER1"), std::vector<std::string>{"No ADB devices detected"});
    EXPECT_EQ(dumps_run(adb, "SER1"), 0u);
}

TEST_F(DumpViewtree, StaleFileIsNeverReadAsANewDump) {
    // A dump left by an earlier run, and a device that claims success without writing.
    const std::string path = _dump_file_path();
    adb.set_file("SER1", "files" + path, "<hierarchy><node text=\"old screen\"/></hierarchy>");
    adb.set_knob("FAKE_UIAUTOMATOR", "silent");
    const auto messages = failure("SER1");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], kDumpFailed);
    EXPECT_EQ(messages[1].rfind("uiautomator dump on device 'SER1' wrote no dump (exit status 0): UI hierchary "
                                "dumped to: " + path,
                                0),
              0u)
        << messages[1];
    EXPECT_EQ(adb.device_files("SER1"), std::vector<std::string>{});
}

TEST_F(DumpViewtree, RealDeviceFailureModes) {
    // Vendor builds that exit non-zero after writing the whole file.
    adb.set_knob("FAKE_UIAUTOMATOR", "exit-nonzero");
    EXPECT_EQ(dump_viewtree("SER1"), kDump);

    // Killed half way: the partial file is not a dump.
    adb.set_knob("FAKE_UIAUTOMATOR", "truncated");
    auto messages = failure("SER1");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], kDumpFailed);
    EXPECT_EQ(messages[1], "the dump read back from device 'SER1' is incomplete (" + std::to_string(kDump.size() / 2) +
                               " bytes, its root element is not closed)");
    EXPECT_EQ(adb.device_files("SER1"), std::vector<std::string>{});

    // An animated screen: uiautomator gives up waiting for idle.
    adb.set_knob("FAKE_UIAUTOMATOR", "idle");
    messages = failure("SER1");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], kDumpFailed);
    EXPECT_EQ(messages[1].rfind("uiautomator could not get an idle state on device 'SER1': the screen kept changing", 0),
              0u)
        << messages[1];

    // No root node for a moment while windows change: the second try succeeds.
    adb.set_knob("FAKE_UIAUTOMATOR", "null-root-once");
    const std::size_t before = dumps_run(adb, "SER1");
    EXPECT_EQ(dump_viewtree("SER1"), kDump);
    EXPECT_EQ(dumps_run(adb, "SER1"), before + 2);

    // ... but only one retry.
    adb.set_knob("FAKE_UIAUTOMATOR", "null-root");
    messages = failure("SER1");
    EXPECT_EQ(messages, (std::vector<std::string>{kDumpFailed,
                                                  "uiautomator found no window to dump on device 'SER1' (null root "
                                                  "node), twice; the screen may be off or changing windows"}));
    EXPECT_EQ(dumps_run(adb, "SER1"), before + 4);
    EXPECT_EQ(adb.device_files("SER1"), std::vector<std::string>{});
}

TEST_F(DumpViewtree, AHangingDumpTimesOut) {
    adb.set_knob("ONLY", "uiautomator");
    adb.set_knob("HANG", "30");
    const auto started = std::chrono::steady_clock::now();
    const auto messages = failure("SER1", std::chrono::milliseconds(1500));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], kDumpFailed);
    EXPECT_EQ(messages[1], "uiautomator dump on device 'SER1' did not finish within 1500 ms; the device may be busy "
                           "or its screen never idle");
    EXPECT_EQ(messages[2].rfind("Command '['adb', '-s', 'SER1', 'shell', 'rm -f ", 0), 0u) << messages[2];
}
