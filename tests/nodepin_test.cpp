// The nodepin mode against the simulated device and the scripted model over HTTP:
// the node under the centre of the model's box, per display, the dump kept beside the
// screenshot, the node drawn on it, and the failures that must pass through.
#include <droidlens/errors.hpp>

#include "device_mode_fixture.hpp"
#include "modes/nodepin.hpp"
#include "query_support.hpp"
#include "utils/image.hpp"

#include <filesystem>

using namespace droidlens;
using testsupport::DeviceModeTest;

namespace {

// A 1080 x 2400 screen: a root, a dialog with an OK button (which has a child of the
// same bounds: the parent wins the tie) and a label, plus a node of display 2. The
// label carries an attribute called "mode" and one node has no readable bounds.
const std::string kDump =
    "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>"
    "<hierarchy rotation=\"0\">"
    "<node index=\"0\" text=\"\" class=\"android.widget.FrameLayout\" bounds=\"[0,0][1080,2400]\">"
    "<node index=\"0\" text=\"Delete?\" class=\"android.widget.TextView\" mode=\"x\" bounds=\"[100,1000][980,1100]\"/>"
    "<node index=\"1\" text=\"OK\" resource-id=\"android:id/button1\" class=\"android.widget.Button\""
    " bounds=\"[540,1800][980,1960]\">"
    "<node index=\"0\" text=\"OK\" class=\"android.widget.TextView\" bounds=\"[540,1800][980,1960]\"/>"
    "</node>"
    "<node index=\"2\" text=\"broken\" class=\"android.view.View\" bounds=\"[0,0][10,10][20,20]\"/>"
    "</node>"
    "<node index=\"0\" text=\"Cluster\" display-id=\"2\" class=\"android.widget.TextView\" bounds=\"[0,0][400,200]\"/>"
    "</hierarchy>";

class NodepinMode : public DeviceModeTest {
protected:
    NodepinMode() {
        set_screen(1080, 2400);
        adb.set_file(kSerial, "window_dump.xml", kDump);
    }

    ModeArgs args() {
        ModeArgs a;
        a.llm = llm.get();
        a.prompt = "the OK button";
        a.output_dir = out.file("shots");
        return a;
    }

    Json pin(const Json& model_arguments, ModeArgs a) {
        server.enqueue(testsupport::tool_reply("return_target", model_arguments));
        return nodepin::run(a);
    }
    Json pin(const Json& model_arguments) { return pin(model_arguments, args()); }
};

}  // namespace

TEST_F(NodepinMode, AnswersWithTheNodeUnderTheCentreOfTheModelsBoxAndKeepsTheDump) {
    // The box's pixels are (540, 1800)-(971, 2039): centre (755, 1919), inside the button.
    ModeArgs a = args();
    a.image_paths = {"/nonexistent/given.png"};  // a given file is ignored: the device is captured
    const Json r = pin({{"label", "OK"}, {"bounding_box", {500, 750, 900, 850}}, {"confidence", 0.8}, {"page", 1}}, a);

    EXPECT_EQ(testsupport::keys_of(r), (std::vector<std::string>{"index", "text", "resource-id", "class", "bounds", "mode",
                                                 "annotated_image_path", "xml_file_path"}));
    EXPECT_EQ(r["class"], "android.widget.Button");  // the parent, not its child of equal bounds
    EXPECT_EQ(r["bounds"], "[540,1800][980,1960]");
    EXPECT_EQ(r["mode"], "nodepin");

    // One request, for the fresh screenshot, at full size.
    const auto sent = bodies();
    ASSERT_EQ(sent.size(), 1u);
    const auto images = testsupport::request_images(sent[0]);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width(), 1080);
    EXPECT_EQ(images[0].height(), 2400);

    // The dump is kept byte for byte, named after the screenshot it belongs with.
    const std::string xml_path = r["xml_file_path"];
    const std::filesystem::path xml(xml_path);
    EXPECT_EQ(xml.parent_path().string(), a.output_dir);
    const std::string stem = xml.filename().string().substr(0, xml.filename().string().size() - 12);
    EXPECT_EQ(xml.filename().string(), stem + "_nodepin.xml");
    EXPECT_TRUE(std::filesystem::exists(a.output_dir + "/" + stem + ".png"));
    EXPECT_EQ(testsupport::read_text(xml_path), kDump);

    // The node (not the model's box) is drawn: its edge pixels changed, the rest not.
    EXPECT_EQ(r["annotated_image_path"], a.output_dir + "/" + stem + "_locate.png");
    const image::Raster drawn = image::load_rgb(r["annotated_image_path"]);
    const image::Raster plain = image::load_rgb(a.output_dir + "/" + stem + ".png");
    auto differs = [&](int x, int y) {
        for (int c = 0; c < 3; ++c)
            if (drawn.pixel(x, y)[c] != plain.pixel(x, y)[c]) return true;
        return false;
    };
    EXPECT_TRUE(differs(700, 1800));  // top edge of the node
    EXPECT_FALSE(differs(700, 1880));  // inside it
    EXPECT_FALSE(differs(700, 2039));  // the model's own bottom edge is not drawn

    // The dump went through a file of this process on the device, removed afterwards.
    EXPECT_EQ(adb.device_files(kSerial), std::vector<std::string>{});
}

TEST_F(NodepinMode, TheDisplayChoosesTheNodeListAndNoNodeIsNotAnError) {
    ModeArgs a = args();
    a.display_id = 2;
    set_screen(1080, 2400, 0x40, 2);
    Json r = pin({{"bounding_box", {0, 0, 100, 20}}}, a);
    EXPECT_EQ(r["text"], "Cluster");
    EXPECT_EQ(r["display-id"], "2");

    // A display the dump does not have: only the mode and the dump.
    a.display_id = 7;
    set_screen(1080, 2400, 0x40, 7);
    r = pin({{"bounding_box", {0, 0, 100, 20}}}, a);
    EXPECT_EQ(testsupport::keys_of(r), (std::vector<std::string>{"mode", "xml_file_path"}));
}

TEST_F(NodepinMode, TheNodesOwnAttributesComeBackEvenWhenTheyCannotBeDrawn) {
    // "mode" of the node is replaced where it stands.
    Json r = pin({{"bounding_box", {500, 430, 510, 440}}});
    EXPECT_EQ(testsupport::keys_of(r), (std::vector<std::string>{"index", "text", "class", "mode", "bounds", "annotated_image_path",
                                                 "xml_file_path"}));
    EXPECT_EQ(r["mode"], "nodepin");

    // A model box of a single pixel at (5, 5) finds the root (the node with three
    // pairs in its bounds is never chosen), and a root is drawn.
    r = pin({{"bounding_box", {5, 2, 5, 2}}});
    EXPECT_EQ(r["class"], "android.widget.FrameLayout");
    EXPECT_TRUE(r.contains("annotated_image_path"));
}

TEST_F(NodepinMode, DeviceDumpAndModelFailuresPassThrough) {
    // A dump that fails: the model is never asked, the screenshot stays.
    {
        adb.set_knob("FAKE_UIAUTOMATOR", "idle");
        try {
            nodepin::run(args());
            FAIL() << "no error";
        } catch (const RuntimeError& e) {
            EXPECT_STREQ(e.what(), "Failed to dump UI hierarchy via uiautomator2");
        }
        EXPECT_EQ(server.requests().size(), 0u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(args().output_dir),
                                std::filesystem::directory_iterator{}), 1);
        adb.set_knob("FAKE_UIAUTOMATOR", "");
    }
    // A hierarchy that is not XML.
    adb.set_file(kSerial, "window_dump.xml", "<hierarchy><node></hierarchy>");
    EXPECT_THROW(nodepin::run(args()), ValueError);

    // A page that is not a number, and a box of three values.
    adb.set_file(kSerial, "window_dump.xml", kDump);
    EXPECT_THROW(pin({{"bounding_box", {0, 0, 10, 10}}, {"page", "two"}}), ConversionError);
    // An answer without a usable box fails as an unusable answer: never the node at
    // the corner, and no dump file is kept for it.
    ModeArgs fresh = args();
    fresh.output_dir += "/unusable";
    for (const Json& answer : {Json{{"bounding_box", {0, 0, 10}}}, Json{{"label", "?"}}}) {
        try {
            pin(answer, fresh);
            FAIL() << "no error for " << answer;
        } catch (const ModelAnswerError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("The model's answer has no usable bounding_box", 0), 0u) << e.what();
            EXPECT_EQ(droidlens::failure_kind(e), droidlens::FailureKind::kModelAnswer);
        }
    }
    for (const auto& f : std::filesystem::directory_iterator(fresh.output_dir))
        EXPECT_EQ(f.path().string().find("_nodepin.xml"), std::string::npos) << f.path();

    // Two devices and none named: the selection's own error, before anything is taken.
    adb.add_device("emu-2", "device", "Pixel_8");
    try {
        nodepin::run(args());
        FAIL() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "Multiple devices detected; please provide --device-id (connected: emu-1, emu-2)");
    }
}

TEST(NodepinBox, NodeBoundsScaleIntoTheRelativeSpaceWithFloorDivision) {
    using B = std::array<std::int64_t, 4>;
    EXPECT_EQ(nodepin::node_box_relative({0, 0, 1080, 2400}, 1080, 2400), (B{0, 0, 1000, 1000}));
    EXPECT_EQ(nodepin::node_box_relative({540, 1800, 980, 1960}, 1080, 2400), (B{500, 750, 907, 816}));
    // Negative values floor downward; values near the 64-bit limit do not overflow.
    EXPECT_EQ(nodepin::node_box_relative({-1, -1, 1, 1}, 3, 3), (B{-334, -334, 333, 333}));
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(nodepin::node_box_relative({big, 0, big, 0}, big, 1), (B{1000, 0, 1000, 0}));
}
