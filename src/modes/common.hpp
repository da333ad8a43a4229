// What the screen modes share: the messages of a model request (text, screenshots
// as images, the forced tool choice), reading the arguments of the model's tool call
// and its numbers, converting its boxes into droidlens's frame, and the screenshots a
// mode entry works on (given, or captured from the device).
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include "model/frames.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace droidlens {
class ChatModel;
}

namespace droidlens::common {

// Unscaled (width, height) of one screenshot.
using Dimensions = std::array<std::int64_t, 2>;

struct ImageMessages {
    Json messages = Json::array();       // one user message per screenshot
    std::vector<Dimensions> dimensions;  // one pair per screenshot, same order
    std::vector<frames::SentSize> sent;  // the size each was sent at, same order
};

// {"role": role, "content": [{"type": "text", "text": text}]}.
Json text_message(const std::string& role, const std::string& text);

// The tool choice that forces a call of `tool_name`:
// {"type": "function", "function": {"name": tool_name}}.
Json forced_tool_choice(const std::string& tool_name);

// One user message per screenshot, in order: the text "Screenshot (page=N):" (N from
// 1) and the image as a data URL of its Base64 PNG. Errors of encode_image (missing
// file, undecodable image) propagate.
// With `max_side` above 0, screenshots larger than that are sent scaled down.
ImageMessages _build_image_messages(const std::vector<std::string>& image_paths, std::int64_t image_quality = 95,
                                    double resize_factor = 1.0, std::int64_t max_side = 0);

// A box of the model's answer, for page `page` (1-based, clamped to the pages sent),
// converted from the model's coordinate frame to droidlens's.
Json box_in_our_frame(const Json& box, const ChatModel& llm, const ImageMessages& images, const Json& page);

// The arguments of the first call of `tool_name` in a chat-completions response, as
// an object. Throws ValueError "Empty LLM response" (no choices), ValueError
// "Tool call '<name>' not found", JsonParseError for arguments that are not JSON,
// TypeError "Expected dict, got list" for arguments that are JSON but not an object,
// and ValueError for a response whose shape is not a chat completion.
Json _extract_tool_args(const Json& response, const std::string& tool_name);

// The model client of a mode entry; UsageError when the router was given none.
ChatModel& require_model(const ModeArgs& args, const char* mode);

// The screenshots of a mode entry: the given image paths, or one screenshot captured
// from the device into output_dir when none is given.
std::vector<std::string> screenshots_or_capture(const ModeArgs& args);

// Integer and real readings (values::to_int, values::to_real) of a value from the
// model's answer; a value they refuse is a ConversionError that names `what`
// ("Invalid page in the model's answer: ...").
std::int64_t answer_int(const Json& value, const std::string& what);
double answer_real(const Json& value, const std::string& what);

}  // namespace droidlens::common
