#include "modes/ocr.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "modes/glyphpin.hpp"
#include "modes/common.hpp"

#include <utility>

namespace droidlens::ocr {

namespace {

constexpr const char* kToolName = "return_texts";

constexpr const char* kSystemEn =
    "You are an OCR extractor. Copy text verbatim from the screenshot.\n"
    "Rules:\n"
    "- Return a JSON tool call with an `items` array.\n"
    "- Each item is one matching value copied from the screenshot.\n"
    "- If multiple matches exist, include them all in reading order (top-to-bottom, left-to-right).\n"
    "- If nothing matches, return `items`: [] (empty list).\n"
    "- If the request references a specific key/row label (e.g., \"NGX\"), include that label as an item so row "
    "alignment can be verified.\n"
    "- Do not infer, paraphrase, translate, or restate the question.\n"
    "- Never output phrases like \"not found\", \"empty\", \"N/A\", \"不存在\", \"未找到\", or \"为空\".\n";

constexpr const char* kSystemCn =
    "你是 OCR 文字抽取器：只能从截图中抄写文字，不做推理。\n"
    "规则：\n"
    "- 返回一个包含 `items` 数组的 JSON tool call。\n"
    "- 每个 item 表示一条匹配的结果：`text` 必须是截图中真实可见的原文，逐字抄写；"
    "不要改写/翻译/补充说明/复述问题。\n"
    "- 如果存在多个匹配，按从上到下、从左到右的阅读顺序全部返回。\n"
    "- 如果没有任何匹配，返回 `items`: []（空数组）。\n"
    "- 如果请求包含特定的关键标识/行名（例如'NGX对应...'），请把该标识也作为一条 item 返回，便于做行对齐校验。\n"
    "- 不要输出类似'为空/不存在/未找到/无/N/A'等解释句。\n";

const Json& tool_definition() {
    static const Json tool = Json::parse(R"({
        "type": "function",
        "function": {
            "name": "return_texts",
            "description": "Return all extracted values that satisfy the user request, copied from the screenshot. If there are multiple matches, return them all; if none, return an empty list.",
            "parameters": {
                "type": "object",
                "properties": {
                    "items": {
                        "type": "array",
                        "description": "List of extracted values in reading order (top-to-bottom, left-to-right). Return [] if no match.",
                        "items": {
                            "type": "object",
                            "properties": {
                                "text": {"type": "string", "description": "Copy the value from the screenshot verbatim. Do not add explanations like 'not found'/'为空'."},
                                "confidence": {"type": "number"},
                                "page": {"type": "integer"}
                            },
                            "required": ["text", "confidence", "page"]
                        }
                    }
                },
                "required": ["items"]
            }
        }
    })");
    return tool;
}

// {"text", "confidence", "page"} records of the elements that carry text.
Json ocr_items(const Json& elements, std::optional<std::size_t> page_count) {
    Json items = Json::array();
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const Json& element = elements[i];
        if (!element.is_object()) continue;
        std::optional<std::string> text = glyphpin::item_text(element);
        if (!text) continue;
        const std::int64_t page = glyphpin::item_page(element, i, page_count);
        const double confidence = glyphpin::item_confidence(element, i);
        Json item = Json::object();
        item["text"] = std::move(*text);
        item["confidence"] = confidence;
        item["page"] = page;
        items.push_back(std::move(item));
    }
    return items;
}

Json ocr_result(Json pages, Json items) {
    Json result = Json::object();
    result["mode"] = "ocr";
    result["text"] = glyphpin::joined_text(items);
    result["pages"] = std::move(pages);
    result["items"] = std::move(items);
    return result;
}

}  // namespace

Json ocr_text(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
              std::int64_t image_quality, double resize_factor, const std::string& lang) {
    glyphpin::require_images(image_paths, "ocr_text");
    if (glyphpin::_extract_anchor_label(prompt)) {
        // The row of the anchor can only be found with boxes: glyphpin asks for them,
        // keeps that row and drops the label's own item. Nothing is annotated here.
        const Json located =
            glyphpin::glyphpin_text(llm, prompt, image_paths, image_quality, resize_factor, std::nullopt, lang);
        const Json pages = located.contains("pages") ? located["pages"] : Json::array();
        const Json& items = glyphpin::tool_items(located);
        return ocr_result(pages, ocr_items(items, std::nullopt));
    }

    common::ImageMessages images = common::_build_image_messages(image_paths, image_quality, resize_factor,
                                                                 llm.answer_profile().max_image_side);
    const std::vector<common::Dimensions> dimensions = images.dimensions;
    const Json messages =
        glyphpin::query_messages(lang == "en" ? kSystemEn : kSystemCn, lang, prompt, std::move(images));
    const Json response =
        llm.chat(messages, Json::array({tool_definition()}), common::forced_tool_choice(kToolName), 0.0);
    const Json arguments = common::_extract_tool_args(response, kToolName);
    // The model's order is kept: no sorting, no de-duplication, no anchor filtering.
    return ocr_result(glyphpin::page_records(image_paths, dimensions),
                      ocr_items(glyphpin::tool_items(arguments), image_paths.size()));
}

Json run(const ModeArgs& args) {
    ChatModel& llm = common::require_model(args, "ocr");
    const std::vector<std::string> paths = common::screenshots_or_capture(args);
    return ocr_text(llm, args.prompt, paths, 95, 1.0, args.lang);
}

}  // namespace droidlens::ocr
