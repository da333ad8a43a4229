#include "modes/diff.hpp"

#include <droidlens/errors.hpp>

#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/resample.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace droidlens::diff {

namespace {

constexpr image::Rgb kRed{255, 0, 0};

// Per-pixel |a - b| on each channel, turned into 8-bit gray with the ITU-R 601-2
// weights in the fixed-point form of the common Python imaging library
// (L = (R*19595 + G*38470 + B*7471 + 0x8000) >> 16), in one pass. Also returns the
// sum of the gray values for the mean. Screenshots of one screen are mostly equal,
// so runs of identical pixels are found with a block compare and written as zeros.
std::pair<image::Raster, std::uint64_t> gray_difference(const image::Raster& a, const image::Raster& b) {
    constexpr int kBlock = 16;  // pixels compared at once
    image::Raster gray(a.width(), a.height(), 1);
    std::uint64_t total = 0;
    for (int y = 0; y < a.height(); ++y) {
        const std::uint8_t* pa = a.row(y);  // RGB
        const std::uint8_t* pb = b.row(y);
        std::uint8_t* out = gray.row(y);
        std::uint64_t row_total = 0;
        for (int x0 = 0; x0 < a.width(); x0 += kBlock) {
            const int x1 = std::min(x0 + kBlock, a.width());
            const size_t bytes = 3 * static_cast<size_t>(x1 - x0);
            if (std::memcmp(pa + 3 * x0, pb + 3 * x0, bytes) == 0) {
                std::memset(out + x0, 0, static_cast<size_t>(x1 - x0));
                continue;
            }
            for (int x = x0; x < x1; ++x) {
                const auto dr = static_cast<std::uint32_t>(std::abs(pa[3 * x] - pb[3 * x]));
                const auto dg = static_cast<std::uint32_t>(std::abs(pa[3 * x + 1] - pb[3 * x + 1]));
                const auto db = static_cast<std::uint32_t>(std::abs(pa[3 * x + 2] - pb[3 * x + 2]));
                const std::uint32_t l = (dr * 19595 + dg * 38470 + db * 7471 + 0x8000) >> 16;
                out[x] = static_cast<std::uint8_t>(l);
                row_total += l;
            }
        }
        total += row_total;
    }
    return {gray, total};
}

}  // namespace

std::vector<Box> _find_boxes(const image::Raster& mask, std::int64_t min_area) {
    std::vector<Box> boxes;
    if (mask.empty()) return boxes;
    if (mask.channels() != 1) throw ValueError("_find_boxes needs an 8-bit single-channel mask");
    const int width = mask.width(), height = mask.height();
    // One flag a pixel, in memory that is cheap to fault in (it is a mask's size).
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    image::Buffer visited = image::allocate(pixels);
    std::memset(visited.get(), 0, pixels);
    std::vector<std::pair<int, int>> stack;
    auto set = [&](int x, int y) { return mask.row(y)[x] != 0; };

    for (int y = 0; y < height; ++y) {
        const size_t row_offset = static_cast<size_t>(y) * width;
        const std::uint8_t* row = mask.row(y);
        for (int x = 0; x < width; ++x) {
            // Masks are mostly unset: skip eight clear pixels at a time.
            while (x + 8 <= width) {
                std::uint64_t word;
                std::memcpy(&word, row + x, sizeof word);
                if (word != 0) break;
                x += 8;
            }
            if (x >= width) break;
            const size_t idx = row_offset + x;
            if (row[x] == 0 || visited[idx]) continue;
            // A new region: flood it with an explicit stack, marking pixels visited
            // when they are pushed so each is counted once.
            stack.assign(1, {x, y});
            visited[idx] = 1;
            int min_x = x, max_x = x, min_y = y, max_y = y;
            std::int64_t area = 0;
            while (!stack.empty()) {
                const auto [cx, cy] = stack.back();
                stack.pop_back();
                ++area;
                min_x = std::min(min_x, cx);
                max_x = std::max(max_x, cx);
                min_y = std::min(min_y, cy);
                max_y = std::max(max_y, cy);
                const size_t cidx = static_cast<size_t>(cy) * width + cx;
                auto visit = [&](int nx, int ny, size_t nidx) {
                    if (!visited[nidx] && set(nx, ny)) {
                        visited[nidx] = 1;
                        stack.emplace_back(nx, ny);
                    }
                };
                if (cx > 0) visit(cx - 1, cy, cidx - 1);
                if (cx + 1 < width) visit(cx + 1, cy, cidx + 1);
                if (cy > 0) visit(cx, cy - 1, cidx - width);
                if (cy + 1 < height) visit(cx, cy + 1, cidx + width);
            }
            if (area >= min_area) boxes.push_back({min_x, min_y, max_x, max_y});
        }
    }
    return boxes;
}

DiffResult compute_diff(const std::string& image_a, const std::string& image_b, const std::string& output_dir,
                        std::int64_t threshold, std::int64_t min_area, double scale, std::int64_t max_boxes) {
    // Everything that can fail on the inputs happens before the output directory is
    // touched.
    image::Raster img_a = image::load_rgb(image_a);
    image::Raster img_b = image::load_rgb(image_b);
    const bool resized = img_a.width() != img_b.width() || img_a.height() != img_b.height();
    if (resized) img_b = resample::resize(img_b, img_a.width(), img_a.height(), resample::Filter::Lanczos);

    image::Size small_size{img_a.width(), img_a.height()};
    if (scale != 1.0) small_size = image::scaled_size(img_a.width(), img_a.height(), scale);

    auto [diff, total] = gray_difference(img_a, img_b);
    const double pixels = static_cast<double>(diff.width()) * static_cast<double>(diff.height());
    DiffResult result;
    result.diff_score = static_cast<double>(total) / pixels / 255.0;

    image::Raster small = scale == 1.0 ? std::move(diff)
                                       : resample::resize(diff, small_size.width, small_size.height,
                                                          resample::Filter::Bilinear);
    // Changed where the gray difference is strictly above the threshold.
    std::uint8_t lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = v > threshold ? 255 : 0;
    image::Raster& mask = small;  // thresholded in place
    for (size_t i = 0; i < mask.size_bytes(); ++i) mask.data()[i] = lut[mask.data()[i]];

    std::vector<Box> boxes = _find_boxes(mask, min_area);
    if (scale != 1.0) {
        const double scale_x = static_cast<double>(img_a.width()) / mask.width();
        const double scale_y = static_cast<double>(img_a.height()) / mask.height();
        for (Box& b : boxes) {
            b = {static_cast<std::int64_t>(b[0] * scale_x), static_cast<std::int64_t>(b[1] * scale_y),
                 static_cast<std::int64_t>(b[2] * scale_x), static_cast<std::int64_t>(b[3] * scale_y)};
        }
    }
    std::stable_sort(boxes.begin(), boxes.end(), [](const Box& l, const Box& r) {
        return (l[2] - l[0]) * (l[3] - l[1]) > (r[2] - r[0]) * (r[3] - r[1]);
    });
    // A negative limit keeps nothing (slicing would otherwise drop boxes from the end).
    const auto keep = static_cast<size_t>(std::max<std::int64_t>(max_boxes, 0));
    if (boxes.size() > keep) boxes.resize(keep);

    fs::ensure_directory(output_dir);
    const std::string out_path = fs::join(output_dir, fs::stem(image_a) + "_diff.png");
    image::Raster& overlay = img_a;  // img_a is not needed unmarked any more
    for (const Box& b : boxes) image::draw_rectangle(overlay, b, kRed, 3);
    if (resized) image::draw_text(overlay, 10, 10, "note: image_b resized", kRed);
    image::write_png(overlay, out_path);

    result.diff_boxes = std::move(boxes);
    result.diff_image_path = out_path;
    return result;
}

Json run(const ModeArgs& args) {
    if (args.image_paths.size() < 2) throw UsageError("diff mode requires two images");
    // A third image would be silently left out of the comparison.
    if (args.image_paths.size() > 2)
        throw UsageError("diff mode requires two images, got " + std::to_string(args.image_paths.size()));
    DiffResult r = compute_diff(args.image_paths[0], args.image_paths[1], args.output_dir);
    Json boxes = Json::array();
    for (const Box& b : r.diff_boxes) boxes.push_back({b[0], b[1], b[2], b[3]});
    Json out = Json::object();
    out["mode"] = "diff";
    out["diff_score"] = r.diff_score;
    out["diff_boxes"] = std::move(boxes);
    out["diff_image_path"] = r.diff_image_path;
    return out;
}

}  // namespace droidlens::diff
