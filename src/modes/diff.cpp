#include "modes/diff.hpp"

#include <droidlens/errors.hpp>

#include "utils/font.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/resample.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
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

// Both images as RGB, the second resampled to the first one's size when they differ;
// b_width and b_height keep the second image's own size.
struct Pair {
    image::Raster a, b;
    int b_width = 0, b_height = 0;
    bool resized = false;
};

Pair load_pair(const std::string& image_a, const std::string& image_b) {
    Pair p;
    p.a = image::load_rgb(image_a);
    p.b = image::load_rgb(image_b);
    p.b_width = p.b.width();
    p.b_height = p.b.height();
    p.resized = p.a.width() != p.b.width() || p.a.height() != p.b.height();
    if (p.resized) p.b = resample::resize(p.b, p.a.width(), p.a.height(), resample::Filter::Lanczos);
    return p;
}

// The difference reduced by `scale` (bilinear) and set to 255 where it is strictly
// above the threshold, 0 elsewhere.
image::Raster changed_mask(image::Raster diff, int width, int height, std::int64_t threshold, double scale) {
    image::Size small_size{width, height};
    if (scale != 1.0) small_size = image::scaled_size(width, height, scale);
    image::Raster mask = scale == 1.0 ? std::move(diff)
                                      : resample::resize(diff, small_size.width, small_size.height,
                                                         resample::Filter::Bilinear);
    std::uint8_t lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = v > threshold ? 255 : 0;
    for (size_t i = 0; i < mask.size_bytes(); ++i) mask.data()[i] = lut[mask.data()[i]];
    return mask;
}

// A box of the reduced mask in pixels of the full-size image.
Box scaled_back(const Box& b, double scale_x, double scale_y) {
    return {static_cast<std::int64_t>(b[0] * scale_x), static_cast<std::int64_t>(b[1] * scale_y),
            static_cast<std::int64_t>(b[2] * scale_x), static_cast<std::int64_t>(b[3] * scale_y)};
}

// Largest first by the box's size, as the default results have always been ordered.
std::int64_t size_key(const Box& b) { return (b[2] - b[0]) * (b[3] - b[1]); }

// The 4-connected regions with their pixel counts, in raster order.
std::vector<AreaBox> find_regions(const image::Raster& mask, std::int64_t min_area) {
    std::vector<AreaBox> regions;
    if (mask.empty()) return regions;
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
            if (area >= min_area) regions.push_back({{min_x, min_y, max_x, max_y}, area});
        }
    }
    return regions;
}

// A half-open pixel rectangle [x0, x1) x [y0, y1) of the first image.
struct PixelRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Where a mask lies on the first image (width x height); the bars are measured on
// both images, each in its own size, and the taller one on the first image is used.
PixelRect mask_pixels(const MaskArea& m, int width, int height, int b_width, int b_height) {
    if (m.kind == MaskArea::Kind::Rect) {
        auto at = [](double v, int size, bool up) {
            const double p = v * size / 1000.0;
            return static_cast<int>(std::clamp(up ? std::ceil(p) : std::floor(p), 0.0, static_cast<double>(size)));
        };
        return {at(m.rect[0], width, false), at(m.rect[1], height, false), at(m.rect[2], width, true),
                at(m.rect[3], height, true)};
    }
    const std::int64_t own = bar_height(m.kind, width, height);
    const std::int64_t b_h = std::max(b_height, 1);
    const std::int64_t other = (bar_height(m.kind, b_width, b_h) * height + b_h - 1) / b_h;
    const int bar = static_cast<int>(std::min<std::int64_t>(std::max(own, other), height));
    if (m.kind == MaskArea::Kind::StatusBar) return {0, 0, width, bar};
    return {0, height - bar, width, height};
}

// Zeroes the rectangles in the difference and returns the sum of what they held.
std::uint64_t clear_masked(image::Raster& diff, const std::vector<PixelRect>& rects) {
    std::uint64_t removed = 0;
    for (const PixelRect& r : rects) {
        for (int y = r.y0; y < r.y1; ++y) {
            std::uint8_t* row = diff.row(y);
            for (int x = r.x0; x < r.x1; ++x) removed += row[x];
            if (r.x1 > r.x0) std::memset(row + r.x0, 0, static_cast<size_t>(r.x1 - r.x0));
        }
    }
    return removed;
}

// Masked areas drawn half-way to mid grey, so that the picture shows what was left
// out of the comparison.
void shade(image::Raster& img, const PixelRect& r) {
    for (int y = r.y0; y < r.y1; ++y) {
        std::uint8_t* p = img.row(y) + 3 * static_cast<size_t>(r.x0);
        for (int i = 0; i < 3 * (r.x1 - r.x0); ++i) p[i] = static_cast<std::uint8_t>((p[i] + 128) / 2);
    }
}

// The region's number in white on a red tag, above the box's top-left corner (inside
// it when there is no room above). White on this red and this red on white or black
// all keep a contrast of 4:1 or more, so the tag reads on light and dark screens.
// The built-in font is enlarged with the screen: 4x on a 1080-pixel-wide one.
void draw_label(image::Raster& img, const Box& box, int number) {
    constexpr image::Rgb kWhite{255, 255, 255};
    const int k = std::clamp(std::min(img.width(), img.height()) / 270, 2, 8);
    const std::string text = std::to_string(number);
    const int tag_w = static_cast<int>(text.size()) * font::kAdvance * k + k;
    const int tag_h = 7 * k + 2 * k;  // digits use the glyph's first seven rows
    int x = static_cast<int>(std::clamp<std::int64_t>(box[0], 0, std::max(0, img.width() - tag_w)));
    int y = box[1] >= tag_h ? static_cast<int>(box[1]) - tag_h : static_cast<int>(box[1]);
    y = std::clamp(y, 0, std::max(0, img.height() - tag_h));
    image::draw_rectangle(img, {x, y, x + tag_w - 1, y + tag_h - 1}, kRed, std::max(tag_w, tag_h));
    int left = x + k;
    for (const char c : text) {
        const font::Glyph& g = font::glyph(static_cast<std::uint8_t>(c));
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < font::kGlyphWidth; ++col)
                if (g[static_cast<size_t>(row)] >> (font::kGlyphWidth - 1 - col) & 1) {
                    const int px = left + col * k, py = y + k + row * k;
                    image::draw_rectangle(img, {px, py, px + k - 1, py + k - 1}, kWhite, k);
                }
        left += font::kAdvance * k;
    }
}

// The strictly-between distance of two inclusive spans; 0 when they touch or overlap.
std::int64_t span_gap(std::int64_t a1, std::int64_t a2, std::int64_t b1, std::int64_t b2) {
    return std::max<std::int64_t>(0, std::max(a1, b1) - std::min(a2, b2) - 1);
}

}  // namespace

MaskArea parse_mask(const std::string& text) {
    if (text == "status-bar") return {MaskArea::Kind::StatusBar, {}};
    if (text == "nav-bar") return {MaskArea::Kind::NavBar, {}};
    const std::string shown = text.substr(0, 200);
    auto bad = [&](const std::string& why) {
        return UsageError("mask '" + shown + "' " + why +
                          " (give x1,y1,x2,y2 from 0 to 1000 of the width and height, status-bar or nav-bar)");
    };
    MaskArea m;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find(',', start) : text.size();
        if (end == std::string::npos) throw bad("has fewer than four numbers");
        size_t b = start, e = end;
        while (b < e && text[b] == ' ') ++b;
        while (e > b && text[e - 1] == ' ') --e;
        double v = 0;
        const auto [ptr, ec] = std::from_chars(text.data() + b, text.data() + e, v);
        if (b == e || ec != std::errc() || ptr != text.data() + e) throw bad("is not four numbers");
        if (!(v >= 0 && v <= 1000)) throw bad("goes outside 0-1000");
        m.rect[static_cast<size_t>(i)] = v;
        start = end + 1;
    }
    if (m.rect[0] >= m.rect[2] || m.rect[1] >= m.rect[3]) throw bad("is empty: x1 < x2 and y1 < y2 are needed");
    return m;
}

std::int64_t bar_height(MaskArea::Kind bar, std::int64_t width, std::int64_t height) {
    const std::int64_t dp = bar == MaskArea::Kind::NavBar ? 48 : bar == MaskArea::Kind::StatusBar ? 40 : 0;
    return (std::min(width, height) * dp + 359) / 360;
}

std::vector<AreaBox> _merge_boxes(std::vector<AreaBox> boxes, std::int64_t gap) {
    // Sweep from left to right: a box can only reach those that start before its right
    // edge plus the gap. Growing a box can bring earlier-skipped ones into reach, so
    // the sweep repeats until a pass merges nothing.
    bool merged = gap > 0;
    while (merged && boxes.size() > 1) {
        merged = false;
        std::stable_sort(boxes.begin(), boxes.end(),
                         [](const AreaBox& l, const AreaBox& r) { return l.box[0] < r.box[0]; });
        std::vector<char> taken(boxes.size(), 0);
        std::vector<AreaBox> out;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (taken[i]) continue;
            AreaBox cur = boxes[i];
            for (size_t j = i + 1; j < boxes.size(); ++j) {
                const Box& o = boxes[j].box;
                if (o[0] - cur.box[2] - 1 >= gap) break;  // this and every later box start too far right
                if (taken[j] || span_gap(cur.box[1], cur.box[3], o[1], o[3]) >= gap) continue;
                cur.box = {cur.box[0], std::min(cur.box[1], o[1]), std::max(cur.box[2], o[2]),
                           std::max(cur.box[3], o[3])};
                cur.pixels += boxes[j].pixels;
                taken[j] = 1;
                merged = true;
            }
            out.push_back(cur);
        }
        boxes = std::move(out);
    }
    // Raster order of the top-left corners, as the region search meets them.
    std::stable_sort(boxes.begin(), boxes.end(), [](const AreaBox& l, const AreaBox& r) {
        return l.box[1] != r.box[1] ? l.box[1] < r.box[1] : l.box[0] < r.box[0];
    });
    return boxes;
}

std::vector<Box> _find_boxes(const image::Raster& mask, std::int64_t min_area) {
    std::vector<Box> boxes;
    for (const AreaBox& r : find_regions(mask, min_area)) boxes.push_back(r.box);
    return boxes;
}

bool screens_differ(const image::Raster& a, const image::Raster& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.channels() != b.channels()) return true;
    auto [diff, total] = gray_difference(a, b);
    if (total == 0) return false;  // the same pixels: no need to look for regions
    const image::Raster mask = changed_mask(std::move(diff), a.width(), a.height(), 25, 0.5);
    return !find_regions(mask, 60).empty();
}

DiffResult compute_diff(const std::string& image_a, const std::string& image_b, const std::string& output_dir,
                        std::int64_t threshold, std::int64_t min_area, double scale, std::int64_t max_boxes) {
    // Everything that can fail on the inputs happens before the output directory is
    // touched.
    Pair pair = load_pair(image_a, image_b);
    image::Raster& img_a = pair.a;

    auto [diff, total] = gray_difference(img_a, pair.b);
    const double pixels = static_cast<double>(diff.width()) * static_cast<double>(diff.height());
    DiffResult result;
    result.diff_score = static_cast<double>(total) / pixels / 255.0;
    result.resized = pair.resized;

    // Changed where the gray difference is strictly above the threshold.
    const image::Raster mask = changed_mask(std::move(diff), img_a.width(), img_a.height(), threshold, scale);
    std::vector<Box> boxes = _find_boxes(mask, min_area);
    if (scale != 1.0) {
        const double scale_x = static_cast<double>(img_a.width()) / mask.width();
        const double scale_y = static_cast<double>(img_a.height()) / mask.height();
        for (Box& b : boxes) b = scaled_back(b, scale_x, scale_y);
    }
    std::stable_sort(boxes.begin(), boxes.end(), [](const Box& l, const Box& r) { return size_key(l) > size_key(r); });
    // A negative limit keeps nothing (slicing would otherwise drop boxes from the end).
    const auto keep = static_cast<size_t>(std::max<std::int64_t>(max_boxes, 0));
    if (boxes.size() > keep) boxes.resize(keep);

    fs::ensure_directory(output_dir);
    const std::string out_path = fs::join(output_dir, fs::stem(image_a) + "_diff.png");
    image::Raster& overlay = img_a;  // img_a is not needed unmarked any more
    for (const Box& b : boxes) image::draw_rectangle(overlay, b, kRed, 3);
    if (pair.resized) image::draw_text(overlay, 10, 10, "note: image_b resized", kRed);
    image::write_png(overlay, out_path);

    result.diff_boxes = std::move(boxes);
    result.diff_image_path = out_path;
    return result;
}

DiffResult compute_diff(const std::string& image_a, const std::string& image_b, const std::string& output_dir,
                        const Options& options) {
    constexpr std::int64_t kThreshold = 25;
    constexpr double kScale = 0.5;
    if (options.merge_gap < 0) throw UsageError("merge_gap must not be negative");
    if (options.max_boxes < 0) throw UsageError("max_boxes must not be negative (0 keeps every region)");
    if (options.min_area < 0) throw UsageError("min_area must not be negative");

    Pair pair = load_pair(image_a, image_b);
    image::Raster& img_a = pair.a;
    const int width = img_a.width(), height = img_a.height();
    std::vector<PixelRect> masked;
    for (const MaskArea& m : options.masks) masked.push_back(mask_pixels(m, width, height, pair.b_width, pair.b_height));

    auto [diff, total] = gray_difference(img_a, pair.b);
    total -= clear_masked(diff, masked);  // masked pixels count as unchanged
    DiffResult result;
    result.diff_score = static_cast<double>(total) / (static_cast<double>(width) * height) / 255.0;
    result.resized = pair.resized;

    // Every changed pixel takes part in merging (a glyph's dot joins its line); the
    // area limit applies to what the merging made.
    const image::Raster mask = changed_mask(std::move(diff), width, height, kThreshold, kScale);
    std::vector<AreaBox> found = find_regions(mask, 1);
    std::int64_t changed = 0;
    const double scale_x = static_cast<double>(width) / mask.width();
    const double scale_y = static_cast<double>(height) / mask.height();
    for (AreaBox& r : found) {
        changed += r.pixels;
        r.box = scaled_back(r.box, scale_x, scale_y);
    }
    std::vector<AreaBox> merged = _merge_boxes(std::move(found), options.merge_gap);

    for (const AreaBox& r : merged) {
        const auto area = static_cast<std::int64_t>(std::llround(static_cast<double>(r.pixels) * scale_x * scale_y));
        if (area < options.min_area) continue;
        Region region;
        region.box = r.box;
        // Outward to whole units, so that the 0-1000 box given back as a mask covers
        // the region.
        region.box_1000 = {r.box[0] * 1000 / width, r.box[1] * 1000 / height,
                           std::min<std::int64_t>(1000, ((r.box[2] + 1) * 1000 + width - 1) / width),
                           std::min<std::int64_t>(1000, ((r.box[3] + 1) * 1000 + height - 1) / height)};
        region.area = area;
        region.share = static_cast<double>(r.pixels) / static_cast<double>(changed);
        result.regions.push_back(region);
    }
    std::stable_sort(result.regions.begin(), result.regions.end(),
                     [](const Region& l, const Region& r) { return size_key(l.box) > size_key(r.box); });
    if (options.max_boxes > 0 && result.regions.size() > static_cast<size_t>(options.max_boxes))
        result.regions.resize(static_cast<size_t>(options.max_boxes));

    fs::ensure_directory(output_dir);
    const std::string out_path = fs::join(output_dir, fs::stem(image_a) + "_diff.png");
    image::Raster& overlay = img_a;
    for (const PixelRect& r : masked) shade(overlay, r);
    for (const Region& r : result.regions) image::draw_rectangle(overlay, r.box, kRed, 3);
    // Tags after every outline, so that no outline crosses a number.
    for (size_t i = 0; i < result.regions.size(); ++i) draw_label(overlay, result.regions[i].box, static_cast<int>(i + 1));
    if (pair.resized) image::draw_text(overlay, 10, 10, "note: image_b resized", kRed);
    image::write_png(overlay, out_path);

    for (const Region& r : result.regions) result.diff_boxes.push_back(r.box);
    result.diff_image_path = out_path;
    return result;
}

namespace {

void check_image_count(const ModeArgs& args) {
    if (args.image_paths.size() < 2) throw UsageError("diff mode requires two images");
    // A third image would be silently left out of the comparison.
    if (args.image_paths.size() > 2)
        throw UsageError("diff mode requires two images, got " + std::to_string(args.image_paths.size()));
}

// The record's fields every run has, in this order.
Json record(const DiffResult& r) {
    Json boxes = Json::array();
    for (const Box& b : r.diff_boxes) boxes.push_back({b[0], b[1], b[2], b[3]});
    Json out = Json::object();
    out["mode"] = "diff";
    out["diff_score"] = r.diff_score;
    out["diff_boxes"] = std::move(boxes);
    out["diff_image_path"] = r.diff_image_path;
    return out;
}

}  // namespace

Json run(const ModeArgs& args) {
    check_image_count(args);
    return record(compute_diff(args.image_paths[0], args.image_paths[1], args.output_dir));
}

Json run(const ModeArgs& args, const Options& options, std::optional<double> fail_above) {
    check_image_count(args);
    // NaN fails this test too.
    if (fail_above && !(*fail_above >= 0.0 && *fail_above <= 1.0))
        throw UsageError("fail_above must be a score from 0 to 1");
    const DiffResult r = compute_diff(args.image_paths[0], args.image_paths[1], args.output_dir, options);
    Json out = record(r);
    Json regions = Json::array();
    for (const Region& g : r.regions) {
        Json one = Json::object();
        one["box"] = {g.box[0], g.box[1], g.box[2], g.box[3]};
        one["bounding_box"] = {g.box_1000[0], g.box_1000[1], g.box_1000[2], g.box_1000[3]};
        one["area"] = g.area;
        one["share"] = g.share;
        regions.push_back(std::move(one));
    }
    out["regions"] = std::move(regions);
    out["resized"] = r.resized;
    if (fail_above) out["passed"] = r.diff_score <= *fail_above;
    return out;
}

}  // namespace droidlens::diff
