// The action mode against the simulated device and the scripted model over HTTP: the
// request it sends, every action reaching the device as its input command with the
// right pixels, the screenshot action, and what it does with bad answers.
#include <droidlens/errors.hpp>

#include "device_mode_fixture.hpp"
#include "modes/action.hpp"
#include "utils/base64.hpp"

#include <filesystem>
#include <regex>

using namespace droidlens;
using testsupport::DeviceModeTest;

namespace {

class ActionMode : public DeviceModeTest {
protected:
    ModeArgs args(const std::string& prompt = "tap the search box") {
        ModeArgs a;
        a.llm = llm.get();
        a.prompt = prompt;
        a.device_id = kSerial;
        a.output_dir = out.file("shots");
        return a;
    }

    // Runs the mode with the model calling perform_action with `arguments`.
    Json act(const std::string& arguments, ModeArgs a) {
        server.enqueue(fakes::tool_call_reply("perform_action", arguments));
        return action::run(a);
    }
    Json act(const std::string& arguments) { return act(arguments, args()); }
};

std::vector<std::string> keys(const Json& j) {
    std::vector<std::string> k;
    for (auto it = j.begin(); it != j.end(); ++it) k.push_back(it.key());
    return k;
}

}  // namespace

TEST_F(ActionMode, SendsOneForcedToolRequestWithTheScreen) {
    const Json r = act(R"({"action": "Back"})");
    EXPECT_EQ(r, Json::parse(R"({"mode":"action","action":"Back","success":true,"message":"Pressed Back"})"));
    EXPECT_EQ(keys(r), (std::vector<std::string>{"mode", "action", "success", "message"}));

    const auto sent = bodies();
    ASSERT_EQ(sent.size(), 1u);
    const Json& body = sent[0];
    EXPECT_EQ(body["temperature"], 0.1);
    const std::string png = base64::encode(testsupport::as_captured(testsupport::tiny_png(617, 1280)));
    const Json expected_messages = Json::parse(R"([
      {"role": "system", "content": [{"type": "text", "text":
        "Decide one device action to satisfy the request. Coordinates use 0-1000 relative space."}]},
      {"role": "user", "content": [{"type": "text", "text": "User request: tap the search box"}]},
      {"role": "user", "content": [{"type": "text", "text":
        "Screen info: {\"current_app\": \"com.android.settings\", \"display_id\": 0}"}]},
      {"role": "user", "content": [{"type": "text", "text": "Current screen:"},
        {"type": "image_url", "image_url": {"url": "data:image/png;base64,)" + png + R"("}}]}])");
    EXPECT_EQ(body["messages"], expected_messages);
    // The tool and its schema, keys in their order.
    EXPECT_EQ(body["tools"].dump(), Json::parse(R"([{"type": "function", "function": {
        "name": "perform_action", "description": "Choose a single device action to execute.",
        "parameters": {"type": "object", "required": ["action"], "properties": {
          "action": {"type": "string",
                     "description": "One of Tap, Swipe, Type, Back, Home, Long Press, Double Tap, Wait, Screenshot."},
          "element": {"type": "array", "items": {"type": "number"},
                      "description": "XY coordinates in 0-1000 relative space."},
          "start": {"type": "array", "items": {"type": "number"},
                    "description": "Swipe start XY in 0-1000 relative space."},
          "end": {"type": "array", "items": {"type": "number"}, "description": "Swipe end XY in 0-1000 relative space."},
          "text": {"type": "string"},
          "duration": {"type": "number", "description": "Seconds to wait."}}}}}])").dump());
    EXPECT_EQ(body["tool_choice"], Json::parse(R"({"type": "function", "function": {"name": "perform_action"}})"));
    EXPECT_EQ(input_log(), std::vector<std::string>{"input keyevent 4"});
}

TEST_F(ActionMode, EveryActionReachesTheDeviceWithTheRightPixels) {
    struct Case {
        const char* arguments;
        const char* action;
        const char* message;
        std::vector<std::string> input;
    };
    // 617 x 1280: 500/1000 of 617 is 308.5, truncated to 308.
    const std::vector<Case> odd = {
        {R"({"action": "Tap", "element": [500, 500]})", "Tap", "Tapped (308, 640)", {"input tap 308 640"}},
        {R"({"action": "click", "element": [1000, 1000]})", "Tap", "Tapped (616, 1279)", {"input tap 616 1279"}},
        {R"({"action": "double_tap", "element": [999, 1]})", "Double Tap", "Double-tapped (616, 1)",
         {"input tap 616 1", "input tap 616 1"}},
        {R"({"action": "LONG PRESS", "element": [100, 900]})", "Long Press", "Long-pressed (61, 1152)",
         {"input swipe 61 1152 61 1152 1000"}},
        {R"({"action": "Swipe", "start": [500, 800], "end": [500, 200]})", "Swipe", "Swiped (308, 1024) -> (308, 256)",
         {"input swipe 308 1024 308 256 300"}},
        {R"({"action": "Type", "text": "wifi"})", "Type", "Typed 4 characters", {"input text wifi"}},
        {R"({"action": "type_name", "text": "Ann Lee"})", "Type_Name", "Typed 7 characters",
         {"input text Ann%sLee"}},
        {R"({"action": " home "})", "Home", "Pressed Home", {"input keyevent 3"}},
        {R"({"action": "Wait", "duration": 0})", "Wait", "Waited 0.0 seconds", {}},
        {R"({"action": "wait", "duration": "0.05"})", "Wait", "Waited 0.05 seconds", {}},
        // Outside 0-1000: clamped to the screen's edge.
        {R"({"action": "Tap", "element": [-50, 4000]})", "Tap", "Tapped (0, 1279)", {"input tap 0 1279"}},
    };
    for (const Case& c : odd) {
        const auto before = input_log().size();
        const Json r = act(c.arguments);
        EXPECT_EQ(r["action"], c.action) << c.arguments;
        EXPECT_EQ(r["success"], true) << c.arguments;
        EXPECT_EQ(r["message"], c.message) << c.arguments;
        const auto log = input_log();
        EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(before), log.end()), c.input)
            << c.arguments;
    }

    // An action without its point cannot be right: refused, nothing sent, never the
    // corner of the screen.
    for (const char* incomplete : {R"({"action": "Tap"})", R"({"action": "Long Press", "element": null})",
                                   R"({"action": "Double Tap"})", R"({"action": "Swipe", "start": [1, 2]})"}) {
        const auto before = input_log().size();
        const Json r = act(incomplete);
        EXPECT_EQ(r["success"], false) << incomplete;
        EXPECT_NE(r["message"].get<std::string>().find(" needs "), std::string::npos) << r["message"];
        EXPECT_EQ(input_log().size(), before) << incomplete;
    }

    set_screen(1220, 2656);
    EXPECT_EQ(act(R"({"action": "Tap", "element": [333, 667]})")["message"], "Tapped (406, 1771)");
    EXPECT_EQ(act(R"({"action": "Swipe", "start": [999.9, 0.5], "end": [0, 1000]})")["message"],
              "Swiped (1219, 1) -> (0, 2655)");
    EXPECT_EQ(input_log().back(), "input swipe 1219 1 0 2655 300");
}

TEST_F(ActionMode, DisplayGoesToEveryServiceAndTheScreenInfo) {
    set_screen(1920, 720, 0x20, 2);
    ModeArgs a = args();
    a.display_id = 2;
    const Json r = act(R"({"action": "Tap", "element": [500, 500]})", a);
    EXPECT_EQ(r["message"], "Tapped (960, 360)");
    EXPECT_EQ(input_log(), std::vector<std::string>{"input -d 2 tap 960 360"});
    EXPECT_EQ(bodies()[0]["messages"][2]["content"][0]["text"],
              "Screen info: {\"current_app\": \"com.example.cluster\", \"display_id\": 2}");
    EXPECT_EQ(action::_screen_info("\xE8\xAE\xBE\xE7\xBD\xAE", std::nullopt),  // 设置, not escaped
              "{\"current_app\": \"\xE8\xAE\xBE\xE7\xBD\xAE\", \"display_id\": 0}");
}

TEST_F(ActionMode, ScreenshotWritesOneFileAndTouchesNothingElse) {
    const std::string dir = out.file("new/nested");
    ModeArgs a = args();
    a.output_dir = dir;
    const Json r = act(R"({"action": "screenshot"})", a);
    EXPECT_EQ(keys(r), (std::vector<std::string>{"mode", "action", "success", "path"}));
    EXPECT_EQ(r["action"], "Screenshot");
    EXPECT_EQ(r["success"], true);
    const std::string path = r["path"];
    EXPECT_TRUE(std::regex_match(path, std::regex(".*/new/nested/screenshot_\\d{8}_\\d{6}\\.png"))) << path;
    EXPECT_EQ(testsupport::read_text(path), testsupport::as_captured(testsupport::tiny_png(617, 1280)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    EXPECT_TRUE(input_log().empty());
    for (const std::string& call : adb.adb_log()) EXPECT_EQ(call.find("input"), std::string::npos) << call;
}

TEST_F(ActionMode, UnknownAndMissingActionNamesAreReportedNotPerformed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"action": "Swipe Up"})", "Swipe Up"},
        {R"({"action": "  Fly "})", "  Fly "},  // returned exactly as the model wrote it
        {R"({"action": ""})", ""},
        {R"({"element": [1, 2]})", ""},
    };
    for (const auto& [arguments, name] : cases) {
        const Json r = act(arguments);
        EXPECT_EQ(keys(r), (std::vector<std::string>{"mode", "action", "success", "message"}));
        EXPECT_EQ(r["action"], name);
        EXPECT_EQ(r["success"], false);
        EXPECT_EQ(r["message"], std::string("Unsupported action: ") + name);
    }
    EXPECT_TRUE(input_log().empty());
}

TEST(ActionNames, OnlyTextIsANameAndUnknownNamesStayAsGiven) {
    // The alias table itself is the executor's (tested there); here: what the mode adds.
    EXPECT_EQ(action::_normalize_action(" long_press "), "Long Press");
    EXPECT_EQ(action::_normalize_action("Screenshot "), "Screenshot");
    EXPECT_EQ(action::_normalize_action(" Fly"), " Fly");
    EXPECT_THROW_MSG(action::_normalize_action(7), TypeError,
                     "Argument 'action' has incorrect type (expected str, got int)");
    EXPECT_THROW(action::_normalize_action(nullptr), TypeError);
}

TEST_F(ActionMode, BadAnswersFailClearlyAndPerformNothing) {
    server.enqueue(fakes::text_reply("I would tap the search box."));
    EXPECT_THROW_MSG(action::run(args()), ValueError, "Tool call 'perform_action' not found");
    server.enqueue(fakes::empty_choices_reply());
    EXPECT_THROW_MSG(action::run(args()), ValueError, "Empty LLM response");
    server.enqueue(fakes::tool_call_reply("perform_action", "{\"action\": \"Tap\", "));
    EXPECT_THROW(action::run(args()), JsonParseError);
    server.enqueue(fakes::tool_call_reply("perform_action", "[1, 2]"));
    EXPECT_THROW_MSG(action::run(args()), TypeError, "Expected dict, got list");
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": ["Tap"]})"));
    EXPECT_THROW(action::run(args()), TypeError);
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Wait", "duration": "soon"})"));
    EXPECT_THROW(action::run(args()), ConversionError);
    EXPECT_TRUE(input_log().empty());

    // Coordinates that are not numbers: the executor refuses them, nothing is sent.
    const Json r = act(R"({"action": "Tap", "element": ["left", "top"]})");
    EXPECT_EQ(r["success"], false);
    EXPECT_EQ(r["message"], "Tap needs element=[x,y] with two numbers");
    EXPECT_TRUE(input_log().empty());
}

TEST_F(ActionMode, TheDeviceIsCheckedBeforeAnythingElse) {
    ModeArgs a = args();
    a.device_id = "missing-9";
    EXPECT_THROW_MSG(action::run(a), RuntimeError, "Device not found: missing-9 (connected: emu-1)");
    adb.set_devices(testsupport::FakeAdb::kHeader + std::string("\n"));
    EXPECT_THROW_MSG(action::run(args()), RuntimeError, "No ADB devices detected");
    EXPECT_TRUE(server.requests().empty());
    // Only the listing ran.
    for (const std::string& call : adb.adb_log()) EXPECT_EQ(call, "devices -l");
}

TEST_F(ActionMode, ADeviceGoneAfterTheCheckFailsTheScreenshot) {
    adb.set_knob("VANISH_AFTER", "1");  // the listing is the last call that sees it
    EXPECT_THROW_MSG(action::run(args()), RuntimeError,
                     "Screenshot failed on device 'emu-1': error: device 'emu-1' not found");
    EXPECT_TRUE(server.requests().empty());
}
