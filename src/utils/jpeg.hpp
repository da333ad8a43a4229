// JPEG reading through libjpeg-turbo's TurboJPEG interface, with the settings that
// give the very pixels the common Python imaging library gives: the accurate integer
// IDCT and smooth ("fancy") chroma upsampling. EXIF orientation is not applied.
#pragma once

#include "utils/raster.hpp"

#include <string>
#include <string_view>

namespace droidlens::jpeg {

// True when `data` starts with the JPEG start-of-image marker.
bool is_jpeg(std::string_view data);

// Decodes a baseline, progressive or arithmetic-coded 8-bit JPEG (grey, YCbCr, RGB,
// CMYK or YCCK) into 8-bit RGB. The frame size is read from the markers and checked
// against image::kMaxPixels before the library is called. Throws
// image::TruncatedError for data whose compressed scan is cut off (libjpeg would pad
// it with grey and only warn) and ImageError with the reason for anything else.
image::Raster decode(std::string_view data);

// Encodes an 8-bit RGB raster as a baseline JPEG file (the bytes) of `quality`
// 1-100 with 4:2:0 chroma: small pictures for pages people look at. Throws
// ImageError when the encoder fails.
std::string encode(const image::Raster& rgb, int quality);

}  // namespace droidlens::jpeg
