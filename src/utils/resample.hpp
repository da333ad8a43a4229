// Image resampling by separable convolution: a triangle (bilinear) or a Lanczos
// (a = 3) kernel, stretched by the reduction factor when shrinking so that detail
// finer than the output grid is averaged out instead of aliasing, with the weights
// of every output sample normalised to one. Scores and boxes of the diff mode depend
// on these exact values, and they agree with what users of the common Python imaging
// library see for the same images.
#pragma once

#include "utils/raster.hpp"

namespace droidlens::resample {

enum class Filter { Bilinear, Lanczos };

// `src` (1 to 4 channels) resampled to width x height (both >= 1): along x first, then
// along y, rounding to 8 bits in between; an axis whose size is unchanged is copied,
// not filtered. Throws ValueError for an empty source or a size below 1.
image::Raster resize(const image::Raster& src, int width, int height, Filter filter);

}  // namespace droidlens::resample
