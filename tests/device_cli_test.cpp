// The device modes end to end: the droidlens command as a child process, the
// simulated adb it runs, and the scripted model server it reaches over HTTP.
// Standard output carries the result JSON alone, progress goes to standard error.
#include <droidlens/json.hpp>

#include "device_mode_fixture.hpp"
#include "utils/base64.hpp"
#include "utils/subprocess.hpp"

#include <filesystem>

using namespace droidlens;
using testsupport::ScopedEnv;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

class DeviceCli : public testsupport::DeviceModeTest {
protected:
    // Model settings come from the flags only.
    ScopedEnv env_[8] = {{"DROIDLENS_BASE_URL", std::nullopt}, {"OPENAI_BASE_URL", std::nullopt},
                         {"DROIDLENS_API_KEY", std::nullopt},  {"OPENAI_API_KEY", std::nullopt},
                         {"DROIDLENS_MODEL", std::nullopt},    {"DROIDLENS_TEMPERATURE", std::nullopt},
                         {"DROIDLENS_MAX_TOKENS", std::nullopt}, {"DROIDLENS_TIMEOUT", std::nullopt}};

    CliRun droidlens_cli(std::vector<std::string> args) {
        args.insert(args.begin(), DROIDLENS_CLI);
        args.insert(args.end(), {"--base-url", server.base_url(), "--model", "vision-model", "-o", out.str()});
        const auto r = proc::run_process(args, std::chrono::seconds(60));
        return {r.exit_code, r.stdout_data, r.stderr_data};
    }

    void answers(const std::vector<std::string>& texts) {
        for (const auto& t : texts) server.enqueue(fakes::text_reply(t));
    }
};

}  // namespace

TEST_F(DeviceCli, ActionTapsWhereTheModelSays) {
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Tap", "element": [480, 75]})"));
    const CliRun r = droidlens_cli({"action", "tap the search box"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Json::parse(r.out).dump(),
              R"j({"mode":"action","action":"Tap","success":true,"message":"Tapped (296, 96)"})j");
    EXPECT_EQ(input_log(), std::vector<std::string>{"input tap 296 96"});
    EXPECT_EQ(bodies().at(0)["messages"][1]["content"][0]["text"], "User request: tap the search box");
}

TEST_F(DeviceCli, AutomateRunsTheTaskToTheEnd) {
    // The Chinese task types Chinese text: the device has the ADB Keyboard.
    adb.set_file(kSerial, "ime_list.txt", "com.android.inputmethod.latin/.LatinIME\ncom.android.adbkeyboard/.AdbIME\n");
    on_each_request([this](int n) { set_screen(617, 1280, static_cast<unsigned char>(n)); });
    answers({"主屏幕上有搜索框。\ndo(action=\"Tap\", element=[500, 100])", "do(action=\"Type\", text=\"设置\")",
             "do(action=\"Swipe\", start=[500, 700], end=[500, 300])", "finish(message=\"已打开设置\")"});
    const CliRun r = droidlens_cli({"automate", "打开设置", "--max-steps", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out).dump(), R"({"mode":"automate","status":"finished","message":"已打开设置","steps":4})");
    // The result alone on standard output; the progress on standard error, line by line.
    EXPECT_EQ(r.out.find("[DEBUG]"), std::string::npos);
    EXPECT_NE(r.err.find("\n[DEBUG] Step 1 - Sending request with 2 messages\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n[DEBUG] Step 4 - Sending request with 8 messages\n"), std::string::npos);

    // Exactly the actions the model chose reached the device.
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input tap 308 128", "input swipe 308 896 308 384 300"}));
    EXPECT_EQ(testsupport::read_text(adb.device_dir(kSerial) + "/adbkeyboard.txt"), "设置");
    EXPECT_EQ(bodies().size(), 4u);
    EXPECT_EQ(bodies()[0]["messages"][0]["content"].get<std::string>().rfind("今天的日期是: ", 0), 0u);
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(out.path()))
        files += e.path().filename().string().find("_automate_step00") != std::string::npos;
    EXPECT_EQ(files, 4);
}

TEST_F(DeviceCli, AutomateStopsAtTheStepLimit) {
    on_each_request([this](int n) { set_screen(617, 1280, static_cast<unsigned char>(n)); });
    answers({"do(action=\"Back\")", "do(action=\"Home\")", "do(action=\"Back\")", "do(action=\"Home\")"});
    const CliRun r = droidlens_cli({"automate", "never done", "--max-steps", "2", "--lang", "en"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out).dump(), R"({"mode":"automate","status":"max_steps","message":"Max steps reached","steps":2})");
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input keyevent 4", "input keyevent 3"}));
    EXPECT_EQ(server.pending(), 2u);
}

TEST_F(DeviceCli, FailuresGiveOneErrorLine) {
    CliRun r = droidlens_cli({"action", "tap", "--device-id", "nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "droidlens: error: Device not found: nope\n");
    r = droidlens_cli({"automate", "go", "--max-steps", "-1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "droidlens: error: max_steps must not be negative, got -1\n");
    adb.set_devices(testsupport::FakeAdb::kHeader + std::string("\n"));
    r = droidlens_cli({"action", "tap"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "droidlens: error: No ADB devices detected\n");
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(input_log().empty());
}
