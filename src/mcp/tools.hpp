// The tools the protocol server offers: list_devices, list_displays and screenshot
// for the device, and one tool per mode of the router's table, each with a
// description written for the calling model, an input schema that uses the router's
// argument names, and an output schema of the record it returns.
#pragma once

#include <droidlens/json.hpp>

#include "mcp/preview.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace droidlens {
class ChatModel;
}

namespace droidlens::mcp {

// The run options a tool uses when the call leaves them out (the server's
// --output-dir, --max-steps and --lang).
struct ToolDefaults {
    std::string output_dir;
    std::int64_t max_steps = 0;
    std::string lang;
};

// What running a tool needs from the server.
struct ToolEnv {
    ToolDefaults defaults;
    // The model client for the modes that ask the model. Throws (ValueError naming the
    // missing setting) when no model service is configured.
    std::function<ChatModel*()> model;
    PreviewLimits preview;
};

// {"tools": [...]}: every tool's definition, in a fixed order. The defaults appear
// in the input schemas.
Json list_tools(const ToolDefaults& defaults);

// True when a tool of this name exists.
bool has_tool(const std::string& name);

// Runs the tool and returns its CallToolResult: the record as "structuredContent"
// and as JSON text, followed by the images the record names. A failure of the tool
// (bad arguments, a device or model error) is a result with "isError" true and the
// error's message. CancelledError propagates: the server decides what a cancelled
// call answers. The name must be one that has_tool() accepts.
Json call_tool(const std::string& name, const Json& arguments, const ToolEnv& env);

// The result of a failed call: {"content": [{"type": "text", "text": message}],
// "isError": true, "_meta": {"droidlens/failure": kind}}, the message cleared of
// registered secrets. The kind is that of failure_kind_name ("usage", "device",
// "model_service", "model_answer", "interrupted", "other").
Json error_result(const std::string& message, const char* kind = "other");
// The same for an error that ended a call.
Json error_result(const std::exception& e);

}  // namespace droidlens::mcp
