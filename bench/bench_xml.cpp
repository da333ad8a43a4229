// Benchmark of the UI hierarchy path of the nodepin mode on the host: parsing a window
// dump into node records by display and finding the node under a point. Each
// repetition averages many calls (one call takes microseconds).
//
// Input from the environment (set by bench/run.py so that the Python peer reads the
// very same file and point):
//   DROIDLENS_BENCH_UIDUMP                      a uiautomator window dump
//   DROIDLENS_BENCH_POINT_X, DROIDLENS_BENCH_POINT_Y  the point looked up
// Without them a synthetic dump of a settings list is used.
//
// BM_nodepin_host is the whole nodepin mode on the host once the screenshot
// (DROIDLENS_BENCH_SCREENSHOT) and its dump are there: parsing, encoding and the
// request body, reading the answer, the lookup, drawing the node and keeping the
// dump. The model answers at once from memory; the device's time is not in it.
#include <benchmark/benchmark.h>

#include "body_only_model.hpp"
#include "modes/nodepin.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/xml.hpp"

#include <cstdlib>
#include <string>

namespace {

using namespace droidlens;

struct XmlInput {
    std::string xml;
    std::int64_t x = 540, y = 1200;
};

// A dump shaped like a real one: a few layout levels, then rows of icon, title, summary.
std::string synthetic_dump() {
    const std::string attrs =
        " resource-id=\"\" package=\"com.android.settings\" content-desc=\"\" checkable=\"false\" checked=\"false\" "
        "clickable=\"false\" enabled=\"true\" focusable=\"false\" focused=\"false\" scrollable=\"false\" "
        "long-clickable=\"false\" password=\"false\" selected=\"false\" ";
    std::string xml = "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?><hierarchy rotation=\"0\">";
    xml += "<node index=\"0\" text=\"\" class=\"android.widget.FrameLayout\"" + attrs + "bounds=\"[0,0][1080,2400]\">";
    xml += "<node index=\"0\" text=\"\" class=\"android.widget.ListView\"" + attrs + "bounds=\"[0,220][1080,2400]\">";
    for (int i = 0; i < 20; ++i) {
        const int top = 220 + i * 108;
        auto b = [&](int x1, int y1, int x2, int y2) {
            return "bounds=\"[" + std::to_string(x1) + "," + std::to_string(top + y1) + "][" + std::to_string(x2) + "," +
                   std::to_string(top + y2) + "]\"";
        };
        xml += "<node index=\"" + std::to_string(i) + "\" text=\"\" class=\"android.widget.LinearLayout\"" + attrs +
               b(0, 0, 1080, 108) + ">";
        xml += "<node index=\"0\" text=\"\" class=\"android.widget.ImageView\"" + attrs + b(40, 20, 108, 88) + "/>";
        xml += "<node index=\"1\" text=\"Setting " + std::to_string(i) + "\" class=\"android.widget.TextView\"" +
               attrs + b(150, 10, 900, 60) + "/>";
        xml += "<node index=\"2\" text=\"Summary of setting " + std::to_string(i) +
               "\" class=\"android.widget.TextView\"" + attrs + b(150, 60, 900, 100) + "/></node>";
    }
    return xml + "</node></node></hierarchy>";
}

const XmlInput& xml_input() {
    static const XmlInput in = [] {
        XmlInput r;
        const char* path = std::getenv("DROIDLENS_BENCH_UIDUMP");
        r.xml = path && *path ? fs::read_file(path) : synthetic_dump();
        if (const char* x = std::getenv("DROIDLENS_BENCH_POINT_X")) r.x = std::atoll(x);
        if (const char* y = std::getenv("DROIDLENS_BENCH_POINT_Y")) r.y = std::atoll(y);
        return r;
    }();
    return in;
}

void BM_parse_and_find_node(benchmark::State& state) {
    const XmlInput& in = xml_input();
    std::size_t nodes = 0;
    bool found = false;
    for (auto _ : state) {
        const Json parsed = xml::parse_hierarchy_xml_json(in.xml);
        const Json* node = xml::find_nodes_by_center_point(parsed, in.x, in.y);
        benchmark::DoNotOptimize(node);
        found = node != nullptr;
        nodes = parsed.contains("0") ? parsed["0"].size() : 0;
    }
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["found"] = found ? 1.0 : 0.0;
}

void BM_nodepin_host(benchmark::State& state) {
    const char* shot = std::getenv("DROIDLENS_BENCH_SCREENSHOT");
    const char* out = std::getenv("DROIDLENS_BENCH_OUT");
    if (!shot || !out) {
        state.SkipWithError("DROIDLENS_BENCH_SCREENSHOT / DROIDLENS_BENCH_OUT not set");
        return;
    }
    const XmlInput& in = xml_input();
    const image::Raster screen = image::load_rgb(shot);
    // A small box of the model's around the benchmark point, in the 0-1000 space.
    const std::int64_t rx = in.x * 1000 / screen.width(), ry = in.y * 1000 / screen.height();
    benchsupport::BodyOnlyModel llm("return_target", {{"label", "target"},
                                                      {"bounding_box", {rx - 5, ry - 5, rx + 5, ry + 5}},
                                                      {"confidence", 0.9},
                                                      {"page", 1}});
    fs::ensure_directory(out);
    bool found = false;
    for (auto _ : state) {
        const Json r = nodepin::pin_node(llm, "the target", shot, in.xml, std::nullopt, out);
        found = r.contains("bounds");
        benchmark::DoNotOptimize(r);
    }
    state.counters["found"] = found ? 1.0 : 0.0;
    state.counters["payload_bytes"] = static_cast<double>(llm.body_bytes);
}

}  // namespace

BENCHMARK(BM_nodepin_host)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_and_find_node)->UseRealTime()->Unit(benchmark::kMicrosecond);
