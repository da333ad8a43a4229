#include "utils/image.hpp"

#include <droidlens/errors.hpp>

#include "utils/args.hpp"
#include "utils/base64.hpp"
#include "utils/coords.hpp"
#include "utils/font.hpp"
#include "utils/fs.hpp"
#include "utils/jpeg.hpp"
#include "utils/resample.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace droidlens::image {

namespace {

// Sets one pixel, known to be inside the image, of an RGB raster.
inline void put(Raster& img, std::int64_t x, std::int64_t y, Rgb c) {
    std::uint8_t* p = img.pixel(static_cast<int>(x), static_cast<int>(y));
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

// Drawing works on RGB rasters only.
void require_rgb(const Raster& img) {
    if (img.channels() != 3 && !img.empty()) throw ValueError("drawing needs an RGB image");
}

// Fills columns [x1, x2] of row y; the caller has clipped them to the image.
void fill_span(Raster& img, std::int64_t y, std::int64_t x1, std::int64_t x2, Rgb colour) {
    for (std::int64_t x = x1; x <= x2; ++x) put(img, x, y, colour);
}

std::string format_number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

const Rgb kPalette[6] = {{0, 255, 0}, {255, 0, 0}, {0, 128, 255}, {255, 128, 0}, {128, 0, 255}, {0, 200, 200}};

void mark(Raster& img, const PixelBox& b, Rgb colour) {
    draw_rectangle(img, b, colour, 3);
    draw_circle(img, (b[0] + b[2]) / 2, (b[1] + b[3]) / 2, 6, colour, 3);
}

std::string annotated_path(const std::string& image_path, const std::string& output_dir,
                           const std::optional<std::string>& suffix) {
    return fs::join(output_dir, fs::stem(image_path) + "_" + safe_suffix(suffix) + ".png");
}

std::string too_large(const std::string& path, const std::string& size) {
    return "image file too large: '" + path + "' holds " + size + " bytes (the limit is " +
           std::to_string(kMaxFileBytes) + " bytes)";
}

// A file's bytes, in memory that is cheap to fault in.
struct FileBytes {
    Buffer data;
    size_t size = 0;
    std::string_view view() const { return {reinterpret_cast<const char*>(data.get()), size}; }
};

// Reads an image file whole, refusing one over kMaxFileBytes before reading it (a
// regular file, by its size) or as soon as the limit is passed (a pipe or device).
// Open and read failures read like those of fs::read_file.
FileBytes read_image_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) throw FileSystemError("No such file or directory: '" + path + "'");
        throw FileSystemError("Cannot read '" + path + "': " + std::strerror(err));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        throw ImageError(too_large(path, std::to_string(st.st_size)));
    }
    // A regular file is read into a buffer of its size (one byte more, to see that it
    // did not grow); anything else into one that doubles up to the limit.
    FileBytes file;
    size_t capacity = regular ? static_cast<size_t>(st.st_size) + 1 : size_t{1} << 16;
    file.data = allocate(capacity);
    for (;;) {
        if (file.size == capacity) {
            if (capacity > kMaxFileBytes) throw ImageError(too_large(path, "more than"));
            Buffer bigger = allocate(2 * capacity);
            std::memcpy(bigger.get(), file.data.get(), file.size);
            file.data = std::move(bigger);
            capacity *= 2;
        }
        const ssize_t n = ::read(fd, file.data.get() + file.size, capacity - file.size);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileSystemError("Cannot read '" + path + "': " + std::strerror(errno));
        }
        file.size += static_cast<size_t>(n);
    }
    if (file.size > kMaxFileBytes) throw ImageError(too_large(path, "more than"));
    return file;
}

}  // namespace

Raster load_rgb(const std::string& path) {
    const FileBytes file = read_image_file(path);
    const std::string_view bytes = file.view();
    if (!png::is_png(bytes) && !jpeg::is_jpeg(bytes)) throw ImageError("Cannot identify image file '" + path + "'");
    try {
        return decode_rgb(bytes);
    } catch (const TruncatedError&) {
        throw ImageError("Image file '" + path + "' is truncated");
    } catch (const ImageError& e) {
        throw ImageError("Cannot read image file '" + path + "': " + e.what());
    }
}

Raster decode_rgb(std::string_view bytes) {
    if (png::is_png(bytes)) return png::decode(bytes);
    if (jpeg::is_jpeg(bytes)) return jpeg::decode(bytes);
    throw ImageError("neither PNG nor JPEG data");
}

void write_png(const Raster& img, const std::string& path, png::Effort effort) {
    fs::write_file(path, png::encode(img, effort));
}

Size scaled_size(int width, int height, double factor) {
    if (std::isnan(factor)) throw ConversionError("cannot convert float NaN to integer");
    if (std::isinf(factor)) throw ConversionError("cannot convert float infinity to integer");
    const double w = std::max(1.0, std::trunc(width * factor));
    const double h = std::max(1.0, std::trunc(height * factor));
    if (w * h > static_cast<double>(kMaxScaledPixels)) {
        throw ValueError("scale factor " + format_number(factor) + " would make a " + format_number(w) + " x " +
                         format_number(h) + " image, more than the limit of " + std::to_string(kMaxScaledPixels) +
                         " pixels");
    }
    return {static_cast<int>(w), static_cast<int>(h)};
}

namespace {

// The raster scaled down so that its longer side is `max_side` (aspect kept, each
// side at least 1); unchanged when it fits or `max_side` is 0.
void fit_within(Raster& img, std::int64_t max_side) {
    const int longer = std::max(img.width(), img.height());
    if (max_side <= 0 || longer <= max_side) return;
    const double s = static_cast<double>(max_side) / longer;
    const int w = std::max(1, static_cast<int>(std::lround(img.width() * s)));
    const int h = std::max(1, static_cast<int>(std::lround(img.height() * s)));
    img = resample::resize(img, w, h, resample::Filter::Lanczos);
}

}  // namespace

EncodedImage encode_image(const std::string& image_path, std::int64_t /*quality*/, double resize_factor,
                          std::int64_t max_side) {
    Raster img = load_rgb(image_path);
    EncodedImage out;
    out.width = img.width();
    out.height = img.height();
    if (resize_factor != 0 && resize_factor != 1.0) {
        const Size size = scaled_size(img.width(), img.height(), resize_factor);
        img = resample::resize(img, size.width, size.height, resample::Filter::Lanczos);
    }
    fit_within(img, max_side);
    out.sent_width = img.width();
    out.sent_height = img.height();
    out.b64 = base64::encode(png::encode(img, png::Effort::Smallest));
    return out;
}

std::string fit_png_base64(const std::string& base64_png, std::int64_t max_side, int& sent_width, int& sent_height) {
    // The caller knows the screenshot's size: one that fits is never decoded.
    if (max_side <= 0 || std::max(sent_width, sent_height) <= max_side) return base64_png;
    Raster img = decode_rgb(base64::decode(base64_png));
    fit_within(img, max_side);
    sent_width = img.width();
    sent_height = img.height();
    return base64::encode(png::encode(img, png::Effort::Smallest));
}

std::string fit_png_to_base64(std::string_view png, std::int64_t max_side, int& sent_width, int& sent_height) {
    // The caller knows the screenshot's size: one that fits is never decoded.
    if (max_side <= 0 || std::max(sent_width, sent_height) <= max_side) return base64::encode(png);
    Raster img = decode_rgb(png);
    fit_within(img, max_side);
    sent_width = img.width();
    sent_height = img.height();
    return base64::encode(png::encode(img, png::Effort::Smallest));
}

std::string base64_to_image_bytes(std::string_view base64_data) { return base64::decode(base64_data); }

PixelBox to_absolute_box(const Json& bounding_box, std::int64_t width, std::int64_t height) {
    if (!bounding_box.is_array()) args::throw_wrong_type("bounding_box", "list", bounding_box);
    PixelBox out{};
    for (size_t i = 0; i < 4; ++i) {
        if (i >= bounding_box.size()) throw IndexError("list index out of range");
        const Json& v = bounding_box[i];
        double value;
        if (v.is_number()) value = v.get<double>();
        else if (v.is_boolean()) value = v.get<bool>() ? 1.0 : 0.0;  // a dynamic caller's bools are numbers
        else throw TypeError("unsupported operand type(s) for /: '" + type_name(v) + "' and 'int'");
        out[i] = coords::relative_to_pixel(value, i % 2 == 0 ? width : height);
    }
    return out;
}

PixelBox to_absolute_box(const std::array<double, 4>& b, std::int64_t width, std::int64_t height) {
    return {coords::relative_to_pixel(b[0], width), coords::relative_to_pixel(b[1], height),
            coords::relative_to_pixel(b[2], width), coords::relative_to_pixel(b[3], height)};
}

std::string safe_suffix(const std::optional<std::string>& suffix) {
    std::string s = suffix && !suffix->empty() ? *suffix : "locate";
    const char* space = " \t\n\r\v\f\x1c\x1d\x1e\x1f";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    s = s.substr(first, s.find_last_not_of(space) - first + 1);
    for (char& c : s) {
        if (c == ' ' || c == '/') c = '-';
    }
    return s;
}

std::string annotate_image(const std::string& image_path, const Json& bounding_box, std::int64_t width,
                           std::int64_t height, const std::string& output_dir,
                           const std::optional<std::string>& suffix) {
    fs::ensure_directory(output_dir);
    Raster img = load_rgb(image_path);
    mark(img, to_absolute_box(bounding_box, width, height), kPalette[0]);
    std::string path = annotated_path(image_path, output_dir, suffix);
    write_png(img, path);
    return path;
}

std::string annotate_image_multi(const std::string& image_path, const Json& bounding_boxes, std::int64_t width,
                                 std::int64_t height, const std::string& output_dir,
                                 const std::optional<std::string>& suffix) {
    if (!bounding_boxes.is_array()) args::throw_wrong_type("bounding_boxes", "list", bounding_boxes);
    fs::ensure_directory(output_dir);
    Raster img = load_rgb(image_path);
    for (size_t i = 0; i < bounding_boxes.size(); ++i) {
        const Json& box = bounding_boxes[i];
        if (!box.is_array() || box.size() != 4) continue;
        mark(img, to_absolute_box(box, width, height), kPalette[i % 6]);
    }
    std::string path = annotated_path(image_path, output_dir, suffix);
    write_png(img, path);
    return path;
}

void draw_rectangle(Raster& img, const PixelBox& box, Rgb colour, int line_width) {
    require_rgb(img);
    if (img.empty()) return;
    const std::int64_t lw = std::max(line_width, 1);
    const std::int64_t w = img.width(), h = img.height();
    // Corners in order, pulled just outside the image so the arithmetic below
    // cannot overflow; that does not change which pixels are inside the image.
    auto limit = [&](std::int64_t v, std::int64_t size) { return std::clamp<std::int64_t>(v, -lw - 1, size + lw); };
    const std::int64_t x1 = limit(std::min(box[0], box[2]), w), x2 = limit(std::max(box[0], box[2]), w);
    const std::int64_t y1 = limit(std::min(box[1], box[3]), h), y2 = limit(std::max(box[1], box[3]), h);
    const std::int64_t vx1 = std::max<std::int64_t>(x1, 0), vx2 = std::min<std::int64_t>(x2, w - 1);
    const std::int64_t vy1 = std::max<std::int64_t>(y1, 0), vy2 = std::min<std::int64_t>(y2, h - 1);
    for (std::int64_t y = vy1; y <= vy2; ++y) {
        if (y < y1 + lw || y > y2 - lw) {
            fill_span(img, y, vx1, vx2, colour);
        } else {
            fill_span(img, y, vx1, std::min(vx2, x1 + lw - 1), colour);
            fill_span(img, y, std::max(vx1, x2 - lw + 1), vx2, colour);
        }
    }
}

void draw_circle(Raster& img, std::int64_t cx, std::int64_t cy, int radius, Rgb colour, int line_width) {
    require_rgb(img);
    if (img.empty() || radius < 0) return;
    // A pixel is on the ring when its centre lies within half a pixel of the outer
    // circle's inside and outside the inner circle (radius - line_width) likewise.
    const std::int64_t r = radius;
    const std::int64_t w = img.width(), h = img.height();
    // Centres far outside the image draw nothing; clamping keeps cx + dx from overflowing.
    cx = std::clamp<std::int64_t>(cx, -r - 1, w + r);
    cy = std::clamp<std::int64_t>(cy, -r - 1, h + r);
    const std::int64_t inner = r - std::max(line_width, 1);
    const std::int64_t outer_limit = r * r + r;
    const std::int64_t inner_limit = inner >= 0 ? inner * inner + inner : -1;
    for (std::int64_t dy = -r; dy <= r; ++dy) {
        const std::int64_t y = cy + dy;
        if (y < 0 || y >= h) continue;
        for (std::int64_t dx = -r; dx <= r; ++dx) {
            const std::int64_t x = cx + dx;
            if (x < 0 || x >= w) continue;
            const std::int64_t d2 = dx * dx + dy * dy;
            if (d2 <= outer_limit && d2 > inner_limit) put(img, x, y, colour);
        }
    }
}

void draw_line(Raster& img, std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2, Rgb colour,
               int line_width) {
    require_rgb(img);
    if (img.empty()) return;
    // The segment is first clipped to the image grown by the pen's margin
    // (Liang-Barsky), so the walk below is bounded by the image's size whatever the
    // input. Extended precision keeps the clipped ends within a pixel even for
    // endpoints near the 64-bit limits.
    using Real = long double;
    const Real w = img.width(), h = img.height(), margin = line_width + 2.0L;
    Real ax = static_cast<Real>(x1), ay = static_cast<Real>(y1);
    Real bx = static_cast<Real>(x2), by = static_cast<Real>(y2);
    Real t0 = 0.0L, t1 = 1.0L;
    const Real dx = bx - ax, dy = by - ay;
    const Real p[4] = {-dx, dx, -dy, dy};
    const Real q[4] = {ax + margin, w + margin - ax, ay + margin, h + margin - ay};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0L) {
            if (q[i] < 0) return;
            continue;
        }
        const Real t = q[i] / p[i];
        if (p[i] < 0) t0 = std::max(t0, t);
        else t1 = std::min(t1, t);
        if (t0 > t1) return;
    }
    bx = ax + t1 * dx;
    by = ay + t1 * dy;
    ax = ax + t0 * dx;
    ay = ay + t0 * dy;
    const int pen = std::max(line_width, 1);
    const int half = pen / 2;
    const auto steps = static_cast<std::int64_t>(std::ceil(std::max(std::fabs(bx - ax), std::fabs(by - ay))));
    for (std::int64_t i = 0; i <= steps; ++i) {
        const Real t = steps == 0 ? 0.0L : static_cast<Real>(i) / static_cast<Real>(steps);
        const auto cx = static_cast<std::int64_t>(std::llround(ax + t * (bx - ax)));
        const auto cy = static_cast<std::int64_t>(std::llround(ay + t * (by - ay)));
        for (std::int64_t yy = cy - half; yy < cy - half + pen; ++yy) {
            if (yy < 0 || yy >= img.height()) continue;
            for (std::int64_t xx = cx - half; xx < cx - half + pen; ++xx)
                if (xx >= 0 && xx < img.width()) put(img, xx, yy, colour);
        }
    }
}

void draw_disc(Raster& img, std::int64_t cx, std::int64_t cy, int radius, Rgb colour) {
    draw_circle(img, cx, cy, radius, colour, radius + 1);
}

void draw_text(Raster& img, int x, int y, const std::string& text, Rgb colour) {
    require_rgb(img);
    std::int64_t left = x;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;  // the rest of a UTF-8 character already drawn
        const font::Glyph& g = font::glyph(byte);
        for (int row = 0; row < font::kGlyphHeight; ++row) {
            const std::int64_t py = std::int64_t{y} + row;
            if (py < 0 || py >= img.height()) continue;
            for (int col = 0; col < font::kGlyphWidth; ++col) {
                const std::int64_t px = left + col;
                if ((g[static_cast<size_t>(row)] >> (font::kGlyphWidth - 1 - col) & 1) && px >= 0 && px < img.width()) {
                    put(img, px, py, colour);
                }
            }
        }
        left += font::kAdvance;
    }
}

}  // namespace droidlens::image
