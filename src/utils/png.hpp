// PNG reading and writing tuned for screenshots.
//
// Writing: the filter choice decides the size. Flat UI screens compress best
// unfiltered, photos and gradients with per-row adaptive filters, and the encoders
// at hand offer only the latter.
// Reading: the common kind of screenshot (8-bit grey or colour, with or without
// alpha, not interlaced) is decoded here in one pass on libdeflate; every other kind
// (palette, 16-bit, grey below 8 bits, interlaced) goes to libspng, whose messages
// become our error text (it never prints). The declared size is checked against the
// pixel limit before either decoder allocates anything.
#pragma once

#include "utils/raster.hpp"

#include <string>
#include <string_view>

namespace droidlens::png {

enum class Effort {
    Fast,      // unfiltered rows, quick compression: files written for people to look at
    Smallest,  // tries both filterings on a sample and compresses the winner harder
};

// Encodes an 8-bit RGB raster (3 channels) as an 8-bit RGB PNG file (the bytes).
std::string encode(const image::Raster& rgb, Effort effort);

// True when `data` starts with the PNG signature.
bool is_png(std::string_view data);

// Decodes any standard PNG into 8-bit RGB (alpha dropped, grey replicated, palette
// looked up, 16-bit values cut to their high byte). Throws image::TruncatedError for
// data that ends early and ImageError with the reason for anything else: not a PNG,
// an invalid header, more than image::kMaxPixels pixels, damaged data.
image::Raster decode(std::string_view data);

}  // namespace droidlens::png
