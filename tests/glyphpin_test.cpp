// The glyphpin mode and the anchor-label functions; the mode against the scripted
// chat-completions server over real HTTP.
#include <droidlens/errors.hpp>

#include "modes/common.hpp"
#include "modes/glyphpin.hpp"
#include "query_support.hpp"

using namespace droidlens;
using glyphpin::_extract_anchor_label;
using glyphpin::_filter_items_for_anchor;
using glyphpin::_normalize_label;

namespace {

const std::string kSystemEn =
    "You are an OCR locator. Find the requested text on the screenshot.\n"
    "Rules:\n"
    "- Return a JSON tool call with an `items` array.\n"
    "- Each item is one matching value copied from the screenshot, with its `bounding_box`.\n"
    "- If multiple matches exist, include them all in reading order (top-to-bottom, left-to-right).\n"
    "- If nothing matches, return `items`: [] (empty list).\n"
    "- If the request references a specific key/row label (e.g., \"NGX\"), include that label as an item with its "
    "bounding_box so row alignment can be verified.\n"
    "- Do not add any extra words like \"not found\" or \"empty\".\n";

const std::string kSystemCn =
    "你是 OCR 文本定位器：在截图中找到用户要的文字和值。\n"
    "规则：\n"
    "- 返回一个包含 `items` 数组的 JSON tool call。\n"
    "- 每个 item 必须包含：`text`（截图中真实可见原文，逐字抄写）、`bounding_box`（0-1000 相对坐标，XYXY）、"
    "`confidence`、`page`。\n"
    "- 如果存在多个匹配，按从上到下、从左到右的阅读顺序全部返回。\n"
    "- 如果没有任何匹配，返回 `items`: []（空数组）。\n"
    "- 如果请求包含特定的关键标识/行名（例如'NGX对应...'），请把该标识及其 bounding_box 也作为一条 item 返回，"
    "便于做行对齐校验。\n"
    "- 不要输出任何额外解释（例如'为空/不存在/未找到/无/N/A'等）。\n";

Json item(const std::string& text, const Json& box, double confidence = 0.0, std::int64_t page = 1) {
    return {{"text", text}, {"bounding_box", box}, {"confidence", confidence}, {"page", page}};
}

std::vector<std::string> texts(const Json& items) {
    std::vector<std::string> out;
    for (const Json& i : items) out.push_back(i["text"].get<std::string>());
    return out;
}

TEST(AnchorLabel, ChineseAndEnglishForms) {
    struct Case {
        const char* prompt;
        std::optional<std::string> label;
    };
    const std::vector<Case> cases = {
        {"找到NGX对应的价格", "NGX"},
        {"查找 ngx 对应", "ngx"},  // the Chinese form takes any ASCII code, case kept
        {"NGX对应的价格是多少", "NGX"},
        {"price for ABC-1 and value of XYZ", "ABC-1"},
        {"total of X9", "X9"},
        {"FOR NGX", "NGX"},
        {"the price for X_1 please", "X_1"},
        {"price for NGX, then 找到ABC对应", "ABC"},  // the Chinese form is tried first
        {"价格for NGX", std::nullopt},           // no word boundary between 格 and for
        {"for 价格", std::nullopt},
        {"what is on the screen", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(_extract_anchor_label(c.prompt), c.label) << c.prompt;
}

TEST(AnchorLabel, EnglishFormsTakeOnlyCodeLikeLabels) {
    struct Case {
        const char* prompt;
        std::optional<std::string> label;
    };
    const std::vector<Case> cases = {
        // Ordinary words after "for" / "of" name no anchor...
        {"copy all of the text on the screen", std::nullopt},
        {"list of apps", std::nullopt},
        {"total for this month", std::nullopt},
        {"what is the price for ngx", std::nullopt},
        // ...a later match of the same form is still found...
        {"rate for this and for NGX", "NGX"},
        {"one of many of the values of ab12", "ab12"},
        // ...and after a refused "for" word the "of" form is tried.
        {"total for this month of X9", "X9"},
        {"price for the row of Ngx", "Ngx"},
    };
    for (const Case& c : cases) EXPECT_EQ(_extract_anchor_label(c.prompt), c.label) << c.prompt;
    EXPECT_THROW(_extract_anchor_label("price for \xff"), ValueError);
}

TEST(AnchorLabel, NormalizingRemovesUnicodeWhiteSpaceAndLowerCases) {
    EXPECT_EQ(_normalize_label(" N G X\u3000"), "ngx");
    EXPECT_EQ(_normalize_label("NGX 01"), "ngx01");
    EXPECT_EQ(_normalize_label("a\tb\nc\u00a0d\u2003e"), "abcde");
    EXPECT_EQ(_normalize_label("ÄÖÜ Straße ΑΒΓ"), "äöüstraßeαβγ");
    EXPECT_EQ(_normalize_label("价格 NGX"), "价格ngx");
    EXPECT_EQ(_normalize_label(""), "");
    EXPECT_THROW_MSG(glyphpin::normalize_label_value(Json(5)), TypeError,
                     "Argument 'text' has incorrect type (expected str, got int)");
}

TEST(AnchorFilter, KeepsTheAnchorRowInInputOrder) {
    const Json items = {item("1.23", {400, 502, 500, 518}), item("NGX", {100, 500, 300, 520}, 0.9),
                        item("edge", {600, 535, 700, 545}),   // centre 540: on the band's edge
                        item("beyond", {600, 535, 700, 546}),  // centre 540.5: off the band
                        item("above", {600, 470, 700, 490}),   // centre 480: on the other edge
                        item("4.56", {400, 700, 500, 720})};
    const Json before = items;
    EXPECT_EQ(texts(_filter_items_for_anchor(items, "ngx")),
              (std::vector<std::string>{"1.23", "NGX", "edge", "above"}));
    EXPECT_EQ(items, before);
    EXPECT_TRUE(_filter_items_for_anchor(items, "ABC").empty());

    // A thin anchor still has a band of 12 units each way, not 1.5 x 4.
    const Json thin = {item("NGX", {100, 500, 300, 504}), item("in", {0, 508, 10, 520}),   // centre 514
                       item("out", {0, 509, 10, 521})};                                     // centre 515
    EXPECT_EQ(texts(_filter_items_for_anchor(thin, "NGX")), (std::vector<std::string>{"NGX", "in"}));
}

TEST(AnchorFilter, ChoosesTheMostConfidentCandidateOnItsPage) {
    const Json items = {item("NGX", {0, 100, 10, 120}, 0.5), item("a", {20, 100, 30, 120}),
                        item("N G X", {0, 600, 10, 620}, 0.9), item("b", {20, 600, 30, 620}),
                        item("c", {20, 600, 30, 620}, 0.0, 2)};  // right row, other page
    EXPECT_EQ(texts(_filter_items_for_anchor(items, "NGX")), (std::vector<std::string>{"N G X", "b"}));
    // Equal confidences: the first candidate.
    Json tie = items;
    tie[2]["confidence"] = 0.5;
    EXPECT_EQ(texts(_filter_items_for_anchor(tie, "NGX")), (std::vector<std::string>{"NGX", "a"}));
    // Page absent or 0 reads as 1, on the anchor and on the items.
    Json pages = {{{"text", "NGX"}, {"bounding_box", {0, 100, 10, 120}}},
                  {{"text", "x"}, {"bounding_box", {0, 100, 10, 120}}, {"page", 0}},
                  {{"text", "y"}, {"bounding_box", {0, 100, 10, 120}}, {"page", 1}}};
    EXPECT_EQ(texts(_filter_items_for_anchor(pages, "NGX")), (std::vector<std::string>{"NGX", "x", "y"}));
}

TEST(AnchorFilter, AnAnchorWithoutAUsableBoxKeepsNothing) {
    for (const Json& box : {Json{100, 500, 300}, Json{100, "500", 300, 520}, Json("box"), Json(nullptr)}) {
        Json items = {item("NGX", box), item("1.23", {400, 500, 500, 520})};
        EXPECT_TRUE(_filter_items_for_anchor(items, "NGX").empty()) << box;
    }
    // Booleans count as numbers; items with unusable boxes are passed over.
    Json items = {item("NGX", {false, true, 1, 20}), item("bad", {1, 2, 3}), item("ok", {0, 0, 10, 20})};
    EXPECT_EQ(texts(_filter_items_for_anchor(items, "NGX")), (std::vector<std::string>{"NGX", "ok"}));
}

class GlyphpinTest : public testsupport::ScreenQueryTest {
protected:
    Json answer(const Json& items, const std::string& prompt = "all prices",
                const std::vector<std::string>& paths = {}, const std::optional<std::string>& out = std::nullopt,
                const std::string& lang = "cn") {
        server.enqueue(testsupport::tool_reply("return_text_bboxes", {{"items", items}}));
        return glyphpin::glyphpin_text(llm, prompt, paths.empty() ? std::vector<std::string>{shot_a, shot_b} : paths,
                                       95, 1.0, out, lang);
    }
};

TEST_F(GlyphpinTest, SendsThePromptOfTheLanguageAndTheToolAtTemperatureZero) {
    for (const auto& [lang, system, label] :
         std::vector<std::tuple<std::string, std::string, std::string>>{{"en", kSystemEn, "User request"},
                                                                        {"cn", kSystemCn, "用户请求"},
                                                                        {"EN", kSystemCn, "用户请求"},
                                                                        {"fr", kSystemCn, "用户请求"}}) {
        answer(Json::array(), "NGX对应的价格", {}, std::nullopt, lang);
        const Json body = server.requests().back().json.value();
        EXPECT_EQ(body["temperature"], 0.0);
        EXPECT_TRUE(body["temperature"].is_number_float());
        EXPECT_EQ(dump_json(body["tool_choice"]), R"({"type":"function","function":{"name":"return_text_bboxes"}})");
        const Json& m = body["messages"];
        ASSERT_EQ(m.size(), 4u);
        EXPECT_EQ(m[0], common::text_message("system", system)) << lang;
        EXPECT_EQ(m[1], common::text_message("user", label + ": NGX对应的价格"));
        EXPECT_EQ(m[2]["content"][0]["text"], "Screenshot (page=1):");
        EXPECT_EQ(m[3]["content"][0]["text"], "Screenshot (page=2):");
    }
    EXPECT_EQ(dump_json(server.requests().back().json.value()["tools"]),
              R"([{"type":"function","function":{"name":"return_text_bboxes","description":"Return all extracted )"
              R"(values (copied from the screenshot) and their bounding boxes. If there are multiple matches, )"
              R"(return them all; if none, return an empty list.","parameters":{"type":"object","properties":)"
              R"({"items":{"type":"array","description":"List of extracted values and their bounding boxes in )"
              R"(reading order (top-to-bottom, left-to-right). Return [] if no match.","items":{"type":"object",)"
              R"("properties":{"text":{"type":"string","description":"Copy the value from the screenshot )"
              R"(verbatim. Do not add any extra words."},"bounding_box":{"type":"array","items":{"type":)"
              R"("number"},"description":"XYXY in 0-1000 relative coordinates."},"confidence":{"type":"number"},)"
              R"("page":{"type":"integer"}},"required":["text","bounding_box","confidence","page"]}}},)"
              R"("required":["items"]}}}])");
}

TEST_F(GlyphpinTest, CleansClampsAndOrdersTheItems) {
    const Json items = {
        {{"text", "  12.5 "}, {"bounding_box", {10, 20, 30, 40}}},               // defaults: 0.0, page 1
        {{"text", "late"}, {"bounding_box", {0, 300, 10, 310}}, {"page", 1}},
        {{"text", "p2"}, {"bounding_box", {0, 50, 10, 60}}, {"page", 5}},        // clamped to 2
        {{"text", "early"}, {"bounding_box", {50, 100, 60, 110}}, {"page", 0}},  // raised to 1
        {{"text", "left"}, {"bounding_box", {5, 100, 6, 110}}, {"page", -3}, {"confidence", "0.75"}},
        {{"text", 42}, {"bounding_box", {1, 2, 3, 4}}, {"page", "1"}, {"confidence", 1}},
        {{"text", "zero"}, {"bounding_box", {0, 0, 0, 0}}},
        {{"text", "almost zero"}, {"bounding_box", {0, 0, 0, 1}}},
        {{"text", "no box"}},
        {{"text", "five"}, {"bounding_box", {1, 2, 3, 4, 5}}},
        {{"text", "strings"}, {"bounding_box", {"1", 2, 3, 4}}},
        {{"text", "\u3000 \t"}, {"bounding_box", {1, 2, 3, 4}}},
        {{"text", nullptr}, {"bounding_box", {1, 2, 3, 4}}},
        {{"bounding_box", {1, 2, 3, 4}}},
        "not a mapping",
        {{"text", "dup"}, {"bounding_box", {10, 20, 30, 40}}, {"page", 2.7}},
        {{"text", "dup"}, {"bounding_box", {10, 20, 30, 40}}, {"page", 2}},
    };
    Json result = answer(items);
    EXPECT_EQ(testsupport::keys_of(result), (std::vector<std::string>{"mode", "text", "pages", "items"}));
    EXPECT_EQ(result["mode"], "glyphpin");
    EXPECT_EQ(texts(result["items"]),
              (std::vector<std::string>{"almost zero", "42", "12.5", "left", "early", "late", "dup", "dup", "p2"}));
    EXPECT_EQ(result["text"], "almost zero\n42\n12.5\nleft\nearly\nlate\ndup\ndup\np2");
    EXPECT_EQ(dump_json(result["items"][2]),
              R"({"text":"12.5","bounding_box":[10,20,30,40],"confidence":0.0,"page":1})");
    EXPECT_EQ(result["items"][3]["confidence"], 0.75);
    EXPECT_EQ(result["items"][1]["confidence"], 1.0);
    EXPECT_EQ(result["items"][8]["page"], 2);
    EXPECT_EQ(dump_json(result["pages"]),
              R"([{"page":1,"image_path":")" + shot_a + R"(","image_dimensions":[50,100]},)"
              R"({"page":2,"image_path":")" + shot_b + R"(","image_dimensions":[100,50]}])");

    // With one screenshot every page is 1.
    Json one = answer({{{"text", "x"}, {"bounding_box", {1, 2, 3, 4}}, {"page", 9}}}, "x", {shot_a});
    EXPECT_EQ(one["items"][0]["page"], 1);
}

TEST_F(GlyphpinTest, EmptyOrMalformedItemListsGiveAnEmptyResult) {
    for (const Json& arguments : {Json::object(), Json{{"items", "1.23"}}, Json{{"items", {{"a", 1}}}},
                                  Json{{"items", nullptr}}}) {
        server.enqueue(testsupport::tool_reply("return_text_bboxes", arguments));
        Json result = glyphpin::glyphpin_text(llm, "all prices", {shot_a, shot_b}, 95, 1.0, dir.file("out"));
        EXPECT_EQ(result["items"], Json::array()) << arguments;
        EXPECT_EQ(result["text"], "");
        EXPECT_EQ(result["pages"].size(), 2u);
        EXPECT_FALSE(result.contains("annotated_images"));
    }
    EXPECT_FALSE(stdfs::exists(dir.file("out")));
}

TEST_F(GlyphpinTest, UnconvertiblePagesAndConfidencesFailNamingTheItem) {
    EXPECT_THROW_MSG(answer({{{"text", "a"}, {"bounding_box", {1, 2, 3, 4}}, {"page", nullptr}}}), ConversionError,
                     "Invalid items[0].page in the model's answer: int() argument must be a string or a real "
                     "number, not 'NoneType'");
    EXPECT_THROW_MSG(answer({{{"text", "a"}, {"bounding_box", {1, 2, 3, 4}}},
                             {{"text", "b"}, {"bounding_box", {1, 2, 3, 4}}, {"confidence", "high"}}}),
                     ConversionError,
                     "Invalid items[1].confidence in the model's answer: could not convert string to float: 'high'");
    EXPECT_THROW(answer({{{"text", "a"}, {"bounding_box", {1, 2, 3, 4}}, {"page", 1e300}}}), ConversionError);
    EXPECT_THROW(answer({{{"text", "a"}, {"bounding_box", {1, 2, 3, 4}}, {"page", "NaN"}}}), ConversionError);
    EXPECT_THROW(answer({{{"text", "a"}, {"bounding_box", {1, 2, 3, 4}}, {"page", {{"n", 1}}}}}), ConversionError);
    // Huge and negative-zero box values are kept as the model gave them.
    Json result = answer({{{"text", "a"}, {"bounding_box", {-0.0, 1e308, 18446744073709551615u, 4}}}});
    EXPECT_EQ(result["items"][0]["bounding_box"][1], 1e308);
}

TEST_F(GlyphpinTest, AnAnchorKeepsTheValuesOnItsRowWithoutTheLabel) {
    const Json items = {item("NGX", {100, 500, 300, 520}, 0.9), item("1.23", {600, 500, 700, 520}, 0.8),
                        item("4.56", {600, 700, 700, 720}, 0.8), item("ngx", {100, 505, 200, 515}, 0.1)};
    Json result = answer(items, "NGX对应的价格是多少", {shot_a});
    EXPECT_EQ(texts(result["items"]), (std::vector<std::string>{"1.23"}));
    EXPECT_EQ(result["text"], "1.23");
    // The label was not seen: nothing is returned rather than values of any row.
    result = answer(Json::array({items[1], items[2]}), "price for NGX", {shot_a});
    EXPECT_EQ(result["items"], Json::array());
    EXPECT_EQ(result["text"], "");
    // An ordinary English request is not anchored: every value comes back.
    result = answer(items, "list of prices", {shot_a});
    EXPECT_EQ(result["items"].size(), 4u);
}

TEST_F(GlyphpinTest, WritesOneAnnotatedCopyPerPageInPageOrder) {
    const std::string out = dir.file("out");
    Json result = answer({item("b", {100, 100, 300, 300}, 0.5, 2), item("a", {0, 0, 1000, 1000}, 0.5, 1),
                          item("c", {500, 500, 900, 900}, 0.5, 2)},
                         "all", {}, out);
    EXPECT_EQ(dump_json(result["annotated_images"]),
              R"([{"page":1,"annotated_image_path":")" + out + R"(/a_glyphpin-p1.png"},)"
              R"({"page":2,"annotated_image_path":")" + out + R"(/b_glyphpin-p2.png"}])");
    EXPECT_EQ(testsupport::files_in(out), (std::vector<std::string>{"a_glyphpin-p1.png", "b_glyphpin-p2.png"}));
    const image::Raster page1 = image::load_rgb(out + "/a_glyphpin-p1.png");
    EXPECT_EQ(testsupport::rgb_of(page1, 49, 99), (testsupport::Rgb{0, 255, 0}));  // the first palette colour
    const image::Raster page2 = image::load_rgb(out + "/b_glyphpin-p2.png");
    EXPECT_EQ(testsupport::rgb_of(page2, 10, 5), (testsupport::Rgb{0, 255, 0}));   // b's top-left corner
    EXPECT_EQ(testsupport::rgb_of(page2, 50, 25), (testsupport::Rgb{255, 0, 0}));  // c's, in the second colour (red)

    // An output directory that cannot be written: the result without the copies.
    testsupport::write_text(dir.file("blocker"), "x");
    result = answer(Json::array({item("a", {1, 2, 3, 4})}), "all", {}, dir.file("blocker/out"));
    EXPECT_EQ(texts(result["items"]), (std::vector<std::string>{"a"}));
    EXPECT_FALSE(result.contains("annotated_images"));
    EXPECT_EQ(testsupport::files_in(dir.path()), (std::vector<std::string>{"a.png", "b.png", "blocker", "out"}));
}

TEST_F(GlyphpinTest, RunUsesTheGivenImagesAndTheCommonOptions) {
    server.enqueue(testsupport::tool_reply("return_text_bboxes", {{"items", {item("a", {1, 2, 3, 4})}}}));
    ModeArgs args;
    args.llm = &llm;
    args.prompt = "the total";
    args.image_paths = {shot_b};
    args.output_dir = dir.file("out");
    args.lang = "en";
    args.device_id = "NO-SUCH-DEVICE";  // never looked up when images are given
    Json result = glyphpin::run(args);
    EXPECT_EQ(result["annotated_images"][0]["annotated_image_path"], dir.file("out/b_glyphpin-p1.png"));
    EXPECT_EQ(testsupport::only_request(server)["messages"][1]["content"][0]["text"], "User request: the total");
    EXPECT_THROW_MSG(glyphpin::glyphpin_text(llm, "x", {}), ValueError, "glyphpin_text needs at least one image");
}

}  // namespace
