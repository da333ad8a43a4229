// The action executor: parsing the model's action calls, the quoting and splitting of
// typed text, coordinate scaling, and every action performed on the simulated device.
#include <gtest/gtest.h>

#include <droidlens/cancel.hpp>
#include <droidlens/errors.hpp>

#include <cmath>
#include <limits>
#include <thread>

#include "device/action_executor.hpp"
#include "device/adb/input.hpp"
#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"
#include "utils/coords.hpp"
#include "utils/subprocess.hpp"

using droidlens::Json;
using droidlens::ValueError;
using namespace droidlens::actions;
namespace adb = droidlens::adb;

namespace {

Json obj(const char* text) { return Json::parse(text); }

}  // namespace

// ---------------------------------------------------------------------------
// parse_action

TEST(ParseAction, ReadsEveryActionForm) {
    EXPECT_EQ(parse_action(R"(do(action="Tap", element=[500, 300]))"),
              obj(R"({"_metadata":"do","action":"Tap","element":[500,300]})"));
    EXPECT_EQ(parse_action(R"(do(action="Double Tap", element=[1,2]))")["action"], "Double Tap");
    EXPECT_EQ(parse_action(R"(do(action="Long Press", element=[1.5,2e2]))"),
              obj(R"({"_metadata":"do","action":"Long Press","element":[1.5,200.0]})"));
    EXPECT_EQ(parse_action(R"(do(action="Swipe", start=[500,700], end=[500,300]))"),
              obj(R"({"_metadata":"do","action":"Swipe","start":[500,700],"end":[500,300]})"));
    EXPECT_EQ(parse_action(R"(do(action="Type", text="hello"))"),
              obj(R"({"_metadata":"do","action":"Type","text":"hello"})"));
    EXPECT_EQ(parse_action(R"(do(action="Type_Name", text=""))")["action"], "Type_Name");
    EXPECT_EQ(parse_action(R"(do(action="Back"))"), obj(R"({"_metadata":"do","action":"Back"})"));
    EXPECT_EQ(parse_action(R"(do(action="Home"))"), obj(R"({"_metadata":"do","action":"Home"})"));
    EXPECT_EQ(parse_action(R"(finish(message="All done"))"), obj(R"({"_metadata":"finish","message":"All done"})"));
}

TEST(ParseAction, KeepsKeyOrderAndExtraArguments) {
    const Json a = parse_action(R"(do(element=[1,2], action="tap", note=None, ok=True))");
    std::vector<std::string> keys;
    for (auto it = a.begin(); it != a.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"_metadata", "action", "element", "note", "ok"}));
    EXPECT_TRUE(a["note"].is_null());
    EXPECT_EQ(a["ok"], true);
    EXPECT_EQ(parse_action("do(action='Tap', element=[1,2], flag=false, x=null)")["flag"], false);
}

TEST(ParseAction, NormalisesActionNamesAndAliases) {
    const std::pair<const char*, const char*> cases[] = {
        {"click", "Tap"},          {" CLICK ", "Tap"},         {"double_tap", "Double Tap"},
        {"doubletap", "Double Tap"}, {"long_press", "Long Press"}, {"LongPress", "Long Press"},
        {"type_name", "Type_Name"}, {"Type Name", "Type_Name"}, {"BACK", "Back"}};
    for (const auto& [given, canonical] : cases) {
        const std::string call = std::string("do(action=\"") + given + "\", element=[1,2], text=\"x\")";
        EXPECT_EQ(parse_action(call)["action"], canonical) << given;
    }
    EXPECT_EQ(canonical_action_name("Swipe Up"), "Swipe Up");
    EXPECT_EQ(canonical_action_name(" screenshot"), "Screenshot");
}

TEST(ParseAction, WaitDurations) {
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration="2 seconds"))")["duration"], "2.0 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration="2.5 s"))")["duration"], "2.5 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration="3"))")["duration"], "3.0 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration=0.1))")["duration"], "0.1 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration="500 ms"))")["duration"], "0.5 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait"))")["duration"], "1.0 seconds");
    EXPECT_EQ(parse_action(R"(do(action="Wait", duration=-0.0))")["duration"], "0.0 seconds");
    EXPECT_EQ(parse_action("do(action=\"Wait\", duration=\"2\xE7\xA7\x92\")")["duration"], "2.0 seconds");  // 2秒
    EXPECT_THROW_MSG(parse_action(R"(do(action="Wait", duration="soon"))"), ValueError,
                     "cannot read the Wait duration 'soon'; write it like \"2 seconds\"");
    EXPECT_THROW_MSG(parse_action(R"(do(action="Wait", duration=-1))"), ValueError,
                     "Wait duration must not be negative");
    EXPECT_EQ(format_seconds(2), "2.0 seconds");
    EXPECT_EQ(format_seconds(0.1 + 0.2), "0.30000000000000004 seconds");
    EXPECT_EQ(format_seconds(1e20), "1e+20 seconds");
}

TEST(ParseAction, StringEscapesAndQuotes) {
    EXPECT_EQ(parse_action(R"(do(action="Type", text="a\"b\\c\nd\te\rf\'g"))")["text"], "a\"b\\c\nd\te\rf'g");
    EXPECT_EQ(parse_action(R"(do(action='Type', text='it\'s "fine"'))")["text"], "it's \"fine\"");
    EXPECT_EQ(parse_action(R"(do(action="Type", text="\u4f60\u597d \ud83d\ude00"))")["text"],
              "\xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80");
    EXPECT_EQ(parse_action(R"(do(action="Type", text="C:\path\x"))")["text"], "C:\\path\\x");  // unknown kept
    EXPECT_EQ(parse_action("do(action=\"Type\", text=\"\xE4\xBD\xA0)\")")["text"], "\xE4\xBD\xA0)");
}

TEST(ParseAction, SpacingTrailingCommasAndNesting) {
    EXPECT_EQ(parse_action("  \n do ( action = \"Tap\" ,\n element = [ 10 , 20 , ] , ) \n\t"),
              obj(R"({"_metadata":"do","action":"Tap","element":[10,20]})"));
    EXPECT_EQ(parse_action(R"(do(action="Back", extra=[[1, [2]], [], -3, +4, .5]))")["extra"],
              obj(R"([[1,[2]],[],-3,4,0.5])"));
    EXPECT_EQ(parse_action("finish()"), obj(R"({"_metadata":"finish","message":""})"));
}

TEST(ParseAction, MalformedCallsSayWhatAndWhere) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "empty action text; expected do(action=...) or finish(message=...)"},
        {"tap(500, 300)", "expected do(...) or finish(...) at position 0"},
        {"do action=\"Tap\"", "expected '(' after 'do' at position 3"},
        {"do(action=\"Tap\", element [1,2])", "expected '=' after argument name 'element' at position 25"},
        {"do(action: \"Tap\")", "expected '=' after argument name 'action' at position 9"},
        {"do(action=\"Tap\", element=[1,2]", "missing ')' to close the call opened at position 2"},
        {"do(action=\"Type\", text=\"abc)", "unterminated string starting at position 23"},
        {"do(action=\"Tap\", element=[1,2]) then more", "unexpected text after the call: 'then more' at position 32"},
        {"do(action=\"Tap\" element=[1,2])", "expected ',' or ')' after the value of 'action' at position 16"},
        {"do(\"Tap\")", "expected an argument name (like action=...) or ')' at position 3"},
        {"do(action=Tap)", "unexpected 'Tap' as the value of 'action' (text values must be quoted) at position 10"},
        {"do(action=\"Tap\", element=[1 2])", "expected ',' or ']' in the list of 'element' at position 28"},
        {"do(action=\"Tap\", element=[1,2", "unterminated list starting at position 25"},
        {"do(action=\"Tap\", element=[1.2.3, 4])", "invalid number '1.2.3' at position 26"},
        {"do(action=\"Tap\", element=[1e999, 4])", "number out of range at position 26"},
        {"do(action=\"Tap\", action=\"Back\")", "duplicate argument 'action' at position 17"},
        {"do(action=\"Type\", text=\"\\u12\")", "invalid \\u escape (needs four hex digits) at position 24"},
        {"do(action=\"Type\", text=\"\\ud800x\")", "unpaired surrogate in \\u escape at position 24"},
        {"do(action=", "expected a value for 'action' but the text ended at position 10"},
    };
    for (const auto& [text, message] : cases) EXPECT_THROW_MSG(parse_action(text), ValueError, message);
    // Positions count characters, not bytes, so the model can find the spot.
    EXPECT_THROW_MSG(parse_action("do(action=\"\xE4\xBD\xA0\" x)"), ValueError,
                     "expected ',' or ')' after the value of 'action' at position 14");
    const std::string deep = "do(action=\"Back\", x=" + std::string(100, '[') + std::string(100, ']') + ")";
    EXPECT_THROW(parse_action(deep), ValueError);
}

TEST(ParseAction, ChecksActionsAndTheirArguments) {
    const std::pair<const char*, const char*> cases[] = {
        {"do(action=\"Fly\")",
         "unknown action 'Fly'; valid actions: Tap, Double Tap, Long Press, Swipe, Type, Type_Name, Back, Home, Wait"},
        {"do(action=\"Screenshot\")",
         "unknown action 'Screenshot'; valid actions: Tap, Double Tap, Long Press, Swipe, Type, Type_Name, Back, "
         "Home, Wait"},
        {"do(element=[1,2])", "do(...) needs action=\"...\", for example do(action=\"Tap\", element=[500,500])"},
        {"do(action=3)", "action must be quoted text such as \"Tap\", got 3"},
        {"do(action=\"Tap\")", "Tap needs element=[x,y]"},
        {"do(action=\"Long Press\", element=[1,2,3])",
         "Long Press needs element=[x,y] with two finite numbers, got element=[1,2,3]"},
        {"do(action=\"Tap\", element=[\"a\", 2])",
         "Tap needs element=[x,y] with two finite numbers, got element=[\"a\",2]"},
        {"do(action=\"Tap\", element=[True, 2])",
         "Tap needs element=[x,y] with two finite numbers, got element=[true,2]"},
        {"do(action=\"Swipe\", start=[1,2])", "Swipe needs start=[x1,y1] and end=[x2,y2]"},
        {"do(action=\"Swipe\", start=[1,2], end=5)", "Swipe needs end=[x2,y2] with two finite numbers, got end=5"},
        {"do(action=\"Type\")", "Type needs text=\"...\" (quoted text)"},
        {"do(action=\"Type_Name\", text=5)", "Type_Name needs text=\"...\" (quoted text)"},
        {"finish(message=[1])", "finish needs message=\"...\" (quoted text)"},
        {"do(action=\"Tap\", element=[nan, 2])",
         "unexpected 'nan' as the value of 'element' (text values must be quoted) at position 26"},
    };
    for (const auto& [text, message] : cases) EXPECT_THROW_MSG(parse_action(text), ValueError, message);
}

// ---------------------------------------------------------------------------
// Pure pieces of the executor

// The executor and the drawing code share one conversion, so a tap lands on the
// pixel the annotation marks.
TEST(ToPixel, TruncatesAndClamps) {
    using droidlens::coords::relative_to_pixel;
    EXPECT_EQ(relative_to_pixel(500, 617), 308);   // 308.5 truncated
    EXPECT_EQ(relative_to_pixel(999, 1280), 1278);  // 1278.72
    EXPECT_EQ(relative_to_pixel(1000, 617), 616);   // the far edge is the last pixel
    EXPECT_EQ(relative_to_pixel(-20, 617), 0);
    EXPECT_EQ(relative_to_pixel(1e300, 617), 616);  // no overflow converting to an integer
    EXPECT_EQ(relative_to_pixel(0.5, 1), 0);
    EXPECT_EQ(relative_to_pixel(290, 100), 28);     // (290 / 1000) * 100 is just below 29
    EXPECT_THROW_MSG(relative_to_pixel(std::nan(""), 10), droidlens::ConversionError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW(relative_to_pixel(std::numeric_limits<double>::infinity(), 10), droidlens::ConversionError);
}

TEST(ShellQuote, SurvivesARealShell) {
    // What the device shell does with a quoted word: it must come out unchanged.
    const std::string hostile[] = {"it's", "a;b", "$(touch /tmp/x)", "`id`", "a b", "%s", "\"q\"", "'", "''",
                                   "&|<>*?~#!\\", ""};
    for (const std::string& word : hostile) {
        const auto r = droidlens::proc::run_process({"/bin/sh", "-c", "printf '%s' " + adb::shell_quote(word)},
                                                    std::chrono::seconds(5));
        EXPECT_EQ(r.stdout_data, word);
    }
}

TEST(TextInput, SplitsEscapesAndRefuses) {
    using Cmds = std::vector<std::vector<std::string>>;
    EXPECT_EQ(adb::text_input_args("hello world"), (Cmds{{"text", "'hello%sworld'"}}));
    EXPECT_EQ(adb::text_input_args(""), Cmds{});
    // 16 characters per call; a blank counts as one character.
    EXPECT_EQ(adb::text_input_args("abcdefghijklmnopqrstuvwxyz 0123456789"),
              (Cmds{{"text", "'abcdefghijklmnop'"}, {"text", "'qrstuvwxyz%s01234'"}, {"text", "'56789'"}}));
    // A literal "%s" is cut between "%" and "s" so the device types it as written;
    // "%" before a blank and "%%" stay together.
    EXPECT_EQ(adb::text_input_args("100%sure"), (Cmds{{"text", "'100%'"}, {"text", "'sure'"}}));
    EXPECT_EQ(adb::text_input_args("5% off"), (Cmds{{"text", "'5%%soff'"}}));
    EXPECT_EQ(adb::text_input_args("%%s"), (Cmds{{"text", "'%%'"}, {"text", "'s'"}}));
    EXPECT_EQ(adb::text_input_args("it's"), (Cmds{{"text", "'it'\\''s'"}}));
    // Line breaks and tabs become key events.
    EXPECT_EQ(adb::text_input_args("a\nb\r\nc\td\n"),
              (Cmds{{"text", "'a'"}, {"keyevent", "66"}, {"text", "'b'"}, {"keyevent", "66"}, {"text", "'c'"},
                    {"keyevent", "61"}, {"text", "'d'"}, {"keyevent", "66"}}));
    EXPECT_THROW_MSG(adb::text_input_args("caf\xC3\xA9 au lait"), ValueError,
                     "cannot type non-ASCII text with adb input (character 3); only ASCII text can be typed");
    EXPECT_THROW_MSG(adb::text_input_args(std::string("a\0b", 3)), ValueError,
                     "cannot type control character 0x00 (character 1) with adb input");
}

TEST(InputErrors, FindsTheErrorLine) {
    EXPECT_EQ(adb::find_error_line(0, "", ""), "");
    EXPECT_EQ(adb::find_error_line(1, "", "error: device 'x' not found\n"), "error: device 'x' not found");
    EXPECT_EQ(adb::find_error_line(0, "", "error: device offline\n"), "error: device offline");
    EXPECT_EQ(adb::find_error_line(0, "Exception occurred while executing 'tap':\n  at x\n", ""),
              "Exception occurred while executing 'tap':");
    EXPECT_EQ(adb::find_error_line(127, "/system/bin/sh: input: inaccessible or not found\n", ""),
              "/system/bin/sh: input: inaccessible or not found");
    EXPECT_EQ(adb::find_error_line(3, "", ""), "adb exited with status 3");
    EXPECT_EQ(adb::find_error_line(2, "something odd\n", ""), "something odd");
}

// ---------------------------------------------------------------------------
// ActionHandler against the simulated device (real adb child processes)

namespace {

using testsupport::FakeAdb;

// What the device ends up typing from the logged input commands: `input text` turns
// "%s" into a blank within one call; ENTER and TAB key events type "\n" and "\t".
std::string typed_text(const std::vector<std::string>& log) {
    std::string out;
    for (const std::string& line : log) {
        if (line.rfind("input text ", 0) == 0) {
            const std::string arg = line.substr(11);
            for (std::size_t i = 0; i < arg.size(); ++i) {
                if (arg[i] == '%' && i + 1 < arg.size() && arg[i + 1] == 's') {
                    out += ' ';
                    ++i;
                } else {
                    out += arg[i];
                }
            }
        } else if (line == "input keyevent 66") {
            out += '\n';
        } else if (line == "input keyevent 61") {
            out += '\t';
        } else {
            out += "<" + line + ">";
        }
    }
    return out;
}

ActionResult run(const ActionHandler& h, const char* call, int w = 617, int hgt = 1280) {
    return h.execute(parse_action(call), w, hgt);
}

}  // namespace

TEST(ActionHandlerDevice, EveryActionReachesTheDeviceAsItsInputCommand) {
    FakeAdb fake;
    fake.add_device("emu-1");
    fake.add_device("other");
    const ActionHandler h("emu-1");

    auto r = run(h, R"(do(action="Tap", element=[500, 500]))");
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.message, "Tapped (308, 640)");
    EXPECT_FALSE(r.should_finish);
    EXPECT_EQ(run(h, R"(do(action="Double Tap", element=[999, 1]))").message, "Double-tapped (616, 1)");
    EXPECT_EQ(run(h, R"(do(action="Long Press", element=[100, 900]))").message, "Long-pressed (61, 1152)");
    EXPECT_EQ(run(h, R"(do(action="Swipe", start=[500, 800], end=[500.9, 200]))").message,
              "Swiped (308, 1024) -> (309, 256)");
    EXPECT_EQ(run(h, R"(do(action="Back"))").message, "Pressed Back");
    EXPECT_EQ(run(h, R"(do(action="Home"))").message, "Pressed Home");
    EXPECT_EQ(run(h, R"(do(action="Type_Name", text="hi there"))").message, "Typed 8 characters");
    // Clamped to the screen, numeric text accepted for coordinates.
    EXPECT_TRUE(h.execute(obj(R"({"_metadata":"do","action":"Tap","element":[1000, -40]})"), 617, 1280).success);
    EXPECT_TRUE(h.execute(obj(R"({"_metadata":"do","action":"Tap","element":["250", " 750 "]})"), 617, 1280).success);

    EXPECT_EQ(fake.input_log("emu-1"),
              (std::vector<std::string>{"input tap 308 640", "input tap 616 1", "input tap 616 1",
                                        "input swipe 61 1152 61 1152 1000", "input swipe 308 1024 309 256 300",
                                        "input keyevent 4", "input keyevent 3", "input text hi%sthere",
                                        "input tap 616 0", "input tap 154 960"}));
    EXPECT_TRUE(fake.input_log("other").empty());
    // The double tap is one device shell line: its two taps are not an adb round trip apart.
    const auto adb_log = fake.adb_log();
    ASSERT_GE(adb_log.size(), 2u);
    EXPECT_EQ(adb_log[0], "-s emu-1 shell input tap 308 640");
    EXPECT_EQ(adb_log[1], "-s emu-1 shell input tap 616 1 & sleep 0.1; input tap 616 1 && wait $!");
}

TEST(ActionHandlerDevice, DisplayOptionAndDefaultDevice) {
    FakeAdb fake;
    fake.add_device("only");
    const ActionHandler h(std::nullopt, 2);
    EXPECT_TRUE(run(h, R"(do(action="Back"))").success);
    EXPECT_TRUE(run(h, R"(do(action="Double Tap", element=[0, 0]))", 100, 100).success);
    EXPECT_TRUE(run(h, R"(do(action="Type", text="a b"))").success);
    EXPECT_EQ(fake.input_log("only"), (std::vector<std::string>{"input -d 2 keyevent 4", "input -d 2 tap 0 0",
                                                                "input -d 2 tap 0 0", "input -d 2 text a%sb"}));
    EXPECT_EQ(fake.adb_log().front(), "shell input -d 2 keyevent 4");
}

TEST(ActionHandlerDevice, HostileTextArrivesLiterallyAndRunsNothing) {
    FakeAdb fake;
    fake.add_device("emu");
    testsupport::TempDir probe;
    const std::string f1 = probe.file("dollar"), f2 = probe.file("backtick"), f3 = probe.file("semi");
    const std::string text = "it's \"quoted\"; touch " + f3 + "; $(touch " + f1 + ") `touch " + f2 +
                             "` a|b&c<d>e *?~ #x \\n 100%sure 5% %%s\nline2\ttab";
    const ActionResult r = ActionHandler("emu").execute(Json{{"_metadata", "do"}, {"action", "Type"}, {"text", text}},
                                                         1080, 2400);
    EXPECT_TRUE(r.success) << r.message;
    EXPECT_EQ(r.message, "Typed " + std::to_string(text.size()) + " characters");
    const auto log = fake.input_log("emu");
    EXPECT_EQ(typed_text(log), text);
    for (const auto& line : log)  // at most 16 characters typed per call
        EXPECT_LE(typed_text({line}).size(), adb::kTextPieceChars) << line;
    EXPECT_FALSE(std::filesystem::exists(f1));
    EXPECT_FALSE(std::filesystem::exists(f2));
    EXPECT_FALSE(std::filesystem::exists(f3));
}

TEST(ActionHandlerDevice, LongTextIsTypedInPieces) {
    FakeAdb fake;
    fake.add_device("emu");
    const std::string text = "The quick brown fox jumps over the lazy dog 0123456789";
    EXPECT_TRUE(ActionHandler("emu").execute(Json{{"_metadata", "do"}, {"action", "Type"}, {"text", text}}, 10, 10).success);
    const auto log = fake.input_log("emu");
    EXPECT_EQ(log.size(), 4u);
    EXPECT_EQ(log.front(), "input text The%squick%sbrown%s");
    EXPECT_EQ(typed_text(log), text);
}

TEST(ActionHandlerDevice, UntypeableTextIsRefusedWithNothingSent) {
    FakeAdb fake;
    fake.add_device("emu");
    const ActionHandler h("emu");
    const ActionResult r = run(h, "do(action=\"Type\", text=\"bell\\u0007\")");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, "Nothing typed: cannot type control character 0x07 (character 4) with adb input");
    EXPECT_TRUE(fake.adb_log().empty());
}

TEST(ActionHandlerDevice, FinishWaitAndUnsupportedActionsSendNothing) {
    FakeAdb fake;
    fake.add_device("emu");
    const ActionHandler h("emu");
    const ActionResult fin = run(h, R"(finish(message="Opened the settings"))");
    EXPECT_EQ(fin.to_json(), obj(R"({"success":true,"message":"Opened the settings","should_finish":true})"));
    EXPECT_EQ(h.execute(obj(R"({"_metadata":"finish"})"), 1, 1).message, "");

    const ActionResult wait = run(h, R"(do(action="Wait", duration="0.05 seconds"))");
    EXPECT_TRUE(wait.success);
    EXPECT_EQ(wait.message, "Waited 0.05 seconds");
    EXPECT_FALSE(h.execute(obj(R"({"_metadata":"do","action":"Wait","duration":"later"})"), 1, 1).success);

    const std::pair<const char*, const char*> unsupported[] = {
        {R"({"_metadata":"do","action":"Swipe Up"})", "Unsupported action: Swipe Up"},
        {R"({"_metadata":"do","action":"Screenshot"})", "Unsupported action: Screenshot"},
        {R"({"_metadata":"do","action":""})", "Unsupported action: "},
        {R"({"_metadata":"do"})", "Unsupported action: "},
        {R"({"_metadata":"do","action":7})", "Unsupported action: 7"},
        {R"([1,2])", "Unsupported action: expected an action mapping, got [1,2]"},
        {R"({"_metadata":"do","action":"Tap"})", "Tap needs element=[x,y] with two numbers"},
        {R"({"_metadata":"do","action":"Tap","element":[1,2,3]})", "Tap needs element=[x,y] with two numbers"},
        {R"({"_metadata":"do","action":"Long Press","element":["x",2]})",
         "Long Press needs element=[x,y] with two numbers"},
        {R"({"_metadata":"do","action":"Swipe","start":[1,2]})",
         "Swipe needs start=[x1,y1] and end=[x2,y2] with two numbers each"},
        {R"({"_metadata":"do","action":"Type","text":null})", "Type needs text=\"...\""},
    };
    for (const auto& [mapping, message] : unsupported) {
        const ActionResult r = h.execute(obj(mapping), 100, 100);
        EXPECT_FALSE(r.success) << mapping;
        EXPECT_FALSE(r.should_finish);
        EXPECT_EQ(r.message, message);
    }
    Json nan_tap = obj(R"({"_metadata":"do","action":"Tap"})");
    nan_tap["element"] = Json::array({std::nan(""), 1.0});
    EXPECT_FALSE(h.execute(nan_tap, 100, 100).success);
    EXPECT_THROW(h.execute(obj(R"({"_metadata":"do","action":"Back"})"), 0, 100), ValueError);
    EXPECT_THROW(h.execute(obj(R"({"_metadata":"do","action":"Back"})"), 100, -1), ValueError);
    EXPECT_TRUE(fake.adb_log().empty());
}

TEST(ActionHandlerDevice, DeviceFailuresQuoteAdbsError) {
    FakeAdb fake;
    fake.add_device("emu");
    fake.add_device("locked", "unauthorized");
    EXPECT_EQ(run(ActionHandler("gone"), R"(do(action="Tap", element=[1,1]))").message,
              "Tap failed: error: device 'gone' not found");
    const ActionResult locked = run(ActionHandler("locked"), R"(do(action="Back"))");
    EXPECT_FALSE(locked.success);
    EXPECT_EQ(locked.message, "Back failed: error: device unauthorized.");
    {
        FakeAdb two;  // two devices and none named: adb refuses to pick one
        two.add_device("a");
        two.add_device("b");
        EXPECT_EQ(run(ActionHandler(), R"(do(action="Home"))").message,
                  "Home failed: error: more than one device/emulator");
    }
    {
        fake.set_knob("EXIT", "1");
        EXPECT_EQ(run(ActionHandler("emu"), R"(do(action="Swipe", start=[1,1], end=[2,2]))").message,
                  "Swipe failed: error: simulated failure");
    }
}

TEST(ActionHandlerDevice, DeviceVanishingWhileTypingStopsAndSaysHowFarItGot) {
    FakeAdb fake;
    fake.add_device("emu");
    fake.set_knob("VANISH_AFTER", "1");
    const ActionResult r = run(ActionHandler("emu"), R"(do(action="Type", text="abcdefghijklmnopqrstuvwxyz"))");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, "Type failed after 1 of 2 input commands: error: device 'emu' not found");
    EXPECT_EQ(fake.input_log("emu"), std::vector<std::string>{"input text abcdefghijklmnop"});
}

TEST(ActionHandlerDevice, MissingAdbRaises) {
    testsupport::TempDir empty;
    testsupport::ScopedEnv path("PATH", empty.str());
    EXPECT_THROW(run(ActionHandler("emu"), R"(do(action="Back"))"), droidlens::ProcessError);
}

TEST(ActionHandlerDevice, ACancelRequestEndsAWaitAtOnce) {
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        droidlens::cancel::request();
    });
    EXPECT_THROW(ActionHandler("emu").execute(obj(R"({"_metadata":"do","action":"Wait","duration":"60 seconds"})"), 1, 1),
                 droidlens::CancelledError);
    canceller.join();
    droidlens::cancel::reset();
}

TEST(ActionHandlerDevice, LargeDisplayIdsReachTheDeviceUnchanged) {
    FakeAdb fake;
    fake.add_device("emu");
    const std::int64_t display = 4294967298;  // 2^32 + 2: narrowed to 32 bits it would be display 2
    EXPECT_TRUE(run(ActionHandler("emu", display), R"(do(action="Tap", element=[0, 0]))").success);
    EXPECT_EQ(fake.input_log("emu"), std::vector<std::string>{"input -d 4294967298 tap 0 0"});
}

// ---------------------------------------------------------------------------
// Text beyond ASCII through the ADB Keyboard

namespace {

constexpr const char* kLatinIme = "com.android.inputmethod.latin/.LatinIME";

// A device that has the ADB Keyboard installed, with the stock keyboard selected.
void install_adb_keyboard(FakeAdb& fake, const std::string& serial, bool stock_selected = true) {
    fake.set_file(serial, "ime_list.txt", std::string(kLatinIme) + "\n" + adb::kAdbKeyboardIme + "\n");
    if (stock_selected) fake.set_file(serial, "settings/secure/default_input_method", std::string(kLatinIme) + "\n");
}

std::string current_ime(const FakeAdb& fake, const std::string& serial) {
    return testsupport::read_text(fake.device_dir(serial) + "/settings/secure/default_input_method");
}

Json type_action(const std::string& text) { return Json{{"_metadata", "do"}, {"action", "Type"}, {"text", text}}; }

}  // namespace

TEST(AdbKeyboard, TypesTextBeyondAsciiAndSwitchesBack) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu");
    // Chinese, an emoji, shell metacharacters and a line break, in one text.
    const std::string text = "打开设置 it's $(touch x) `id`; 100%s \"q\" 😀\n第二行";
    const ActionResult r = ActionHandler("emu", 3).execute(type_action(text), 100, 100);
    EXPECT_TRUE(r.success) << r.message;
    EXPECT_EQ(r.message, "Typed 42 characters");
    // The keyboard committed the text exactly; the line break went as ENTER.
    EXPECT_EQ(testsupport::read_text(fake.device_dir("emu") + "/adbkeyboard.txt"),
              "打开设置 it's $(touch x) `id`; 100%s \"q\" 😀第二行");
    EXPECT_EQ(fake.input_log("emu"), std::vector<std::string>{"input -d 3 keyevent 66"});
    EXPECT_EQ(fake.device_log("emu", "ime"),
              (std::vector<std::string>{"ime list -a -s", std::string("ime enable ") + adb::kAdbKeyboardIme,
                                        std::string("ime set ") + adb::kAdbKeyboardIme,
                                        std::string("ime set ") + kLatinIme}));
    EXPECT_EQ(current_ime(fake, "emu"), std::string(kLatinIme) + "\n");
    EXPECT_FALSE(std::filesystem::exists(fake.device_dir("emu") + "/x"));
    EXPECT_TRUE(fake.device_log("emu", "blocked").empty());
    // Nothing else reached the device shell unquoted: only Base64 travels in the broadcasts.
    for (const std::string& line : fake.device_log("emu", "am"))
        EXPECT_EQ(line.rfind("am broadcast -a ADB_INPUT_B64 -p com.android.adbkeyboard --es msg ", 0), 0u) << line;
}

TEST(AdbKeyboard, AlreadySelectedOrNeverSet) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu", false);
    fake.set_file("emu", "settings/secure/default_input_method", std::string(adb::kAdbKeyboardIme) + "\n");
    EXPECT_TRUE(ActionHandler("emu").execute(type_action("你好"), 10, 10).success);
    EXPECT_EQ(fake.device_log("emu", "ime"), std::vector<std::string>{"ime list -a -s"});  // no switching at all

    // No input method was ever chosen: the system default is restored.
    std::filesystem::remove(fake.device_dir("emu") + "/settings/secure/default_input_method");
    EXPECT_TRUE(ActionHandler("emu").execute(type_action("再见"), 10, 10).success);
    EXPECT_EQ(fake.device_log("emu", "ime").back(), "ime reset");
    EXPECT_EQ(testsupport::read_text(fake.device_dir("emu") + "/adbkeyboard.txt"), "你好再见");
}

TEST(AdbKeyboard, WithoutItNothingIsTypedAndTheMessageSaysWhatToInstall) {
    FakeAdb fake;
    fake.add_device("emu");
    const ActionResult r = ActionHandler("emu").execute(type_action("ok 设置"), 10, 10);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message,
              "Nothing typed: adb input cannot type non-ASCII text (character 3). Install the ADB Keyboard input "
              "method (package com.android.adbkeyboard, ADBKeyboard.apk from "
              "https://github.com/senzhk/ADBKeyBoard/releases) with `adb install ADBKeyboard.apk` and enable it "
              "with `adb shell ime enable com.android.adbkeyboard/.AdbIME`; such text is then typed through it, "
              "and your input method is restored afterwards.");
    EXPECT_TRUE(fake.input_log("emu").empty());
    EXPECT_TRUE(fake.device_log("emu", "am").empty());
    EXPECT_EQ(fake.device_log("emu", "ime"), std::vector<std::string>{"ime list -a -s"});
}

TEST(AdbKeyboard, UntypeableTextIsRefusedBeforeAnythingIsSent) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu");
    const ActionHandler h("emu");
    EXPECT_EQ(h.execute(type_action("设置\x07"), 10, 10).message,
              "Nothing typed: cannot type control character 0x07 (character 2) with the ADB Keyboard");
    EXPECT_EQ(h.execute(type_action("设\xff"), 10, 10).message,
              "Nothing typed: cannot type text that is not valid UTF-8 (byte 3) with the ADB Keyboard");
    EXPECT_TRUE(fake.adb_log().empty());

    // Long text goes in pieces cut between characters.
    const std::string long_text(3000, 'a');
    const auto steps = adb::ime_text_steps(long_text + "设置\r\nb\tc");
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_EQ(steps[0].value.size(), adb::kImeChunkBytes);
    EXPECT_EQ(steps[1].value.size(), adb::kImeChunkBytes);
    EXPECT_EQ(steps[2].value, "设置");
    EXPECT_TRUE(steps[3].is_key && steps[3].value == "66");
    EXPECT_EQ(steps[4].value, "b");
    EXPECT_TRUE(steps[5].is_key && steps[5].value == "61");
}

TEST(AdbKeyboard, TheUsersKeyboardComesBackWhenTypingFails) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu");
    fake.set_knob("ONLY", "broadcast");
    fake.set_knob("EXIT", "1");
    const ActionResult r = ActionHandler("emu").execute(type_action("设置"), 10, 10);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, "Type failed: typing stopped after 0 of 1 steps: error: simulated failure");
    EXPECT_EQ(current_ime(fake, "emu"), std::string(kLatinIme) + "\n");
    EXPECT_EQ(fake.device_log("emu", "ime").back(), std::string("ime set ") + kLatinIme);
}

TEST(AdbKeyboard, ASwitchThatDoesNotTakeIsAFailure) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu");
    fake.set_file("emu", "ime_set_ignored", "");  // `ime set` answers as if it worked
    const ActionResult r = ActionHandler("emu").execute(type_action("设置"), 10, 10);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message,
              "Type failed: the device did not switch to the ADB Keyboard (the input method is still "
              "com.android.inputmethod.latin/.LatinIME)");
    EXPECT_TRUE(fake.device_log("emu", "am").empty());
    EXPECT_EQ(current_ime(fake, "emu"), std::string(kLatinIme) + "\n");
}

TEST(AdbKeyboard, ADeviceGoneMidwayIsReported) {
    FakeAdb fake;
    fake.add_device("emu");
    install_adb_keyboard(fake, "emu");
    // list, get, enable, set, check: the device goes away before the text is sent.
    fake.set_knob("VANISH_AFTER", "5");
    const ActionResult r = ActionHandler("emu").execute(type_action("设置"), 10, 10);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message,
              "Type failed: typing stopped after 0 of 1 steps: error: device 'emu' not found; cannot switch back to "
              "the previous input method com.android.inputmethod.latin/.LatinIME: error: device 'emu' not found");
}
