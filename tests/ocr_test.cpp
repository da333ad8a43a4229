// The ocr mode, both paths, against the scripted chat-completions server over real HTTP.
#include <droidlens/errors.hpp>

#include "modes/locate.hpp"
#include "modes/ocr.hpp"
#include "query_support.hpp"

using namespace droidlens;

namespace {

const std::string kSystemEn =
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

const std::string kSystemCn =
    "你是 OCR 文字抽取器：只能从截图中抄写文字，不做推理。\n"
    "规则：\n"
    "- 返回一个包含 `items` 数组的 JSON tool call。\n"
    "- 每个 item 表示一条匹配的结果：`text` 必须是截图中真实可见的原文，逐字抄写；"
    "不要改写/翻译/补充说明/复述问题。\n"
    "- 如果存在多个匹配，按从上到下、从左到右的阅读顺序全部返回。\n"
    "- 如果没有任何匹配，返回 `items`: []（空数组）。\n"
    "- 如果请求包含特定的关键标识/行名（例如'NGX对应...'），请把该标识也作为一条 item 返回，便于做行对齐校验。\n"
    "- 不要输出类似'为空/不存在/未找到/无/N/A'等解释句。\n";

class OcrTest : public testsupport::ScreenQueryTest {
protected:
    Json answer(const std::string& tool, const Json& items, const std::string& prompt,
                const std::vector<std::string>& paths, const std::string& lang = "cn") {
        server.enqueue(testsupport::tool_reply(tool, {{"items", items}}));
        return ocr::ocr_text(llm, prompt, paths, 95, 1.0, lang);
    }
};

TEST_F(OcrTest, DirectPathSendsThePromptOfTheLanguageAndTheToolAtTemperatureZero) {
    for (const auto& [lang, system, label] :
         std::vector<std::tuple<std::string, std::string, std::string>>{{"en", kSystemEn, "User request"},
                                                                        {"cn", kSystemCn, "用户请求"},
                                                                        {"EN", kSystemCn, "用户请求"}}) {
        answer("return_texts", Json::array(), "all prices", {shot_a, shot_b}, lang);
        const Json body = server.requests().back().json.value();
        EXPECT_EQ(body["temperature"], 0.0);
        EXPECT_EQ(dump_json(body["tool_choice"]), R"({"type":"function","function":{"name":"return_texts"}})");
        const Json& m = body["messages"];
        ASSERT_EQ(m.size(), 4u);
        EXPECT_EQ(m[0], locate::text_message("system", system)) << lang;
        EXPECT_EQ(m[1], locate::text_message("user", label + ": all prices"));
        EXPECT_EQ(m[3]["content"][0]["text"], "Screenshot (page=2):");
    }
    EXPECT_EQ(dump_json(server.requests().back().json.value()["tools"]),
              R"([{"type":"function","function":{"name":"return_texts","description":"Return all extracted )"
              R"(values that satisfy the user request, copied from the screenshot. If there are multiple )"
              R"(matches, return them all; if none, return an empty list.","parameters":{"type":"object",)"
              R"("properties":{"items":{"type":"array","description":"List of extracted values in reading )"
              R"(order (top-to-bottom, left-to-right). Return [] if no match.","items":{"type":"object",)"
              R"("properties":{"text":{"type":"string","description":"Copy the value from the screenshot )"
              R"(verbatim. Do not add explanations like 'not found'/'为空'."},"confidence":{"type":"number"},)"
              R"("page":{"type":"integer"}},"required":["text","confidence","page"]}}},"required":["items"]}}}])");
}

TEST_F(OcrTest, DirectPathKeepsTheModelsOrderAndCleansTheItems) {
    const Json items = {
        {{"text", "second row"}, {"confidence", 0.5}, {"page", 1}},
        {{"text", " first row "}, {"page", 3}},  // one image: page 1
        {{"text", "first row"}, {"page", 0}},
        {{"text", 42}, {"confidence", "0.9"}},
        {{"text", 12.5}},
        {{"text", "   "}},
        {{"text", false}},
        {{"page", 1}},
        Json::array({"x"}),
    };
    Json result = answer("return_texts", items, "all rows", {shot_a});
    EXPECT_EQ(testsupport::keys_of(result), (std::vector<std::string>{"mode", "text", "pages", "items"}));
    EXPECT_EQ(result["mode"], "ocr");
    EXPECT_EQ(result["text"], "second row\nfirst row\nfirst row\n42\n12.5");
    EXPECT_EQ(dump_json(result["items"]),
              R"([{"text":"second row","confidence":0.5,"page":1},{"text":"first row","confidence":0.0,"page":1},)"
              R"({"text":"first row","confidence":0.0,"page":1},{"text":"42","confidence":0.9,"page":1},)"
              R"({"text":"12.5","confidence":0.0,"page":1}])");
    EXPECT_EQ(dump_json(result["pages"]), R"([{"page":1,"image_path":")" + shot_a + R"(","image_dimensions":[50,100]}])");

    // With two images pages are clamped to 2; "items" that is not a list is no item.
    result = answer("return_texts", {{{"text", "x"}, {"page", 9}}}, "all", {shot_a, shot_b});
    EXPECT_EQ(result["items"][0]["page"], 2);
    result = answer("return_texts", "x", "all", {shot_a, shot_b});
    EXPECT_EQ(result["items"], Json::array());
    EXPECT_EQ(result["text"], "");
    EXPECT_EQ(result["pages"].size(), 2u);

    EXPECT_THROW_MSG(answer("return_texts", {{{"text", "x"}, {"page", "first"}}}, "all", {shot_a}), ConversionError,
                     "Invalid items[0].page in the model's answer: invalid literal for int() with base 10: 'first'");
    EXPECT_THROW_MSG(answer("return_text_bboxes", Json::array(), "all", {shot_a}), ValueError,
                     "Tool call 'return_texts' not found");
}

TEST_F(OcrTest, AnAnchoredRequestGoesThroughTheBoxesAndDropsThem) {
    const Json located = {
        {{"text", "4.56"}, {"bounding_box", {600, 700, 700, 720}}, {"confidence", 0.8}, {"page", 2}},
        {{"text", "NGX"}, {"bounding_box", {100, 500, 300, 520}}, {"confidence", 0.9}, {"page", 2}},
        {{"text", "1.23"}, {"bounding_box", {600, 500, 700, 520}}, {"confidence", 0.7}, {"page", 2}},
        {{"text", "9.99"}, {"bounding_box", {800, 498, 900, 518}}, {"page", 2}},
        {{"text", "0.01"}, {"bounding_box", {600, 500, 700, 520}}, {"page", 1}},
    };
    for (const std::string prompt : {"NGX对应的数值", "price for NGX"}) {
        Json result = answer("return_text_bboxes", located, prompt, {shot_a, shot_b});
        // One request, with the tool that asks for boxes.
        EXPECT_EQ(server.requests().back().json.value()["tools"][0]["function"]["name"], "return_text_bboxes");
        EXPECT_EQ(result["mode"], "ocr");
        EXPECT_EQ(dump_json(result["items"]),
                  R"([{"text":"9.99","confidence":0.0,"page":2},{"text":"1.23","confidence":0.7,"page":2}])");
        EXPECT_EQ(result["text"], "9.99\n1.23");
        EXPECT_EQ(result["pages"].size(), 2u);
        EXPECT_FALSE(result.contains("annotated_images"));
    }
    // The label was not seen: nothing.
    Json result = answer("return_text_bboxes", Json::array({located[0], located[2]}), "NGX对应的数值", {shot_a});
    EXPECT_EQ(result["items"], Json::array());
    EXPECT_EQ(server.requests().size(), 3u);

    // Ordinary English requests are not anchored and take the direct path.
    for (const std::string prompt : {"copy all of the text on the screen", "list of apps", "total for this month"}) {
        result = answer("return_texts", {{{"text", "Total"}}}, prompt, {shot_a});
        EXPECT_EQ(server.requests().back().json.value()["tools"][0]["function"]["name"], "return_texts") << prompt;
        EXPECT_EQ(result["text"], "Total");
    }
}

TEST_F(OcrTest, RunWritesNothingButACapture) {
    server.enqueue(testsupport::tool_reply("return_text_bboxes", {{"items", {{{"text", "NGX"}, {"bounding_box", {1, 2, 3, 4}}}}}}));
    ModeArgs args;
    args.llm = &llm;
    args.prompt = "NGX对应的价格";
    args.image_paths = {shot_a};
    args.output_dir = dir.file("out");
    args.device_id = "NO-SUCH-DEVICE";
    Json result = ocr::run(args);
    EXPECT_EQ(result["items"], Json::array());
    EXPECT_FALSE(stdfs::exists(dir.file("out")));
    EXPECT_THROW_MSG(ocr::ocr_text(llm, "x", {}), ValueError, "ocr_text needs at least one image");
    EXPECT_THROW(ocr::run(ModeArgs{}), ValueError);  // no model client
}

}  // namespace
