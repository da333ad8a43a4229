// The capture path against the simulated device: capture_screenshot_to_file as a
// whole, and the two adb calls it makes (listing, screencap) on their own, so the
// runner can tell how much of the time is the device's and how much ours.
//
// Needs DROIDLENS_BENCH_FAKES (the tests/fakes directory holding the simulated adb server)
// and DROIDLENS_BENCH_SCREENSHOT (the PNG the simulated device returns); the runner
// sets both. Without them these benchmarks skip.
#include <benchmark/benchmark.h>

#include "device/capture.hpp"
#include "utils/subprocess.hpp"

#include "../tests/fakes/adb_server_process.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace stdfs = std::filesystem;
using namespace droidlens;

// Sets up the simulated device once: one device "BENCH01" whose screen is the
// benchmark screenshot. Returns the output directory, or empty when not configured.
const std::string& device_setup() {
    static const std::string out = []() -> std::string {
        const char* fakes = std::getenv("DROIDLENS_BENCH_FAKES");
        const char* shot = std::getenv("DROIDLENS_BENCH_SCREENSHOT");
        if (!fakes || !shot) return {};
        const stdfs::path root = stdfs::temp_directory_path() / "droidlens_bench_adb";
        stdfs::create_directories(root / "BENCH01");
        std::ofstream(root / "devices.txt") << "List of devices attached\n"
                                            << "BENCH01        device product:bench model:Bench_Phone device:bench\n\n";
        stdfs::copy_file(shot, root / "BENCH01" / "screencap.png", stdfs::copy_options::overwrite_existing);
        // The simulated adb server for the rest of the run (it ends with this
        // process); the real adb client reaches it through ADB_SERVER_SOCKET.
        static auto* server = new testsupport::AdbServerProcess(fakes, root.string());
        ::setenv("ADB_SERVER_SOCKET", server->socket_spec().c_str(), 1);
        ::setenv("ANDROID_ADB_SERVER_PORT", std::to_string(server->port()).c_str(), 1);
        stdfs::create_directories(root / "out");
        return (root / "out").string();
    }();
    return out;
}

void BM_capture_screenshot_to_file(benchmark::State& state) {
    const std::string& out = device_setup();
    if (out.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_FAKES / DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    for (auto _ : state) {
        image::CapturedScreenshot c = image::capture_screenshot_to_file(std::string("BENCH01"), out);
        benchmark::DoNotOptimize(c);
    }
}

// Only the device's part: the same two adb calls, their output discarded.
void BM_capture_device_calls(benchmark::State& state) {
    if (device_setup().empty()) {
        state.SkipWithError("DROIDLENS_BENCH_FAKES / DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    for (auto _ : state) {
        auto list = proc::run_process({"adb", "devices", "-l"}, std::chrono::seconds(5));
        auto shot = proc::run_process({"adb", "-s", "BENCH01", "exec-out", "screencap", "-p"}, std::chrono::seconds(20));
        benchmark::DoNotOptimize(list);
        benchmark::DoNotOptimize(shot);
    }
}

}  // namespace

BENCHMARK(BM_capture_screenshot_to_file)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_capture_device_calls)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
