#include "utils/xml.hpp"

#include <droidlens/errors.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using droidlens::Json;
using droidlens::ValueError;
using droidlens::xml::Bounds;
using droidlens::xml::find_nodes_by_center_point;
using droidlens::xml::parse_bounds;
using droidlens::xml::parse_hierarchy_xml_json;

namespace {

std::vector<std::string> keys(const Json& object) {
    std::vector<std::string> out;
    for (auto it = object.begin(); it != object.end(); ++it) out.push_back(it.key());
    return out;
}

std::size_t attribute_count(const Json& nodes) {
    std::size_t n = 0;
    for (const auto& [display, list] : nodes.items())
        for (const Json& node : list) n += node.size();
    return n;
}

std::string message_of(const std::string& xml) {
    try {
        parse_hierarchy_xml_json(xml);
    } catch (const ValueError& e) {
        return e.what();
    }
    return "<no error>";
}

// A chain of `depth` nested elements below the root.
std::string nested(std::size_t depth) {
    std::string xml = "<hierarchy>";
    for (std::size_t i = 0; i < depth; ++i) xml += "<node index=\"" + std::to_string(i) + "\">";
    for (std::size_t i = 0; i < depth; ++i) xml += "</node>";
    return xml + "</hierarchy>";
}

}  // namespace

TEST(ParseBounds, PairsOfDigits) {
    EXPECT_EQ(parse_bounds("[0,0][1080,2400]"), (Bounds{0, 0, 1080, 2400}));
    EXPECT_EQ(parse_bounds("[10,20][5,1]"), (Bounds{10, 20, 5, 1}));  // no ordering enforced
    EXPECT_EQ(parse_bounds("x[1,2]y[3,4]z"), (Bounds{1, 2, 3, 4}));
    EXPECT_EQ(parse_bounds("[[1,2]][3,4]"), (Bounds{1, 2, 3, 4}));
    EXPECT_EQ(parse_bounds("[-5,0][10,10][1,1]"), (Bounds{10, 10, 1, 1}));  // the negative pair does not count
    EXPECT_EQ(parse_bounds("[0,0][9223372036854775807,1]"), (Bounds{0, 0, INT64_MAX, 1}));
    for (const char* absent : {"", "[0,0]", "[0,0][1,1][2,2]", "[-5,0][10,10]", "[0, 0][1,1]", "[0,0] [1.5,1]",
                               "[0,0][1,]", "(0,0)(1,1)", "[0,0][9223372036854775808,1]",
                               "[0,0][99999999999999999999999999999999,1]"})
        EXPECT_FALSE(parse_bounds(absent).has_value()) << absent;
}

TEST(ParseHierarchy, RealDumps) {
    struct Case {
        const char* file;
        std::size_t nodes, attributes;
    };
    for (const Case c : {Case{"uidumps/clashbot_game_display-id_1600x900.xml", 4, 84},
                         Case{"uidumps/clockweatherwidget_lockscreen_960x2142.xml", 38, 723},
                         Case{"uidumps/collegecompanion_dashboard_1080x2400.xml", 45, 766},
                         Case{"uidumps/lingbook_editor-multiline_1220x2656.xml", 72, 1224}}) {
        REQUIRE_SHARED_FIXTURE(path, c.file);
        const Json nodes = parse_hierarchy_xml_json(testsupport::read_text(path));
        ASSERT_EQ(keys(nodes), std::vector<std::string>{"0"}) << c.file;
        EXPECT_EQ(nodes["0"].size(), c.nodes) << c.file;
        EXPECT_EQ(attribute_count(nodes), c.attributes) << c.file;
    }

    REQUIRE_SHARED_FIXTURE(clock, "uidumps/clockweatherwidget_lockscreen_960x2142.xml");
    const Json lock = parse_hierarchy_xml_json(testsupport::read_text(clock));
    // Attributes in document order, whatever they are; the NAF attribute leads its node.
    EXPECT_EQ(keys(lock["0"][0]),
              (std::vector<std::string>{"index", "text", "resource-id", "class", "package", "content-desc",
                                        "checkable", "checked", "clickable", "enabled", "focusable", "focused",
                                        "scrollable", "long-clickable", "password", "selected", "bounds",
                                        "drawing-order", "hint"}));
    bool naf = false, degree = false;
    for (const Json& node : lock["0"]) {
        if (node.contains("NAF")) naf = keys(node).front() == "NAF" && node["NAF"] == "true";
        degree = degree || node["content-desc"] == "Cloudy 13\u00b0C";
    }
    EXPECT_TRUE(naf);
    EXPECT_TRUE(degree);

    // Character references decoded: line breaks and an emoji in a Flutter label.
    REQUIRE_SHARED_FIXTURE(college, "uidumps/collegecompanion_dashboard_1080x2400.xml");
    const Json dash = parse_hierarchy_xml_json(testsupport::read_text(college));
    const Json* greeting = find_nodes_by_center_point(dash, 900, 300);
    ASSERT_NE(greeting, nullptr);
    EXPECT_EQ((*greeting)["content-desc"], "Good Evening,\nJayesh \U0001F44B");

    REQUIRE_SHARED_FIXTURE(ling, "uidumps/lingbook_editor-multiline_1220x2656.xml");
    const Json editor = parse_hierarchy_xml_json(testsupport::read_text(ling));
    const Json* text = find_nodes_by_center_point(editor, 300, 1800);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ((*text)["class"], "android.widget.EditText");
    const std::string long_text = (*text)["text"];
    EXPECT_EQ(std::count(long_text.begin(), long_text.end(), '\n'), 70);
    EXPECT_EQ(long_text.rfind("# \u5173\u952e\u8def\u5f84\u7b97\u6cd5\n\n## 1.", 0), 0u);
}

TEST(FindNode, RealDumpsAtGivenPoints) {
    REQUIRE_SHARED_FIXTURE(college, "uidumps/collegecompanion_dashboard_1080x2400.xml");
    const Json dash = parse_hierarchy_xml_json(testsupport::read_text(college));
    struct Point {
        std::int64_t x, y;
        const char* bounds;  // of the expected node, or "" for none
    };
    for (const Point p : {Point{10, 2300, "[0,2112][216,2352]"}, Point{300, 1800, "[288,1766][777,1838]"},
                          Point{100, 100, "[0,0][1080,110]"}, Point{540, 1200, "[0,110][1080,2112]"},
                          Point{800, 450, "[63,416][1017,824]"}, Point{1200, 2600, ""}}) {
        const Json* node = find_nodes_by_center_point(dash, p.x, p.y);
        if (*p.bounds == '\0') {
            EXPECT_EQ(node, nullptr) << p.x << "," << p.y;
            continue;
        }
        ASSERT_NE(node, nullptr) << p.x << "," << p.y;
        EXPECT_EQ((*node)["bounds"], p.bounds) << p.x << "," << p.y;
    }
    EXPECT_EQ((*find_nodes_by_center_point(dash, 10, 2300))["content-desc"], "Home\nTab 1 of 5");

    // Four nodes with the same full-screen bounds: the outermost, first in document
    // order, is chosen, and it is the record held in the mapping itself.
    REQUIRE_SHARED_FIXTURE(game, "uidumps/clashbot_game_display-id_1600x900.xml");
    const Json nodes = parse_hierarchy_xml_json(testsupport::read_text(game));
    EXPECT_EQ(find_nodes_by_center_point(nodes, 1600, 900), &nodes["0"][0]);
    EXPECT_EQ(find_nodes_by_center_point(nodes, 800, 450, "2"), nullptr);
}

TEST(ParseHierarchy, GroupsByDisplayInPreOrder) {
    const Json nodes = parse_hierarchy_xml_json(
        "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
        "<hierarchy rotation=\"1\">\n"
        "  <!-- a comment --><node id=\"a\" display-id=\"2\" bounds=\"[0,0][10,10]\">text"
        "    <node id=\"a1\"/>"                      // no display-id: display "0", not its parent's
        "    <node id=\"a2\" display-id=\"2\"><?pi x?><other id=\"a2x\" display-id=\"2\"/></node>"
        "  </node>\n"
        "  <node id=\"b\" display-id=\"0\" text=\"&lt;&amp;&quot;&#10;\"/>\n"
        "  <node id=\"c\" display-id=\"7\"/>\n"
        "</hierarchy>\n");
    EXPECT_EQ(keys(nodes), (std::vector<std::string>{"2", "0", "7"}));
    auto ids = [&](const char* display) {
        std::vector<std::string> out;
        for (const Json& n : nodes[display]) out.push_back(n["id"]);
        return out;
    };
    EXPECT_EQ(ids("2"), (std::vector<std::string>{"a", "a2", "a2x"}));
    EXPECT_EQ(ids("0"), (std::vector<std::string>{"a1", "b"}));
    EXPECT_EQ(ids("7"), (std::vector<std::string>{"c"}));
    // Only attributes: no tag, text or children; values decoded, nothing added.
    EXPECT_EQ(nodes["2"][0], (Json{{"id", "a"}, {"display-id", "2"}, {"bounds", "[0,0][10,10]"}}));
    EXPECT_EQ(nodes["0"][1]["text"], "<&\"\n");
    EXPECT_EQ(nodes["0"][0], (Json{{"id", "a1"}}));

    EXPECT_EQ(parse_hierarchy_xml_json("<hierarchy rotation=\"0\"/>"), Json::object());
    EXPECT_EQ(parse_hierarchy_xml_json("<hierarchy>\n  text only\n</hierarchy>"), Json::object());
}

TEST(ParseHierarchy, MalformedDocumentsAreErrorsWithTheirPosition) {
    const std::string prefix = "Malformed UI hierarchy XML: ";
    EXPECT_EQ(message_of("<hierarchy>\n<node></hierarchy>"),
              prefix + "Start-end tags mismatch at offset 20 (line 2, column 9)");
    EXPECT_EQ(message_of(""), prefix + "No document element found at offset 0 (line 1, column 1)");
    EXPECT_EQ(message_of("<hierarchy><node a=\"1\" b=\"2\" a=\"3\"/></hierarchy>"),
              prefix + "duplicate attribute 'a' at offset 29 (line 1, column 30)");
    EXPECT_EQ(message_of("<hierarchy text=\"caf\xe9\"/>"), prefix + "invalid UTF-8 at offset 20 (line 1, column 21)");
    for (const std::string& bad : {std::string("   \n  "), std::string("<?xml version='1.0'?>"), std::string("<a"),
                                  std::string("<hierarchy><node/>"), std::string("<a/><b/>"),
                                  std::string("<a/>trailing"), std::string("leading<a/>"),
                                  std::string("<a x=1/>"), std::string("\x00<a/>", 5)}) {
        const std::string m = message_of(bad);
        EXPECT_EQ(m.rfind(prefix, 0), 0u) << bad << ": " << m;
        EXPECT_NE(m.find(" at offset "), std::string::npos) << m;
    }

    // A real dump cut off anywhere is refused, not half read.
    REQUIRE_SHARED_FIXTURE(path, "uidumps/collegecompanion_dashboard_1080x2400.xml");
    const std::string whole = testsupport::read_text(path);
    for (std::size_t cut : {std::size_t(1), whole.size() / 3, whole.size() / 2, whole.size() - 2}) {
        const std::string m = message_of(whole.substr(0, cut));
        EXPECT_EQ(m.rfind(prefix, 0), 0u) << "cut at " << cut << ": " << m;
    }
}

TEST(ParseHierarchy, DeepNestingIsBoundedNotAStackOverflow) {
    const std::size_t limit = droidlens::xml::kMaxDepth;
    const Json deepest = parse_hierarchy_xml_json(nested(limit));
    ASSERT_EQ(deepest["0"].size(), limit);
    EXPECT_EQ(deepest["0"][limit - 1]["index"], std::to_string(limit - 1));

    EXPECT_EQ(message_of(nested(limit + 1)).rfind("Malformed UI hierarchy XML: elements nested deeper than 1000 "
                                                  "levels at offset ",
                                                  0),
              0u);
    // Far deeper than any call stack would survive when walked recursively.
    EXPECT_NE(message_of(nested(100000)).find("nested deeper than 1000 levels"), std::string::npos);
    // Wide is fine: siblings do not nest.
    std::string wide = "<hierarchy>";
    for (int i = 0; i < 20000; ++i) wide += "<node/>";
    EXPECT_EQ(parse_hierarchy_xml_json(wide + "</hierarchy>")["0"].size(), 20000u);
}

TEST(FindNode, EdgesAreasTiesAndOddRecords) {
    Json nodes = parse_hierarchy_xml_json(
        "<hierarchy>"
        "<node id=\"screen\" bounds=\"[0,0][100,100]\">"
        "  <node id=\"same\" bounds=\"[0,0][100,100]\"/>"
        "  <node id=\"left\" bounds=\"[10,10][50,50]\"/>"
        "  <node id=\"tie\" bounds=\"[50,10][90,50]\"/>"
        "  <node id=\"line\" bounds=\"[20,60][80,60]\"/>"  // zero area, still a node
        "  <node id=\"broken\" bounds=\"[20,60] [80,70]\"/>"
        "  <node id=\"nobounds\"/>"
        "  <node id=\"reversed\" bounds=\"[90,90][80,80]\"/>"
        "</node>"
        "<node id=\"other\" display-id=\"3\" bounds=\"[0,0][5,5]\"/>"
        "</hierarchy>");
    auto at = [&](std::int64_t x, std::int64_t y, const std::string& display = "0") -> std::string {
        const Json* n = find_nodes_by_center_point(nodes, x, y, display);
        return n ? (*n)["id"].get<std::string>() : "<none>";
    };
    EXPECT_EQ(at(30, 30), "left");
    EXPECT_EQ(at(50, 50), "left");   // right and bottom edges count; equal areas: first in order
    EXPECT_EQ(at(90, 50), "tie");
    EXPECT_EQ(at(10, 10), "left");   // left and top edges count
    EXPECT_EQ(at(40, 60), "line");
    EXPECT_EQ(at(85, 85), "screen");  // the parent comes before the child with the same bounds
    EXPECT_EQ(at(100, 100), "screen");
    EXPECT_EQ(at(101, 50), "<none>");
    EXPECT_EQ(at(-1, 50), "<none>");
    EXPECT_EQ(at(2, 2, "3"), "other");
    EXPECT_EQ(at(2, 2, "1"), "<none>");

    // Records are the caller's to edit: odd entries are skipped, huge bounds do not overflow.
    nodes["0"].push_back("not a record");
    nodes["0"].push_back(Json{{"id", "numeric"}, {"bounds", 5}});
    nodes["0"].push_back(Json{{"id", "huge"}, {"bounds", "[0,0][9223372036854775807,9223372036854775807]"}});
    nodes["0"].push_back(Json{{"id", "far"}, {"bounds", "[9223372036854775806,0][9223372036854775807,3]"}});
    EXPECT_EQ(at(30, 30), "left");
    EXPECT_EQ(at(9223372036854775807, 2), "far");
    EXPECT_EQ(at(1000, 1000), "huge");
    EXPECT_EQ(find_nodes_by_center_point(Json::array(), 1, 1), nullptr);
    EXPECT_EQ(find_nodes_by_center_point(Json{{"0", "nodes"}}, 1, 1), nullptr);
}
