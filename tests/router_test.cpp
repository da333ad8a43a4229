// The router: argument checks and coercions, defaults, and dispatch by exact name.
#include <droidlens/errors.hpp>
#include <droidlens/route.hpp>
#include <droidlens/run.hpp>

#include "router.hpp"
#include "test_support.hpp"

#include <cmath>

using namespace droidlens;

namespace {

// Records what the handler under test receives.
std::vector<ModeArgs> g_calls;
Json g_reply = Json::object();

Json recording_handler(const ModeArgs& args) {
    g_calls.push_back(args);
    return g_reply;
}

Json failing_handler(const ModeArgs&) { throw RuntimeError("No ADB devices detected"); }

// A copy of the production table whose handlers a test replaces. The copy asks for
// no model, so tests can pass a null client; one test restores the flag.
std::vector<ModeEntry> g_table;

Json route_t(ChatModel* llm, const std::string& mode, const std::string& prompt, const RouteOptions& o = {}) {
    return route_with(g_table, llm, mode, prompt, o);
}
Json route_dynamic_t(ChatModel* llm, const Json& args, const Json& kwargs = Json::object()) {
    return route_dynamic_with(g_table, llm, args, kwargs);
}

class RouterTest : public ::testing::Test {
protected:
    void install(const std::string& mode, ModeHandler h = &recording_handler) {
        for (ModeEntry& e : g_table)
            if (mode == e.info.name) e.handler = h;
    }
    void SetUp() override {
        g_calls.clear();
        g_reply = Json{{"mode", "x"}};
        g_table = mode_table();
        for (ModeEntry& e : g_table) e.info.needs_model = false;
    }
};

Json call(const Json& kwargs) { return route_dynamic_t(nullptr, Json::array(), kwargs); }

}  // namespace

TEST_F(RouterTest, UnknownModesAreRejectedWithTheGivenTextUnchanged) {
    for (std::string mode : {"Locate", " locate", "diff ", "", "DIFF", "unknown"}) {
        EXPECT_THROW_MSG(route(nullptr, mode, "p"), ValueError, "Unknown mode: " + mode);
        EXPECT_THROW_MSG(call({{"mode", mode}, {"prompt", "p"}}), ValueError, "Unknown mode: " + mode);
    }
}

TEST_F(RouterTest, EveryModeNameReachesItsOwnHandler) {
    for (const std::string& mode : mode_names()) install(mode);
    for (const std::string& mode : mode_names()) {
        g_calls.clear();
        g_reply = Json{{"mode", mode}};
        EXPECT_EQ(route_t(nullptr, mode, "p")["mode"], mode);
        EXPECT_EQ(g_calls.size(), 1u);
    }
    EXPECT_EQ(mode_names(), (std::vector<std::string>{"displays", "diff", "nodepin", "locate", "ocr", "glyphpin",
                                                      "action", "automate", "assert", "wait"}));
}

TEST_F(RouterTest, DefaultsAndTheCommonArgumentSet) {
    install("diff");
    call({{"mode", "diff"}, {"prompt", ""}});
    ASSERT_EQ(g_calls.size(), 1u);
    const ModeArgs& a = g_calls[0];
    EXPECT_TRUE(a.image_paths.empty());
    EXPECT_FALSE(a.device_id.has_value());
    EXPECT_FALSE(a.display_id.has_value());
    EXPECT_EQ(a.output_dir, "outputs");
    EXPECT_EQ(a.max_steps, 10);
    EXPECT_EQ(a.lang, "cn");

    // Absent, null and empty image lists all arrive as an empty list.
    call({{"mode", "diff"}, {"prompt", ""}, {"image_paths", nullptr}});
    call({{"mode", "diff"}, {"prompt", ""}, {"image_paths", Json::array()}});
    EXPECT_TRUE(g_calls[1].image_paths.empty());
    EXPECT_TRUE(g_calls[2].image_paths.empty());

    // Positional arguments after the model client bind in order.
    int dummy_llm_marker = 0;
    (void)dummy_llm_marker;
    route_dynamic_t(nullptr, Json{"diff", "req", Json{"a.png", "b.png"}, "SER", 3, "out", 4, "en"});
    const ModeArgs& p = g_calls.back();
    EXPECT_EQ(p.prompt, "req");
    EXPECT_EQ(p.image_paths, (std::vector<std::string>{"a.png", "b.png"}));
    EXPECT_EQ(p.device_id, "SER");
    EXPECT_EQ(p.display_id, 3);
    EXPECT_EQ(p.output_dir, "out");
    EXPECT_EQ(p.max_steps, 4);
    EXPECT_EQ(p.lang, "en");
}

TEST_F(RouterTest, IntegersAreCoercedFromDecimalsAndBooleansButNotFromText) {
    install("locate");
    call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", -0.7}, {"max_steps", 3.7}});
    EXPECT_EQ(g_calls.back().display_id, 0);  // toward zero, then in range
    EXPECT_EQ(g_calls.back().max_steps, 3);
    call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", 2.9}});
    EXPECT_EQ(g_calls.back().display_id, 2);
    call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", true}});
    EXPECT_EQ(g_calls.back().display_id, 1);

    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", "2"}}), TypeError,
                     "Argument 'display_id' has incorrect type (expected int, got str)");
    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"max_steps", nullptr}}), TypeError,
                     "Argument 'max_steps' has incorrect type (expected int, got NoneType)");
    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", std::nan("")}}), UsageError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"max_steps", INFINITY}}), UsageError,
                     "cannot convert float infinity to integer");
    EXPECT_THROW(call({{"mode", "locate"}, {"prompt", "p"}, {"max_steps", 1e300}}), UsageError);
    // The ranges of the options table: no negative display or step limit.
    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"max_steps", -1}}), UsageError,
                     "max_steps must not be negative, got -1");
    EXPECT_THROW_MSG(call({{"mode", "locate"}, {"prompt", "p"}, {"display_id", -1.5}}), UsageError,
                     "display_id must not be negative, got -1");
    EXPECT_EQ(g_calls.size(), 3u);  // no rejected call reached the handler
}

TEST_F(RouterTest, WrongTypesAndWrongArgumentListsNeverReachAHandler) {
    install("diff");
    auto expect_type = [](const Json& kwargs, const std::string& msg) {
        EXPECT_THROW_MSG(call(kwargs), TypeError, msg);
    };
    expect_type({{"mode", 3}, {"prompt", "p"}}, "Argument 'mode' has incorrect type (expected str, got int)");
    expect_type({{"mode", "diff"}, {"prompt", nullptr}},
                "Argument 'prompt' has incorrect type (expected str, got NoneType)");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"image_paths", "a.png"}},
                "Argument 'image_paths' has incorrect type (expected list, got str)");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"image_paths", {"a.png", 7}}},
                "Argument 'image_paths[1]' has incorrect type (expected str, got int)");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"device_id", 5}},
                "Argument 'device_id' has incorrect type (expected str, got int)");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"output_dir", nullptr}},
                "Argument 'output_dir' has incorrect type (expected str, got NoneType)");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"lang", {"en"}}},
                "Argument 'lang' has incorrect type (expected str, got list)");
    expect_type({{"mode", "diff"}}, "route() missing 1 required positional argument: 'prompt'");
    expect_type(Json::object(), "route() missing 2 required positional arguments: 'mode' and 'prompt'");
    expect_type({{"mode", "diff"}, {"prompt", "p"}, {"colour", "red"}},
                "route() got an unexpected keyword argument 'colour'");
    EXPECT_THROW_MSG(route_dynamic_t(nullptr, Json{"diff", "p"}, {{"mode", "diff"}}), TypeError,
                     "route() got multiple values for argument 'mode'");
    EXPECT_THROW_MSG(route_dynamic_t(nullptr, Json{"diff", "p", {}, nullptr, nullptr, "o", 1, "cn", "extra"}),
                     TypeError, "route() takes from 3 to 9 positional arguments but 10 were given");
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(RouterTest, HandlerResultsAndErrorsPassThroughUnchanged) {
    install("diff");
    g_reply = Json{{"mode", "diff"}, {"diff_score", 0.5}};
    EXPECT_EQ(route_t(nullptr, "diff", ""), g_reply);
    g_reply = nullptr;
    EXPECT_TRUE(route_t(nullptr, "diff", "").is_null());
    g_reply = Json::array();
    EXPECT_THROW_MSG(route_t(nullptr, "diff", ""), TypeError, "Expected dict, got list");

    install("action", &failing_handler);
    EXPECT_THROW_MSG(route_t(nullptr, "action", "tap"), RuntimeError, "No ADB devices detected");
}

TEST_F(RouterTest, EachCallGetsItsOwnCopyOfTheOptions) {
    install("ocr");
    RouteOptions opts;
    opts.image_paths = std::vector<std::string>{"x.png"};
    opts.display_id = 2;
    route_t(nullptr, "ocr", "read", opts);
    route_t(nullptr, "ocr", "read", opts);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].image_paths, g_calls[1].image_paths);
    EXPECT_EQ(g_calls[1].display_id, 2);
}

TEST_F(RouterTest, ModelModesRefuseANullClientBeforeTheHandlerRuns) {
    // The production table: every mode that asks the model says so.
    for (const ModeInfo& m : modes()) {
        const bool model = std::string(m.name) != "diff" && std::string(m.name) != "displays";
        EXPECT_EQ(m.needs_model, model) << m.name;
        EXPECT_EQ(find_mode(m.name), &m);
    }
    EXPECT_EQ(find_mode("Locate"), nullptr);
    g_table = mode_table();
    install("locate");
    EXPECT_THROW_MSG(route_t(nullptr, "locate", "the OK button"), ValueError,
                     "Mode 'locate' needs a model client, but none was given");
    EXPECT_TRUE(g_calls.empty());
    install("diff");
    route_t(nullptr, "diff", "");
    EXPECT_EQ(g_calls.size(), 1u);
}

TEST_F(RouterTest, EveryCallIsARunOfItsOwnUnlessTheCallerMadeOne) {
    install("displays", [](const ModeArgs& args) -> Json {
        const RunContext* run = current_run();
        if (run == nullptr) return nullptr;
        return Json{{"run_id", run->run_id}, {"server", run->adb_server.value_or("")}, {"given", args.adb_server.value_or("")}};
    });
    RouteOptions options;
    options.adb_server = "farm.example.com:5037";
    const Json first = route_t(nullptr, "displays", "", options);
    const Json second = route_t(nullptr, "displays", "");
    EXPECT_EQ(first["server"], "farm.example.com:5037");  // every adb call of the run addresses it
    EXPECT_EQ(first["given"], "farm.example.com:5037");
    EXPECT_EQ(second["server"], "");
    EXPECT_NE(first["run_id"], second["run_id"]);
    EXPECT_EQ(current_run(), nullptr);  // the fresh run ended with the call

    auto mine = new_run_context();
    ScopedRun scope(mine);
    EXPECT_EQ(route_t(nullptr, "displays", "")["run_id"], mine->run_id);

    options.adb_server = "farm.example.com";
    g_calls.clear();
    install("displays");
    EXPECT_THROW_MSG(route_t(nullptr, "displays", "", options), UsageError,
                     "Invalid adb server 'farm.example.com': no port (expected HOST:PORT)");
    EXPECT_TRUE(g_calls.empty());
}
