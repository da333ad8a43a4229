// Shared helpers: JSON type names and printing, Base64, file writing.
#include <droidlens/errors.hpp>
#include <droidlens/console.hpp>
#include <droidlens/json.hpp>
#include <droidlens/run.hpp>

#include "test_support.hpp"
#include "utils/base64.hpp"
#include "utils/fs.hpp"
#include "utils/regex.hpp"
#include "utils/values.hpp"

#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace droidlens;
using testsupport::TempDir;

TEST(Json, TypeNamesFollowTheDynamicCallersVocabulary) {
    EXPECT_EQ(type_name(Json("x")), "str");
    EXPECT_EQ(type_name(Json(2)), "int");
    EXPECT_EQ(type_name(Json(2u)), "int");
    EXPECT_EQ(type_name(Json(2.5)), "float");
    EXPECT_EQ(type_name(Json(true)), "bool");
    EXPECT_EQ(type_name(Json::array()), "list");
    EXPECT_EQ(type_name(Json::object()), "dict");
    EXPECT_EQ(type_name(Json(nullptr)), "NoneType");
}

TEST(Json, PrintingKeepsOrderAndNonAscii) {
    Json j = Json::object();
    j["z"] = "星期一";
    j["a"] = 0.0;
    EXPECT_EQ(dump_json(j), R"({"z":"星期一","a":0.0})");
    EXPECT_EQ(dump_json_spaced(j), R"({"z": "星期一", "a": 0.0})");
    Json nested = {{"current_app", "com.x"}, {"display_id", 0}, {"l", {1, 2}}};
    EXPECT_EQ(dump_json_spaced(nested), R"({"current_app": "com.x", "display_id": 0, "l": [1, 2]})");
    Json record = {{"mode", "diff"}, {"diff_boxes", {{1, 2, 3, 4}, {5, 6, 7, 8}}}, {"empty", Json::array()},
                   {"nested", {{"a", {1, 2}}}}};
    EXPECT_EQ(dump_json_pretty(record),
              "{\n  \"mode\": \"diff\",\n  \"diff_boxes\": [\n    [1, 2, 3, 4],\n    [5, 6, 7, 8]\n  ],\n"
              "  \"empty\": [],\n  \"nested\": {\n    \"a\": [1, 2]\n  }\n}");
    EXPECT_EQ(Json::parse(dump_json_pretty(record)), record);
    // Invalid UTF-8 from a device must not make printing throw.
    EXPECT_NO_THROW(dump_json(Json(std::string("bad \xff byte"))));
}

TEST(Base64, RoundTripsBinaryAndDecodesLeniently) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
        std::string part = bytes.substr(0, n);
        EXPECT_EQ(base64::decode(base64::encode(part)), part) << n;
    }
    EXPECT_EQ(base64::encode("ab"), "YWI=");
    // Characters outside the alphabet (line breaks from wrapped output) are skipped.
    EXPECT_EQ(base64::decode("YW\nJj\r\nZA=="), "abcd");
    EXPECT_THROW_MSG(base64::decode("YWJjZA="), DecodeError, "Incorrect padding");
    EXPECT_THROW(base64::decode("YWJjZ"), DecodeError);
}

TEST(Files, WriteReplacesAtomicallyAndReportsFailures) {
    TempDir tmp;
    std::string path = tmp.file("out.png");
    fs::write_file(path, "first");
    fs::write_file(path, std::string("sec\0ond", 7));
    EXPECT_EQ(fs::read_file(path), std::string("sec\0ond", 7));
    // Only the target is left behind: no temporary files.
    int count = 0;
    for (auto& e : std::filesystem::directory_iterator(tmp.path())) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(count, 1);

    EXPECT_THROW_MSG(fs::read_file(tmp.file("missing.png")), FileSystemError,
                     "No such file or directory: '" + tmp.file("missing.png") + "'");
    EXPECT_THROW(fs::write_file(tmp.file("no/such/dir/x.png"), "x"), FileSystemError);
}

TEST(Files, DirectoryCreationFailsClearlyUnderAFile) {
    TempDir tmp;
    testsupport::write_text(tmp.path() / "plain", "x");
    fs::ensure_directory(tmp.file("a/b/c"));
    EXPECT_TRUE(std::filesystem::is_directory(tmp.path() / "a/b/c"));
    fs::ensure_directory(tmp.file("a/b/c"));  // existing: fine
    EXPECT_THROW(fs::ensure_directory(tmp.file("plain/sub")), FileSystemError);
    EXPECT_THROW(fs::ensure_directory(tmp.file("plain")), FileSystemError);
}

TEST(Files, StemDropsOnlyTheLastExtension) {
    EXPECT_EQ(fs::stem("shots/before.png"), "before");
    EXPECT_EQ(fs::stem("/x/a.b.png"), "a.b");
    EXPECT_EQ(fs::stem("home.jpg"), "home");
    EXPECT_EQ(fs::stem("noext"), "noext");
}

TEST(Regex, UnicodeClassesAndWordBoundaries) {
    using droidlens::regex::Regex;
    // CJK ideographs are word characters: no boundary between 格 and f.
    EXPECT_FALSE(Regex(R"(\bfor\s+([A-Za-z0-9_-]+)\b)", regex::kIgnoreCase).search("价格for NGX"));
    auto m = Regex(R"(\bfor\s+([A-Za-z0-9_-]+)\b)", regex::kIgnoreCase).search("价格 FOR NGX");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->str(1), "NGX");
    // U+3000 (ideographic space) is white space.
    EXPECT_TRUE(Regex(R"(^a\sb$)").search("a\u3000b"));
    // Anchored match versus search; optional groups that did not take part.
    Regex r(R"((x)?(\d+))");
    EXPECT_FALSE(Regex(R"(\d+)").match("ab12"));
    auto g = r.search("ab12");
    ASSERT_TRUE(g);
    EXPECT_FALSE(g->group(1));
    EXPECT_EQ(g->str(1), "");
    EXPECT_EQ(g->str(2), "12");
    // Non-overlapping matches left to right, including empty ones that must not stall.
    auto all = Regex(R"((\w+)=(\S+))").find_all("a=1 b=\"x y\" c=3");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].str(2), "\"x");
    EXPECT_EQ(Regex("x*").find_all("ab").size(), 3u);
    EXPECT_THROW(Regex("("), ValueError);
    EXPECT_THROW(Regex("a").search("\xff"), ValueError);
}

TEST(Values, ConversionsOfModelSuppliedValues) {
    using namespace droidlens::values;
    // Truth values as a dynamic language sees them.
    for (const Json& f : {Json(nullptr), Json(false), Json(0), Json(-0.0), Json(""), Json::array(), Json::object()})
        EXPECT_TRUE(is_false_valued(f)) << f.dump();
    for (const Json& t : {Json(true), Json(0.5), Json(" "), Json{0}, Json("0")}) EXPECT_FALSE(is_false_valued(t));

    EXPECT_EQ(to_int(Json(2.9)), 2);
    EXPECT_EQ(to_int(Json(-2.9)), -2);
    EXPECT_EQ(to_int(Json(true)), 1);
    EXPECT_EQ(to_int(Json(" 42 ")), 42);
    EXPECT_EQ(to_int(Json("-7")), -7);
    EXPECT_EQ(to_int(Json("+7")), 7);
    EXPECT_THROW_MSG(to_int(Json("2.5")), ConversionError, "invalid literal for int() with base 10: '2.5'");
    EXPECT_THROW_MSG(to_int(Json(nullptr)), ConversionError,
                     "int() argument must be a string or a real number, not 'NoneType'");
    EXPECT_THROW(to_int(Json("-")), ConversionError);
    EXPECT_THROW(to_int(Json("--1")), ConversionError);
    EXPECT_THROW(to_int(Json(1e308)), ConversionError);
    EXPECT_THROW(to_int(Json(18446744073709551615u)), ConversionError);
    EXPECT_THROW(to_int(Json("99999999999999999999")), ConversionError);
    EXPECT_THROW(to_int(Json::array()), ConversionError);

    EXPECT_EQ(to_real(Json(" 1.5 ")), 1.5);
    EXPECT_EQ(to_real(Json(3)), 3.0);
    EXPECT_EQ(to_real(Json(false)), 0.0);
    EXPECT_THROW_MSG(to_real(Json("abc")), ConversionError, "could not convert string to float: 'abc'");
    EXPECT_THROW(to_real(Json::object()), ConversionError);

    EXPECT_EQ(to_text(Json(42)), "42");
    EXPECT_EQ(to_text(Json(12.5)), "12.5");
    EXPECT_EQ(to_text(Json(3.0)), "3.0");
    EXPECT_EQ(to_text(Json(1e20)), "1e+20");
    EXPECT_EQ(to_text(Json(true)), "True");
}

TEST(Runs, ConsoleLinesOfConcurrentRunsStayWholeAndGoToTheirRunsSink) {
    std::ostringstream shared;
    set_console_stream(shared);
    std::vector<std::string> own;
    auto quiet = new_run_context();
    quiet->console = [&](std::string_view line) { own.emplace_back(line); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string line = "thread " + std::to_string(t) + " " + std::string(200, static_cast<char>('a' + t));
            for (int i = 0; i < 300; ++i) console_line(line);
        });
    }
    {
        ScopedRun scope(quiet);
        console_line("to the run's own sink");
    }
    for (std::thread& t : threads) t.join();
    set_console_stream(std::cout);
    EXPECT_EQ(own, std::vector<std::string>{"to the run's own sink"});
    std::istringstream lines(shared.str());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 209u) << line.substr(0, 40);
        EXPECT_EQ(line.find_first_not_of(line[9], 9), std::string::npos) << "lines interleaved: " << line.substr(0, 40);
    }
    EXPECT_EQ(count, 1200);
}

TEST(Runs, EachRunHasItsOwnIdAndTokenAndAdbServersAreChecked) {
    auto a = new_run_context();
    auto b = new_run_context();
    EXPECT_NE(a->run_id, b->run_id);
    EXPECT_NE(a->cancel->wait_fd(), b->cancel->wait_fd());
    EXPECT_EQ(current_run(), nullptr);
    {
        ScopedRun outer(a);
        ScopedRun inner(b);
        EXPECT_EQ(current_run(), b.get());
    }
    EXPECT_EQ(current_run(), nullptr);

    EXPECT_EQ(parse_adb_server("farm.example.com:5037"), std::make_pair(std::string("farm.example.com"), std::string("5037")));
    EXPECT_EQ(parse_adb_server("[::1]:15037"), std::make_pair(std::string("::1"), std::string("15037")));
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"farm", "no port"},
        {":5037", "empty host"},
        {"farm:", "bad port"},
        {"farm:0", "port out of range"},
        {"farm:65536", "port out of range"},
        {"farm:50x", "bad port"},
        {"-H:5037", "bad host name"},
        {"a b:5037", "bad host name"},
        {"::1:5037", "an IPv6 address must be written in brackets"},
    };
    for (const auto& [value, why] : bad)
        EXPECT_THROW_MSG(parse_adb_server(value), UsageError,
                         "Invalid adb server '" + value + "': " + why + " (expected HOST:PORT)");
}
