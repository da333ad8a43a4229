// The droidlens command end to end: a real child process, its exit status, its
// standard output (the result JSON only) and standard error (one error line).
#include <droidlens/json.hpp>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"
#include "utils/subprocess.hpp"

#include <algorithm>

using namespace droidlens;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun droidlens_cli(std::vector<std::string> args) {
    args.insert(args.begin(), DROIDLENS_CLI);
    auto r = proc::run_process(args, std::chrono::seconds(60));
    return {r.exit_code, r.stdout_data, r.stderr_data};
}

// The command run under a wrapper program (e.g. `timeout -s INT 1`).
CliRun droidlens_cli_via(std::vector<std::string> wrapper, std::vector<std::string> args) {
    wrapper.push_back(DROIDLENS_CLI);
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    auto r = proc::run_process(wrapper, std::chrono::seconds(60));
    return {r.exit_code, r.stdout_data, r.stderr_data};
}

// Every model setting cleared, so a test sees only what it sets itself.
struct CleanModelEnv {
    ScopedEnv a{"DROIDLENS_BASE_URL", std::nullopt}, b{"OPENAI_BASE_URL", std::nullopt},
        c{"DROIDLENS_API_KEY", std::nullopt}, d{"OPENAI_API_KEY", std::nullopt}, e{"DROIDLENS_MODEL", std::nullopt},
        f{"DROIDLENS_TEMPERATURE", std::nullopt}, g{"DROIDLENS_MAX_TOKENS", std::nullopt},
        h{"DROIDLENS_TIMEOUT", std::nullopt};
};

std::string example(const std::string& name) { return testsupport::source_dir() + "/examples/" + name; }

}  // namespace

TEST(Cli, DiffOfTheBundledExamplesPrintsTheRecordAndWritesTheImage) {
    TempDir out;
    CliRun r = droidlens_cli({"diff", "-i", example("settings_before.png"), "-i", example("settings_after.png"), "-o",
                           out.str()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Json j = Json::parse(r.out);
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"mode", "diff_score", "diff_boxes", "diff_image_path"}));
    EXPECT_EQ(j["mode"], "diff");
    EXPECT_GT(j["diff_score"].get<double>(), 0.0);
    EXPECT_FALSE(j["diff_boxes"].empty());
    EXPECT_EQ(j["diff_image_path"], out.file("settings_before_diff.png"));
    EXPECT_TRUE(std::filesystem::exists(out.file("settings_before_diff.png")));
}

TEST(Cli, DiffOfARealPairWithDifferentSizes) {
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q03_shot_empty-case_size-mismatch_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q03_shot_empty-case_size-mismatch_b.png");
    TempDir out;
    CliRun r = droidlens_cli({"diff", "-i", a, "-i", b, "-o", out.file("nested/dir")});
    ASSERT_EQ(r.status, 0) << r.err;
    Json j = Json::parse(r.out);
    EXPECT_TRUE(std::filesystem::exists(j["diff_image_path"].get<std::string>()));
}

// `droidlens diff -i golden.png -i now.png --mask status-bar --fail-above 0.01` as a
// test suite's one-line assertion: status 0 or 6, the record printed either way.
TEST(Cli, DiffFailAboveIsAOneLineVisualAssertion) {
    TempDir out;
    const std::vector<std::string> pair = {"diff", "-i", example("settings_before.png"), "-i",
                                           example("settings_after.png"), "-o", out.str()};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = pair;
        args.insert(args.end(), extra.begin(), extra.end());
        return droidlens_cli(args);
    };
    // Options that cannot be used are usage errors; another mode refuses them.
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--mask", "0,0,2000,10"}, {"--fail-above", "5"}, {"--merge-gap", "-3"}, {"--max-boxes", "x"}}) {
        const CliRun r = with(bad);
        EXPECT_EQ(r.status, 2) << bad[0] << ": " << r.err;
        EXPECT_EQ(r.out, "");
    }
    const CliRun other = droidlens_cli({"displays", "--mask", "status-bar"});
    EXPECT_EQ(other.status, 2);
    EXPECT_EQ(other.err, "droidlens: error: Argument 'mask' is taken by the diff mode only\n");

    // Tusky's two captures: the status bar's Wi-Fi icon changed, and the login button.
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q02_tusky_login_button-restyle_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q02_tusky_login_button-restyle_b.png");
    const CliRun pass = droidlens_cli({"diff", "-i", a, "-i", b, "-o", out.str(), "--mask", "status-bar",
                                       "--fail-above", "0.01"});
    ASSERT_EQ(pass.status, 0) << pass.err;
    const Json pj = Json::parse(pass.out);
    EXPECT_EQ(pj["passed"], true);
    for (const Json& box : pj["diff_boxes"]) EXPECT_GE(box[1].get<int>(), 120) << box;  // nothing in the bar
    // A stricter threshold catches the button.
    const CliRun strict = droidlens_cli({"diff", "-i", a, "-i", b, "-o", out.str(), "--mask", "status-bar",
                                         "--fail-above", "0.001"});
    EXPECT_EQ(strict.status, 6);
    EXPECT_EQ(Json::parse(strict.out)["passed"], false);

    // The overflow menu opened: a real change fails the one-line assertion.
    REQUIRE_SHARED_FIXTURE(menu_a, "diffpairs/q06_evilinsult_overflow-menu_a.jpg");
    REQUIRE_SHARED_FIXTURE(menu_b, "diffpairs/q06_evilinsult_overflow-menu_b.jpg");
    const CliRun fail = droidlens_cli({"diff", "-i", menu_a, "-i", menu_b, "-o", out.str(), "--mask", "status-bar",
                                       "--fail-above", "0.01"});
    EXPECT_EQ(fail.status, 6) << fail.err;
    EXPECT_EQ(fail.err, "");
    const Json fj = Json::parse(fail.out);
    EXPECT_EQ(fj["passed"], false);
    EXPECT_GT(fj["diff_score"].get<double>(), 0.01);
    EXPECT_TRUE(std::filesystem::exists(fj["diff_image_path"].get<std::string>()));
}

TEST(Cli, BadInputGivesOneErrorLineAndTheRightStatus) {
    TempDir out;
    testsupport::write_text(out.path() / "not_an_image.png", "hello");
    testsupport::write_text(out.path() / "file", "x");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // the whole stderr line after "droidlens: error: ", or a prefix when ending in "*"
    };
    std::vector<Case> cases = {
        {{"diff", "-i", example("settings_before.png")}, 2, "diff mode requires two images"},
        {{"unknown", "x"}, 2, "Unknown mode: unknown"},
        {{"diff", "-i", out.file("missing.png"), "-i", example("settings_after.png")},
         1,
         "No such file or directory: '" + out.file("missing.png") + "'"},
        {{"diff", "-i", out.file("not_an_image.png"), "-i", example("settings_after.png")}, 1, "*"},
        {{"diff", "-i", example("settings_before.png"), "-i", example("settings_after.png"), "-o",
          out.file("file/sub")},
         1,
         "*"},
        {{"diff", "--display-id", "two"}, 2, "*"},
        {{"diff", "--no-such-flag"}, 2, "*"},
        {{"diff", "-i", example("settings_before.png"), "-i", example("settings_after.png"), "-i",
          example("settings_after.png")},
         2,
         "diff mode requires two images, got 3"},
        {{"diff", "-i", example("settings_before.png"), "-i", example("settings_after.png"), "then"},
         2,
         "unexpected argument 'then': droidlens diff takes no request (see droidlens diff --help)"},
        {{"locate", "x", "--base-url", "http://127.0.0.1:9/v1", "--model", "m", "--temperature", "2.5"},
         2,
         "Invalid temperature: must be a number from 0 to 2"},
        {{}, 2, "*"},
    };
    for (const Case& c : cases) {
        CliRun r = droidlens_cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(r.err.rfind("droidlens: error: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (c.message != "*") {
            EXPECT_EQ(r.err, "droidlens: error: " + c.message + "\n");
        }
    }
    // Nothing was written beside the inputs.
    EXPECT_FALSE(std::filesystem::exists(out.path() / "outputs"));
}

TEST(Cli, ModelModesNeedAConfiguredService) {
    CleanModelEnv clean;
    TempDir cwd;
    CliRun r = droidlens_cli({"locate", "the OK button", "-i", example("settings_before.png")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "droidlens: error: No model service configured: set --base-url or DROIDLENS_BASE_URL (or "
              "OPENAI_BASE_URL)\n");
    r = droidlens_cli({"automate", "open settings", "--base-url", "http://127.0.0.1:9/v1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "droidlens: error: No model configured: set --model or DROIDLENS_MODEL\n");
}

TEST(Cli, DisplaysOfTheSimulatedDevice) {
    REQUIRE_SHARED_FIXTURE(report, "dumpsys/dumpsys_display_chromebook_arc_r_3displays.txt");
    testsupport::FakeAdb adb;
    CliRun r = droidlens_cli({"displays"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "droidlens: error: No ADB devices detected\n");

    adb.add_device("SER1");
    adb.set_file("SER1", "dumpsys_display.txt", testsupport::read_text(report));
    adb.set_file("SER1", "dumpsys_sf_display_id.txt",
                 "Display 1886094531531010 (HWC display 1): port=2 pnpId=AUS displayName=\"ASUS MB16AMT\"\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"displays"}, std::vector<std::string>{"displays", "--display-id", "2"},
          std::vector<std::string>{"displays", "--device-id", "SER1"}}) {
        r = droidlens_cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const Json j = Json::parse(r.out);
        EXPECT_EQ(j["mode"], "displays");
        EXPECT_EQ(j["device_id"], "SER1");
        ASSERT_EQ(j["displays"].size(), 3u);
        EXPECT_EQ(j["displays"][2]["display_name"], "HDMI Screen");
        EXPECT_EQ(j["displays"][2]["hwc_port"], 2);
        EXPECT_EQ(j["displays"][1]["hwc_port"], nullptr);
    }
    r = droidlens_cli({"displays", "--device-id", "NOPE"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "droidlens: error: Device not found: NOPE (connected: SER1)\n");
}

TEST(Cli, HelpAndVersion) {
    CliRun r = droidlens_cli({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"locate", "--image", "--device-id", "--display-id", "--output-dir", "--max-steps",
                             "--lang", "--base-url", "--api-key", "--model", "--temperature", "--max-tokens",
                             "--timeout", "--config", "DROIDLENS_BASE_URL"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    r = droidlens_cli({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("droidlens ", 0), 0u);
}

// Ctrl-C while a device call hangs: the command stops at once, kills the adb child
// and everything it started, and exits 130 (143 for SIGTERM) with one error line.
TEST(Cli, InterruptStopsPromptlyAndLeavesNoAdbChildBehind) {
    CleanModelEnv clean;
    // The stand-in client: its hang leaves a child ("sleep 37.25") holding the output
    // open, which only a kill of the whole process group ends.
    testsupport::FakeAdb adb{testsupport::FakeAdb::BrokenClient{}};
    adb.add_device("SER1", "device", "Pixel_7");
    adb.set_knob("HANG", "37.25");  // a duration no other process sleeps for
    adb.set_knob("ONLY", "screencap");
    TempDir out;
    for (const auto& [sig, status] : {std::pair<std::string, int>{"INT", 130}, {"TERM", 143}}) {
        const auto t0 = std::chrono::steady_clock::now();
        // The signal comes once the device call hangs (a fixed delay would race a slow
        // start, as under the sanitizers); the shell's status is the command's own.
        const std::string signal_when_hanging =
            "\"$@\" & pid=$!; i=0; while ! pgrep -f '^sleep 37.25' >/dev/null && [ $i -lt 400 ]; do sleep 0.05; "
            "i=$((i+1)); done; kill -" + sig + " $pid; wait $pid";
        CliRun r = droidlens_cli_via({"sh", "-c", signal_when_hanging, "sh"},
                                     {"locate", "the OK button", "--base-url", "http://127.0.0.1:9/v1", "--model",
                                      "m", "-o", out.str()});
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_LT(took, 20.0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("droidlens: error: Cancelled", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        const auto left = proc::run_process({"pgrep", "-f", "^sleep 37.25"}, std::chrono::seconds(5));
        EXPECT_EQ(left.stdout_data, "") << "adb children survived SIG" << sig;
    }
}
