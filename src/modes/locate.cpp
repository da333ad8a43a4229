#include "modes/locate.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "utils/image.hpp"
#include "utils/values.hpp"

#include <algorithm>
#include <utility>

namespace droidlens::locate {

namespace {

constexpr const char* kToolName = "return_target";

constexpr const char* kSystemText =
    "Find the UI element for the user request. Return bounding_box as [x1,y1,x2,y2] in 0-1000 relative "
    "coordinates.";

// The tool's definition, key order as the model sees it.
const Json& tool_definition() {
    static const Json tool = Json::parse(R"({
        "type": "function",
        "function": {
            "name": "return_target",
            "description": "Return the target element location for the user request.",
            "parameters": {
                "type": "object",
                "properties": {
                    "label": {"type": "string"},
                    "bounding_box": {"type": "array", "items": {"type": "number"},
                                     "description": "XYXY in 0-1000 relative coordinates."},
                    "confidence": {"type": "number"},
                    "page": {"type": "integer"}
                },
                "required": ["label", "bounding_box", "confidence", "page"]
            }
        }
    })");
    return tool;
}

// The box is four numbers (booleans count), or nothing can be drawn, looked up or
// tapped from it: an answer without one is unusable, not a box at the corner.
void require_box(const Json& result) {
    const auto it = result.find("bounding_box");
    if (it == result.end() || !it->is_array() || it->size() != 4) {
        throw ModelAnswerError("The model's answer has no usable bounding_box (four numbers x1, y1, x2, y2): " +
                               (it == result.end() ? std::string("it is missing") : dump_json(*it).substr(0, 100)));
    }
    const Json& bbox = *it;
    for (size_t i = 0; i < bbox.size(); ++i) {
        if (!values::is_number(bbox[i])) {
            throw ModelAnswerTypeError("bounding_box[" + std::to_string(i) + "] of the model's answer is not a number: " +
                            dump_json(bbox[i]).substr(0, 100));
        }
    }
}

}  // namespace

Json locate_element(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
                    std::int64_t image_quality, double resize_factor, const std::optional<std::string>& output_dir) {
    const Json tools = Json::array({tool_definition()});
    Json messages = Json::array({text_message("system", kSystemText), text_message("user", "User request: " + prompt)});
    ImageMessages images = _build_image_messages(image_paths, image_quality, resize_factor,
                                                 llm.answer_profile().max_image_side);
    for (Json& m : images.messages) messages.push_back(std::move(m));  // sizes stay in `images`

    const Json response = llm.chat(messages, tools, forced_tool_choice(kToolName), 0.1);
    Json result = _extract_tool_args(response, kToolName);
    require_box(result);
    result["bounding_box"] = box_in_our_frame(result["bounding_box"], llm, images, result.value("page", Json(1)));

    Json dimensions = Json::array();
    for (const Dimensions& d : images.dimensions) dimensions.push_back({d[0], d[1]});
    result["image_dimensions"] = std::move(dimensions);
    result["mode"] = "locate";
    // The key means "this file was written"; a value the model made up must not pass for one.
    result.erase("annotated_image_path");

    if (!output_dir || output_dir->empty()) return result;
    const Json& bbox = result["bounding_box"];
    const std::int64_t page = result.contains("page") ? answer_int(result["page"], "page") : 1;
    const std::int64_t last = std::max<std::int64_t>(static_cast<std::int64_t>(image_paths.size()) - 1, 0);
    const std::int64_t page_idx = std::min(std::max<std::int64_t>(page, 1) - 1, last);
    if (page_idx >= static_cast<std::int64_t>(images.dimensions.size())) return result;
    const Dimensions& size = images.dimensions[static_cast<size_t>(page_idx)];
    try {
        result["annotated_image_path"] =
            image::annotate_image(image_paths[static_cast<size_t>(page_idx)], bbox, size[0], size[1], *output_dir);
    } catch (const FileSystemError&) {
        // The annotated copy is optional: a screenshot that went away or an output
        // directory that cannot be written leaves the answer without it.
    }
    return result;
}

Json run(const ModeArgs& args) {
    ChatModel& llm = require_model(args, "locate");
    const std::vector<std::string> paths = screenshots_or_capture(args);
    return locate_element(llm, args.prompt, paths, 95, 1.0, args.output_dir);
}

}  // namespace droidlens::locate
