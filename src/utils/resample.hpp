// Image resampling that matches the common Python imaging library: a separable
// convolution whose support widens with the reduction factor (so shrinking is
// antialiased), weights in 22-bit fixed point, rounding and clamping to 8 bits.
// OpenCV's own INTER_LANCZOS4 / INTER_LINEAR do not antialias when shrinking, which
// would make our scores and boxes drift from what users of that library see.
#pragma once

#include <opencv2/core/mat.hpp>

namespace droidlens::resample {

enum class Filter { Bilinear, Lanczos };

// Resamples an 8-bit image (1 to 4 channels) to width x height (both >= 1): a
// horizontal pass, then a vertical one; an axis whose size is unchanged is not
// filtered. Returns a new matrix; the source is untouched.
cv::Mat resize(const cv::Mat& src, int width, int height, Filter filter);

}  // namespace droidlens::resample
