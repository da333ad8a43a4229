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

#include "modes/locate.hpp"
#include "locate_reply.hpp"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace droidlens;

// Builds the body of the request as Modelwire does and answers with a tool call.
class BodyOnlyModel : public ChatModel {
public:
    std::size_t body_bytes = 0;

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        std::string body = "{\"model\":" + dump_json(Json("vision-model"));
        body += ",\"messages\":" + dump_json(messages);
        body += ",\"tools\":" + dump_json(tools);
        body += ",\"tool_choice\":" + dump_json(tool_choice);
        body += ",\"temperature\":" + dump_json(temperature);
        body += ",\"max_tokens\":" + dump_json(max_tokens.is_null() ? Json(4096) : max_tokens) + "}";
        body_bytes = body.size();
        benchmark::DoNotOptimize(body.data());
        return benchsupport::locate_reply();
    }
};

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
    BodyOnlyModel llm;
    for (auto _ : state) {
        Json result = locate::locate_element(llm, "the search button", paths);
        benchmark::DoNotOptimize(result);
    }
    state.counters["payload_bytes"] = static_cast<double>(llm.body_bytes);
}

}  // namespace

BENCHMARK(BM_locate_request)->Arg(1)->Arg(3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
