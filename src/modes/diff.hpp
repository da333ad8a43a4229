// The "diff" mode: compares two screenshots without the model, scores how much they
// differ, finds the changed regions and writes the first image with them outlined.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include "utils/raster.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace droidlens::diff {

// A changed region [x1, y1, x2, y2] with inclusive pixel bounds.
using Box = std::array<std::int64_t, 4>;

// A part of the screen left out of the comparison: a rectangle in 0-1000 relative
// coordinates of each axis of the first image, or one of the system bars, whose
// height follows from the images' sizes (bar_height).
struct MaskArea {
    enum class Kind { Rect, StatusBar, NavBar };
    Kind kind = Kind::Rect;
    std::array<double, 4> rect{};  // x1, y1, x2, y2 for Kind::Rect, x1 < x2 and y1 < y2
};

// "x1,y1,x2,y2" (numbers from 0 to 1000), "status-bar" or "nav-bar". Throws
// UsageError naming the text for anything else.
MaskArea parse_mask(const std::string& text);

// Height in pixels of the status bar (40 dp) or the navigation bar (48 dp) on a
// width x height screenshot, the density taken as the shorter side / 360 dp.
std::int64_t bar_height(MaskArea::Kind bar, std::int64_t width, std::int64_t height);

// What the comparison does beyond today's defaults, for a test suite's assertion.
struct Options {
    std::vector<MaskArea> masks;   // masked pixels count as unchanged in score and regions
    std::int64_t merge_gap = 0;    // regions whose boxes come closer than this (pixels) become one
    std::int64_t max_boxes = 10;   // regions kept, largest first; 0 keeps all
    std::int64_t min_area = 240;   // changed pixels (of image_a) a region needs; 240 = the default 60 at scale 0.5
};

// One changed region of an options run.
struct Region {
    Box box;                                  // pixels of image_a, inclusive
    std::array<std::int64_t, 4> box_1000{};   // the same box in 0-1000 of each axis
    std::int64_t area = 0;                    // its changed pixels, in pixels of image_a
    double share = 0.0;                       // its part of all changed pixels, 0 to 1
};

struct DiffResult {
    double diff_score = 0.0;       // mean grayscale difference / 255, in [0, 1]
    std::vector<Box> diff_boxes;   // in pixels of image_a, largest first
    std::string diff_image_path;   // the annotated PNG that was written
    std::vector<Region> regions;   // options runs only: the regions of diff_boxes, in the same order
    bool resized = false;          // image_b was resampled to image_a's size
};

// Compares image_a with image_b (resampled to image_a's size when they differ) and
// writes output_dir/<stem of image_a>_diff.png with the changed regions outlined in
// red. `scale` reduces the difference before the region search; `min_area` counts
// pixels of that reduced mask. A negative max_boxes keeps no box. Throws
// FileSystemError / ImageError for unreadable inputs (before anything is written) and
// ConversionError for a NaN or infinite scale, ValueError for an absurdly large one.
DiffResult compute_diff(const std::string& image_a, const std::string& image_b, const std::string& output_dir,
                        std::int64_t threshold = 25, std::int64_t min_area = 60, double scale = 0.5,
                        std::int64_t max_boxes = 10);

// The comparison with Options (threshold 25, reduction 0.5 as by default): masked
// pixels are zeroed in the difference before the score and the region search;
// regions are merged, filtered and limited as the options say, and the image labels
// each kept region with its number (1 = the first of `regions`) on a red tag and
// shades the masked areas. Throws UsageError for negative options and the errors of
// the other overload for unreadable inputs, before anything is written.
DiffResult compute_diff(const std::string& image_a, const std::string& image_b, const std::string& output_dir,
                        const Options& options);

// Boxes merged while any two come closer than `gap` pixels on both axes (the pixels
// strictly between them; touching or overlapping boxes are 0 apart); the areas of
// merged boxes add up. The order is that of the first box of each group.
struct AreaBox {
    Box box;
    std::int64_t pixels;
};
std::vector<AreaBox> _merge_boxes(std::vector<AreaBox> boxes, std::int64_t gap);

// Bounds of the 4-connected regions of non-zero pixels of an 8-bit single-channel
// mask with at least min_area pixels, in the order a raster scan first meets them.
std::vector<Box> _find_boxes(const image::Raster& mask, std::int64_t min_area);

// Whether two screenshots differ as the diff mode sees them by default: some region
// of changed pixels (gray difference above 25 at half size) of at least 60 pixels of
// that size. Screenshots of different sizes differ; noise below that (a cursor's
// blink counts) does not. Nothing is written.
bool screens_differ(const image::Raster& a, const image::Raster& b);

// Mode entry: {"mode": "diff", "diff_score", "diff_boxes", "diff_image_path"} for the
// first two image paths. Throws ValueError "diff mode requires two images".
Json run(const ModeArgs& args);

// The same with Options; the record also carries "regions" (box, bounding_box in
// 0-1000, area, share, largest first), "resized", and, when fail_above is given,
// "passed": whether diff_score is at most fail_above (a number from 0 to 1).
Json run(const ModeArgs& args, const Options& options, std::optional<double> fail_above);

// The router's entry: run() with the diff options given in args.options (mask,
// merge_gap, max_boxes, min_area, fail_above, already checked), or the plain run()
// when none was given.
Json run_with_options(const ModeArgs& args);

}  // namespace droidlens::diff
