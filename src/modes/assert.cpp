#include "modes/assert.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "modes/common.hpp"
#include "modes/glyphpin.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/values.hpp"

#include <algorithm>
#include <utility>

namespace droidlens::assertion {

namespace {

constexpr const char* kToolName = "return_verdict";

constexpr const char* kSystemEn =
    "You check a statement about an Android screen for a UI test. Decide from the screenshot alone whether "
    "the statement is true.\n"
    "Rules:\n"
    "- Answer with the tool call `return_verdict`.\n"
    "- `passed` is true only when the screenshot clearly shows that the statement holds. When it shows the "
    "opposite, or does not show enough to tell, `passed` is false.\n"
    "- `reason` is one sentence naming what on the screen decided it.\n"
    "- `evidence_box` is [x1,y1,x2,y2] in 0-1000 relative coordinates of the element that decided it; leave it "
    "out when no single element did.\n"
    "- `confidence` is a number from 0 to 1.\n"
    "- Judge what is visible now; do not guess what another screen or a later moment would show.\n";

constexpr const char* kSystemCn =
    "你是 UI 测试的屏幕断言检查器：只根据截图判断用户给出的断言是否成立。\n"
    "规则：\n"
    "- 用 tool call `return_verdict` 作答。\n"
    "- 只有截图清楚地表明断言成立时，`passed` 才为 true；截图表明相反情况，或信息不足以判断时，`passed` 为 false。\n"
    "- `reason` 用一句话说明屏幕上是什么决定了结论。\n"
    "- `evidence_box` 是决定结论的元素的 [x1,y1,x2,y2]，0-1000 相对坐标；没有单个元素能说明时省略。\n"
    "- `confidence` 是 0 到 1 之间的数。\n"
    "- 只判断当前可见的内容，不要推测其他页面或之后的状态。\n";

const Json& tool_definition() {
    static const Json tool = Json::parse(R"({
        "type": "function",
        "function": {
            "name": "return_verdict",
            "description": "Return whether the statement is true of the screenshot, with the reason and the evidence.",
            "parameters": {
                "type": "object",
                "properties": {
                    "passed": {"type": "boolean", "description": "true when the screenshot shows that the statement holds; false otherwise or when it cannot be told."},
                    "reason": {"type": "string", "description": "One sentence: what on the screen decided it."},
                    "evidence_box": {"type": "array", "items": {"type": "number"},
                                     "description": "XYXY in 0-1000 relative coordinates of the element that decided it."},
                    "confidence": {"type": "number"},
                    "page": {"type": "integer", "description": "The screenshot the evidence is on, from 1."}
                },
                "required": ["passed", "reason", "confidence"]
            }
        }
    })");
    return tool;
}

constexpr image::Rgb kGreen{0, 255, 0};
constexpr image::Rgb kRed{255, 0, 0};

// The evidence box of the answer when it is four numbers; anything else is no
// evidence (the verdict stands without it).
std::optional<Json> usable_box(const Json& arguments) {
    const auto it = arguments.find("evidence_box");
    if (it == arguments.end() || !it->is_array() || it->size() != 4) return std::nullopt;
    for (const Json& v : *it) {
        if (!v.is_number()) return std::nullopt;
    }
    return *it;
}

// The screenshot with the evidence outlined, or framed whole, in the verdict's colour.
std::string write_annotated(const std::string& image_path, const std::optional<Json>& box, bool passed,
                            const std::string& output_dir) {
    image::Raster img = image::load_rgb(image_path);
    const image::Rgb colour = passed ? kGreen : kRed;
    if (box) {
        const image::PixelBox pixels = image::to_absolute_box(*box, img.width(), img.height());
        image::draw_rectangle(img, pixels, colour, 4);
    } else {
        image::draw_rectangle(img, {0, 0, img.width() - 1, img.height() - 1}, colour, 8);
    }
    fs::ensure_directory(output_dir);
    const std::string path = fs::join(output_dir, fs::stem(image_path) + "_assert.png");
    image::write_png(img, path);
    return path;
}

}  // namespace

Json assert_screen(ChatModel& llm, const std::string& statement, const std::vector<std::string>& image_paths,
                   const std::string& lang, const std::optional<std::string>& output_dir) {
    glyphpin::require_images(image_paths, "assert_screen");
    common::ImageMessages images = common::_build_image_messages(image_paths, 95, 1.0, llm.answer_profile().max_image_side);
    const std::string label = lang == "en" ? "Statement" : "断言";
    Json messages = Json::array({common::text_message("system", lang == "en" ? kSystemEn : kSystemCn),
                                 common::text_message("user", label + ": " + statement)});
    for (const Json& m : images.messages) messages.push_back(m);

    const Json response =
        llm.chat(messages, Json::array({tool_definition()}), common::forced_tool_choice(kToolName), 0.0);
    const Json arguments = common::_extract_tool_args(response, kToolName);

    // Only a real boolean passes or fails: "yes", 1 or a missing value are not a
    // verdict, and reading one as a pass would turn a broken answer into a green test.
    const auto passed = arguments.find("passed");
    if (passed == arguments.end()) {
        throw ModelAnswerError("The model's verdict has no 'passed': " + dump_json(arguments).substr(0, 200));
    }
    if (!passed->is_boolean()) {
        throw ModelAnswerTypeError("The model's verdict 'passed' is not true or false: " +
                                   dump_json(*passed).substr(0, 100));
    }

    Json result = Json::object();
    result["mode"] = "assert";
    result["passed"] = passed->get<bool>();
    const auto reason = arguments.find("reason");
    result["reason"] = reason == arguments.end() || reason->is_null() ? std::string() : values::to_text(*reason);

    const std::int64_t pages = static_cast<std::int64_t>(image_paths.size());
    const Json page_value = arguments.value("page", Json(1));
    std::int64_t page = 1;
    try {
        page = std::clamp<std::int64_t>(values::to_int(page_value), 1, pages);
    } catch (const ConversionError&) {
        // An unreadable page puts the evidence on the first screenshot.
    }
    std::optional<Json> box = usable_box(arguments);
    if (box) box = common::box_in_our_frame(*box, llm, images, Json(page));
    result["evidence_box"] = box ? *box : Json();
    const auto confidence = arguments.find("confidence");
    result["confidence"] = confidence == arguments.end() || confidence->is_null()
                               ? Json()
                               : Json(common::answer_real(*confidence, "confidence"));
    Json dimensions = Json::array();
    for (const common::Dimensions& d : images.dimensions) dimensions.push_back({d[0], d[1]});
    result["image_dimensions"] = std::move(dimensions);
    result["page"] = page;
    result["annotated_image_path"] = Json();
    if (output_dir && !output_dir->empty()) {
        try {
            result["annotated_image_path"] = write_annotated(image_paths[static_cast<size_t>(page - 1)], box,
                                                             result["passed"].get<bool>(), *output_dir);
        } catch (const FileSystemError&) {
            // The picture is a courtesy: the verdict stands without it.
        }
    }
    return result;
}

bool verdict_passed(const Json& record) {
    return record.is_object() && record.value("passed", Json(false)) == true;
}

Json run(const ModeArgs& args) {
    ChatModel& llm = common::require_model(args, "assert");
    const std::vector<std::string> paths = common::screenshots_or_capture(args);
    return assert_screen(llm, args.prompt, paths, args.lang, args.output_dir);
}

}  // namespace droidlens::assertion
