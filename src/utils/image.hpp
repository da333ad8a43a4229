// Image operations shared by the screen modes: loading as RGB, encoding for the
// model, coordinate conversion from the model's 0-1000 space, and drawing results
// onto copies of screenshots. (Capturing a screenshot is device/capture.hpp.)
//
// Images are rasters of 8-bit RGB pixels (utils/raster.hpp). PNG and JPEG files are
// read; a file over kMaxFileBytes or an image over kMaxPixels is refused before it
// is read whole or decoded.
#pragma once

#include <droidlens/json.hpp>

#include "utils/png.hpp"
#include "utils/raster.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace droidlens::image {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

// Pixel box (x1, y1, x2, y2), inclusive corners.
using PixelBox = std::array<std::int64_t, 4>;

// The largest image file read: far above any screenshot, and a bound on what a
// file can make us hold before its header has been looked at.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{256} << 20;

// Reads a PNG or JPEG file as 8-bit RGB pixels: alpha is dropped (not blended), grey
// is replicated, EXIF orientation is ignored. Throws FileSystemError for a missing or
// unreadable file and ImageError, naming the file, for
//   - a file over kMaxFileBytes (checked before it is read),
//   - bytes that are neither PNG nor JPEG ("Cannot identify image file '<path>'"),
//   - a cut-off file ("Image file '<path>' is truncated"),
//   - a header declaring more than kMaxPixels ("Cannot read image file '<path>':
//     image too large: W x H pixels (the limit is 100000000 pixels)"), checked before
//     any decoder runs, and any other fault, with its reason, in the same form.
Raster load_rgb(const std::string& path);

// The same for bytes already in memory (a screenshot as the device sent it); throws
// ImageError for bytes that are neither PNG nor JPEG and the decoders' own errors.
Raster decode_rgb(std::string_view bytes);

// Encodes `img` (RGB) as PNG and writes it to `path` atomically (a failed write
// leaves no partial file under that name). Throws FileSystemError.
void write_png(const Raster& img, const std::string& path, png::Effort effort = png::Effort::Fast);

struct Size {
    int width = 0, height = 0;
};

// The size of a width x height image scaled by `factor`: each side truncated toward
// zero and at least 1. Throws ConversionError for a NaN or infinite factor ("cannot
// convert float NaN to integer", "cannot convert float infinity to integer") and
// ValueError for a result beyond kMaxScaledPixels.
constexpr std::int64_t kMaxScaledPixels = std::int64_t{1} << 28;
Size scaled_size(int width, int height, double factor);

struct EncodedImage {
    std::string b64;  // Base64 of the PNG file
    int width = 0;    // size of the source image, before any scaling
    int height = 0;
    int sent_width = 0;  // size of the image in the PNG, after any scaling
    int sent_height = 0;
};

// The image at `image_path` as Base64 PNG text for a model request, scaled by
// `resize_factor` with Lanczos resampling unless it is 0 or 1. The PNG is lossless,
// so `quality` does not change the pixels; it is accepted for callers that pass it.
// With `max_side` above 0, an image whose longer side is larger is scaled down to it
// (aspect kept) as well.
EncodedImage encode_image(const std::string& image_path, std::int64_t quality = 95, double resize_factor = 1.0,
                          std::int64_t max_side = 0);

// A Base64 PNG (a device's screenshot) of `sent_width` x `sent_height` pixels with its
// longer side at most `max_side`: returned as it is when it fits or `max_side` is 0
// (nothing is decoded), otherwise decoded, scaled down with Lanczos resampling and
// encoded again, and the two sizes set to those of the result.
std::string fit_png_base64(const std::string& base64_png, std::int64_t max_side, int& sent_width, int& sent_height);

// The same for PNG bytes (a screenshot as the device sent it): the Base64 text a model
// message carries, of the bytes as they are when they fit, else of the scaled copy.
std::string fit_png_to_base64(std::string_view png, std::int64_t max_side, int& sent_width, int& sent_height);

// Decodes standard Base64 (characters outside the alphabet are skipped). Throws
// DecodeError for wrong padding.
std::string base64_to_image_bytes(std::string_view base64_data);

// Converts a box from the 0-1000 relative space into pixels of a width x height
// image: (v / 1000) * size truncated toward zero, then clamped into the image. The
// corners are not reordered. The JSON form checks like a dynamic caller would:
// TypeError "Argument 'bounding_box' has incorrect type (expected list, got str)"
// for a non-list, IndexError "list index out of range" for fewer than four values,
// TypeError "unsupported operand type(s) for /: 'str' and 'int'" for a non-number.
// NaN and infinite values throw ConversionError.
PixelBox to_absolute_box(const Json& bounding_box, std::int64_t width, std::int64_t height);
PixelBox to_absolute_box(const std::array<double, 4>& bounding_box, std::int64_t width, std::int64_t height);

// "locate" for an empty or absent suffix; surrounding white space removed, blanks
// (and path separators, so the file stays in the output directory) turned into "-".
std::string safe_suffix(const std::optional<std::string>& suffix);

// Draws the relative box onto a copy of the screenshot, outlined in green (RGB
// 0,255,0) with a small circle at its centre, and writes output_dir/<stem>_<suffix>.png.
// Returns the path written.
std::string annotate_image(const std::string& image_path, const Json& bounding_box, std::int64_t width,
                           std::int64_t height, const std::string& output_dir,
                           const std::optional<std::string>& suffix = std::string("locate"));

// Like annotate_image for a list of boxes, each in the next colour of a palette of
// six; entries that are not lists of exactly four values are skipped (they still use
// up their colour). The file is written even when nothing was drawn.
std::string annotate_image_multi(const std::string& image_path, const Json& bounding_boxes, std::int64_t width,
                                 std::int64_t height, const std::string& output_dir,
                                 const std::optional<std::string>& suffix = std::string("locate"));

// Outline of `line_width` pixels drawn inside the box (corners put in order first);
// a box thinner than twice the width is filled. Clipped to the image.
void draw_rectangle(Raster& img, const PixelBox& box, Rgb colour, int line_width = 3);

// Ring of `line_width` pixels inside the square [cx - radius, cx + radius] x
// [cy - radius, cy + radius]. Clipped to the image.
void draw_circle(Raster& img, std::int64_t cx, std::int64_t cy, int radius, Rgb colour, int line_width = 3);

// A straight line from (x1, y1) to (x2, y2), `line_width` pixels thick (a square pen
// along the line). Clipped to the image; endpoints far outside it are fine.
void draw_line(Raster& img, std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2, Rgb colour,
               int line_width = 3);

// A filled disc of `radius` around (cx, cy). Clipped to the image.
void draw_disc(Raster& img, std::int64_t cx, std::int64_t cy, int radius, Rgb colour);

// One line of text in the small built-in font (utils/font.hpp), the top-left corner
// of its first character cell at (x, y), drawn without antialiasing so every touched
// pixel has exactly `colour`; clipped to the image. Each UTF-8 character outside
// printable ASCII draws as '?'.
void draw_text(Raster& img, int x, int y, const std::string& text, Rgb colour);

}  // namespace droidlens::image
