// The "ocr" mode: copies the text values a request asks for verbatim from the
// screenshots, item by item, without boxes. A request that names a row label goes
// through the glyphpin mode, whose boxes keep only the values on that label's row.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace droidlens {
class ChatModel;
}

namespace droidlens::ocr {

// Without an anchor label in the request: one request with the forced tool
// "return_texts", items in the model's order, pages clamped to the screenshots.
// With one: glyphpin_text (no annotation) and its items without their boxes.
// Returns {"mode": "ocr", "text", "pages", "items"}; each item is {"text",
// "confidence", "page"}. `lang` "en" selects the English prompt, anything else the
// Chinese one.
Json ocr_text(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
              std::int64_t image_quality = 95, double resize_factor = 1.0, const std::string& lang = "cn");

// Mode entry: captures a screenshot into output_dir when no image is given; that is
// the only file the mode writes.
Json run(const ModeArgs& args);

}  // namespace droidlens::ocr
