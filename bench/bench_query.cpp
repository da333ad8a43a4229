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

#include <droidlens/errors.hpp>
#include <droidlens/run.hpp>

#include "body_only_model.hpp"
#include "model/answer_cache.hpp"
#include "modes/locate.hpp"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
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

// A locate answered from the answer cache: the request is built as for the service,
// hashed, and its answer read from disk; no model is reached (replay mode against an
// address where nothing listens). Beside it the cache's own share: hashing the body
// and reading the entry. Counter body_bytes: the request body hashed.
namespace {

// Hands back the reply of BodyOnlyModel and keeps the last body it built.
class BodyKeepingModel : public benchsupport::BodyOnlyModel {
public:
    using BodyOnlyModel::BodyOnlyModel;
    std::string body;

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        body = "{\"model\":" + dump_json(Json("vision-model"));
        body += ",\"messages\":" + dump_json(messages);
        body += ",\"tools\":" + dump_json(tools);
        body += ",\"tool_choice\":" + dump_json(tool_choice);
        body += ",\"temperature\":" + dump_json(temperature);
        body += ",\"max_tokens\":" + dump_json(max_tokens.is_null() ? Json(4096) : max_tokens) + "}";
        reply = BodyOnlyModel::send_chat(messages, tools, tool_choice, temperature, max_tokens);
        return reply;
    }

public:
    Json reply;
};

constexpr const char* kCacheUrl = "http://127.0.0.1:1/v1";

struct CachedScreen {
    std::string dir;
    std::string body;
    std::vector<std::string> paths;
};

// Records one locate's answer in a fresh cache directory, keyed as the client keys it.
CachedScreen cached_screen() {
    CachedScreen c;
    c.paths = screenshots(1);
    if (c.paths.empty()) return c;
    char tmpl[] = "/tmp/droidlens_cache_bench_XXXXXX";
    c.dir = ::mkdtemp(tmpl);
    BodyKeepingModel model("return_target", {{"label", "Search"}, {"bounding_box", {850, 40, 950, 80}},
                                             {"confidence", 0.9}, {"page", 1}});
    locate::locate_element(model, "the search button", c.paths);
    c.body = model.body;
    answer_cache::store(c.dir, answer_cache::request_key(kCacheUrl, "vision-model", c.body), dump_json(model.reply));
    return c;
}

void BM_locate_cached(benchmark::State& state) {
    const CachedScreen c = cached_screen();
    if (c.paths.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_QUERY_SHOTS / DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    ModelConfig settings;
    settings.base_url = kCacheUrl;
    settings.model = "vision-model";
    settings.cache_dir = c.dir;
    settings.cache_mode = "replay";
    Modelwire llm(settings);
    auto run = new_run_context();
    run->console = [](std::string_view) {};  // the "answer from cache" lines
    ScopedRun scope(run);
    try {
        for (auto _ : state) {
            Json result = locate::locate_element(llm, "the search button", c.paths);
            benchmark::DoNotOptimize(result);
        }
    } catch (const Error& e) {
        state.SkipWithError(e.what());  // a body built otherwise than the client's: no hit
    }
    state.counters["hits"] = run->cache_hits;
    std::filesystem::remove_all(c.dir);
}

void BM_answer_cache_lookup(benchmark::State& state) {
    const CachedScreen c = cached_screen();
    if (c.paths.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_QUERY_SHOTS / DROIDLENS_BENCH_SCREENSHOT not set");
        return;
    }
    for (auto _ : state) {
        auto answer = answer_cache::load(c.dir, answer_cache::request_key(kCacheUrl, "vision-model", c.body));
        if (!answer) state.SkipWithError("no entry");
        benchmark::DoNotOptimize(answer);
    }
    state.counters["body_bytes"] = static_cast<double>(c.body.size());
    std::filesystem::remove_all(c.dir);
}

}  // namespace

BENCHMARK(BM_locate_cached)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_answer_cache_lookup)->UseRealTime()->Unit(benchmark::kMillisecond);
