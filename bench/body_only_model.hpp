// A model client for the benchmarks: builds the request body exactly as the HTTP
// client serialises it (so that cost is counted) and answers at once from memory
// with one call of the given tool.
#pragma once

#include <benchmark/benchmark.h>

#include <droidlens/modelwire.hpp>

#include <string>

namespace benchsupport {

class BodyOnlyModel : public droidlens::ChatModel {
public:
    std::size_t body_bytes = 0;

    BodyOnlyModel(const std::string& tool, const droidlens::Json& arguments) {
        using droidlens::Json;
        Json call = {{"id", "c1"}, {"type", "function"},
                     {"function", {{"name", tool}, {"arguments", arguments.dump()}}}};
        Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({call})}};
        reply_ = Json{{"choices", Json::array({{{"index", 0}, {"message", message}, {"finish_reason", "tool_calls"}}})}};
    }

protected:
    droidlens::Json send_chat(const droidlens::Json& messages, const droidlens::Json& tools,
                              const droidlens::Json& tool_choice, const droidlens::Json& temperature,
                              const droidlens::Json& max_tokens) override {
        using droidlens::dump_json;
        using droidlens::Json;
        std::string body = "{\"model\":" + dump_json(Json("vision-model"));
        body += ",\"messages\":" + dump_json(messages);
        body += ",\"tools\":" + dump_json(tools);
        body += ",\"tool_choice\":" + dump_json(tool_choice);
        body += ",\"temperature\":" + dump_json(temperature);
        body += ",\"max_tokens\":" + dump_json(max_tokens.is_null() ? Json(4096) : max_tokens) + "}";
        body_bytes = body.size();
        benchmark::DoNotOptimize(body.data());
        return reply_;
    }

private:
    droidlens::Json reply_;
};

}  // namespace benchsupport
