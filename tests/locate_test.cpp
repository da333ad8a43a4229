// The locate mode and the message helpers, against the scripted chat-completions
// server over real HTTP.
#include <droidlens/errors.hpp>

#include "modes/locate.hpp"
#include "query_support.hpp"

using namespace droidlens;

namespace {

class LocateTest : public testsupport::ScreenQueryTest {
protected:
    Json answer(const Json& arguments, const std::vector<std::string>& paths,
                const std::optional<std::string>& out = std::nullopt) {
        server.enqueue(testsupport::tool_reply("return_target", arguments));
        return locate::locate_element(llm, "the OK button", paths, 95, 1.0, out);
    }
};

TEST_F(LocateTest, SendsTheSystemTextTheRequestAndOneNumberedImageMessagePerScreenshot) {
    Json result = answer({{"label", "OK"}, {"bounding_box", {1, 2, 3, 4}}, {"confidence", 0.9}, {"page", 1}},
                         {shot_a, shot_b});
    const Json body = testsupport::only_request(server);
    EXPECT_EQ(body["temperature"], 0.1);
    EXPECT_EQ(dump_json(body["tool_choice"]), R"({"type":"function","function":{"name":"return_target"}})");
    EXPECT_EQ(dump_json(body["tools"]),
              R"([{"type":"function","function":{"name":"return_target","description":"Return the target element )"
              R"(location for the user request.","parameters":{"type":"object","properties":{"label":{"type":)"
              R"("string"},"bounding_box":{"type":"array","items":{"type":"number"},"description":"XYXY in )"
              R"(0-1000 relative coordinates."},"confidence":{"type":"number"},"page":{"type":"integer"}},)"
              R"("required":["label","bounding_box","confidence","page"]}}}])");

    const Json& m = body["messages"];
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(dump_json(m[0]),
              R"({"role":"system","content":[{"type":"text","text":"Find the UI element for the user request. )"
              R"(Return bounding_box as [x1,y1,x2,y2] in 0-1000 relative coordinates."}]})");
    EXPECT_EQ(dump_json(m[1]), R"({"role":"user","content":[{"type":"text","text":"User request: the OK button"}]})");
    for (int page : {1, 2}) {
        const Json& msg = m[page + 1];
        EXPECT_EQ(testsupport::keys_of(msg), (std::vector<std::string>{"role", "content"}));
        EXPECT_EQ(msg["role"], "user");
        ASSERT_EQ(msg["content"].size(), 2u);
        EXPECT_EQ(dump_json(msg["content"][0]),
                  R"({"type":"text","text":"Screenshot (page=)" + std::to_string(page) + R"():"})");
        EXPECT_EQ(testsupport::keys_of(msg["content"][1]), (std::vector<std::string>{"type", "image_url"}));
    }
    // The images are the screenshots themselves, in order, unscaled.
    const auto images = testsupport::request_images(body);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_TRUE(testsupport::same_pixels(images[0], image::load_rgb(shot_a)));
    EXPECT_TRUE(testsupport::same_pixels(images[1], image::load_rgb(shot_b)));

    EXPECT_EQ(testsupport::keys_of(result), (std::vector<std::string>{"label", "bounding_box", "confidence", "page",
                                                                      "image_dimensions", "mode"}));
    EXPECT_EQ(result["image_dimensions"], Json::parse("[[50, 100], [100, 50]]"));
    EXPECT_EQ(result["mode"], "locate");
}

TEST_F(LocateTest, ThePageOfTheAnswerChoosesTheAnnotatedScreenshot) {
    const std::string out = dir.file("out");
    struct Case {
        Json page;
        std::string stem;  // of the screenshot that gets annotated
    };
    for (const Case& c : std::vector<Case>{{0, "a"}, {-3, "a"}, {1, "a"}, {2, "b"}, {7, "b"},
                                           {2.9, "b"}, {" 2 ", "b"}, {true, "a"}}) {
        Json result = answer({{"label", "OK"}, {"bounding_box", {100, 100, 900, 900}}, {"page", c.page}},
                             {shot_a, shot_b}, out);
        EXPECT_EQ(result["annotated_image_path"], out + "/" + c.stem + "_locate.png") << c.page;
        // The model's values come back as given.
        EXPECT_EQ(result["page"], c.page);
    }
    // No page at all: the first screenshot.
    Json result = answer({{"bounding_box", {0, 0, 1000, 1000}}}, {shot_a, shot_b}, out);
    EXPECT_EQ(result["annotated_image_path"], out + "/a_locate.png");
    // The drawing is on the unscaled screenshot, in its own pixels.
    const image::Raster drawn = image::load_rgb(out + "/a_locate.png");
    EXPECT_EQ(drawn.width(), 50);
    EXPECT_EQ(drawn.height(), 100);
    EXPECT_EQ(testsupport::rgb_of(drawn, 49, 99), (testsupport::Rgb{0, 255, 0}));
}

TEST_F(LocateTest, AnswersWithoutAUsableBoxAreUnusableAnswers) {
    const std::string out = dir.file("out");
    // A box of five numbers, a missing box, a box that is not a list: an unusable
    // answer (exit status 5), and no file.
    for (const Json& box : {Json{1, 2, 3, 4, 5}, Json(nullptr), Json("1,2,3,4"), Json::array()}) {
        Json args = {{"label", "OK"}, {"page", 1}};
        if (!box.is_null()) args["bounding_box"] = box;
        EXPECT_THROW(answer(args, {shot_a}, out), ModelAnswerError) << box;
    }
    EXPECT_FALSE(stdfs::exists(out));

    // A path the model made up does not pass for a written file.
    Json result = answer({{"bounding_box", {1, 2, 3, 4}}, {"annotated_image_path", "/etc/passwd"}, {"mode", "x"}},
                         {shot_a}, std::nullopt);
    EXPECT_FALSE(result.contains("annotated_image_path"));
    EXPECT_EQ(result["mode"], "locate");

    // Without an output directory (absent or empty) nothing is written.
    for (const auto& none : {std::optional<std::string>(), std::optional<std::string>("")}) {
        Json r = answer({{"bounding_box", {1, 2, 3, 4}}, {"page", 1}}, {shot_a}, none);
        EXPECT_FALSE(r.contains("annotated_image_path"));
    }
    EXPECT_EQ(testsupport::files_in(dir.path()), (std::vector<std::string>{"a.png", "b.png"}));
}

TEST_F(LocateTest, FileSystemErrorsDropTheAnnotationOtherErrorsFail) {
    // An output directory that cannot be created: the answer still comes back.
    testsupport::write_text(dir.file("blocker"), "a file, not a directory");
    Json result = answer({{"bounding_box", {1, 2, 3, 4}}, {"page", 1}}, {shot_a}, dir.file("blocker/out"));
    EXPECT_EQ(result["bounding_box"], Json({1, 2, 3, 4}));
    EXPECT_FALSE(result.contains("annotated_image_path"));

    // The screenshot goes away while the model thinks.
    const std::string doomed = dir.file("doomed.png");
    testsupport::write_text(doomed, testsupport::tiny_png(10, 10));
    fakes::FakeChatServer removing(0, [&](const fakes::RecordedRequest&) { stdfs::remove(doomed); });
    Modelwire llm2(testsupport::fake_model_config(removing));
    removing.enqueue(testsupport::tool_reply("return_target", {{"bounding_box", {1, 2, 3, 4}}}));
    result = locate::locate_element(llm2, "x", {doomed}, 95, 1.0, dir.file("out"));
    EXPECT_FALSE(result.contains("annotated_image_path"));
    EXPECT_FALSE(stdfs::exists(dir.file("out/doomed_locate.png")));

    // Values the drawing or the page reading cannot use fail with a message naming them.
    const std::string out = dir.file("out");
    EXPECT_THROW_MSG(answer({{"bounding_box", {1, 2, 3, 4}}, {"page", nullptr}}, {shot_a}, out), ConversionError,
                     "Invalid page in the model's answer: int() argument must be a string or a real number, not "
                     "'NoneType'");
    EXPECT_THROW_MSG(answer({{"bounding_box", {1, 2, 3, 4}}, {"page", "two"}}, {shot_a}, out), ConversionError,
                     "Invalid page in the model's answer: invalid literal for int() with base 10: 'two'");
    EXPECT_THROW_MSG(answer({{"bounding_box", {1, "2", 3, 4}}}, {shot_a}, out), TypeError,
                     "bounding_box[1] of the model's answer is not a number: \"2\"");
    // Without an output directory the same answers are returned as they are.
    EXPECT_EQ(answer({{"bounding_box", {1, 2, 3, 4}}, {"page", nullptr}}, {shot_a})["page"], nullptr);
}

TEST_F(LocateTest, BrokenResponsesFailWithTheirOwnMessages) {
    auto with_reply = [&](fakes::ScriptedReply reply) {
        server.enqueue(std::move(reply));
        return locate::locate_element(llm, "the OK button", {shot_a});
    };
    EXPECT_THROW_MSG(with_reply(fakes::empty_choices_reply()), ValueError, "Empty LLM response");
    EXPECT_THROW_MSG(with_reply(fakes::text_reply("The OK button is at the bottom.")), ValueError,
                     "Tool call 'return_target' not found");
    EXPECT_THROW_MSG(with_reply(fakes::tool_call_reply("return_texts", "{}")), ValueError,
                     "Tool call 'return_target' not found");
    EXPECT_THROW_MSG(with_reply(fakes::tool_call_reply("return_target", "[1, 2]")), TypeError,
                     "Expected dict, got list");
    EXPECT_THROW_MSG(with_reply(fakes::tool_call_reply("return_target", "\"text\"")), TypeError,
                     "Expected dict, got str");
    try {
        with_reply(fakes::tool_call_reply("return_target", "{\"label\": \"OK\""));
        ADD_FAILURE() << "expected JsonParseError";
    } catch (const JsonParseError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Arguments of tool call 'return_target' are not valid JSON: ", 0), 0u)
            << e.what();
    }
    // A number no double holds is refused like any other unreadable argument text.
    EXPECT_THROW(with_reply(fakes::tool_call_reply("return_target", "{\"page\": 1e400}")), JsonParseError);
    EXPECT_EQ(server.pending(), 0u);
}

TEST(ExtractToolArgs, WalksTheToolCallsOfTheFirstChoice) {
    auto response = [](const Json& calls) {
        return Json{{"choices", Json::array({{{"message", {{"role", "assistant"}, {"tool_calls", calls}}}}})}};
    };
    auto call = [](const std::string& name, const Json& arguments) {
        return Json{{"type", "function"}, {"function", {{"name", name}, {"arguments", arguments}}}};
    };
    // The first call of the named tool wins; other tools and junk entries are passed over.
    Json calls = Json::array({call("other", "{\"a\": 1}"), 5, {{"function", "x"}}, call("wanted", "{\"b\": 2}"),
                              call("wanted", "{\"c\": 3}")});
    EXPECT_EQ(locate::_extract_tool_args(response(calls), "wanted"), Json({{"b", 2}}));
    // Arguments that arrive as an object are taken as they are.
    EXPECT_EQ(locate::_extract_tool_args(response(Json::array({call("t", {{"x", 1}})})), "t"), Json({{"x", 1}}));
    EXPECT_THROW_MSG(locate::_extract_tool_args(response(Json::array({call("t", nullptr)})), "t"), TypeError,
                     "Expected dict, got NoneType");
    EXPECT_THROW_MSG(locate::_extract_tool_args(response(nullptr), "t"), ValueError, "Tool call 't' not found");
    EXPECT_THROW_MSG(locate::_extract_tool_args(Json::object(), "t"), ValueError, "Empty LLM response");
    EXPECT_THROW_MSG(locate::_extract_tool_args(Json{{"choices", nullptr}}, "t"), ValueError, "Empty LLM response");
    EXPECT_THROW_MSG(locate::_extract_tool_args(Json{{"choices", "x"}}, "t"), ValueError,
                     "Malformed LLM response: 'choices' is str, not a list");
    EXPECT_THROW_MSG(locate::_extract_tool_args(Json{{"choices", {1}}}, "t"), ValueError,
                     "Malformed LLM response: the first choice has no message object");
    EXPECT_THROW_MSG(locate::_extract_tool_args(response("x"), "t"), ValueError,
                     "Malformed LLM response: 'tool_calls' is str, not a list");
}

TEST_F(LocateTest, UnreadableScreenshotsFailBeforeTheModelIsAsked) {
    testsupport::write_text(dir.file("junk.png"), "not an image");
    EXPECT_THROW(locate::locate_element(llm, "x", {shot_a, dir.file("junk.png")}), ImageError);
    EXPECT_THROW_MSG(locate::locate_element(llm, "x", {dir.file("missing.png")}), FileSystemError,
                     "No such file or directory: '" + dir.file("missing.png") + "'");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(LocateTest, RunWithoutImagesCapturesTheDeviceScreen) {
    REQUIRE_SHARED_FIXTURE(screen, "screenshots/evilinsult_language-dialog_617x1280.jpg");
    // The device's screencap is a PNG; make one from the real screenshot.
    const std::string png = dir.file("device.png");
    image::write_png(image::load_rgb(screen), png);
    testsupport::FakeAdb adb;
    adb.add_device("SER1", "device", "Pixel_7");
    adb.set_screencap_from("SER1", png);

    server.enqueue(testsupport::tool_reply("return_target", {{"label", "OK"}, {"bounding_box", {10, 10, 20, 20}}}));
    ModeArgs args;
    args.llm = &llm;
    args.prompt = "the OK button";
    args.output_dir = dir.file("out");
    Json result = locate::run(args);

    const auto files = testsupport::files_in(dir.file("out"));
    ASSERT_EQ(files.size(), 2u);  // the capture and its annotated copy
    const std::string capture = dir.file("out/" + files[0]);
    EXPECT_EQ(result["annotated_image_path"], dir.file("out/" + files[0].substr(0, 15) + "_locate.png"));
    EXPECT_EQ(result["image_dimensions"], Json::parse("[[617, 1280]]"));
    const auto images = testsupport::request_images(testsupport::only_request(server));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(testsupport::same_pixels(images[0], image::load_rgb(png)));
    EXPECT_EQ(testsupport::read_text(capture), testsupport::read_text(png));
}

}  // namespace
