// The protocol server's own cost per tools/call: the same diff and locate calls made
// through the server (a tools/call line in, the response line out, the worker thread
// between) and through the library directly, in the same process. The server runs
// once without images in its results, which isolates what it adds around the mode,
// and once with them, whose difference is the image scaling; BM_mcp_preview times
// that scaling alone on the annotated image.
//
// Inputs: DROIDLENS_BENCH_PAIR_A, DROIDLENS_BENCH_PAIR_B (the diff pair; A is also the
// locate screenshot) and DROIDLENS_BENCH_OUT (the output directory).
#include <benchmark/benchmark.h>

#include <droidlens/modelwire.hpp>
#include <droidlens/route.hpp>

#include "mcp/preview.hpp"
#include "mcp/server.hpp"
#include "locate_reply.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <time.h>

namespace {

using namespace droidlens;

// A model that answers the locate tool at once.
class InstantModel : public ChatModel {
protected:
    Json send_chat(const Json&, const Json&, const Json&, const Json&, const Json&) override {
        return benchsupport::locate_reply();
    }
};

struct Inputs {
    std::string a, b, out;
    bool ok() const { return !a.empty() && !b.empty() && !out.empty(); }
};

Inputs inputs() {
    auto env = [](const char* name) { return std::string(std::getenv(name) ? std::getenv(name) : ""); };
    return {env("DROIDLENS_BENCH_PAIR_A"), env("DROIDLENS_BENCH_PAIR_B"), env("DROIDLENS_BENCH_OUT")};
}

Json tool_arguments(const std::string& tool, const Inputs& in) {
    if (tool == "diff") return {{"image_paths", {in.a, in.b}}, {"output_dir", in.out}};
    return {{"prompt", "the search button"}, {"image_paths", {in.a}}, {"output_dir", in.out}};
}

// The server with a writer that hands each response line to the waiting caller.
class Harness {
public:
    Harness(ChatModel* model, bool images) : server_(settings(model, images), [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = line;
        ready_ = true;
        cv_.notify_one();
        return true;
    }) {
        exchange(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})");
    }

    // Sends one line and waits for the line the server answers it with.
    const std::string& exchange(const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_ = false;
        }
        server_.handle_line(line);
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return ready_; });
        return last_;
    }

private:
    static mcp::ServerSettings settings(ChatModel* model, bool images) {
        mcp::ServerSettings s;
        s.model = model;
        s.defaults = {"outputs", kDefaultMaxSteps, "en"};
        if (!images) s.preview.max_edge = 0;
        return s;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool ready_ = false;
    std::string last_;
    mcp::Server server_;
};

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// CPU time of the whole process (every thread: the server's worker included), in ms.
// On a loaded machine it moves far less than the wall time.
double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Each iteration makes the same call three ways, in rotating order so that none
// always runs first: the library directly, the server without images, the server
// with them. The counters are medians over the iterations of each way's time and
// of the per-iteration differences, which cancel most of the noise of the mode
// itself (tens of milliseconds of imaging) that separate runs would leave in.
void BM_mcp_paired(benchmark::State& state, const std::string& tool) {
    const Inputs in = inputs();
    if (!in.ok()) return state.SkipWithError("DROIDLENS_BENCH_PAIR_A/B and DROIDLENS_BENCH_OUT not set");
    InstantModel model;
    Json kwargs = tool_arguments(tool, in);
    kwargs["mode"] = tool;
    if (!kwargs.contains("prompt")) kwargs["prompt"] = "";
    Harness text_only(&model, false), with_images(&model, true);
    const std::string line = dump_json(Json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"},
                                            {"params", {{"name", tool}, {"arguments", tool_arguments(tool, in)}}}});
    std::vector<double> direct, server, images, overhead, scaling, cpu_overhead, cpu_scaling;
    std::size_t text_bytes = 0, image_bytes = 0;
    int round = 0;
    for (auto _ : state) {
        double t[3] = {0, 0, 0}, cpu[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            const int which = (k + round) % 3;
            const double c0 = process_cpu_ms();
            const auto t0 = Clock::now();
            if (which == 0) {
                Json record = route_dynamic(tool == "diff" ? nullptr : &model, Json::array(), kwargs);
                benchmark::DoNotOptimize(record);
            } else {
                const std::string& response = (which == 1 ? text_only : with_images).exchange(line);
                (which == 1 ? text_bytes : image_bytes) = response.size();
                if (response.find("\"isError\":false") == std::string::npos) {
                    state.SkipWithError(response.substr(0, 300).c_str());
                    return;
                }
            }
            t[which] = ms_since(t0);
            cpu[which] = process_cpu_ms() - c0;
        }
        ++round;
        direct.push_back(t[0]);
        server.push_back(t[1]);
        images.push_back(t[2]);
        overhead.push_back(t[1] - t[0]);
        scaling.push_back(t[2] - t[1]);
        cpu_overhead.push_back(cpu[1] - cpu[0]);
        cpu_scaling.push_back(cpu[2] - cpu[1]);
    }
    state.counters["direct_ms"] = median(direct);
    state.counters["server_ms"] = median(server);
    state.counters["server_images_ms"] = median(images);
    state.counters["overhead_ms"] = median(overhead);
    state.counters["image_scaling_ms"] = median(scaling);
    state.counters["cpu_overhead_ms"] = median(cpu_overhead);
    state.counters["cpu_image_scaling_ms"] = median(cpu_scaling);
    state.counters["result_bytes_text"] = static_cast<double>(text_bytes);
    state.counters["result_bytes_images"] = static_cast<double>(image_bytes);
}

// The server's fixed path alone: a tools/call that is parsed, queued, taken by the
// worker and answered (with a tool error) without running any mode.
void BM_mcp_roundtrip(benchmark::State& state) {
    InstantModel model;
    Harness harness(&model, false);
    const std::string line =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"diff","arguments":{"colour":"red"}}})";
    for (auto _ : state) benchmark::DoNotOptimize(harness.exchange(line).size());
}

// The image scaling alone: the diff image the calls above attach.
void BM_mcp_preview(benchmark::State& state) {
    const Inputs in = inputs();
    if (!in.ok()) return state.SkipWithError("DROIDLENS_BENCH_PAIR_A/B and DROIDLENS_BENCH_OUT not set");
    const Json record = route(nullptr, "diff", "", {std::vector<std::string>{in.a, in.b}, {}, {}, in.out});
    const mcp::PreviewLimits limits;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const mcp::Preview p = mcp::make_preview(record["diff_image_path"], limits.max_edge, limits.max_total_bytes);
        bytes = p.png.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["png_bytes"] = static_cast<double>(bytes);
}

}  // namespace

BENCHMARK_CAPTURE(BM_mcp_paired, diff, std::string("diff"))->Iterations(25)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_mcp_paired, locate, std::string("locate"))->Iterations(25)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_mcp_roundtrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_mcp_preview)->Unit(benchmark::kMillisecond)->UseRealTime();
