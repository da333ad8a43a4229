// The automation runner against the simulated device and a model that answers at
// once: the runner's own cost per step (the CPU time of this process, which leaves
// out the device's child processes and any model time) for 10 and 100 steps, the
// wall time per step, and the size of the request body at steps 1, 10 and 100. The
// device's adb calls of one step are timed alone as well, for comparison.
//
// Needs DROIDLENS_BENCH_FAKES (tests/fakes, holding the simulated adb server) and
// DROIDLENS_BENCH_PAIR_A / _B (two screenshots the device shows in turn, so that no
// step sees an unchanged screen); the runner sets them. Without them these skip.
#include <benchmark/benchmark.h>

#include <droidlens/console.hpp>
#include <droidlens/modelwire.hpp>

#include "modes/automate.hpp"
#include "utils/subprocess.hpp"

#include "../tests/fakes/adb_server_process.hpp"

#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using namespace droidlens;

constexpr const char* kSerial = "BENCH02";

struct Device {
    stdfs::path root, screen, a, b, out;
};

// One simulated device "BENCH02" whose screen is a symbolic link to one of the two
// screenshots. Empty root when the environment is not set.
const Device& device_setup() {
    static const Device dev = []() -> Device {
        const char* fakes = std::getenv("DROIDLENS_BENCH_FAKES");
        const char* a = std::getenv("DROIDLENS_BENCH_PAIR_A");
        const char* b = std::getenv("DROIDLENS_BENCH_PAIR_B");
        if (!fakes || !a || !b) return {};
        Device d;
        d.root = stdfs::temp_directory_path() / "droidlens_bench_automate";
        stdfs::remove_all(d.root);
        stdfs::create_directories(d.root / kSerial);
        std::ofstream(d.root / "devices.txt") << "List of devices attached\n"
                                              << kSerial << "        device product:bench model:Bench_Phone\n\n";
        std::ofstream(d.root / kSerial / "dumpsys_window.txt")
            << "  Display: mDisplayId=0 rootTasks=3\n"
            << "    mCurrentFocus=Window{1651cd4 u0 com.android.settings/com.android.settings.Settings}\n";
        d.a = d.root / "screen_a.png";
        d.b = d.root / "screen_b.png";
        stdfs::copy_file(a, d.a);
        stdfs::copy_file(b, d.b);
        d.screen = d.root / kSerial / "screencap.png";
        stdfs::create_symlink(d.a, d.screen);
        d.out = d.root / "out";
        // The simulated adb server for the rest of the run (it ends with this
        // process); the real adb client reaches it through ADB_SERVER_SOCKET.
        static auto* server = new testsupport::AdbServerProcess(fakes, d.root.string());
        ::setenv("ADB_SERVER_SOCKET", server->socket_spec().c_str(), 1);
        ::setenv("ANDROID_ADB_SERVER_PORT", std::to_string(server->port()).c_str(), 1);
        return d;
    }();
    return dev;
}

// A model that answers at once with reasoning and a tap, alternating between two
// spots so the repeat watchdog stays quiet, and turns the device to its other screen.
// It serialises each request as the HTTP client would and records the body's size.
class InstantModel : public ChatModel {
public:
    explicit InstantModel(const Device& d) : device_(d) {}
    std::vector<std::size_t> body_sizes;

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        Json body = Json::object();
        body["model"] = "bench-model";
        body["messages"] = messages;
        body["tools"] = tools;
        body["tool_choice"] = tool_choice;
        body["temperature"] = temperature;
        body["max_tokens"] = max_tokens.is_null() ? Json(4096) : max_tokens;
        body_sizes.push_back(dump_json(body).size());

        const bool even = body_sizes.size() % 2 == 0;
        stdfs::remove(device_.screen);
        stdfs::create_symlink(even ? device_.a : device_.b, device_.screen);
        const std::string answer = "The settings list is open; the entry I need is in the middle of the screen.\n"
                                   "do(action=\"Tap\", element=[" +
                                   std::string(even ? "500, 500" : "400, 420") + "])";
        Json message = Json::object();
        message["role"] = "assistant";
        message["content"] = answer;
        Json choice = Json::object();
        choice["index"] = 0;
        choice["message"] = std::move(message);
        choice["finish_reason"] = "stop";
        Json response = Json::object();
        response["choices"] = Json::array({std::move(choice)});
        return response;
    }

private:
    const Device& device_;
};

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_automate_run(benchmark::State& state) {
    const Device& d = device_setup();
    if (d.root.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_FAKES / DROIDLENS_BENCH_PAIR_A / _B not set");
        return;
    }
    const std::int64_t steps = state.range(0);
    std::ofstream null_stream("/dev/null");
    set_console_stream(null_stream);  // progress lines are written, to nowhere
    double cpu = 0;
    InstantModel model(d);
    for (auto _ : state) {
        stdfs::remove_all(d.out);
        model.body_sizes.clear();
        automate::AutoRunner runner(&model, std::string(kSerial), steps, "cn", d.out.string());
        const double cpu0 = thread_cpu_seconds();
        Json r = runner.run("打开设置，进入 WLAN");
        cpu += thread_cpu_seconds() - cpu0;
        benchmark::DoNotOptimize(r);
    }
    set_console_stream(std::cout);
    const double runs = static_cast<double>(state.iterations());
    state.counters["runner_cpu_per_step_ms"] = cpu / runs / static_cast<double>(steps) * 1e3;
    state.counters["steps"] = static_cast<double>(steps);
    for (std::size_t at : {1, 10, 100})
        if (model.body_sizes.size() >= at)
            state.counters["body_bytes_step" + std::to_string(at)] = static_cast<double>(model.body_sizes[at - 1]);
}

// The device's share of one step: the screenshot, the foreground-app query and the
// tap, made directly.
void BM_automate_device_calls(benchmark::State& state) {
    if (device_setup().root.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_FAKES / DROIDLENS_BENCH_PAIR_A / _B not set");
        return;
    }
    for (auto _ : state) {
        auto shot = proc::run_process({"adb", "-s", kSerial, "exec-out", "screencap", "-p"}, std::chrono::seconds(20));
        auto app = proc::run_process({"adb", "-s", kSerial, "shell", "dumpsys", "window", "displays"},
                                     std::chrono::seconds(10));
        auto tap = proc::run_process({"adb", "-s", kSerial, "shell", "input", "tap", "540", "1200"},
                                     std::chrono::seconds(10));
        benchmark::DoNotOptimize(shot);
        benchmark::DoNotOptimize(app);
        benchmark::DoNotOptimize(tap);
    }
}

}  // namespace

BENCHMARK(BM_automate_run)->Arg(10)->Arg(100)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_automate_device_calls)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
