// The device modes end to end: the droidlens command as a child process, the
// simulated adb it runs, and the scripted model server it reaches over HTTP.
// Standard output carries the result JSON alone, progress goes to standard error.
#include <droidlens/json.hpp>

#include "device_mode_fixture.hpp"
#include "query_support.hpp"
#include "utils/base64.hpp"
#include "utils/image.hpp"
#include "utils/subprocess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

extern char** environ;

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
    ASSERT_EQ(r.status, 6) << r.err;  // the task was not done; the record is still printed
    EXPECT_EQ(Json::parse(r.out).dump(), R"({"mode":"automate","status":"max_steps","message":"Max steps reached","steps":2})");
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input keyevent 4", "input keyevent 3"}));
    EXPECT_EQ(server.pending(), 2u);
}

TEST_F(DeviceCli, NodepinAnswersWithTheHierarchyNodeOnEachDisplay) {
    // The main display shows a dialog, display 2 (a cluster screen, captured through
    // its own id) a single label.
    adb.set_file(kSerial, "window_dump.xml",
                 "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?><hierarchy rotation=\"0\">"
                 "<node index=\"0\" class=\"android.widget.FrameLayout\" bounds=\"[0,0][617,1280]\">"
                 "<node index=\"0\" text=\"OK\" class=\"android.widget.Button\" bounds=\"[300,900][600,1000]\"/>"
                 "</node><node index=\"0\" text=\"72 km/h\" display-id=\"2\" bounds=\"[0,0][400,300]\"/>"
                 "</hierarchy>");
    set_screen(617, 1280, 0x20, 2);
    const std::string box = R"({"label": "OK", "bounding_box": [600, 730, 800, 760], "confidence": 0.9, "page": 1})";
    server.enqueue(fakes::tool_call_reply("return_target", box));
    server.enqueue(fakes::tool_call_reply("return_target", R"({"bounding_box": [100, 100, 200, 150]})"));

    CliRun r = droidlens_cli({"nodepin", "the OK button"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Json j = Json::parse(r.out);
    EXPECT_EQ(j["text"], "OK");
    EXPECT_EQ(j["bounds"], "[300,900][600,1000]");
    EXPECT_EQ(j["mode"], "nodepin");
    EXPECT_TRUE(std::filesystem::exists(j["annotated_image_path"].get<std::string>()));
    EXPECT_EQ(testsupport::read_text(j["xml_file_path"].get<std::string>()).substr(0, 5), "<?xml");
    // The dump went through the device's storage and is gone from it.
    EXPECT_EQ(adb.device_files(kSerial), std::vector<std::string>{});

    r = droidlens_cli({"nodepin", "the OK button", "--display-id", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = Json::parse(r.out);
    EXPECT_EQ(j["text"], "72 km/h");
    EXPECT_EQ(j["display-id"], "2");
    // The model saw the cluster's screen, not the phone's.
    const auto images = testsupport::request_images(bodies().at(1));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].pixel(0, 0)[0], 0x20);
}

TEST_F(DeviceCli, FailuresGiveOneErrorLine) {
    CliRun r = droidlens_cli({"action", "tap", "--device-id", "nope"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "droidlens: error: Device not found: nope (connected: emu-1)\n");
    r = droidlens_cli({"automate", "go", "--max-steps", "-1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "droidlens: error: max_steps must not be negative, got -1\n");
    adb.set_devices(testsupport::FakeAdb::kHeader + std::string("\n"));
    r = droidlens_cli({"action", "tap"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "droidlens: error: No ADB devices detected\n");
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(input_log().empty());
}

// ---------------------------------------------------------------------------
// Interrupting a run

namespace {

// The command started in the background, its output going to files.
class BackgroundCli {
public:
    BackgroundCli(const testsupport::TempDir& dir, std::vector<std::string> args)
        : out_(dir.file("cli.out")), err_(dir.file("cli.err")) {
        args.insert(args.begin(), DROIDLENS_CLI);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~BackgroundCli() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Exit status (128 + signal when killed by one), or -1 when it has not ended
    // within 20 seconds (then it is killed).
    int wait() {
        for (int i = 0; i < 2000; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void signal(int sig) const { ::kill(pid_, sig); }
    std::string out() const { return testsupport::read_text(out_); }
    std::string err() const { return testsupport::read_text(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
};

// Waits (up to 20 s) until `ready` holds.
bool eventually(const std::function<bool()>& ready) {
    for (int i = 0; i < 2000; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool logged(const testsupport::FakeAdb& adb, const std::string& word) {
    for (const auto& line : adb.adb_log())
        if (line.find(word) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST_F(DeviceCli, CtrlCWhileTheModelThinksStopsTheRunAndKeepsItsScreenshots) {
    on_each_request([this](int n) { set_screen(617, 1280, static_cast<unsigned char>(n)); });
    answers({"do(action=\"Tap\", element=[500, 500])", "do(action=\"Back\")"});
    fakes::ScriptedReply slow = fakes::text_reply("do(action=\"Home\")");
    slow.delay_ms = 60000;
    server.enqueue(slow);
    testsupport::TempDir logs;
    BackgroundCli cli(logs, {"automate", "go", "--max-steps", "10", "--base-url", server.base_url(), "--model", "m",
                             "-o", out.str()});
    ASSERT_TRUE(eventually([&] { return server.requests().size() == 3; }));
    cli.signal(SIGINT);
    EXPECT_EQ(cli.wait(), 130);
    EXPECT_EQ(cli.out(), "");
    const std::string err = cli.err();
    const std::string last = "droidlens: error: Cancelled after 2 completed steps (step 3 was interrupted); step "
                             "screenshots are in " + out.str() + "\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last) << err;
    EXPECT_EQ(err.find("droidlens: error:"), err.size() - last.size());  // the one error line, last
    int shots = 0;
    for (const auto& e : std::filesystem::directory_iterator(out.path())) shots += e.path().extension() == ".png";
    EXPECT_EQ(shots, 3);
    EXPECT_EQ(input_log(), (std::vector<std::string>{"input tap 308 640", "input keyevent 4"}));
}

// A model that looks at the screen it was sent: "the screen has gone dark" holds when
// its pixels are dark.
fakes::ScriptedReply dark_screen_verdict(const fakes::RecordedRequest& r) {
    const auto images = testsupport::request_images(r.json.value());
    const bool dark = !images.empty() && testsupport::rgb_of(images[0], 0, 0)[0] < 0x40;
    return testsupport::tool_reply("return_verdict",
                                   {{"passed", dark}, {"reason", dark ? "The screen is dark." : "The screen is grey."},
                                    {"confidence", 1}});
}

TEST_F(DeviceCli, WaitAsksOnlyForScreensThatChangedAndPassesOnTheNewOne) {
    // Captures 1 to 3 show the grey screen, 4 and later the dark one.
    adb.set_file(kSerial, "screens/1.png", testsupport::tiny_png(617, 1280, 0x80));
    adb.set_file(kSerial, "screens/4.png", testsupport::tiny_png(617, 1280, 0x10));
    server.set_responder(&dark_screen_verdict);
    const CliRun r = droidlens_cli({"wait", "the screen has gone dark", "--timeout", "30", "--interval", "0.05"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json record = Json::parse(r.out);
    EXPECT_EQ(record["mode"], "wait");
    EXPECT_EQ(record["passed"], true);
    EXPECT_EQ(record["polls"], 4);
    EXPECT_EQ(record["model_calls"], 2);  // the grey screen once, the dark one once
    EXPECT_EQ(server.requests().size(), 2u);
    ASSERT_EQ(record["verdicts"].size(), 2u);
    EXPECT_EQ(record["verdicts"][0]["passed"], false);
    EXPECT_EQ(record["verdicts"][1]["poll"], 4);
    EXPECT_NE(r.err.find("[wait] poll 2 at "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" s: screen unchanged, not asked again\n"), std::string::npos) << r.err;
}

TEST_F(DeviceCli, WaitGivesUpAtItsTimeoutWithTheLastVerdict) {
    server.set_responder(&dark_screen_verdict);
    const auto started = std::chrono::steady_clock::now();
    const CliRun r = droidlens_cli({"wait", "the screen has gone dark", "--timeout", "2", "--interval", "0.1"});
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(r.status, 6) << r.err;
    const Json record = Json::parse(r.out);
    EXPECT_EQ(record["passed"], false);
    EXPECT_EQ(record["timed_out"], true);
    EXPECT_EQ(record["reason"], "The screen is grey.");
    EXPECT_GE(record["polls"].get<int>(), 2);  // however slow a capture is (sanitizers), more than one
    EXPECT_EQ(record["model_calls"], 1);       // and the repeats of the grey screen were not asked about
    EXPECT_LT(took, 20.0);  // bounded by the timeout, not by the test's own limit

    // Screenshots are a device's business: wait takes no image files.
    const CliRun images = droidlens_cli({"wait", "x", "-i", testsupport::source_dir() + "/examples/settings_before.png"});
    EXPECT_EQ(images.status, 2) << images.err;
}

TEST_F(DeviceCli, CtrlCStopsAWait) {
    server.set_responder(&dark_screen_verdict);
    testsupport::TempDir logs;
    BackgroundCli cli(logs, {"wait", "the screen has gone dark", "--timeout", "600", "--interval", "0.1",
                             "--base-url", server.base_url(), "--model", "m", "-o", out.str()});
    ASSERT_TRUE(eventually([&] { return server.requests().size() == 1; }));
    cli.signal(SIGINT);
    EXPECT_EQ(cli.wait(), 130);
    EXPECT_EQ(cli.out(), "");
}

// A remote adb server: every adb call of the command goes to --adb-server, even with
// the environment pointing adb elsewhere (where nothing listens) and no port set.
TEST_F(DeviceCli, AdbServerOptionReachesEveryAdbCall) {
    const std::string socket = std::getenv("ADB_SERVER_SOCKET");  // tcp:127.0.0.1:PORT of the simulator
    const std::string address = socket.substr(std::string("tcp:").size());
    ScopedEnv nowhere("ADB_SERVER_SOCKET", "tcp:127.0.0.1:1");
    ScopedEnv no_port("ANDROID_ADB_SERVER_PORT", std::nullopt);
    const CliRun devices = droidlens_cli({"devices", "--adb-server", address});
    ASSERT_EQ(devices.status, 0) << devices.err;
    EXPECT_EQ(Json::parse(devices.out)["devices"][0]["device_id"], kSerial);
    server.enqueue(testsupport::tool_reply("return_target", {{"label", "x"}, {"bounding_box", {1, 2, 3, 4}}}));
    const CliRun located = droidlens_cli({"locate", "the search box", "--adb-server", address});
    ASSERT_EQ(located.status, 0) << located.err;
    const CliRun elsewhere = droidlens_cli({"devices"});
    EXPECT_EQ(elsewhere.status, 3);  // without the option: the environment's address, where nothing listens
}

TEST_F(DeviceCli, SigtermWhileAdbHangsLeavesNoChildBehind) {
    adb.set_knob("HANG", "47.25");
    adb.set_knob("ONLY", "input");
    answers({"do(action=\"Tap\", element=[500, 500])"});
    testsupport::TempDir logs;
    BackgroundCli cli(logs, {"automate", "go", "--max-steps", "3", "--base-url", server.base_url(), "--model", "m",
                             "-o", out.str()});
    ASSERT_TRUE(eventually([&] { return logged(adb, "input tap"); }));
    ASSERT_TRUE(eventually([&] { return adb.clients_running() > 0; }));
    cli.signal(SIGTERM);
    EXPECT_EQ(cli.wait(), 143);
    EXPECT_NE(cli.err().find("droidlens: error: Cancelled after 0 completed steps (step 1 was interrupted)"),
              std::string::npos)
        << cli.err();
    EXPECT_TRUE(eventually([&] { return adb.clients_running() == 0; }));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), std::filesystem::directory_iterator()), 1);
}

TEST_F(DeviceCli, CtrlCWhileTypingGivesTheKeyboardBack) {
    adb.set_file(kSerial, "ime_list.txt", "com.android.inputmethod.latin/.LatinIME\ncom.android.adbkeyboard/.AdbIME\n");
    adb.set_file(kSerial, "settings/secure/default_input_method", "com.android.inputmethod.latin/.LatinIME\n");
    adb.set_knob("HANG", "47.5");
    adb.set_knob("ONLY", "broadcast");
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Type", "text": "设置"})"));
    testsupport::TempDir logs;
    BackgroundCli cli(logs, {"action", "type 设置", "--base-url", server.base_url(), "--model", "m", "-o", out.str()});
    ASSERT_TRUE(eventually([&] { return logged(adb, "broadcast"); }));
    cli.signal(SIGINT);
    EXPECT_EQ(cli.wait(), 130);
    EXPECT_EQ(cli.err(), "droidlens: error: Cancelled while performing Type; it may be partly done\n");
    EXPECT_EQ(adb.device_log(kSerial, "ime").back(), "ime set com.android.inputmethod.latin/.LatinIME");
    EXPECT_EQ(testsupport::read_text(adb.device_dir(kSerial) + "/settings/secure/default_input_method"),
              "com.android.inputmethod.latin/.LatinIME\n");
    EXPECT_TRUE(eventually([&] { return adb.clients_running() == 0; }));
}

TEST_F(DeviceCli, EveryModeResolvesTheDeviceAlikeAndAnUnfinishedTaskExitsSix) {
    // An action the model got wrong: nothing reaches the device, the record is printed,
    // and the status says the task was not done.
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Tap"})"));
    CliRun r = droidlens_cli({"action", "tap it"});
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_EQ(Json::parse(r.out)["success"], false);
    EXPECT_TRUE(input_log().empty());

    // Two devices and none named: one message, whichever mode meets them first.
    adb.add_device("emu-2", "device", "Pixel_8");
    const std::string several =
        "droidlens: error: Multiple devices detected; please provide --device-id (connected: emu-1, emu-2)\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"action", "tap"}, {"automate", "go"}, {"locate", "x"}, {"nodepin", "x"},
          {"screenshot"}, {"displays"}}) {
        r = droidlens_cli(args);
        EXPECT_EQ(r.status, 3) << args[0];
        EXPECT_EQ(r.err, several) << args[0];
    }
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(DeviceCli, TheUsersTemperatureReachesEveryRequest) {
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Back"})"));
    ASSERT_EQ(droidlens_cli({"action", "go back"}).status, 0);
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Back"})"));
    ASSERT_EQ(droidlens_cli({"action", "go back", "--temperature", "0.7"}).status, 0);
    answers({"finish(message=\"done\")"});
    const std::string config = out.file("model.json");
    testsupport::write_text(config, R"({"temperature": 0})");
    ASSERT_EQ(droidlens_cli({"automate", "nothing", "--config", config}).status, 0);
    const auto b = bodies();
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0]["temperature"], 0.1);  // the mode's own
    EXPECT_EQ(b[1]["temperature"], 0.7);
    EXPECT_EQ(b[2]["temperature"], 0.0);
}

TEST_F(DeviceCli, AShortPlaceholderKeyIsNoSecret) {
    // "local" is in PATH (/usr/local/bin) and in "localhost": neither may be mangled.
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Home"})"));
    CliRun r = droidlens_cli({"action", "go home", "--api-key", "local"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(input_log(), std::vector<std::string>{"input keyevent 3"});
    const auto run = proc::run_process({DROIDLENS_CLI, "locate", "x", "-i", testsupport::source_dir() + "/examples/settings_before.png",
                                        "--base-url", "http://localhost:9/v1", "--model", "m", "--api-key", "local",
                                        "--timeout", "1"},
                                       std::chrono::seconds(30));
    EXPECT_EQ(run.exit_code, 4);
    EXPECT_NE(run.stderr_data.find("http://localhost:9/v1/chat/completions"), std::string::npos) << run.stderr_data;
}

TEST_F(DeviceCli, DevicesScreenshotAndConcurrentCapturesIntoOneDirectory) {
    adb.set_file(kSerial, "getprop.txt", "[ro.build.version.release]: [14]\n[ro.product.model]: [Pixel 7]\n");
    CliRun r = droidlens_cli({"devices"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json list = Json::parse(r.out);
    ASSERT_EQ(list["devices"].size(), 1u);
    EXPECT_EQ(list["devices"][0]["device_id"], kSerial);
    EXPECT_EQ(list["devices"][0]["status"], "device");
    EXPECT_EQ(list["devices"][0]["model"], "Pixel_7");
    EXPECT_EQ(list["devices"][0]["android_version"], "14");

    r = droidlens_cli({"screenshot"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json shot = Json::parse(r.out);
    EXPECT_EQ(shot["image_dimensions"], Json::parse("[617, 1280]"));
    EXPECT_TRUE(std::filesystem::exists(shot["image_path"].get<std::string>()));

    // Four locate runs started together against one device and one directory: four
    // captures and four annotated copies, none replacing another.
    for (int i = 0; i < 4; ++i) server.enqueue(testsupport::tool_reply("return_target", {{"label", "x"}, {"bounding_box", {10, 10, 20, 20}}}));
    testsupport::TempDir together;
    std::vector<std::thread> runs;
    std::vector<int> statuses(4, -1);
    for (int i = 0; i < 4; ++i) {
        runs.emplace_back([&, i] {
            statuses[i] = proc::run_process({DROIDLENS_CLI, "locate", "the box", "--base-url", server.base_url(),
                                             "--model", "m", "-o", together.str()},
                                            std::chrono::seconds(60))
                              .exit_code;
        });
    }
    for (auto& t : runs) t.join();
    EXPECT_EQ(statuses, std::vector<int>(4, 0));
    int captures = 0, annotated = 0;
    for (const auto& e : std::filesystem::directory_iterator(together.path())) {
        const std::string name = e.path().filename().string();
        annotated += name.find("_locate.png") != std::string::npos;
        captures += name.find("_locate.png") == std::string::npos && e.path().extension() == ".png";
    }
    EXPECT_EQ(captures, 4);
    EXPECT_EQ(annotated, 4);
}

TEST_F(DeviceCli, EachModeHasItsOwnHelp) {
    for (const char* mode : {"locate", "diff", "automate", "devices", "screenshot"}) {
        const auto r = proc::run_process({DROIDLENS_CLI, mode, "--help"}, std::chrono::seconds(10));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.stdout_data.rfind(std::string("droidlens ") + mode + ": ", 0), 0u) << r.stdout_data;
        EXPECT_NE(r.stdout_data.find("Example:\n  droidlens " + std::string(mode)), std::string::npos);
        EXPECT_NE(r.stdout_data.find("Exit status:"), std::string::npos);
    }
    const auto locate = proc::run_process({DROIDLENS_CLI, "locate", "--help"}, std::chrono::seconds(10)).stdout_data;
    EXPECT_NE(locate.find("--image"), std::string::npos);
    EXPECT_EQ(locate.find("--max-steps"), std::string::npos);  // only the options that apply
}

// The centre of the red target in the image a request carries, in that image's pixels.
std::array<int, 2> red_centre(const fakes::RecordedRequest& request) {
    const auto b = testsupport::find_target(testsupport::request_images(request.json.value()).at(0));
    return {(b[0] + b[2]) / 2, (b[1] + b[3]) / 2};
}

TEST_F(DeviceCli, TapsLandOnTheTargetWhateverFrameAndSizeTheModelSees) {
    // The device shows a red button around (450, 1000) on a 617 x 1280 screen.
    image::Raster screen(617, 1280, 3, 0xF0);
    testsupport::paint_target(screen, 400, 960, 500, 1040);
    adb.set_screencap(kSerial, png::encode(screen, png::Effort::Fast));
    // A model that answers pixels of the (scaled-down) image it was sent.
    int step = 0;
    server.set_responder([&](const fakes::RecordedRequest& r) {
        const auto c = red_centre(r);
        const std::string point = "[" + std::to_string(c[0]) + ", " + std::to_string(c[1]) + "]";
        if (r.json->value("tools", Json()).is_array())
            return fakes::tool_call_reply("perform_action", R"({"action": "Tap", "element": )" + point + "}");
        return fakes::text_reply(step++ == 0 ? "do(action=\"Tap\", element=" + point + ")" : "finish(message=\"done\")");
    });
    const std::vector<std::string> profile = {"--coordinates", "pixels", "--max-image-side", "640"};
    std::vector<std::string> args = {"action", "tap the red button"};
    args.insert(args.end(), profile.begin(), profile.end());
    CliRun r = droidlens_cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    args = {"automate", "tap the red button", "--max-steps", "3"};
    args.insert(args.end(), profile.begin(), profile.end());
    r = droidlens_cli(args);
    ASSERT_EQ(r.status, 0) << r.err;

    // The model saw the screen scaled to 640 high; both taps hit the button on the device.
    EXPECT_EQ(testsupport::request_images(bodies().at(0)).at(0).height(), 640);
    const auto taps = input_log();
    ASSERT_EQ(taps.size(), 2u);
    for (const std::string& tap : taps) {
        int x = 0, y = 0;
        ASSERT_EQ(std::sscanf(tap.c_str(), "input tap %d %d", &x, &y), 2) << tap;
        EXPECT_NEAR(x, 450, 4) << tap;
        EXPECT_NEAR(y, 1000, 4) << tap;
    }
}

// A ten-step automation recorded against the model replays with the model gone: the
// same actions reach the device, every step says its answer came from the cache (on
// standard error and in the report), and a request never recorded fails with status 4.
TEST_F(DeviceCli, ARecordedAutomationReplaysWithoutTheModel) {
    // The screen changes with every capture, whoever asks for it.
    for (int k = 1; k <= 10; ++k)
        adb.set_file(kSerial, "screens/" + std::to_string(k) + ".png",
                     testsupport::tiny_png(617, 1280, static_cast<unsigned char>(20 * k)));
    std::vector<std::string> script;
    for (int k = 1; k <= 9; ++k)
        script.push_back(k % 3 == 0 ? "do(action=\"Back\")"
                                    : "do(action=\"Tap\", element=[" + std::to_string(100 * k) + ", 500])");
    script.push_back("finish(message=\"done\")");
    answers(script);
    testsupport::TempDir cache;
    const std::vector<std::string> task = {"automate", "tidy up", "--max-steps", "10", "--lang", "en",
                                           "--cache", cache.str()};

    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = task;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const CliRun recorded = droidlens_cli(with({"--cache-mode", "record"}));
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_EQ(bodies().size(), 10u);
    EXPECT_EQ(recorded.err.find("answer from cache"), std::string::npos);
    const std::vector<std::string> actions = input_log();
    ASSERT_EQ(actions.size(), 9u);

    server.stop();
    std::filesystem::remove(adb.device_dir(kSerial) + "/screens/captures");
    const CliRun replayed = droidlens_cli(with({"--cache-mode", "replay", "--report"}));
    ASSERT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(replayed.out, recorded.out);
    std::vector<std::string> again = input_log();
    again.erase(again.begin(), again.begin() + 9);
    EXPECT_EQ(again, actions);
    size_t hits = 0;
    for (size_t at = replayed.err.find("answer from cache\n"); at != std::string::npos;
         at = replayed.err.find("answer from cache\n", at + 1))
        ++hits;
    EXPECT_EQ(hits, 10u) << replayed.err;
    const std::string prefix = "droidlens: report: ";
    const auto at = replayed.err.rfind(prefix);
    ASSERT_NE(at, std::string::npos) << replayed.err;
    const std::string page = testsupport::read_text(
        replayed.err.substr(at + prefix.size(), replayed.err.find('\n', at) - at - prefix.size()));
    EXPECT_NE(page.find("answer from cache"), std::string::npos);

    // Another task was never recorded: replay refuses it rather than asking.
    const CliRun missed = droidlens_cli({"automate", "something else", "--max-steps", "10", "--lang", "en", "--cache",
                                         cache.str(), "--cache-mode", "replay"});
    EXPECT_EQ(missed.status, 4) << missed.err;
    EXPECT_NE(missed.err.find("No cached answer for the request to model 'vision-model' at " + server.base_url() +
                              "/chat/completions (entry "),
              std::string::npos)
        << missed.err;
}

// Two processes asking the same question at once, both missing the cache, leave one
// whole entry (no temporary files, no mixture), and the next run is answered from it.
TEST_F(DeviceCli, TwoProcessesWritingOneCacheEntry) {
    server.set_responder([](const fakes::RecordedRequest&) {
        fakes::ScriptedReply reply = fakes::tool_call_reply("return_texts", R"({"items": [{"text": "Wi-Fi", "page": 1}]})");
        reply.delay_ms = 300;  // both requests are in flight together
        return reply;
    });
    testsupport::TempDir cache;
    const std::string shot = out.file("screen.png");
    testsupport::write_text(shot, testsupport::tiny_png(64, 48, 0x30));
    const std::vector<std::string> args = {"ocr", "all text", "-i", shot, "--cache", cache.str()};
    std::vector<CliRun> runs(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back([&, i] { runs[i] = droidlens_cli(args); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(runs[0].status, 0) << runs[0].err;
    EXPECT_EQ(runs[1].status, 0) << runs[1].err;

    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(cache.path())) names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 1u) << names.at(1);
    EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9a-f]{64}\\.json"))) << names[0];
    EXPECT_EQ(Json::parse(testsupport::read_text(cache.file(names[0])))["choices"][0]["message"]["tool_calls"][0]
                  ["function"]["name"],
              "return_texts");

    const CliRun third = droidlens_cli(args);
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(Json::parse(third.out)["text"], "Wi-Fi");
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_NE(third.err.find("answer from cache"), std::string::npos) << third.err;
}

// The command's screenshots in the raw form and with -p hold the same pixels; an
// unknown capture mode is a usage error.
TEST_F(DeviceCli, RawAndPngCapturesGiveTheSamePixels) {
    adb.set_screencap(kSerial, testsupport::read_text(testsupport::source_dir() + "/examples/settings_before.png"));
    std::vector<std::string> files;
    for (const char* mode : {"raw", "png"}) {
        const CliRun r = droidlens_cli({"screenshot", "--capture", mode});
        ASSERT_EQ(r.status, 0) << r.err;
        files.push_back(Json::parse(r.out)["image_path"].get<std::string>());
    }
    EXPECT_TRUE(image::load_rgb(files[0]) == image::load_rgb(files[1]));
    std::vector<std::string> captures;
    for (const auto& line : adb.adb_log())
        if (line.find("screencap") != std::string::npos) captures.push_back(line);
    EXPECT_EQ(captures, (std::vector<std::string>{"-s emu-1 exec-out screencap", "-s emu-1 exec-out screencap '-p'"}));

    const CliRun bad = droidlens_cli({"locate", "x", "--capture", "jpeg"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("capture must be one of raw|png|auto, got \"jpeg\""), std::string::npos) << bad.err;
}
