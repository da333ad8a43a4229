// The cost of one locate request on our side, without the model's time: encoding the
// screenshots, building the messages and the request body exactly as the model
// client serialises it, and reading the forced tool call back. The model answers at
// once from memory. One and three screenshots.
//
// Inputs: DROIDLENS_BENCH_QUERY_SHOTS, screenshot paths separated by ':' (set by
// bench/run.py so that the Python peer reads the same files); without it the
// benchmark screenshot DROIDLENS_BENCH_SCREENSHOT is used for every page.
#include <benchmark/benchmark.h>

#include <droidlens/modelwire.hpp>

#include "body_only_model.hpp"
#include "modes/locate.hpp"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace droidlens;

std::vector<std::string> screenshots(std::size_t count) {
    std::vector<std::string> given;
    if (const char* list = std::getenv("DROIDLENS_BENCH_QUERY_SHOTS")) {
        std::stringstream in(list);
        for (std::string p; std::getline(in, p, ':');)
            if (!p.empty()) given.push_back(p);
    }
    if (given.empty()) {
        const char* shot = std::getenv("DROIDLENS_BENCH_SCREENSHOT");
        if (shot) given.push_back(shot);
    }
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count && !given.empty(); ++i) out.push_back(given[i % given.size()]);
    return out;
}

void BM_locate_request(benchmark::State& state) {
    const std::vector<std::string> paths = screenshots(static_cast<std::size_t>(state.range(0)));
    if (paths.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_QUERY_SHOTS / DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    benchsupport::BodyOnlyModel llm("return_target", {{"label", "Search"}, {"bounding_box", {850, 40, 950, 80}},
                                                        {"confidence", 0.9}, {"page", 1}});
    for (auto _ : state) {
        Json result = locate::locate_element(llm, "the search button", paths);
        benchmark::DoNotOptimize(result);
    }
    state.counters["payload_bytes"] = static_cast<double>(llm.body_bytes);
}

}  // namespace

// Reading the locate tool's arguments from a typical answer: a tool call (what the
// reader did before), and the same arguments in a json fence (servers that ignore the
// forced tool choice).
void BM_read_answer(benchmark::State& state) {
    const Json arguments = {{"label", "Wi-Fi"}, {"bounding_box", {120, 310, 880, 420}}, {"confidence", 0.93}, {"page", 1}};
    Json tool_call = {{"id", "call_1"}, {"type", "function"},
                      {"function", {{"name", "return_target"}, {"arguments", arguments.dump()}}}};
    Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({tool_call})}};
    if (state.range(0) == 1) message = {{"role", "assistant"}, {"content", "```json\n" + arguments.dump() + "\n```"}};
    const Json response = {{"choices", Json::array({{{"index", 0}, {"message", message}, {"finish_reason", "stop"}}})}};
    for (auto _ : state) {
        Json args = locate::_extract_tool_args(response, "return_target");
        benchmark::DoNotOptimize(args);
    }
}
BENCHMARK(BM_read_answer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_locate_request)->Arg(1)->Arg(3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
