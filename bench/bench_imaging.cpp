// Benchmarks of the imaging paths: the diff mode, its region search alone, encoding
// a screenshot for the model and annotating one. Each repetition is one call, so the
// runner (bench/run.py) can take the minimum and median of single calls.
//
// Inputs come from the environment (set by bench/run.py so that the Python peers
// read the very same files):
//   DROIDLENS_BENCH_PAIR_A, DROIDLENS_BENCH_PAIR_B  a 1080 x 2400 screenshot pair
//   DROIDLENS_BENCH_LARGE_A, DROIDLENS_BENCH_LARGE_B  a pair with a large change
//   DROIDLENS_BENCH_SCREENSHOT                      a 1080 x 2400 screenshot
//   DROIDLENS_BENCH_OUT                             where outputs go
// Without them a synthetic phone screen pair is generated in a temporary directory.
#include <benchmark/benchmark.h>

#include "modes/diff.hpp"
#include "utils/image.hpp"
#include "utils/resample.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace stdfs = std::filesystem;
using namespace droidlens;

struct Inputs {
    std::string a, b, large_a, large_b, screenshot, out;
};

// A phone-like 1080 x 2400 screen and a copy with a few changes.
void generate_pair(const std::string& dir, std::string& a, std::string& b) {
    cv::Mat screen(2400, 1080, CV_8UC3, cv::Scalar(250, 250, 250));
    cv::rectangle(screen, cv::Rect(0, 0, 1080, 80), cv::Scalar(60, 40, 30), cv::FILLED);
    cv::rectangle(screen, cv::Rect(0, 80, 1080, 170), cv::Scalar(180, 110, 40), cv::FILLED);
    cv::putText(screen, "Settings", {40, 190}, cv::FONT_HERSHEY_SIMPLEX, 2.2, cv::Scalar(255, 255, 255), 4);
    for (int i = 0; i < 12; ++i) {
        const int y = 290 + i * 170;
        cv::putText(screen, "Item " + std::to_string(i + 1), {60, y + 70}, cv::FONT_HERSHEY_SIMPLEX, 1.6,
                    cv::Scalar(40, 40, 40), 3);
        cv::line(screen, {40, y + 150}, {1040, y + 150}, cv::Scalar(220, 220, 220), 2);
        cv::rectangle(screen, cv::Rect(880, y + 40, 140, 60), cv::Scalar(200, 200, 200), cv::FILLED);
    }
    cv::Mat changed = screen.clone();
    cv::rectangle(changed, cv::Rect(880, 290 + 3 * 170 + 40, 140, 60), cv::Scalar(180, 110, 40), cv::FILLED);
    cv::circle(changed, {1000, 120}, 30, cv::Scalar(40, 40, 220), cv::FILLED);
    cv::rectangle(changed, cv::Rect(60, 290 + 7 * 170 + 10, 400, 90), cv::Scalar(250, 250, 250), cv::FILLED);
    cv::putText(changed, "Item eight", {60, 290 + 7 * 170 + 70}, cv::FONT_HERSHEY_SIMPLEX, 1.6,
                cv::Scalar(40, 40, 40), 3);
    a = (stdfs::path(dir) / "bench_a.png").string();
    b = (stdfs::path(dir) / "bench_b.png").string();
    cv::imwrite(a, screen);
    cv::imwrite(b, changed);
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
            cv::Mat dim = image::load_rgb(r.b) * 0.5;
            r.large_b = (stdfs::path(r.out) / "bench_large_b.png").string();
            cv::imwrite(r.large_b, dim);
        }
        return r;
    }();
    return in;
}

// The mask the diff mode searches, built with the same steps as compute_diff.
cv::Mat diff_mask() {
    cv::Mat a = image::load_rgb(inputs().a), b = image::load_rgb(inputs().b);
    if (a.size() != b.size()) b = resample::resize(b, a.cols, a.rows, resample::Filter::Lanczos);
    cv::Mat gray(a.rows, a.cols, CV_8UC1);
    for (int y = 0; y < a.rows; ++y) {
        for (int x = 0; x < a.cols; ++x) {
            const cv::Vec3b pa = a.at<cv::Vec3b>(y, x), pb = b.at<cv::Vec3b>(y, x);
            const int db = std::abs(pa[0] - pb[0]), dg = std::abs(pa[1] - pb[1]), dr = std::abs(pa[2] - pb[2]);
            gray.at<uchar>(y, x) = static_cast<uchar>((dr * 19595 + dg * 38470 + db * 7471 + 0x8000) >> 16);
        }
    }
    cv::Mat small = resample::resize(gray, a.cols / 2, a.rows / 2, resample::Filter::Bilinear);
    cv::Mat mask;
    cv::threshold(small, mask, 25, 255, cv::THRESH_BINARY);
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
    const cv::Mat mask = diff_mask();
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

void BM_annotate_image(benchmark::State& state) {
    const Json box = {120, 310, 880, 420};
    cv::Mat probe = image::load_rgb(inputs().screenshot);
    for (auto _ : state) {
        std::string path = image::annotate_image(inputs().screenshot, box, probe.cols, probe.rows, inputs().out);
        benchmark::DoNotOptimize(path);
    }
}

}  // namespace

// One call per repetition; the runner sets --benchmark_repetitions.
BENCHMARK(BM_compute_diff)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compute_diff_large)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_find_boxes)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_encode_image)->Arg(100)->Arg(50)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_annotate_image)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
