// The run options table: what every front end is made from must hold together, and
// the Python stubs, written by hand, must say what the table says.
#include <droidlens/errors.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>

#include "test_support.hpp"

#include <algorithm>
#include <set>

using namespace droidlens;

namespace {

std::string collapse_spaces(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool space = c == ' ' || c == '\n' || c == '\t';
        if (space && (out.empty() || out.back() == ' ' || out.back() == '(')) continue;
        out += space ? ' ' : c;
    }
    return out;
}

}  // namespace

TEST(RunOptions, EveryRowNamesKnownModesAndItsOwnFlag) {
    // The commands of the front end that take run options besides the modes.
    std::set<std::string> known = {"screenshot", "devices", "mcp"};
    for (const std::string& m : mode_names()) known.insert(m);
    std::set<std::string> names, flags;
    for (const RunOption& o : run_options()) {
        EXPECT_TRUE(names.insert(o.name).second) << o.name;
        EXPECT_TRUE(flags.insert(o.flag).second) << o.flag;
        if (o.short_flag) {
            EXPECT_TRUE(flags.insert(o.short_flag).second) << o.short_flag;
        }
        EXPECT_EQ(std::string(o.flag), "--" + [&] {
            std::string s = o.name == std::string("image_paths") ? "image" : o.name;
            std::replace(s.begin(), s.end(), '_', '-');
            return s;
        }()) << o.name;
        std::string list = o.modes;
        EXPECT_FALSE(list.empty()) << o.name;
        for (std::size_t start = 0; start < list.size();) {
            const std::size_t end = std::min(list.find(' ', start), list.size());
            EXPECT_TRUE(known.count(list.substr(start, end - start))) << o.name << ": " << list.substr(start, end - start);
            start = end + 1;
        }
        // A default must itself pass the option's checks.
        EXPECT_EQ(check_option_value(o, o.default_value), o.default_value) << o.name;
    }
    // Positional options come first: route()'s parameter order is the table's.
    const auto& rows = run_options();
    const auto first_keyword = std::find_if(rows.begin(), rows.end(), [](const RunOption& o) { return !(o.flags & kPositional); });
    EXPECT_TRUE(std::none_of(first_keyword, rows.end(), [](const RunOption& o) { return o.flags & kPositional; }));
}

TEST(RunOptions, ThePythonStubsSignatureIsTheTables) {
    const std::string pyi = testsupport::read_text(testsupport::source_dir() + "/python/droidlens.pyi");
    const auto start = pyi.find("def route(");
    ASSERT_NE(start, std::string::npos);
    const auto end = pyi.find(") -> Optional[_Record]:", start);
    ASSERT_NE(end, std::string::npos);
    const std::string stub = collapse_spaces(pyi.substr(start, end - start));
    const std::string head = "def route(llm: Union[Modelwire, _ChatClient, None], mode: str, prompt: str, ";
    // The binding's own cancel handle follows the run options.
    EXPECT_EQ(stub, head + python_route_parameters(true) + ", cancel_token: Optional[CancelToken] = None");
}

TEST(RunOptions, ValuesFromTheCommandLineAreCheckedAsRouteChecksThem) {
    const RunOption& display = *find_run_option("display_id");
    EXPECT_EQ(option_value_from_text(display, {"2"}), 2);
    EXPECT_EQ(option_value_from_text(display, {"2.0"}), 2);
    EXPECT_EQ(option_value_from_text(display, {}), nullptr);
    EXPECT_THROW_MSG(option_value_from_text(display, {"two"}), UsageError, "--display-id: 'two' is not an integer");
    EXPECT_THROW_MSG(option_value_from_text(display, {"-1"}), UsageError, "display_id must not be negative, got -1");
    EXPECT_EQ(option_value_from_text(*find_run_option("max_steps"), {}), kDefaultMaxSteps);
    EXPECT_EQ(option_value_from_text(*find_run_option("mask"), {"status-bar", "nav-bar"}),
              Json::array({"status-bar", "nav-bar"}));
    EXPECT_THROW_MSG(option_value_from_text(*find_run_option("fail_above"), {"5"}), UsageError,
                     "fail_above must be from 0 to 1, got 5.0");

    const RunOption& server = *find_run_option("adb_server");
    for (const char* good : {"127.0.0.1:5037", "farm.example:15037", "[::1]:5037"})
        EXPECT_EQ(check_option_value(server, good), good);
    for (const char* bad : {"5037", ":5037", "host:", "host:0", "host:65536", "host:50x", "a b:1", "tcp:h/x:1"})
        EXPECT_THROW_MSG(check_option_value(server, bad), UsageError,
                         std::string("adb_server must be HOST:PORT, got \"") + bad + "\"");
}
