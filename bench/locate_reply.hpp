// The chat-completions answer of a model that calls the locate tool at once, shared
// by the benchmarks that leave the model's time out.
#pragma once

#include <droidlens/json.hpp>

namespace benchsupport {

inline const droidlens::Json& locate_reply() {
    using droidlens::Json;
    static const Json reply = [] {
        const Json arguments = {{"label", "Search"}, {"bounding_box", {850, 40, 950, 80}}, {"confidence", 0.9},
                                {"page", 1}};
        Json call = {{"id", "c1"}, {"type", "function"},
                     {"function", {{"name", "return_target"}, {"arguments", arguments.dump()}}}};
        Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({call})}};
        return Json{{"choices", Json::array({{{"index", 0}, {"message", message}, {"finish_reason", "tool_calls"}}})}};
    }();
    return reply;
}

}  // namespace benchsupport
