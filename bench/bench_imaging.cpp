// Benchmarks of the imaging paths: the diff mode (plain and with its assertion
// options), its region search alone, encoding
// a screenshot for the model, annotating one, decoding PNG and JPEG, and the
// resampler on its own. Each repetition is one call, so the
// runner (bench/run.py) can take the minimum and median of single calls.
//
// Inputs come from the environment (set by bench/run.py so that the Python peers
// read the very same files):
//   DROIDLENS_BENCH_PAIR_A, DROIDLENS_BENCH_PAIR_B  a 1080 x 2400 screenshot pair
//   DROIDLENS_BENCH_LARGE_A, DROIDLENS_BENCH_LARGE_B  a pair with a large change
//   DROIDLENS_BENCH_SCREENSHOT                      a 1080 x 2400 screenshot
//   DROIDLENS_BENCH_JPEG                            a JPEG screenshot
//   DROIDLENS_BENCH_OUT                             where outputs go
// Without them a synthetic phone screen pair is generated in a temporary directory.
#include <benchmark/benchmark.h>

#include "modes/diff.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/jpeg.hpp"
#include "utils/png.hpp"
#include "utils/resample.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace stdfs = std::filesystem;
using namespace droidlens;

struct Inputs {
    std::string a, b, large_a, large_b, screenshot, jpeg, out;
};

void fill(image::Raster& img, int x, int y, int w, int h, image::Rgb c) {
    image::draw_rectangle(img, {x, y, x + w - 1, y + h - 1}, c, std::max(w, h));
}

// A phone-like 1080 x 2400 screen and a copy with a few changes.
void generate_pair(const std::string& dir, std::string& a, std::string& b) {
    image::Raster screen(1080, 2400, 3, 250);
    fill(screen, 0, 0, 1080, 80, {30, 40, 60});
    fill(screen, 0, 80, 1080, 170, {40, 110, 180});
    image::draw_text(screen, 40, 150, "Settings", {255, 255, 255});
    for (int i = 0; i < 12; ++i) {
        const int y = 290 + i * 170;
        image::draw_text(screen, 60, y + 60, "Item " + std::to_string(i + 1), {40, 40, 40});
        fill(screen, 40, y + 150, 1000, 2, {220, 220, 220});
        fill(screen, 880, y + 40, 140, 60, {200, 200, 200});
    }
    image::Raster changed = screen;
    fill(changed, 880, 290 + 3 * 170 + 40, 140, 60, {40, 110, 180});
    image::draw_circle(changed, 1000, 120, 30, {220, 40, 40}, 30);
    fill(changed, 60, 290 + 7 * 170 + 10, 400, 90, {250, 250, 250});
    image::draw_text(changed, 60, 290 + 7 * 170 + 60, "Item eight", {40, 40, 40});
    a = (stdfs::path(dir) / "bench_a.png").string();
    b = (stdfs::path(dir) / "bench_b.png").string();
    image::write_png(screen, a);
    image::write_png(changed, b);
}

const Inputs& inputs() {
    static const Inputs in = [] {
        Inputs r;
        auto env = [](const char* name) -> std::string {
            const char* v = std::getenv(name);
            return v ? v : "";
        };
        r.a = env("DROIDLENS_BENCH_PAIR_A");
        r.b = env("DROIDLENS_BENCH_PAIR_B");
        r.screenshot = env("DROIDLENS_BENCH_SCREENSHOT");
        r.jpeg = env("DROIDLENS_BENCH_JPEG");
        r.out = env("DROIDLENS_BENCH_OUT");
        if (r.out.empty()) r.out = (stdfs::temp_directory_path() / "droidlens_bench").string();
        stdfs::create_directories(r.out);
        if (r.a.empty() || r.b.empty()) generate_pair(r.out, r.a, r.b);
        if (r.screenshot.empty()) r.screenshot = r.a;
        r.large_a = env("DROIDLENS_BENCH_LARGE_A");
        r.large_b = env("DROIDLENS_BENCH_LARGE_B");
        if (r.large_a.empty() || r.large_b.empty()) {
            // the generated pair with most of the second screen darkened
            r.large_a = r.a;
            image::Raster dim = image::load_rgb(r.b);
            for (size_t i = 0; i < dim.size_bytes(); ++i) dim.data()[i] = static_cast<std::uint8_t>(dim.data()[i] / 2);
            r.large_b = (stdfs::path(r.out) / "bench_large_b.png").string();
            image::write_png(dim, r.large_b);
        }
        return r;
    }();
    return in;
}

// The mask the diff mode searches, built with the same steps as compute_diff.
image::Raster diff_mask() {
    image::Raster a = image::load_rgb(inputs().a), b = image::load_rgb(inputs().b);
    if (a.width() != b.width() || a.height() != b.height()) {
        b = resample::resize(b, a.width(), a.height(), resample::Filter::Lanczos);
    }
    image::Raster grey(a.width(), a.height(), 1);
    for (size_t i = 0; i < grey.size_bytes(); ++i) {
        const std::uint8_t* pa = a.data() + 3 * i;
        const std::uint8_t* pb = b.data() + 3 * i;
        const int dr = std::abs(pa[0] - pb[0]), dg = std::abs(pa[1] - pb[1]), db = std::abs(pa[2] - pb[2]);
        grey.data()[i] = static_cast<std::uint8_t>((dr * 19595 + dg * 38470 + db * 7471 + 0x8000) >> 16);
    }
    image::Raster mask = resample::resize(grey, a.width() / 2, a.height() / 2, resample::Filter::Bilinear);
    for (size_t i = 0; i < mask.size_bytes(); ++i) mask.data()[i] = mask.data()[i] > 25 ? 255 : 0;
    return mask;
}

void BM_compute_diff(benchmark::State& state) {
    const Inputs& in = inputs();
    size_t boxes = 0;
    for (auto _ : state) {
        diff::DiffResult r = diff::compute_diff(in.a, in.b, in.out);
        boxes = r.diff_boxes.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["boxes"] = static_cast<double>(boxes);
}

// The same pair as a test suite's assertion compares it: both system bars and one
// rectangle masked, regions merged across 20 pixels, every region kept and
// numbered in the image. Set beside BM_compute_diff: the options must add under 10%.
void BM_compute_diff_options(benchmark::State& state) {
    const Inputs& in = inputs();
    diff::Options options;
    options.masks = {diff::parse_mask("status-bar"), diff::parse_mask("nav-bar"), diff::parse_mask("0,100,1000,160")};
    options.merge_gap = 20;
    options.max_boxes = 0;
    size_t boxes = 0;
    for (auto _ : state) {
        diff::DiffResult r = diff::compute_diff(in.a, in.b, in.out, options);
        boxes = r.diff_boxes.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["boxes"] = static_cast<double>(boxes);
}

void BM_compute_diff_large(benchmark::State& state) {
    const Inputs& in = inputs();
    size_t boxes = 0;
    for (auto _ : state) {
        diff::DiffResult r = diff::compute_diff(in.large_a, in.large_b, in.out);
        boxes = r.diff_boxes.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["boxes"] = static_cast<double>(boxes);
}

void BM_find_boxes(benchmark::State& state) {
    const image::Raster mask = diff_mask();
    size_t boxes = 0;
    for (auto _ : state) {
        std::vector<diff::Box> r = diff::_find_boxes(mask, 60);
        boxes = r.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["boxes"] = static_cast<double>(boxes);
}

void BM_encode_image(benchmark::State& state) {
    const double factor = static_cast<double>(state.range(0)) / 100.0;
    size_t payload = 0;
    for (auto _ : state) {
        image::EncodedImage e = image::encode_image(inputs().screenshot, 95, factor);
        payload = e.b64.size();
        benchmark::DoNotOptimize(e);
    }
    state.counters["payload_bytes"] = static_cast<double>(payload);
}

// A screenshot sent at its full size or with its longer side at most N pixels:
// encode time and the size of the Base64 payload.
void BM_encode_max_side(benchmark::State& state) {
    size_t payload = 0;
    for (auto _ : state) {
        image::EncodedImage e = image::encode_image(inputs().screenshot, 95, 1.0, state.range(0));
        payload = e.b64.size();
        benchmark::DoNotOptimize(e);
    }
    state.counters["payload_bytes"] = static_cast<double>(payload);
}

void BM_annotate_image(benchmark::State& state) {
    const Json box = {120, 310, 880, 420};
    const image::Raster probe = image::load_rgb(inputs().screenshot);
    for (auto _ : state) {
        std::string path = image::annotate_image(inputs().screenshot, box, probe.width(), probe.height(), inputs().out);
        benchmark::DoNotOptimize(path);
    }
}

// Decoding alone, from bytes already in memory: the PNG screenshot, and a JPEG.
void BM_decode_png(benchmark::State& state) {
    const std::string bytes = fs::read_file(inputs().screenshot);
    for (auto _ : state) {
        image::Raster r = png::decode(bytes);
        benchmark::DoNotOptimize(r);
    }
}

void BM_decode_jpeg(benchmark::State& state) {
    if (inputs().jpeg.empty()) {
        state.SkipWithError("DROIDLENS_BENCH_JPEG not set");
        return;
    }
    const std::string bytes = fs::read_file(inputs().jpeg);
    for (auto _ : state) {
        image::Raster r = jpeg::decode(bytes);
        benchmark::DoNotOptimize(r);
    }
}

// The resampler alone: the screenshot halved with Lanczos (encode_image's 0.5), and a
// grey difference image halved with the triangle filter (the diff mode's reduction).
void BM_resample_lanczos(benchmark::State& state) {
    const image::Raster src = image::load_rgb(inputs().screenshot);
    for (auto _ : state) {
        image::Raster r = resample::resize(src, src.width() / 2, src.height() / 2, resample::Filter::Lanczos);
        benchmark::DoNotOptimize(r);
    }
}

void BM_resample_bilinear(benchmark::State& state) {
    const image::Raster rgb = image::load_rgb(inputs().screenshot);
    image::Raster grey(rgb.width(), rgb.height(), 1);
    for (size_t i = 0; i < grey.size_bytes(); ++i) grey.data()[i] = rgb.data()[3 * i + 1];
    for (auto _ : state) {
        image::Raster r = resample::resize(grey, grey.width() / 2, grey.height() / 2, resample::Filter::Bilinear);
        benchmark::DoNotOptimize(r);
    }
}

}  // namespace

// One call per repetition; the runner sets --benchmark_repetitions.
BENCHMARK(BM_compute_diff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compute_diff_options)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compute_diff_large)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_find_boxes)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_encode_image)->Arg(100)->Arg(50)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_encode_max_side)->Arg(0)->Arg(1280)->Arg(1024)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_annotate_image)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decode_png)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decode_jpeg)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_resample_lanczos)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_resample_bilinear)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
