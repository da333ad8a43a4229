// The "locate" mode: the model names one element of the screen with its box,
// confidence and page.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include "modes/common.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace droidlens {
class ChatModel;
}

namespace droidlens::locate {

// The helpers every mode shares (modes/common.hpp), under the names they had here.
using common::_build_image_messages;
using common::_extract_tool_args;
using common::answer_int;
using common::answer_real;
using common::box_in_our_frame;
using common::Dimensions;
using common::forced_tool_choice;
using common::ImageMessages;
using common::require_model;
using common::screenshots_or_capture;
using common::text_message;

// Asks the model, through the forced tool "return_target", for the element the
// request names on the screenshots. Returns the tool's arguments as given, plus
// "image_dimensions", "mode" = "locate" and, when `output_dir` is present and not
// empty and the box has four values, "annotated_image_path" (the screenshot of the
// answer's page with the box drawn; skipped on file-system errors).
Json locate_element(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
                    std::int64_t image_quality = 95, double resize_factor = 1.0,
                    const std::optional<std::string>& output_dir = std::nullopt);

// Mode entry: captures a screenshot into output_dir when no image is given.
Json run(const ModeArgs& args);

}  // namespace droidlens::locate
