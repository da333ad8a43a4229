// The protocol server driven message by message: lifecycle, the error answers to
// malformed and wrong requests, tool results and errors, cancellation; and the
// `droidlens mcp` process on its standard input and output.
#include <droidlens/cancel.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>

#include "fakes/adb_fixture.hpp"
#include "mcp/server.hpp"
#include "test_support.hpp"
#include "utils/base64.hpp"
#include "utils/image.hpp"
#include "utils/png.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <random>
#include <thread>

using droidlens::Json;
namespace mcp = droidlens::mcp;

namespace {

const std::string kExamples = std::string(DROIDLENS_SOURCE_DIR) + "/examples/";

// A model that answers the locate tool at once, or, when `block` is set, waits for a
// cancel request as a model client does while its service thinks.
class ScriptedModel : public droidlens::ChatModel {
public:
    std::atomic<bool> block{false};
    std::atomic<int> calls{0};
    std::string text_answer;  // when set, a plain text answer (the automation's form)

protected:
    Json send_chat(const Json&, const Json&, const Json&, const Json&, const Json&) override {
        ++calls;
        while (block) {
            if (droidlens::cancel::requested()) throw droidlens::CancelledError("Cancelled");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!text_answer.empty()) {
            return {{"choices", {{{"message", {{"role", "assistant"}, {"content", text_answer}}}, {"finish_reason", "stop"}}}}};
        }
        const std::string args = R"({"label": "Sign in", "bounding_box": [100, 400, 900, 460], "confidence": 0.9, "page": 1})";
        return {{"choices",
                 {{{"message", {{"role", "assistant"},
                                {"content", nullptr},
                                {"tool_calls", {{{"id", "c1"}, {"type", "function"},
                                                 {"function", {{"name", "return_target"}, {"arguments", args}}}}}}}},
                   {"finish_reason", "tool_calls"}}}}};
    }
};

class Session {
public:
    explicit Session(droidlens::ChatModel* model = nullptr, droidlens::ModelConfig config = {})
        : server_(settings(model, std::move(config)), [this](const std::string& line) {
              std::lock_guard<std::mutex> lock(mutex_);
              out_.push_back(Json::parse(line));
              arrived_.notify_all();
              return true;
          }) {}

    static mcp::ServerSettings settings(droidlens::ChatModel* model, droidlens::ModelConfig config) {
        mcp::ServerSettings s;
        s.model = model;
        s.model_config = std::move(config);
        s.defaults = {out_dir().str(), 10, "en"};
        return s;
    }
    static const testsupport::TempDir& out_dir() {
        static testsupport::TempDir dir;
        return dir;
    }

    void send(std::string_view line) { server_.handle_line(line); }
    void send_json(const Json& message) { server_.handle_line(message.dump()); }

    // The messages written since the last take().
    std::vector<Json> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(out_, {});
    }

    // Sends a request and waits (up to 20 s) for the response with its id.
    Json request(const std::string& method, const Json& params, const Json& id = next_id()) {
        send_json(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
        return wait_for(id);
    }
    Json wait_for(const Json& id, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        Json found;
        arrived_.wait_for(lock, limit, [&] {
            for (auto it = out_.begin(); it != out_.end(); ++it) {
                if (it->value("id", Json()) == id && !it->contains("method")) {
                    found = *it;
                    out_.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    void initialize() {
        const Json r = request("initialize", {{"protocolVersion", "2025-11-25"}, {"capabilities", Json::object()},
                                              {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
        ASSERT_TRUE(r.contains("result")) << r;
        send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    }
    Json call(const std::string& tool, const Json& arguments) {
        const Json r = request("tools/call", {{"name", tool}, {"arguments", arguments}});
        EXPECT_TRUE(r.contains("result")) << r;
        return r.value("result", Json::object());
    }
    void shutdown() { server_.shutdown(); }

    static Json next_id() {
        static int n = 100;
        return ++n;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Json> out_;
    mcp::Server server_;
};

int error_code(const Json& response) { return response.value("error", Json::object()).value("code", 0); }

std::string tool_text(const Json& result) { return result["content"][0]["text"].get<std::string>(); }

}  // namespace

TEST(McpLifecycle, NegotiatesTheRevisionAndRefusesWorkBeforeInitialize) {
    {
        Session s;
        EXPECT_EQ(s.request("ping", Json::object())["result"], Json::object());  // allowed at any time
        EXPECT_EQ(error_code(s.request("tools/list", Json::object())), -32600);
        EXPECT_EQ(error_code(s.request("initialize", {{"capabilities", Json::object()}})), -32602);
        const Json r = s.request("initialize", {{"protocolVersion", "2025-06-18"}});
        EXPECT_EQ(r["result"]["protocolVersion"], "2025-06-18");
        EXPECT_EQ(r["result"]["capabilities"], Json::parse(R"({"tools": {"listChanged": false}})"));
        EXPECT_EQ(r["result"]["serverInfo"]["name"], "droidlens");
        EXPECT_EQ(error_code(s.request("initialize", {{"protocolVersion", "2025-06-18"}})), -32600);
        EXPECT_TRUE(s.request("tools/list", Json::object()).contains("result"));
    }
    for (const auto& [asked, answered] : std::vector<std::pair<std::string, std::string>>{
             {"2025-11-25", "2025-11-25"}, {"2024-11-05", "2025-11-25"}, {"1999-01-01", "2025-11-25"}}) {
        Session s;
        EXPECT_EQ(s.request("initialize", {{"protocolVersion", asked}})["result"]["protocolVersion"], answered) << asked;
    }
}

TEST(McpProtocol, MalformedAndWrongMessagesGetTheirErrorCodesAndTheServerGoesOn) {
    Session s;
    s.initialize();
    std::string deep(200, '[');
    deep += std::string(200, ']');
    const std::vector<std::tuple<std::string, int, Json>> cases = {
        {"this is not json", -32700, nullptr},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping")", -32700, nullptr},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"p\xff\"}", -32700, nullptr},  // not UTF-8
        {deep, -32700, nullptr},
        {"[]", -32600, nullptr},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", -32600, nullptr},
        {"42", -32600, nullptr},
        {R"({"id":7,"method":"ping"})", -32600, 7},
        {R"({"jsonrpc":"1.0","id":"a","method":"ping"})", -32600, "a"},
        {R"({"jsonrpc":"2.0","id":8,"method":5})", -32600, 8},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", -32600, nullptr},
        {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", -32600, nullptr},
        {R"({"jsonrpc":"2.0","id":9})", -32600, 9},
        {R"({"jsonrpc":"2.0","id":10,"method":"tools/list","params":[1]})", -32602, 10},
        {R"({"jsonrpc":"2.0","id":11,"method":"resources/list"})", -32601, 11},
        {R"({"jsonrpc":"2.0","id":"x","method":"no/such"})", -32601, "x"},
        {R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{}})", -32602, 12},
        {R"({"jsonrpc":"2.0","id":13,"method":"tools/call","params":{"name":5}})", -32602, 13},
        {R"({"jsonrpc":"2.0","id":14,"method":"tools/call","params":{"name":"no_such_tool"}})", -32602, 14},
        {R"({"jsonrpc":"2.0","id":15,"method":"tools/call","params":{"name":"diff","arguments":"x"}})", -32602, 15},
    };
    for (const auto& [line, code, id] : cases) {
        s.send(line);
        const std::vector<Json> out = s.take();
        ASSERT_EQ(out.size(), 1u) << line;
        EXPECT_EQ(error_code(out[0]), code) << line << " -> " << out[0];
        EXPECT_EQ(out[0]["id"], id) << line;
        EXPECT_EQ(out[0]["jsonrpc"], "2.0");
        EXPECT_TRUE(out[0]["error"]["message"].is_string());
    }
    EXPECT_EQ(s.request("ping", Json::object())["result"], Json::object());
}

TEST(McpProtocol, NotificationsAndResponsesAreNeverAnswered) {
    Session s;
    s.initialize();
    for (const char* line : {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                             R"({"jsonrpc":"2.0","method":"notifications/whatever","params":{"a":1}})",
                             R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":[1]})",
                             R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":999}})",
                             R"({"jsonrpc":"2.0","method":"ping"})", R"({"jsonrpc":"2.0","id":3,"result":{}})",
                             "", "   \r"}) {
        s.send(line);
        EXPECT_EQ(s.take(), std::vector<Json>{}) << line;
    }
}

TEST(McpTools, EveryToolHasSchemasAndTheRoutersArgumentNames) {
    Session s;
    s.initialize();
    const Json tools = s.request("tools/list", Json::object())["result"]["tools"];
    std::vector<std::string> names;
    for (const Json& t : tools) {
        names.push_back(t["name"]);
        EXPECT_FALSE(t["description"].get<std::string>().empty());
        EXPECT_EQ(t["inputSchema"]["type"], "object");
        EXPECT_EQ(t["outputSchema"]["type"], "object");
        // The router's names: the prompt and the run options; a mode's own options on
        // that mode's tool only.
        for (auto it = t["inputSchema"]["properties"].begin(); it != t["inputSchema"]["properties"].end(); ++it) {
            if (it.key() == "prompt") continue;
            const droidlens::RunOption* o = droidlens::find_run_option(it.key());
            ASSERT_NE(o, nullptr) << it.key();
            if (o->flags & droidlens::kOwnModes) {
                EXPECT_TRUE(droidlens::option_takes(*o, t["name"].get<std::string>())) << it.key();
            }
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"list_devices", "list_displays", "screenshot", "diff", "nodepin",
                                               "locate", "ocr", "glyphpin", "action", "automate", "assert",
                                               "wait"}));
    const Json automate = tools[9]["inputSchema"];
    EXPECT_EQ(automate["required"], Json::array({"prompt"}));
    EXPECT_EQ(automate["properties"]["max_steps"]["default"], 10);
    EXPECT_EQ(automate["properties"]["output_dir"]["default"], Session::out_dir().str());
}

TEST(McpTools, AModeErrorIsAToolResultWithTheLibrarysMessage) {
    droidlens::ModelConfig unconfigured;
    unconfigured.api_key = "sk-NEVER-SHOWN-4242";
    Session s(nullptr, unconfigured);
    s.initialize();
    const std::string before = kExamples + "login_before.png";
    struct Case {
        std::string tool;
        Json arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"diff", {{"image_paths", {before}}}, "diff mode requires two images"},
        {"diff", Json::object(), "Missing required argument 'image_paths' (the two screenshots to compare)"},
        {"diff", {{"image_paths", {before, 5}}}, "Argument 'image_paths[1]' has incorrect type (expected str, got int)"},
        {"diff", {{"image_paths", {before, "/no/such.png"}}}, "No such file or directory: '/no/such.png'"},
        {"diff", {{"image_paths", {before, before}}, {"colour", "red"}},
         "Unknown argument 'colour' for diff; it takes image_paths, output_dir, mask, merge_gap, max_boxes, min_area, "
         "fail_above"},
        {"locate", Json::object(), "Missing required argument 'prompt'"},
        {"locate", {{"prompt", ""}}, "Mode 'locate' needs a request (the prompt is empty)"},
        {"locate", {{"prompt", "x"}, {"display_id", "two"}},
         "Argument 'display_id' has incorrect type (expected int, got str)"},
        {"screenshot", {{"display_id", "1"}}, "Argument 'display_id' has incorrect type (expected int, got str)"},
        {"screenshot", {{"display_id", -1}}, "display_id must not be negative, got -1"},
    };
    for (const Case& c : cases) {
        const Json r = s.call(c.tool, c.arguments);
        EXPECT_EQ(r["isError"], true) << c.tool << " " << c.arguments;
        EXPECT_FALSE(r.contains("structuredContent"));
        EXPECT_EQ(tool_text(r), c.message) << c.arguments;
        EXPECT_EQ(tool_text(r).find("sk-NEVER"), std::string::npos);
    }
    // Without a model service the model modes say what is missing, and never the key.
    const Json r = s.call("locate", {{"prompt", "the button"}, {"image_paths", {before}}});
    EXPECT_EQ(r["isError"], true);
    EXPECT_NE(tool_text(r).find("DROIDLENS_BASE_URL"), std::string::npos) << tool_text(r);
    EXPECT_EQ(tool_text(r).find("sk-NEVER"), std::string::npos);
}

TEST(McpTools, ResultsCarryTheRecordTwiceAndAScaledImage) {
    ScriptedModel model;
    Session s(&model);
    s.initialize();
    const std::string before = kExamples + "login_before.png", after = kExamples + "login_after.png";
    testsupport::TempDir out;

    const Json diff = s.call("diff", {{"image_paths", {before, after}}, {"output_dir", out.str()}});
    ASSERT_EQ(diff["isError"], false) << diff;
    const Json direct = droidlens::route(nullptr, "diff", "", {std::vector<std::string>{before, after}, {}, {}, out.str()});
    EXPECT_EQ(diff["structuredContent"], direct);
    EXPECT_EQ(Json::parse(tool_text(diff)), direct);
    ASSERT_EQ(diff["content"].size(), 2u);
    EXPECT_EQ(diff["content"][1]["type"], "image");
    EXPECT_EQ(diff["content"][1]["mimeType"], "image/png");
    const droidlens::image::Raster shown =
        droidlens::png::decode(droidlens::base64::decode(diff["content"][1]["data"].get<std::string>()));
    EXPECT_EQ(shown.height(), 1024);  // 1080 x 2400 fits into 1024 on its longer side
    EXPECT_EQ(shown.width(), 461);

    const Json located = s.call("locate", {{"prompt", "Sign in"}, {"image_paths", {before}}, {"output_dir", out.str()}});
    ASSERT_EQ(located["isError"], false) << located;
    EXPECT_EQ(located["structuredContent"]["label"], "Sign in");
    EXPECT_EQ(located["structuredContent"]["annotated_image_path"], out.file("login_before_locate.png"));
    EXPECT_EQ(located["content"].size(), 2u);
}

TEST(McpTools, APhotoLikeScreenIsShrunkUntilTheResultIsWellUnderAMegabyte) {
    // Noise does not compress: at 1024 pixels it would be 1.4 MB of PNG.
    droidlens::image::Raster noise(1080, 2400, 3);
    std::mt19937 random(7);
    for (std::size_t i = 0; i < noise.size_bytes(); ++i) noise.data()[i] = static_cast<std::uint8_t>(random());
    testsupport::TempDir dir;
    droidlens::image::write_png(noise, dir.file("a.png"));
    droidlens::image::write_png(droidlens::image::Raster(1080, 2400, 3, 0), dir.file("b.png"));
    Session s;
    s.initialize();
    const Json r = s.call("diff", {{"image_paths", {dir.file("a.png"), dir.file("b.png")}}, {"output_dir", dir.str()}});
    ASSERT_EQ(r["isError"], false) << r;
    const std::string whole = r.dump();
    EXPECT_LT(whole.size(), 850u * 1024) << whole.size();
    const std::string png = droidlens::base64::decode(r["content"][1]["data"].get<std::string>());
    EXPECT_GT(droidlens::png::decode(png).height(), 300);  // still a picture worth looking at
}

TEST(McpCancellation, ACancelledCallIsStoppedAndNotAnsweredAndTheNextOneRuns) {
    ScriptedModel model;
    model.block = true;
    Session s(&model);
    s.initialize();
    const std::string image = kExamples + "login_before.png";
    testsupport::TempDir out;
    const Json locate = {{"name", "locate"},
                         {"arguments", {{"prompt", "x"}, {"image_paths", {image}}, {"output_dir", out.str()}}}};
    s.send_json(Json{{"jsonrpc", "2.0"}, {"id", "slow"}, {"method", "tools/call"}, {"params", locate}});
    const Json diff = {{"name", "diff"}, {"arguments", {{"image_paths", {image, image}}, {"output_dir", out.str()}}}};
    s.send_json(Json{{"jsonrpc", "2.0"}, {"id", "queued"}, {"method", "tools/call"}, {"params", diff}});
    for (int i = 0; i < 2000 && model.calls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(model.calls, 1);

    // The main thread still answers while the call runs.
    EXPECT_EQ(s.request("ping", Json::object())["result"], Json::object());
    s.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"queued","reason":"x"}})");
    s.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"slow"}})");
    EXPECT_EQ(s.wait_for("slow", std::chrono::milliseconds(500)), Json());
    EXPECT_EQ(s.wait_for("queued", std::chrono::milliseconds(10)), Json());

    model.block = false;
    const Json next = s.call("locate", locate["arguments"]);
    EXPECT_EQ(next["isError"], false) << next;  // the cancel request was not left standing
    EXPECT_EQ(s.take(), std::vector<Json>{});
}

TEST(McpProgress, AutomateStepsArriveBeforeTheResponseWithAPingBetween) {
    testsupport::FakeAdb adb;
    adb.add_device("emu-1", "device", "Pixel_7");
    adb.set_screencap_from("emu-1", kExamples + "login_before.png");
    adb.set_file("emu-1", "dumpsys_window.txt", "  mCurrentFocus=Window{1651cd4 u0 com.android.settings/.Main}\n");
    ScriptedModel model;
    model.text_answer = "finish(message=\"done\")";
    Session s(&model);
    s.initialize();
    testsupport::TempDir out;
    s.send_json(Json{{"jsonrpc", "2.0"}, {"id", "run"}, {"method", "tools/call"},
                     {"params", {{"name", "automate"},
                                 {"arguments", {{"prompt", "finish"}, {"output_dir", out.str()}}},
                                 {"_meta", {{"progressToken", "tok"}}}}}});
    // The step's notification, then the server's own ping, answered here as a client would.
    Json ping;
    for (int i = 0; i < 2000 && ping.is_null(); ++i) {
        for (const Json& m : s.take()) {
            if (m.value("method", "") == "notifications/progress") {
                EXPECT_EQ(m["params"]["progressToken"], "tok");
                EXPECT_EQ(m["params"]["progress"], 1);
                EXPECT_EQ(m["params"]["total"], 10);
                EXPECT_EQ(m["params"]["message"], "Step 1/10: finish(message=\"done\") -> done [finished]");
            } else if (m.value("method", "") == "ping") {
                ping = m;
            } else {
                ADD_FAILURE() << "before the ping: " << m;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(ping.contains("id")) << "no ping";
    const auto answered = std::chrono::steady_clock::now();
    s.send_json(Json{{"jsonrpc", "2.0"}, {"id", ping["id"]}, {"result", Json::object()}});
    const Json response = s.wait_for("run");
    EXPECT_LT(std::chrono::steady_clock::now() - answered, std::chrono::seconds(1));  // not the 2-second fallback
    EXPECT_EQ(response["result"]["structuredContent"]["status"], "finished");
}

TEST(McpProcess, StdoutCarriesOnlyProtocolLinesAndEndOfInputEndsTheServer) {
    testsupport::TempDir dir;
    std::string input =
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})" "\n";
    input += std::string(17u << 20, ' ') + "\n";  // longer than any message may be
    input += R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})" "\n";
    input += R"({"jsonrpc":"2.0","id":3,"method":"ping"})";  // the last line has no line break
    testsupport::write_text(dir.file("in"), input);
    const std::string command = "cd " + dir.str() + " && '" DROIDLENS_CLI "' mcp < in > out 2> err";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    std::istringstream out(testsupport::read_text(dir.file("out")));
    std::vector<Json> lines;
    for (std::string line; std::getline(out, line);) lines.push_back(Json::parse(line));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1]["error"]["code"], -32700);
    EXPECT_EQ(lines[1]["error"]["message"], "Parse error: message longer than 16 MiB");
    EXPECT_EQ(lines[2]["result"]["tools"].size(), droidlens::modes().size() + 2);  // and list_devices, screenshot
    EXPECT_EQ(lines[3], Json::parse(R"({"jsonrpc": "2.0", "id": 3, "result": {}})"));
    EXPECT_EQ(testsupport::read_text(dir.file("err")), "");
}
