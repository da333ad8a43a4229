// `droidlens locate|glyphpin|ocr` end to end: the real command as a child process,
// a real HTTP round trip to the scripted model server, real screenshots, and the
// simulated device when no image is given.
#include <droidlens/json.hpp>

#include "query_support.hpp"
#include "utils/subprocess.hpp"

#include <array>
#include <optional>
#include <sstream>

using namespace droidlens;
using testsupport::TempDir;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// A scripted model server and a configuration file that points the command at it
// (child processes get no model settings from the environment, and the key stays
// off the command line).
class QueryCliTest : public ::testing::Test {
protected:
    TempDir dir;
    fakes::FakeChatServer server;
    std::string config = dir.file("model.json");

    void SetUp() override {
        const Json settings = {{"base_url", server.base_url()}, {"api_key", testsupport::kQueryApiKey},
                               {"model", "vision-model"}, {"timeout", 20}};
        testsupport::write_text(config, settings.dump());
    }

    CliRun droidlens_cli(std::vector<std::string> args) {
        args.insert(args.begin(), DROIDLENS_CLI);
        args.insert(args.end(), {"--config", config});
        auto r = proc::run_process(args, std::chrono::seconds(60));
        // Whatever happens, the key is never shown.
        EXPECT_EQ(r.stdout_data.find(testsupport::kQueryApiKey), std::string::npos);
        EXPECT_EQ(r.stderr_data.find(testsupport::kQueryApiKey), std::string::npos);
        return {r.exit_code, r.stdout_data, r.stderr_data};
    }

    Json ok_json(const CliRun& r) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.status == 0 ? Json::parse(r.out) : Json::object();
    }
};

TEST_F(QueryCliTest, LocateAPngScreenshot) {
    REQUIRE_SHARED_FIXTURE(shot, "screenshots/collegecompanion_dashboard_1080x2400.png");
    server.enqueue(testsupport::tool_reply(
        "return_target", {{"label", "Search"}, {"bounding_box", {850, 40, 950, 80}}, {"confidence", 0.93}, {"page", 1}}));
    const std::string out = dir.file("out");
    Json j = ok_json(droidlens_cli({"locate", "the search button", "-i", shot, "-o", out}));
    EXPECT_EQ(testsupport::keys_of(j), (std::vector<std::string>{"label", "bounding_box", "confidence", "page",
                                                                 "image_dimensions", "mode", "annotated_image_path"}));
    EXPECT_EQ(j["image_dimensions"], Json::parse("[[1080, 2400]]"));
    EXPECT_EQ(j["annotated_image_path"], out + "/collegecompanion_dashboard_1080x2400_locate.png");
    // The box is drawn in the screenshot's pixels: (850/1000)*1080 = 918, (40/1000)*2400 = 96.
    const image::Raster drawn = image::load_rgb(j["annotated_image_path"].get<std::string>());
    EXPECT_EQ(testsupport::rgb_of(drawn, 918, 96), (testsupport::Rgb{0, 255, 0}));

    const Json body = testsupport::only_request(server);
    EXPECT_EQ(body["model"], "vision-model");
    EXPECT_EQ(body["messages"][1]["content"][0]["text"], "User request: the search button");
    const auto images = testsupport::request_images(body);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(testsupport::same_pixels(images[0], image::load_rgb(shot)));
    EXPECT_EQ(server.requests()[0].header("authorization"), "Bearer " + testsupport::kQueryApiKey);
}

TEST_F(QueryCliTest, GlyphpinOverAPngAndAJpegPage) {
    REQUIRE_SHARED_FIXTURE(png, "screenshots/fossify-calculator_unit-converter_1080x2400.png");
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/todont_log_617x1280.jpg");
    const Json items = {
        {{"text", "NGX"}, {"bounding_box", {80, 400, 300, 430}}, {"confidence", 0.9}, {"page", 2}},
        {{"text", "1.23"}, {"bounding_box", {700, 402, 900, 428}}, {"confidence", 0.8}, {"page", 2}},
        {{"text", "7.77"}, {"bounding_box", {700, 402, 900, 428}}, {"confidence", 0.8}, {"page", 1}},
    };
    server.enqueue(testsupport::tool_reply("return_text_bboxes", {{"items", items}}));
    const std::string out = dir.file("out");
    Json j = ok_json(droidlens_cli({"glyphpin", "NGX对应的价格", "-i", png, "-i", jpg, "-o", out}));
    EXPECT_EQ(j["mode"], "glyphpin");
    EXPECT_EQ(j["text"], "1.23");
    EXPECT_EQ(j["items"].size(), 1u);
    EXPECT_EQ(j["pages"][0]["image_dimensions"], Json::parse("[1080, 2400]"));
    EXPECT_EQ(j["pages"][1]["image_dimensions"], Json::parse("[617, 1280]"));
    EXPECT_EQ(j["pages"][1]["image_path"], jpg);
    ASSERT_EQ(j["annotated_images"].size(), 1u);
    EXPECT_EQ(j["annotated_images"][0]["page"], 2);
    EXPECT_EQ(j["annotated_images"][0]["annotated_image_path"], out + "/todont_log_617x1280_glyphpin-p2.png");
    EXPECT_EQ(testsupport::files_in(out), (std::vector<std::string>{"todont_log_617x1280_glyphpin-p2.png"}));

    const Json body = testsupport::only_request(server);
    EXPECT_EQ(body["messages"][1]["content"][0]["text"], "用户请求: NGX对应的价格");
    const auto images = testsupport::request_images(body);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_TRUE(testsupport::same_pixels(images[0], image::load_rgb(png)));
    EXPECT_TRUE(testsupport::same_pixels(images[1], image::load_rgb(jpg)));
}

TEST_F(QueryCliTest, OcrOfAJpegInEnglish) {
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/evilinsult_language-dialog_617x1280.jpg");
    server.enqueue(testsupport::tool_reply(
        "return_texts", {{"items", {{{"text", "English"}, {"confidence", 0.9}, {"page", 1}}, {{"text", "Deutsch"}}}}}));
    const std::string out = dir.file("out");
    Json j = ok_json(droidlens_cli({"ocr", "all prices", "-i", jpg, "--lang", "en", "-o", out}));
    EXPECT_EQ(dump_json(j), R"({"mode":"ocr","text":"English\nDeutsch","pages":[{"page":1,"image_path":")" + jpg +
                                R"(","image_dimensions":[617,1280]}],"items":[{"text":"English","confidence":0.9,)"
                                R"("page":1},{"text":"Deutsch","confidence":0.0,"page":1}]})");
    EXPECT_FALSE(stdfs::exists(out));  // ocr writes no file of its own
    const Json body = testsupport::only_request(server);
    EXPECT_EQ(body["messages"][1]["content"][0]["text"], "User request: all prices");
    EXPECT_EQ(body["tools"][0]["function"]["name"], "return_texts");
}

TEST_F(QueryCliTest, WithoutAnImageEachModeCapturesTheDevice) {
    REQUIRE_SHARED_FIXTURE(shot, "screenshots/catima_add-card-options-dark_1080x2160.png");
    testsupport::FakeAdb adb;
    adb.add_device("emulator-5554", "device", "sdk_gphone64");
    adb.set_screencap_from("emulator-5554", shot);
    const image::Raster screen = image::load_rgb(shot);

    server.enqueue(testsupport::tool_reply("return_target", {{"label", "OK"}, {"bounding_box", {400, 900, 600, 950}},
                                                              {"confidence", 0.8}, {"page", 1}}));
    const std::string out = dir.file("locate");
    Json j = ok_json(droidlens_cli({"locate", "the OK button", "-o", out}));
    auto files = testsupport::files_in(out);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(image::load_rgb(out + "/" + files[0]) == screen);  // the capture, the device's pixels
    EXPECT_EQ(j["annotated_image_path"], out + "/" + files[1]);
    EXPECT_EQ(j["image_dimensions"], Json::parse("[[1080, 2160]]"));

    server.enqueue(testsupport::tool_reply("return_text_bboxes", {{"items", Json::array()}}));
    Json g = ok_json(droidlens_cli({"glyphpin", "all totals", "-o", dir.file("glyphpin"), "--device-id", "emulator-5554"}));
    EXPECT_EQ(g["pages"][0]["image_path"], dir.file("glyphpin") + "/" + testsupport::files_in(dir.file("glyphpin"))[0]);

    server.enqueue(testsupport::tool_reply("return_texts", {{"items", {{{"text", "Add card"}}}}}));
    Json o = ok_json(droidlens_cli({"ocr", "the title", "-o", dir.file("ocr")}));
    EXPECT_EQ(o["text"], "Add card");
    EXPECT_EQ(testsupport::files_in(dir.file("ocr")).size(), 1u);

    // Every request carried exactly the pixels the device showed.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& r : requests) {
        const auto images = testsupport::request_images(r.json.value());
        ASSERT_EQ(images.size(), 1u);
        EXPECT_TRUE(testsupport::same_pixels(images[0], screen));
    }
}

TEST_F(QueryCliTest, EveryServerStyleLandsTheSameBox) {
    const std::string shot = testsupport::source_dir() + "/examples/settings_before.png";
    const Json box = {120, 340, 560, 410};
    for (const auto style : {fakes::ServerStyle::kOpenAI, fakes::ServerStyle::kOllama, fakes::ServerStyle::kLlamaServer,
                             fakes::ServerStyle::kHermes, fakes::ServerStyle::kPlainJson,
                             fakes::ServerStyle::kRejectsNamedChoice}) {
        server.set_style(style);
        server.enqueue(testsupport::tool_reply("return_target", {{"label", "Wi-Fi"}, {"bounding_box", box}, {"page", 1}}));
        const Json j = ok_json(droidlens_cli({"locate", "the Wi-Fi row", "-i", shot, "-o", dir.file("o")}));
        EXPECT_EQ(j["bounding_box"], box) << static_cast<int>(style);
        // The annotated copy is written from the box, as with any server.
        EXPECT_TRUE(stdfs::exists(j.value("annotated_image_path", std::string())));
    }
    EXPECT_EQ(server.pending(), 0u);
}

// A grounding model that really looks: it finds the red target in the image it was
// sent and answers its box in its own coordinate frame.
fakes::ScriptedReply locate_red_target(const fakes::RecordedRequest& request, const std::string& frame) {
    const auto images = testsupport::request_images(request.json.value());
    const image::Raster& img = images.at(0);
    const auto [x1, y1, x2, y2] = testsupport::find_target(img);
    const double w = img.width(), h = img.height();
    Json box;
    if (frame == "pixels") box = {x1, y1, x2, y2};
    else if (frame == "rel1") box = {x1 / w, y1 / h, x2 / w, y2 / h};
    else if (frame == "rel1000-yx") box = {y1 * 1000 / h, x1 * 1000 / w, y2 * 1000 / h, x2 * 1000 / w};
    else box = {x1 * 1000 / w, y1 * 1000 / h, x2 * 1000 / w, y2 * 1000 / h};
    const Json& tools = request.json->at("tools");
    if (tools.is_array() && tools[0]["function"]["name"] == "return_text_bboxes")
        return testsupport::tool_reply("return_text_bboxes",
                                       {{"items", {{{"text", "OK"}, {"bounding_box", box}, {"confidence", 0.9}, {"page", 1}}}}});
    Json arguments = {{"label", "OK"}, {"bounding_box", box}, {"confidence", 0.9}, {"page", 1}};
    return testsupport::tool_reply("return_target", arguments);
}

TEST_F(QueryCliTest, EveryCoordinateFrameLandsOnTheTargetsPixels) {
    // A red target at an asymmetric place of a tall screen: x 700-899, y 1500-1599.
    image::Raster screen(1080, 2400, 3, 0xE0);
    testsupport::paint_target(screen, 700, 1500, 900, 1600);
    const std::string shot = dir.file("probe.png");
    image::write_png(screen, shot);

    for (const std::string frame : {"rel1000", "rel1000-yx", "pixels", "rel1"}) {
        for (const int max_side : {0, 800}) {
            server.set_responder([frame](const fakes::RecordedRequest& r) { return locate_red_target(r, frame); });
            Json settings = Json::parse(testsupport::read_text(config));
            settings["coordinates"] = frame;
            settings["max_image_side"] = max_side;
            const std::string profile = dir.file("profile.json");
            testsupport::write_text(profile, settings.dump());
            auto r = proc::run_process({DROIDLENS_CLI, "locate", "the red button", "-i", shot, "--config", profile,
                                        "-o", dir.file("o")},
                                       std::chrono::seconds(60));
            ASSERT_EQ(r.exit_code, 0) << frame << " " << max_side << ": " << r.stderr_data;
            const Json j = Json::parse(r.stdout_data);
            // Back in droidlens's frame, on the target's pixels of the unscaled screen.
            const image::PixelBox px = image::to_absolute_box(j["bounding_box"], 1080, 2400);
            const std::string where = frame + ", max side " + std::to_string(max_side) + ": " + j["bounding_box"].dump();
            EXPECT_NEAR(px[0], 700, 4) << where;
            EXPECT_NEAR(px[1], 1500, 4) << where;
            EXPECT_NEAR(px[2], 900, 4) << where;
            EXPECT_NEAR(px[3], 1600, 4) << where;
            EXPECT_EQ(j["image_dimensions"], Json::parse("[[1080, 2400]]"));
            const auto sent = testsupport::request_images(server.requests().back().json.value());
            EXPECT_EQ(std::max(sent.at(0).width(), sent.at(0).height()), max_side ? max_side : 2400) << where;

            // The text-locating mode's items the same way.
            r = proc::run_process({DROIDLENS_CLI, "glyphpin", "OK", "-i", shot, "--config", profile}, std::chrono::seconds(60));
            ASSERT_EQ(r.exit_code, 0) << where << ": " << r.stderr_data;
            const Json g = Json::parse(r.stdout_data);
            ASSERT_EQ(g["items"].size(), 1u) << where;
            const image::PixelBox item = image::to_absolute_box(g["items"][0]["bounding_box"], 1080, 2400);
            EXPECT_NEAR(item[0], 700, 4) << where;
            EXPECT_NEAR(item[3], 1600, 4) << where;
        }
    }
}

// The box of `word` in a PNG as Tesseract reads it: left, top, right, bottom pixels.
std::optional<std::array<int, 4>> tesseract_word(const std::string& png_path, const std::string& word) {
    const auto r = proc::run_process({"tesseract", png_path, "stdout", "tsv"}, std::chrono::seconds(120));
    std::istringstream lines(r.stdout_data);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream cells(line);
        for (std::string c; std::getline(cells, c, '\t');) f.push_back(c);
        if (f.size() == 12 && f[11] == word) {
            const int l = std::stoi(f[6]), t = std::stoi(f[7]), w = std::stoi(f[8]), h = std::stoi(f[9]);
            return std::array<int, 4>{l, t, l + w, t + h};
        }
    }
    return std::nullopt;
}

TEST_F(QueryCliTest, ARealScreenshotsWordComesBackOntoItsPixelsInEveryFrame) {
    REQUIRE_SHARED_FIXTURE(shot, "screenshots/collegecompanion_dashboard_1080x2400.png");
    if (!proc::on_path("tesseract")) GTEST_SKIP() << "tesseract is not installed (scripts/install-deps installs it)";
    const auto truth = tesseract_word(shot, "Attendance");
    ASSERT_TRUE(truth) << "Tesseract did not read the word on the full-size screenshot";

    // A model that reads: Tesseract on the image it was sent, the word's box in its frame.
    auto reader = [this](const std::string& frame) {
        return [this, frame](const fakes::RecordedRequest& r) {
            const auto images = testsupport::request_images(r.json.value());
            const std::string sent = dir.file("sent.png");
            image::write_png(images.at(0), sent);
            const double w = images[0].width(), h = images[0].height();
            const auto b = tesseract_word(sent, "Attendance").value_or(std::array<int, 4>{0, 0, 0, 0});
            Json box = frame == "pixels" ? Json{b[0], b[1], b[2], b[3]}
                                         : Json{b[1] * 1000 / h, b[0] * 1000 / w, b[3] * 1000 / h, b[2] * 1000 / w};
            return testsupport::tool_reply("return_target", {{"label", "Attendance"}, {"bounding_box", box}, {"page", 1}});
        };
    };
    for (const std::string frame : {"pixels", "rel1000-yx"}) {
        for (const int max_side : {0, 1280}) {
            server.set_responder(reader(frame));
            Json settings = Json::parse(testsupport::read_text(config));
            settings["coordinates"] = frame;
            settings["max_image_side"] = max_side;
            const std::string profile = dir.file("profile.json");
            testsupport::write_text(profile, settings.dump());
            auto r = proc::run_process({DROIDLENS_CLI, "locate", "the word Attendance", "-i", shot, "--config", profile},
                                       std::chrono::seconds(120));
            ASSERT_EQ(r.exit_code, 0) << r.stderr_data;
            const image::PixelBox px = image::to_absolute_box(Json::parse(r.stdout_data)["bounding_box"], 1080, 2400);
            // On the word's pixels of the full screenshot, within what scaling moves an edge.
            const int slack = max_side ? 8 : 3;
            for (int i = 0; i < 4; ++i)
                EXPECT_NEAR(px[i], (*truth)[i], slack) << frame << ", max side " << max_side << ", edge " << i;
        }
    }
}

// `assert` against a model that reads: Tesseract on the screenshot it was sent. "the
// screen shows the word W" holds when it reads W there, with W's box as evidence.
TEST_F(QueryCliTest, AssertJudgesWhatTheScreenShowsWithEveryServerStyle) {
    REQUIRE_SHARED_FIXTURE(shot, "screenshots/collegecompanion_dashboard_1080x2400.png");
    if (!proc::on_path("tesseract")) GTEST_SKIP() << "tesseract is not installed (scripts/install-deps installs it)";
    const auto truth = tesseract_word(shot, "Attendance");
    ASSERT_TRUE(truth) << "Tesseract did not read the word on the full-size screenshot";
    server.set_responder([this](const fakes::RecordedRequest& r) {
        const Json body = r.json.value();
        const std::string statement = body["messages"][1]["content"][0]["text"];
        const std::string word = statement.substr(statement.rfind(' ') + 1);
        const auto images = testsupport::request_images(body);
        const std::string sent = dir.file("sent.png");
        image::write_png(images.at(0), sent);
        const double w = images[0].width(), h = images[0].height();
        const auto b = tesseract_word(sent, word);
        Json verdict = {{"passed", b.has_value()},
                        {"reason", b ? "The word " + word + " is on the screen." : "No word " + word + " is shown."},
                        {"confidence", 0.9}};
        if (b) verdict["evidence_box"] = {(*b)[0] * 1000 / w, (*b)[1] * 1000 / h, (*b)[2] * 1000 / w, (*b)[3] * 1000 / h};
        return testsupport::tool_reply("return_verdict", verdict);
    });
    for (const auto style : {fakes::ServerStyle::kOpenAI, fakes::ServerStyle::kOllama, fakes::ServerStyle::kHermes}) {
        server.set_style(style);
        const std::string out = dir.file("out" + std::to_string(static_cast<int>(style)));
        const CliRun yes = droidlens_cli({"assert", "the screen shows the word Attendance", "-i", shot, "-o", out});
        ASSERT_EQ(yes.status, 0) << yes.err;
        const Json passed = Json::parse(yes.out);
        EXPECT_EQ(passed["mode"], "assert");
        EXPECT_EQ(passed["passed"], true);
        EXPECT_EQ(passed["reason"], "The word Attendance is on the screen.");
        const image::PixelBox px = image::to_absolute_box(passed["evidence_box"], 1080, 2400);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(px[i], (*truth)[i], 3) << "edge " << i;
        const image::Raster green = image::load_rgb(passed["annotated_image_path"].get<std::string>());
        EXPECT_EQ(testsupport::rgb_of(green, static_cast<int>(px[0]), static_cast<int>(px[1])), (testsupport::Rgb{0, 255, 0}));

        // A statement that does not hold: the record all the same, and exit status 6.
        const CliRun no = droidlens_cli({"assert", "the screen shows the word Bluetooth", "-i", shot, "-o", out});
        ASSERT_EQ(no.status, 6) << no.err;
        const Json failed = Json::parse(no.out);
        EXPECT_EQ(failed["passed"], false);
        EXPECT_TRUE(failed["evidence_box"].is_null());
        const image::Raster red = image::load_rgb(failed["annotated_image_path"].get<std::string>());
        EXPECT_EQ(testsupport::rgb_of(red, 0, 0), (testsupport::Rgb{255, 0, 0}));  // the whole screen framed
    }
    // One request per statement, each with the one screenshot and the forced verdict tool.
    for (const auto& request : server.requests()) {
        EXPECT_EQ(testsupport::request_images(request.json.value()).size(), 1u);
    }
    EXPECT_EQ(server.requests().size(), 6u);
}

// A verdict without a real boolean is never a pass: exit status 5 with the reason.
TEST_F(QueryCliTest, AssertRefusesAVerdictWithoutABoolean) {
    const std::string shot = testsupport::source_dir() + "/examples/settings_before.png";
    for (const Json& verdict : {Json{{"passed", "yes"}, {"reason", "looks fine"}},
                                Json{{"reason", "the switch is on"}, {"confidence", 1}}}) {
        server.enqueue(testsupport::tool_reply("return_verdict", verdict));
        const CliRun r = droidlens_cli({"assert", "the Wi-Fi switch is on", "-i", shot});
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("droidlens: error: The model's verdict ", 0), 0u) << r.err;
    }
}

TEST_F(QueryCliTest, DoctorFindsTheSettingsForEachServerAndTheyWork) {
    struct Server {
        fakes::ServerStyle style;
        std::string frame;
        std::string tool_choice;  // what doctor should set
    };
    const Server servers[] = {
        {fakes::ServerStyle::kOpenAI, "rel1000", "named"},
        {fakes::ServerStyle::kOllama, "pixels", "named"},
        {fakes::ServerStyle::kRejectsNamedChoice, "rel1000-yx", "required"},
        {fakes::ServerStyle::kHermes, "rel1", "named"},
        {fakes::ServerStyle::kLlamaServer, "pixels", "named"},
    };
    // A screenshot the model has never seen, its target elsewhere than the probe's.
    image::Raster screen(1220, 2656, 3, 0xF0);
    testsupport::paint_target(screen, 100, 300, 500, 420);
    const std::string shot = dir.file("screen.png");
    image::write_png(screen, shot);

    for (const Server& s : servers) {
        server.set_style(s.style);
        const std::string frame = s.frame;
        server.set_responder([frame](const fakes::RecordedRequest& r) { return locate_red_target(r, frame); });
        const std::string cfg = dir.file("doctor-" + frame + std::to_string(static_cast<int>(s.style)) + ".json");
        auto r = droidlens_cli({"doctor", "--write-config", cfg});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("ok    coordinates"), std::string::npos) << r.out;
        const Json written = Json::parse(testsupport::read_text(cfg));
        EXPECT_EQ(written["coordinates"], s.frame) << r.out;
        EXPECT_EQ(written["tool_choice"], s.tool_choice) << r.out;
        EXPECT_EQ(written["base_url"], server.base_url());
        EXPECT_FALSE(written.contains("api_key"));  // the key stays where it was

        // The written settings make the box land on the target's pixels.
        testsupport::write_text(cfg, [&] {
            Json c = written;
            c["api_key"] = testsupport::kQueryApiKey;
            return c.dump();
        }());
        auto located = proc::run_process({DROIDLENS_CLI, "locate", "the red button", "-i", shot, "--config", cfg},
                                         std::chrono::seconds(60));
        ASSERT_EQ(located.exit_code, 0) << located.stderr_data;
        const image::PixelBox px = image::to_absolute_box(Json::parse(located.stdout_data)["bounding_box"], 1220, 2656);
        EXPECT_NEAR(px[0], 100, 4) << s.frame;
        EXPECT_NEAR(px[1], 300, 4) << s.frame;
        EXPECT_NEAR(px[2], 500, 4) << s.frame;
        EXPECT_NEAR(px[3], 420, 4) << s.frame;
    }

    // A model that draws its box anywhere: no frame explains it.
    server.set_style(fakes::ServerStyle::kOpenAI);
    server.set_responder([](const fakes::RecordedRequest&) {
        return testsupport::tool_reply("return_target", {{"label", "OK"}, {"bounding_box", {10, 10, 40, 30}}});
    });
    auto r = droidlens_cli({"doctor"});
    EXPECT_EQ(r.status, 5) << r.out;
    EXPECT_NE(r.out.find("cannot locate reliably"), std::string::npos) << r.out;
}

TEST_F(QueryCliTest, FailuresGiveOneErrorLine) {
    const std::string shot = testsupport::source_dir() + "/examples/settings_before.png";
    testsupport::write_text(dir.file("junk.png"), "not an image");
    auto expect_error = [&](const std::vector<std::string>& args, int status, const std::string& message) {
        CliRun r = droidlens_cli(args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.out, "");
        if (message.back() == '*') {
            EXPECT_EQ(r.err.rfind("droidlens: error: " + message.substr(0, message.size() - 1), 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        } else {
            EXPECT_EQ(r.err, "droidlens: error: " + message + "\n");
        }
    };
    // Answers that cannot be used: exit status 5, whatever the kind of fault.
    server.enqueue(fakes::text_reply("It is the blue button."));
    expect_error({"locate", "the OK button", "-i", shot, "-o", dir.file("o")}, 5, "Tool call 'return_target' not found");
    server.enqueue(fakes::empty_choices_reply());
    expect_error({"ocr", "all", "-i", shot}, 5, "Empty LLM response");
    server.enqueue(fakes::tool_call_reply("return_text_bboxes", "{items: []}"));
    expect_error({"glyphpin", "all", "-i", shot}, 5, "Arguments of tool call 'return_text_bboxes' are not valid JSON: *");
    server.enqueue(testsupport::tool_reply("return_texts", {{"items", {{{"text", "a"}, {"page", nullptr}}}}}));
    expect_error({"ocr", "all", "-i", shot}, 5, "Invalid items[0].page in the model's answer: *");
    server.enqueue(testsupport::tool_reply("return_target", {{"label", "OK"}, {"bounding_box", {1, 2, 3}}}));
    expect_error({"locate", "x", "-i", shot}, 5, "The model's answer has no usable bounding_box *");
    // The service refused the request: 4.
    server.enqueue(fakes::error_reply(401, "Incorrect API key provided: " + testsupport::kQueryApiKey));
    expect_error({"locate", "x", "-i", shot}, 4, "*");
    // Nothing to ask, or a request given twice: usage errors before any request.
    expect_error({"locate", " ", "-i", shot}, 2, "Mode 'locate' needs a request (the prompt is empty)");
    expect_error({"ocr", "the", "title", "-i", shot}, 2, "unexpected argument 'title': *");
    // Unreadable screenshots fail before any request.
    const std::size_t asked = server.requests().size();
    expect_error({"locate", "x", "-i", dir.file("missing.png")}, 1,
                 "No such file or directory: '" + dir.file("missing.png") + "'");
    expect_error({"glyphpin", "x", "-i", shot, "-i", dir.file("junk.png")}, 1, "*");
    EXPECT_EQ(server.requests().size(), asked);
    EXPECT_EQ(server.pending(), 0u);

    // No device to capture from.
    testsupport::FakeAdb adb;
    expect_error({"locate", "x", "-o", dir.file("none")}, 3, "No ADB devices detected");
    EXPECT_FALSE(stdfs::exists(dir.file("none")));
}

}  // namespace
