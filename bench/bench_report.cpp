// The run report of an automation run of 5 and 50 steps on the benchmark screenshot
// (DROIDLENS_BENCH_SCREENSHOT): the recorder's work per step (decoding the screen,
// drawing the action, shrinking and JPEG encoding) and the rendered page's size.
#include <benchmark/benchmark.h>

#include <droidlens/report.hpp>

#include "utils/base64.hpp"
#include "utils/fs.hpp"

#include <cstdlib>

namespace {

using namespace droidlens;

void BM_report_automate(benchmark::State& state) {
    const char* shot = std::getenv("DROIDLENS_BENCH_SCREENSHOT");
    if (!shot) {
        state.SkipWithError("DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    const std::string png = base64::encode(fs::read_file(shot));
    const auto steps = state.range(0);
    std::size_t page_bytes = 0;
    for (auto _ : state) {
        RunReport report(ReportRun{"automate", "open the settings and turn on Wi-Fi", {}, "emulator-5554", {}, "", steps,
                                   "vision-model"});
        for (std::int64_t i = 1; i <= steps; ++i) {
            AutomateStep s;
            s.step = i;
            s.max_steps = steps;
            s.run_id = "20261209_120000_automate";
            s.screenshot_base64 = png;
            s.width = 1080;
            s.height = 2400;
            s.current_app = "com.android.settings";
            s.thinking = "The Wi-Fi row is near the top of the list; I tap it to open its page.";
            s.action_text = "do(action=\"Tap\", element=[500, 300])";
            s.action = {{"_metadata", "do"}, {"action", "Tap"}, {"element", {500, 300}}};
            s.executor_message = "Tapped (540, 720)";
            s.finished = i == steps;
            report.on_automate_step(s);
        }
        const std::string page = report.render(nullptr, nullptr);
        page_bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["page_bytes"] = static_cast<double>(page_bytes);
    state.counters["seconds_per_step"] = benchmark::Counter(static_cast<double>(steps) * state.iterations(),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_report_automate)->Arg(5)->Arg(50)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
