// The automate mode: its prompts and the reading of the model's answers, and the
// runner loop against the simulated device and the scripted model over HTTP (the
// conversation sent at each step, the watchdogs, the step files, failures).
#include <droidlens/console.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/events.hpp>

#include "device_mode_fixture.hpp"
#include "modes/automate.hpp"
#include "utils/base64.hpp"

#include <openssl/evp.h>

#include <filesystem>
#include <iostream>
#include <sstream>

using namespace droidlens;
using namespace droidlens::automate;
using testsupport::DeviceModeTest;

namespace {

// 2024-01-02 03:04:05, a Tuesday.
std::tm fixed_time(int day = 2) {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 0;
    t.tm_mday = day;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    t.tm_isdst = -1;
    std::mktime(&t);  // fills in the weekday
    return t;
}

std::string md5(const std::string& s) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", d[i]);
        hex += buf;
    }
    return hex;
}

// Console lines of the code under test, for the lifetime of the object.
struct ConsoleCapture {
    std::ostringstream out;
    ConsoleCapture() { set_console_stream(out); }
    ~ConsoleCapture() { set_console_stream(std::cout); }
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::istringstream in(out.str());
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
    bool has(const std::string& line) const {
        const auto v = lines();
        return std::find(v.begin(), v.end(), line) != v.end();
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Prompts and answers

TEST(AutomatePrompts, DateLineThenTheExactPrompt) {
    const std::string en = _get_system_prompt("en", fixed_time());
    const std::string en_head = "The current date: 2024-01-02, Tuesday";
    ASSERT_EQ(en.rfind(en_head, 0), 0u);
    const std::string en_body = en.substr(en_head.size());
    EXPECT_EQ(en_body.rfind("\nYou are an Android operation assistant. Observe screenshots and execute tasks.\n", 0), 0u);
    EXPECT_EQ(en_body.size(), 713u);
    EXPECT_EQ(md5(en_body), "042174b3715ef4f3cd3d976a38987cd4");  // the reviewed text, byte for byte

    const std::string cn = _get_system_prompt("cn", fixed_time());
    const std::string cn_head = "今天的日期是: 2024年01月02日 星期二";
    ASSERT_EQ(cn.rfind(cn_head, 0), 0u);
    const std::string cn_body = cn.substr(cn_head.size());
    EXPECT_EQ(cn_body.rfind("\n\n# 你的身份和任务\n", 0), 0u);
    EXPECT_EQ(cn_body.size(), 5430u);
    EXPECT_EQ(md5(cn_body), "739c9bb3e8956629fbef02d569189550");
    EXPECT_EQ(cn.back(), '\n');

    // Any language but "en" is Chinese; weekdays count from Monday.
    EXPECT_EQ(_get_system_prompt("", fixed_time()), cn);
    EXPECT_EQ(_get_system_prompt("EN", fixed_time()), cn);
    EXPECT_EQ(_get_system_prompt("cn", fixed_time(1)).rfind("今天的日期是: 2024年01月01日 星期一\n", 0), 0u);
    EXPECT_EQ(_get_system_prompt("cn", fixed_time(7)).rfind("今天的日期是: 2024年01月07日 星期日\n", 0), 0u);
    EXPECT_EQ(_get_system_prompt("en", fixed_time(7)).rfind("The current date: 2024-01-07, Sunday\n", 0), 0u);
}

TEST(AutomatePrompts, FeedbackTexts) {
    const std::string tap = "do(action=\"Tap\", element=[1,2])";
    EXPECT_EQ(md5(repeat_feedback(tap, 2, "com.android.settings")), "6ca9c77067b341756cd113f669d9895e");
    EXPECT_EQ(md5(no_change_feedback(tap, 2, "com.android.settings")), "aeb3e1530b29b891751b60309797cabe");
    EXPECT_EQ(md5(parse_feedback("bad", tap)), "1ab52ff938925516b9e4128ac693ca42");
    EXPECT_EQ(parse_feedback("bad", "x"),
              "解析失败：bad\n你的输出：x\n请检查格式，使用正确的等号（=）而非冒号或引号。\n正确示例：do(action=\"Tap\", element=[x,y])");
}

TEST(AutomateAnswers, SplitIntoThinkingAndActionText) {
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(_parse_response("I see Settings.\ndo(action=\"Tap\", element=[1,2])"),
              (P{"I see Settings.", "do(action=\"Tap\", element=[1,2])"}));
    EXPECT_EQ(_parse_response("do(action=\"Back\")"), (P{"", "do(action=\"Back\")"}));
    // The finish marker wins even when a do call comes first; the rest is not trimmed.
    EXPECT_EQ(_parse_response("  maybe do(action=\"Back\") or\n finish(message=\"ok\") then?  \n"),
              (P{"maybe do(action=\"Back\") or", "finish(message=\"ok\") then?  \n"}));
    EXPECT_EQ(_parse_response("  no call here \n"), (P{"", "no call here"}));
    EXPECT_EQ(_parse_response(""), (P{"", ""}));
    // Markers are case-sensitive; full-width blanks around the thinking are trimmed.
    EXPECT_EQ(_parse_response("Do(Action=\"Tap\")"), (P{"", "Do(Action=\"Tap\")"}));
    EXPECT_EQ(_parse_response("\u3000思考\u3000\ndo(action=\"Home\")"), (P{"思考", "do(action=\"Home\")"}));
    // An answer cut off inside a multi-byte character is kept as it is, not read past.
    EXPECT_EQ(_parse_response("\xE2\x80"), (P{"", "\xE2\x80"}));
    EXPECT_EQ(_parse_response("ok \xE3\x80"), (P{"", "ok \xE3\x80"}));
}

TEST(AutomateAnswers, UserMessagesAndStrippingImages) {
    Json m = _build_user_message("Screen Info:\n{}", "QUJD");
    EXPECT_EQ(m.dump(), Json::parse(R"({"role": "user", "content": [
        {"type": "image_url", "image_url": {"url": "data:image/png;base64,QUJD"}},
        {"type": "text", "text": "Screen Info:\n{}"}]})").dump());
    _strip_images(m);
    EXPECT_EQ(m, Json::parse(R"({"role": "user", "content": [{"type": "text", "text": "Screen Info:\n{}"}]})"));
    Json plain = {{"role", "assistant"}, {"content", "do(action=\"Back\")"}};
    const Json before = plain;
    _strip_images(plain);
    EXPECT_EQ(plain, before);
    Json no_content = {{"role", "user"}};
    _strip_images(no_content);
    EXPECT_EQ(no_content, Json({{"role", "user"}}));
}

// ---------------------------------------------------------------------------
// The runner loop

namespace {

class Automate : public DeviceModeTest {
protected:
    ConsoleCapture console;

    AutoRunner runner(std::int64_t max_steps, std::optional<std::int64_t> display = std::nullopt,
                      std::optional<std::string> dir = std::string()) {
        if (dir && dir->empty()) dir = out.str();
        return AutoRunner(llm.get(), std::string(kSerial), max_steps, "en", dir, display, [] { return fixed_time(); });
    }

    void answers(const std::vector<std::string>& texts) {
        for (const auto& t : texts) server.enqueue(fakes::text_reply(t));
    }

    // The screen changes with every request: request n leaves grey 10 * n behind.
    void changing_screen() {
        on_each_request([this](int n) { set_screen(617, 1280, static_cast<unsigned char>(10 * n)); });
    }

    // One line per message of request `i`: its role, "+image" when it carries one,
    // and its text.
    std::vector<std::string> conversation(std::size_t i) const {
        std::vector<std::string> v;
        const auto sent = bodies();
        for (const Json& m : sent.at(i)["messages"]) {
            std::string line = m["role"].get<std::string>();
            if (m["content"].is_string()) {
                v.push_back(line + ": " + m["content"].get<std::string>());
                continue;
            }
            std::string text;
            for (const Json& part : m["content"]) {
                if (part["type"] == "image_url") line += "+image";
                else text += part["text"].get<std::string>();
            }
            v.push_back(line + ": " + text);
        }
        return v;
    }

    std::string image_of(std::size_t request, std::size_t message) const {
        const auto sent = bodies();
        for (const Json& part : sent.at(request)["messages"][message]["content"])
            if (part["type"] == "image_url") return part["image_url"]["url"];
        return "";
    }
};

const std::string kInfo = "{\"current_app\": \"com.android.settings\", \"display_id\": 0}";
const std::string kTap = "do(action=\"Tap\", element=[500, 500])";

// The result record as the caller sees it, keys in their order.
Json record(const std::string& status, const std::string& message, int steps) {
    return Json::parse(R"({"mode": "automate", "status": ")" + status + R"(", "message": ")" + message +
                       R"(", "steps": )" + std::to_string(steps) + "}");
}

}  // namespace

TEST_F(Automate, FinishesAndSendsTheNewestScreenOnly) {
    changing_screen();
    answers({"Settings is open.\n" + kTap, "finish(message=\"Opened Wi-Fi\")"});
    const Json r = runner(5).run("open Wi-Fi");
    EXPECT_EQ(r.dump(), record("finished", "Opened Wi-Fi", 2).dump());
    EXPECT_EQ(input_log(), std::vector<std::string>{"input tap 308 640"});

    ASSERT_EQ(bodies().size(), 2u);
    const std::string prompt = "system: " + _get_system_prompt("en", fixed_time());
    EXPECT_EQ(conversation(0), (std::vector<std::string>{prompt, "user+image: open Wi-Fi\n\n" + kInfo}));
    EXPECT_EQ(conversation(1), (std::vector<std::string>{prompt, "user: open Wi-Fi\n\n" + kInfo,
                                                          "assistant: Settings is open.\n" + kTap,
                                                          "user+image: Screen Info:\n" + kInfo}));
    // The image part comes first, then the text; the image is the step's own screen.
    EXPECT_EQ(bodies()[1]["messages"][3]["content"][0]["type"], "image_url");
    EXPECT_TRUE(image_of(1, 3) ==
                "data:image/png;base64," + base64::encode(testsupport::as_captured(testsupport::tiny_png(617, 1280, 10))));
    for (const Json& body : bodies()) {
        EXPECT_EQ(body["temperature"], 0.1);
        EXPECT_TRUE(!body.contains("tools") || body["tools"].is_null());
    }

    // Both steps' screenshots stay, named by the run.
    EXPECT_EQ(testsupport::read_text(out.file("20240102_030405_automate_step001.png")),
              testsupport::as_captured(testsupport::tiny_png(617, 1280)));
    EXPECT_EQ(testsupport::read_text(out.file("20240102_030405_automate_step002.png")),
              testsupport::as_captured(testsupport::tiny_png(617, 1280, 10)));
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"[DEBUG] Screenshot saved: " + out.file("20240102_030405_automate_step001.png"),
                                        "", "[DEBUG] Step 1 - Sending request with 2 messages",
                                        "[DEBUG] Screen info: " + kInfo, "", "[DEBUG] Model response content:",
                                        "Settings is open.", kTap, "",
                                        "[DEBUG] Screenshot saved: " + out.file("20240102_030405_automate_step002.png"),
                                        "", "[DEBUG] Step 2 - Sending request with 4 messages",
                                        "[DEBUG] Screen info: " + kInfo, "", "[DEBUG] Model response content:",
                                        "finish(message=\"Opened Wi-Fi\")", ""}));
}

TEST_F(Automate, TheStepLimitHolds) {
    changing_screen();
    for (int i = 0; i < 6; ++i) answers({"do(action=\"Tap\", element=[" + std::to_string(100 * i) + ", 10])"});
    EXPECT_EQ(runner(3).run("keep going").dump(), record("max_steps", "Max steps reached", 3).dump());
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input tap 0 12", "input tap 61 12", "input tap 123 12"}));
    // The conversation grows by text only: one image per request.
    const auto last = conversation(2);
    EXPECT_EQ(std::count_if(last.begin(), last.end(), [](const std::string& l) { return l.find("+image") != l.npos; }),
              1);
}

TEST_F(Automate, ARepeatedActionWarnsThenGetsFeedbackAndTheCounterStartsAgain) {
    changing_screen();
    answers({kTap, kTap, kTap, kTap});
    EXPECT_EQ(runner(4).run("tap it")["status"], "max_steps");
    // Performed at steps 1, 2 and 4; step 3 answered with feedback instead.
    EXPECT_EQ(input_log(), std::vector<std::string>(3, "input tap 308 640"));
    EXPECT_TRUE(console.has("[WARNING] Repeated action detected (1 times): " + kTap));
    EXPECT_TRUE(console.has("[WARNING] Repeated action detected (2 times): " + kTap));
    const auto lines = console.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("[WARNING] Repeated", 0) == 0; }),
              2);

    // Step 3's own message and the feedback keep their images; no assistant answer.
    const std::string feedback = repeat_feedback(kTap, 2, "com.android.settings");
    const std::string info = "Screen Info:\n" + kInfo;
    EXPECT_EQ(conversation(3), (std::vector<std::string>{"system: " + _get_system_prompt("en", fixed_time()),
                                                          "user: tap it\n\n" + kInfo, "assistant: " + kTap,
                                                          "user: " + info, "assistant: " + kTap, "user+image: " + info,
                                                          "user+image: " + feedback, "user+image: " + info}));
    EXPECT_TRUE(image_of(3, 5) == image_of(3, 6));  // the feedback carries the screen of its step
}

TEST_F(Automate, AnUnchangedScreenWarnsThenGetsFeedbackAndAFinishThereDoesNotEndTheRun) {
    answers({kTap, "do(action=\"Back\")", "finish(message=\"first\")", "finish(message=\"second\")"});
    EXPECT_EQ(runner(6).run("go").dump(), record("finished", "second", 4).dump());
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input tap 308 640", "input keyevent 4"}));
    std::vector<std::string> warnings;
    for (const auto& l : console.lines())
        if (l.rfind("[WARNING]", 0) == 0) warnings.push_back(l);
    EXPECT_EQ(warnings, (std::vector<std::string>{"[WARNING] Screen unchanged after action (1 times)",
                                                  "[WARNING] Screen unchanged after action (2 times)",
                                                  "[WARNING] Screen unchanged after action (1 times)"}));
    const auto conv = conversation(3);
    ASSERT_EQ(conv.size(), 9u);
    EXPECT_EQ(conv[5], "user: Screen Info:\n" + kInfo);
    EXPECT_EQ(conv[6], "assistant: finish(message=\"first\")");
    EXPECT_EQ(conv[7], "user+image: " + no_change_feedback("finish(message=\"first\")", 2, "com.android.settings"));
    EXPECT_EQ(conv[8], "user+image: Screen Info:\n" + kInfo);
}

TEST_F(Automate, AnswersThatDoNotParseGetFeedbackAndTheRunGoesOn) {
    changing_screen();
    answers({"I will tap the button", "Tap it.\ndo(action=\"Tap\", element=[\"a\", 2])",
             "do(action=\"Tap\", element=[5000, -3])", ""});
    EXPECT_EQ(runner(4).run("go")["status"], "max_steps");
    // Only the coordinates out of range were performed, clamped to the screen.
    EXPECT_EQ(input_log(), std::vector<std::string>{"input tap 616 0"});

    const auto conv = conversation(3);
    ASSERT_EQ(conv.size(), 8u);
    EXPECT_EQ(conv[1], "user+image: go\n\n" + kInfo);
    EXPECT_EQ(conv[2], "user+image: " + parse_feedback("expected do(...) or finish(...) at position 0",
                                                        "I will tap the button"));
    EXPECT_EQ(conv[4], "user+image: " +
                           parse_feedback("Tap needs element=[x,y] with two finite numbers, got element=[\"a\",2]",
                                          "do(action=\"Tap\", element=[\"a\", 2])"));
    EXPECT_EQ(conv[5], "user: Screen Info:\n" + kInfo);
    EXPECT_EQ(conv[6], "assistant: do(action=\"Tap\", element=[5000, -3])");
    EXPECT_EQ(conv[7], "user+image: Screen Info:\n" + kInfo);
    // The empty answer of step 4 went the same way.
    EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(Automate, AnEmptyFirstAnswerCountsAsARepeat) {
    server.enqueue(fakes::json_reply(fakes::chat_completion({{"role", "assistant"}, {"content", nullptr}}, "stop")));
    server.enqueue(fakes::text_reply("finish(message=\"done\")"));
    EXPECT_EQ(runner(2).run("go").dump(), record("finished", "done", 2).dump());
    EXPECT_TRUE(console.has("[WARNING] Repeated action detected (1 times): "));
    EXPECT_EQ(conversation(1)[2],
              "user+image: " + parse_feedback("empty action text; expected do(action=...) or finish(message=...)", ""));
}

TEST_F(Automate, ZeroStepsTouchNothing) {
    EXPECT_EQ(runner(0).run("go").dump(), record("max_steps", "Max steps reached", 0).dump());
    EXPECT_TRUE(adb.adb_log().empty());
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(std::filesystem::is_empty(out.path()));

    ModeArgs a;
    a.llm = llm.get();
    a.prompt = "go";
    a.max_steps = -1;
    a.output_dir = out.str();
    EXPECT_THROW_MSG(automate::run(a), ValueError, "max_steps must not be negative, got -1");
    EXPECT_TRUE(adb.adb_log().empty());
}

TEST_F(Automate, StepFilesAndTheDisplay) {
    const AutoRunner on_display = runner(1, 1);
    EXPECT_EQ(on_display._save_step_screenshot(base64::encode("png"), "20240102_030405_automate", 7),
              out.file("20240102_030405_automate_step007_d1.png"));
    EXPECT_EQ(testsupport::read_text(out.file("20240102_030405_automate_step007_d1.png")), "png");
    EXPECT_EQ(runner(1)._save_step_screenshot("", "r", 1234), out.file("r_step1234.png"));
    EXPECT_EQ(runner(1, std::nullopt, std::nullopt)._save_step_screenshot("", "r", 1), std::nullopt);
    EXPECT_EQ(AutoRunner(llm.get(), std::nullopt, 1, "en", std::string())._save_step_screenshot("", "r", 1),
              std::nullopt);

    // A run on display 2: its screen, its foreground app, its input, its file names.
    set_screen(1920, 720, 0x40, 2);
    answers({"do(action=\"Tap\", element=[500, 500])", "finish(message=\"ok\")"});
    EXPECT_EQ(runner(2, 2).run("go")["status"], "finished");
    EXPECT_EQ(input_log(), std::vector<std::string>{"input -d 2 tap 960 360"});
    EXPECT_EQ(conversation(0)[1], "user+image: go\n\n{\"current_app\": \"com.example.cluster\", \"display_id\": 2}");
    EXPECT_TRUE(std::filesystem::exists(out.file("20240102_030405_automate_step002_d2.png")));
}

// A run reaches its device through one facade: the device is resolved and the
// display's SurfaceFlinger id read once, however many steps follow, and every step's
// file holds exactly the PNG the device served.
TEST_F(Automate, ARunLooksTheDisplayUpOnceAndSavesTheServedScreens) {
    adb.set_file(kSerial, "dumpsys_display.txt",
                 "  Display 2:\n    mBaseDisplayInfo=DisplayInfo{\"HDMI Screen\", type EXTERNAL, uniqueId "
                 "\"local:77\", real 1920 x 720}\n");
    adb.set_file(kSerial, "dumpsys_sf_display_id.txt", "Display 77 (HWC display 1): port=1 displayName=\"HDMI\"\n");
    const std::string screen = testsupport::tiny_png(1920, 720, 0x40);
    adb.set_screencap(kSerial, "WARNING: linker: unused DT entry\n" + screen, 77);
    for (int i = 1; i <= 4; ++i) answers({"do(action=\"Tap\", element=[" + std::to_string(100 * i) + ", 500])"});

    ModeArgs a;
    a.llm = llm.get();
    a.prompt = "go";
    a.max_steps = 4;
    a.display_id = 2;
    a.output_dir = out.str();
    EXPECT_EQ(automate::run(a)["steps"], 4);

    auto count = [&](const std::string& what) {
        const auto log = adb.adb_log();
        return std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(what) != l.npos; });
    };
    EXPECT_EQ(count("dumpsys display"), 1);
    EXPECT_EQ(count("devices"), 1);
    EXPECT_EQ(count("screencap '-p' '-d' '77'"), 4);
    EXPECT_EQ(input_log().size(), 4u);
    EXPECT_EQ(input_log()[0], "input -d 2 tap 192 360");  // input keeps the logical display
    int files = 0;
    for (const auto& f : std::filesystem::directory_iterator(out.path())) {
        EXPECT_EQ(testsupport::read_text(f.path().string()), screen) << f.path();
        ++files;
    }
    EXPECT_EQ(files, 4);
}

TEST_F(Automate, FailuresPropagateAndSavedScreensStay) {
    changing_screen();
    // Step 1 makes three device calls (screen, foreground app, tap); then the device is gone.
    adb.set_knob("VANISH_AFTER", "3");
    answers({kTap});
    EXPECT_THROW_MSG(runner(5).run("go"), RuntimeError,
                     "Screenshot failed on device 'emu-1': error: device 'emu-1' not found");
    EXPECT_TRUE(std::filesystem::exists(out.file("20240102_030405_automate_step001.png")));
    EXPECT_EQ(input_log(), std::vector<std::string>{"input tap 308 640"});
}

TEST_F(Automate, AModelFailurePropagates) {
    server.enqueue(fakes::error_reply(500, "overloaded"));
    EXPECT_THROW(runner(3).run("go"), ModelServiceError);
    server.enqueue(fakes::empty_choices_reply());
    EXPECT_THROW_MSG(runner(3).run("go"), ValueError, "Empty LLM response");
    EXPECT_TRUE(std::filesystem::exists(out.file("20240102_030405_automate_step001.png")));
    EXPECT_TRUE(input_log().empty());
}

// An observer sees every step as it ended, with what a report or a progress display
// needs; the run's record and conversation are the same as without one.
TEST_F(Automate, AnObserverSeesEachStepAsItEnded) {
    struct Recorder : RunObserver {
        std::vector<AutomateStep> steps;
        void on_automate_step(const AutomateStep& s) override { steps.push_back(s); }
    } recorder;
    answers({kTap, kTap, kTap, "Done.\nfinish(message=\"ok\")"});
    changing_screen();
    Json r;
    {
        ScopedRunObserver watch(&recorder);
        r = runner(5).run("tap it");
    }
    EXPECT_EQ(current_run_observer(), nullptr);
    EXPECT_EQ(r.dump(), record("finished", "ok", 4).dump());
    ASSERT_EQ(recorder.steps.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const AutomateStep& s = recorder.steps[i];
        EXPECT_EQ(s.step, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(s.max_steps, 5);
        EXPECT_EQ(s.task, "tap it");
        EXPECT_EQ(s.current_app, "com.android.settings");
        EXPECT_EQ(s.width, 617);
        EXPECT_EQ(s.screenshot_path, out.file("20240102_030405_automate_step00" + std::to_string(i + 1) + ".png"));
        EXPECT_FALSE(s.screenshot_base64.empty());
        EXPECT_GE(s.model_seconds, 0.0);
        EXPECT_GE(s.device_seconds, 0.0);
        EXPECT_EQ(s.finished, i == 3);
    }
    EXPECT_EQ(recorder.steps[0].executor_message, "Tapped (308, 640)");
    EXPECT_EQ(recorder.steps[0].action["action"], "Tap");
    // Step 3 repeated the action a second time: answered with feedback, not performed.
    EXPECT_EQ(recorder.steps[2].warnings,
              std::vector<std::string>{"[WARNING] Repeated action detected (2 times): " + kTap});
    EXPECT_EQ(recorder.steps[2].feedback, repeat_feedback(kTap, 2, "com.android.settings"));
    EXPECT_FALSE(recorder.steps[2].executor_message.has_value());
    EXPECT_EQ(recorder.steps[3].thinking, "Done.");
    EXPECT_EQ(recorder.steps[3].action_text, "finish(message=\"ok\")");
}

// A run that fails reports the steps that ended before the failure, and none for
// the step that failed.
TEST_F(Automate, AnObserverIsNotToldOfAFailedStep) {
    struct Counter : RunObserver {
        int n = 0;
        void on_automate_step(const AutomateStep&) override { ++n; }
    } counter;
    changing_screen();
    answers({kTap});
    server.enqueue(fakes::error_reply(400, "bad request"));
    ScopedRunObserver watch(&counter);
    EXPECT_THROW(runner(3).run("go"), std::exception);
    EXPECT_EQ(counter.n, 1);
}
