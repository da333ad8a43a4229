// Run reports end to end: the droidlens command with --report (or DROIDLENS_REPORT=1)
// against the simulated device and the scripted model, the page's name and place,
// the record unchanged, and the page opened in a real headless browser (Chromium)
// where one is installed: it loads with no console message and no network request,
// shows the run's steps and texts, and shows hostile model text as text.
#include <droidlens/json.hpp>

#include "device_mode_fixture.hpp"
#include "query_support.hpp"
#include "utils/subprocess.hpp"

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

using namespace droidlens;
using testsupport::ScopedEnv;

namespace {

namespace stdfs = std::filesystem;

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// What the browser made of a page.
struct BrowserView {
    std::string dom;      // the document after its script ran
    std::string console;  // console lines the browser logged
    int requests = 0;     // network requests it tried (all go to a counting proxy)
};

const char* chromium() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(p, X_OK) == 0) return p;
    return nullptr;
}

// Opens `page` in headless Chromium twice: once printing the DOM, once taking a
// screenshot into `png`. Every request the page might make is sent to a local
// proxy that counts it (the browser's own update and time checks aside).
BrowserView open_in_browser(const std::string& page, const std::string& png, const testsupport::TempDir& dir) {
    std::atomic<int> requests{0};
    httplib::Server proxy;
    proxy.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        // The browser's own services (update checks, time, accounts) are not the page.
        static const std::regex own_services(R"((^|\.)(google\.com|googleapis\.com|gstatic\.com)(:\d+)?$)");
        if (!std::regex_search(req.get_header_value("Host"), own_services)) ++requests;
        res.status = 404;
        return httplib::Server::HandlerResponse::Handled;
    });
    const int port = proxy.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { proxy.listen_after_bind(); });
    const std::vector<std::string> common = {
        chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + dir.file("profile"), "--proxy-server=http://127.0.0.1:" + std::to_string(port),
        "--proxy-bypass-list=<-loopback>", "--enable-logging=stderr", "--v=0", "--window-size=1280,1600",
        "--hide-scrollbars"};
    std::vector<std::string> dump = common;
    dump.insert(dump.end(), {"--dump-dom", "file://" + page});
    const auto d = proc::run_process(dump, std::chrono::seconds(90));
    std::vector<std::string> shot = common;
    shot.insert(shot.end(), {"--screenshot=" + png, "file://" + page});
    const auto s = proc::run_process(shot, std::chrono::seconds(90));
    proxy.stop();
    serving.join();
    BrowserView v;
    v.dom = d.stdout_data;
    std::regex console_line(R"(CONSOLE\(\d+\)\]? ?.*)");
    for (const std::string* err : {&d.stderr_data, &s.stderr_data}) {
        std::istringstream in(*err);
        for (std::string line; std::getline(in, line);)
            if (line.find(":CONSOLE") != std::string::npos || line.find("Refused to") != std::string::npos)
                v.console += line + "\n";
    }
    v.requests = requests;
    return v;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class ReportCli : public testsupport::DeviceModeTest {
protected:
    ScopedEnv env_[9] = {{"DROIDLENS_BASE_URL", std::nullopt}, {"OPENAI_BASE_URL", std::nullopt},
                         {"DROIDLENS_API_KEY", std::nullopt},  {"OPENAI_API_KEY", std::nullopt},
                         {"DROIDLENS_MODEL", std::nullopt},    {"DROIDLENS_TEMPERATURE", std::nullopt},
                         {"DROIDLENS_MAX_TOKENS", std::nullopt}, {"DROIDLENS_TIMEOUT", std::nullopt},
                         {"DROIDLENS_REPORT", std::nullopt}};

    // The command with `args`; `env` ("NAME=value") set for it alone (the runner keeps
    // droidlens settings from the children it starts, so they are passed through env).
    CliRun droidlens_cli(std::vector<std::string> args, const std::string& env = "") {
        args.insert(args.begin(), DROIDLENS_CLI);
        if (!env.empty()) args.insert(args.begin(), {"env", env});
        args.insert(args.end(), {"--base-url", server.base_url(), "--model", "vision-model", "--api-key",
                                 "sk-report-secret", "-o", out.str()});
        const auto r = proc::run_process(args, std::chrono::seconds(60));
        return {r.exit_code, r.stdout_data, r.stderr_data};
    }

    // The report's path from the command's standard error (its only line there).
    static std::string report_path(const CliRun& r) {
        const std::string prefix = "droidlens: report: ";
        const auto at = r.err.rfind(prefix);
        if (at == std::string::npos) return "";
        return r.err.substr(at + prefix.size(), r.err.find('\n', at) - at - prefix.size());
    }

    // Checks a page in the browser when one is installed; returns its DOM ("" without).
    std::string browse(const std::string& page) {
        if (!chromium()) return "";
        testsupport::TempDir browser_dir;
        const std::string png = out.file(stdfs::path(page).stem().string() + ".png");
        const BrowserView v = open_in_browser(page, png, browser_dir);
        EXPECT_EQ(v.console, "") << page;
        EXPECT_EQ(v.requests, 0) << page;
        EXPECT_GT(stdfs::file_size(png), 10000u) << "no screenshot of " << page;
        EXPECT_NE(v.dom.find("<main>"), std::string::npos) << v.dom.substr(0, 500);
        // DROIDLENS_KEEP_REPORTS=DIR keeps the pages and their screenshots to look at.
        if (const char* keep = std::getenv("DROIDLENS_KEEP_REPORTS")) {
            std::error_code ec;
            stdfs::create_directories(keep, ec);
            stdfs::copy_file(page, stdfs::path(keep) / stdfs::path(page).filename(),
                             stdfs::copy_options::overwrite_existing, ec);
            stdfs::copy_file(png, stdfs::path(keep) / stdfs::path(png).filename(),
                             stdfs::copy_options::overwrite_existing, ec);
        }
        return v.dom;
    }
};

const char* kHostile = "<script>alert('pwned')</script><img src=x onerror=alert(1)>";

}  // namespace

TEST_F(ReportCli, AnAutomationRunReportsEveryStepAndShowsHostileTextAsText) {
    on_each_request([this](int n) { set_screen(617, 1280, static_cast<unsigned char>(40 * n)); });
    server.enqueue(fakes::text_reply(std::string("I see ") + kHostile + "\ndo(action=\"Tap\", element=[500, 100])"));
    server.enqueue(fakes::text_reply("do(action=\"Swipe\", start=[500, 800], end=[500, 200])"));
    server.enqueue(fakes::text_reply("do(action=\"Long Press\", element=[300, 300])"));
    server.enqueue(fakes::text_reply("do(action=\"Type\", text=\"hello\")"));
    server.enqueue(fakes::text_reply("finish(message=\"Done: settings open\")"));
    const CliRun r = droidlens_cli({"automate", "open the settings", "--max-steps", "5", "--lang", "en", "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The record is the mode's own, and nothing but it is on standard output.
    EXPECT_EQ(Json::parse(r.out).dump(),
              R"({"mode":"automate","status":"finished","message":"Done: settings open","steps":5})");

    const std::string page = report_path(r);
    ASSERT_FALSE(page.empty()) << r.err;
    EXPECT_EQ(stdfs::path(page).parent_path().string(), out.str());
    EXPECT_TRUE(std::regex_match(stdfs::path(page).filename().string(),
                                 std::regex(R"(\d{8}_\d{6}_automate_report\.html)")))
        << page;
    const std::string html = testsupport::read_text(page);
    EXPECT_EQ(count(html, "<section class=\"step"), 5u);
    EXPECT_EQ(count(html, "data:image/jpeg;base64,"), 5u);
    EXPECT_EQ(html.find("sk-report-secret"), std::string::npos);
    EXPECT_NE(html.find("vision-model"), std::string::npos);
    EXPECT_NE(html.find("finished: Done: settings open"), std::string::npos);
    EXPECT_NE(html.find("Tapped (308, 128)"), std::string::npos);
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_EQ(html.find("<img src=x"), std::string::npos);

    const std::string dom = browse(page);
    if (dom.empty()) GTEST_SKIP() << "chromium is not installed: the page was not opened in a browser";
    EXPECT_EQ(count(dom, "<section class=\"step"), 5u);
    EXPECT_NE(dom.find("&lt;script&gt;alert('pwned')&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(dom.find("<img src=\"x\""), std::string::npos);
    EXPECT_NE(dom.find("open the settings"), std::string::npos);
}

TEST_F(ReportCli, QueryModesReportTheirScreensAndBoxes) {
    const std::string shot = out.file("home.png");
    testsupport::write_text(shot, testsupport::tiny_png(300, 600, 0x90));

    server.enqueue(fakes::tool_call_reply(
        "return_target", R"({"label": "OK", "bounding_box": [100, 100, 400, 200], "confidence": 0.9, "page": 1})"));
    CliRun r = droidlens_cli({"locate", "the OK button", "-i", shot, "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Json::parse(r.out).contains("report"));
    EXPECT_EQ(report_path(r), out.file("home_locate_report.html"));

    // The environment asks for a report as the flag does.
    server.enqueue(fakes::tool_call_reply(
        "return_text_bboxes", R"({"items": [{"text": "12.50", "bounding_box": [10, 10, 300, 60], "page": 1}, )"
                        R"({"text": "<i>hostile</i>", "bounding_box": [10, 700, 300, 760], "page": 1}]})"));
    r = droidlens_cli({"glyphpin", "all prices", "-i", shot, "--lang", "en"}, "DROIDLENS_REPORT=1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_path(r), out.file("home_glyphpin_report.html"));
    const std::string glyph_html = testsupport::read_text(report_path(r));
    EXPECT_EQ(glyph_html.find("<i>hostile</i>"), std::string::npos);
    EXPECT_NE(glyph_html.find("&lt;i&gt;hostile&lt;/i&gt;"), std::string::npos);

    const std::string before = testsupport::source_dir() + "/examples/settings_before.png";
    const std::string after = testsupport::source_dir() + "/examples/settings_after.png";
    r = droidlens_cli({"diff", "-i", before, "-i", after}, "DROIDLENS_REPORT=true");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report_path(r), out.file("settings_before_diff_report.html"));
    const std::string diff_html = testsupport::read_text(report_path(r));
    EXPECT_EQ(count(diff_html, "data:image/jpeg;base64,"), 2u);  // both screens, side by side
    EXPECT_NE(diff_html.find("before: settings_before.png"), std::string::npos);

    for (const char* name : {"home_locate_report.html", "home_glyphpin_report.html", "settings_before_diff_report.html"}) {
        const std::string dom = browse(out.file(name));
        if (dom.empty()) GTEST_SKIP() << "chromium is not installed: the pages were not opened in a browser";
        EXPECT_NE(dom.find("Result record"), std::string::npos) << name;
    }
}

TEST_F(ReportCli, DeviceModesReportTheScreenTheyCaptured) {
    adb.set_file(kSerial, "window_dump.xml",
                 "<hierarchy><node text=\"OK\" class=\"android.widget.Button\" bounds=\"[300,900][600,1000]\"/>"
                 "</hierarchy>");
    server.enqueue(fakes::tool_call_reply("return_target", R"({"label": "OK", "bounding_box": [600, 730, 800, 760]})"));
    CliRun r = droidlens_cli({"nodepin", "the OK button", "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Named after the screenshot the mode captured, which the page shows with the node.
    const std::string page = report_path(r);
    ASSERT_TRUE(std::regex_match(stdfs::path(page).filename().string(),
                                 std::regex(R"(\d{8}_\d{6}_nodepin_report\.html)")))
        << page;
    std::string html = testsupport::read_text(page);
    EXPECT_EQ(count(html, "data:image/jpeg;base64,"), 1u);
    EXPECT_NE(html.find("node [300,900][600,1000]"), std::string::npos);

    // The action's page shows the screen the model saw, with the action drawn on it.
    server.enqueue(fakes::tool_call_reply("perform_action", R"({"action": "Tap", "element": [500, 500]})"));
    r = droidlens_cli({"action", "tap the middle", "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    html = testsupport::read_text(report_path(r));
    EXPECT_NE(html.find("Tapped (308, 640)"), std::string::npos);
    EXPECT_EQ(count(html, "data:image/jpeg;base64,"), 1u);
}

TEST_F(ReportCli, VerdictsReportTheirEvidenceAndAWaitEveryJudgedScreen) {
    // A wait: the grey screen is judged, then the dark one passes; the repeat of the
    // grey one in between is not judged and gets no section.
    adb.set_file(kSerial, "screens/1.png", testsupport::tiny_png(617, 1280, 0x80));
    adb.set_file(kSerial, "screens/3.png", testsupport::tiny_png(617, 1280, 0x10));
    server.enqueue(testsupport::tool_reply("return_verdict", {{"passed", false}, {"reason", "Still grey."}}));
    server.enqueue(testsupport::tool_reply(
        "return_verdict", {{"passed", true}, {"reason", "Dark now."}, {"evidence_box", {100, 100, 900, 900}}}));
    CliRun r = droidlens_cli({"wait", "the screen is dark", "--interval", "0", "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string html = testsupport::read_text(report_path(r));
    EXPECT_NE(html.find("Poll 1 at "), std::string::npos);
    EXPECT_NE(html.find("Poll 3 at "), std::string::npos);
    EXPECT_EQ(html.find("Poll 2 at "), std::string::npos);
    EXPECT_NE(html.find("passed: Dark now."), std::string::npos);  // the outcome
    EXPECT_EQ(count(html, "data:image/jpeg;base64,"), 2u);
    browse(report_path(r));

    // An assertion that does not hold: exit status 6, and the page says why.
    server.enqueue(testsupport::tool_reply("return_verdict", {{"passed", false}, {"reason", "No dialog."}}));
    r = droidlens_cli({"assert", "a dialog is shown", "--report"});
    ASSERT_EQ(r.status, 6) << r.err;
    html = testsupport::read_text(report_path(r));
    EXPECT_NE(html.find("not passed: No dialog."), std::string::npos);
    EXPECT_EQ(count(html, "data:image/jpeg;base64,"), 1u);
}

TEST_F(ReportCli, AFailedRunStillGetsItsReportAndTheErrorLine) {
    server.enqueue(fakes::text_reply("do(action=\"Back\")"));
    for (int i = 0; i < 4; ++i) server.enqueue(fakes::error_reply(500, "model overloaded"));
    // The budget leaves room for the retries even on a slow, loaded machine.
    const CliRun r = droidlens_cli({"automate", "go back", "--max-steps", "3", "--report", "--timeout", "20"});
    EXPECT_EQ(r.status, 4);  // the model service failed
    EXPECT_EQ(r.out, "");
    const std::string page = report_path(r);
    ASSERT_FALSE(page.empty()) << r.err;
    EXPECT_NE(r.err.find("droidlens: error: "), std::string::npos);
    const std::string html = testsupport::read_text(page);
    EXPECT_EQ(count(html, "<section class=\"step"), 2u);  // step 1, and the failure
    EXPECT_NE(html.find("model overloaded"), std::string::npos);
    // Without the option nothing is written.
    const CliRun plain = droidlens_cli({"diff", "-i", testsupport::source_dir() + "/examples/settings_before.png", "-i",
                                        testsupport::source_dir() + "/examples/settings_after.png"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
}
