// PNG reading and writing tuned for screenshots, on zlib.
//
// Writing: the filter choice decides the size. Flat UI screens compress best
// unfiltered, photos and gradients with per-row adaptive filters, and the encoders
// at hand offer only the latter.
// Reading: the common kind of screenshot (8-bit gray or colour, with or without
// alpha, not interlaced) is decoded here in one pass, about twice as fast as the
// general decoder, which still handles every other kind.
#pragma once

#include <opencv2/core/mat.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace droidlens::png {

enum class Effort {
    Fast,      // unfiltered rows, quick compression: files written for people to look at
    Smallest,  // tries both filterings on a sample and compresses the winner harder
};

// Encodes an 8-bit, 3-channel BGR image as an 8-bit RGB PNG file (the bytes).
std::string encode(const cv::Mat& bgr, Effort effort);

// Decodes an 8-bit, non-interlaced gray, gray+alpha, RGB or RGBA PNG into 8-bit BGR
// pixels (alpha dropped, gray replicated). Returns nullopt for data that is not a
// PNG or is another kind of PNG (palette, 16-bit, interlaced, very large), for a
// general decoder to handle. Throws ImageError for a damaged or cut-off file.
std::optional<cv::Mat> decode(std::string_view data);

}  // namespace droidlens::png
