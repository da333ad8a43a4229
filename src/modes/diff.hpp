// The "diff" mode: compares two screenshots without the model, scores how much they
// differ, finds the changed regions and writes the first image with them outlined.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include "utils/raster.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace droidlens::diff {

// A changed region [x1, y1, x2, y2] with inclusive pixel bounds.
using Box = std::array<std::int64_t, 4>;

struct DiffResult {
    double diff_score = 0.0;       // mean grayscale difference / 255, in [0, 1]
    std::vector<Box> diff_boxes;   // in pixels of image_a, largest first
    std::string diff_image_path;   // the annotated PNG that was written
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

// Bounds of the 4-connected regions of non-zero pixels of an 8-bit single-channel
// mask with at least min_area pixels, in the order a raster scan first meets them.
std::vector<Box> _find_boxes(const image::Raster& mask, std::int64_t min_area);

// Mode entry: {"mode": "diff", "diff_score", "diff_boxes", "diff_image_path"} for the
// first two image paths. Throws ValueError "diff mode requires two images".
Json run(const ModeArgs& args);

}  // namespace droidlens::diff
