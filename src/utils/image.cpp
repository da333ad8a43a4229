#include "utils/image.hpp"

#include <droidlens/errors.hpp>

#include "device/adb/screenshot.hpp"
#include "device/adb/viewtree.hpp"
#include "utils/base64.hpp"
#include "utils/fs.hpp"
#include "utils/resample.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace droidlens::image {

namespace {

cv::Vec3b bgr(Rgb c) { return {c.b, c.g, c.r}; }

// Fills columns [x1, x2] of row y; the caller has clipped them to the image.
void fill_span(cv::Mat& img, std::int64_t y, std::int64_t x1, std::int64_t x2, cv::Vec3b colour) {
    if (x1 > x2) return;
    auto* row = img.ptr<cv::Vec3b>(static_cast<int>(y));
    std::fill(row + x1, row + x2 + 1, colour);
}

std::string format_number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// (value / 1000) * size, truncated toward zero and clamped into [0, size - 1], all
// in double so that huge values cannot overflow the integer.
std::int64_t relative_to_pixel(double value, std::int64_t size) {
    if (std::isnan(value)) throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(value)) throw ValueError("cannot convert float infinity to integer");
    double v = std::trunc((value / 1000) * static_cast<double>(size));
    v = std::min(v, static_cast<double>(size) - 1);
    v = std::max(0.0, v);
    return static_cast<std::int64_t>(v);
}

const Rgb kPalette[6] = {{0, 255, 0}, {255, 0, 0}, {0, 128, 255}, {255, 128, 0}, {128, 0, 255}, {0, 200, 200}};

void mark(cv::Mat& img, const PixelBox& b, Rgb colour) {
    draw_rectangle(img, b, colour, 3);
    draw_circle(img, (b[0] + b[2]) / 2, (b[1] + b[3]) / 2, 6, colour, 3);
}

std::string annotated_path(const std::string& image_path, const std::string& output_dir,
                           const std::optional<std::string>& suffix) {
    return fs::join(output_dir, fs::stem(image_path) + "_" + safe_suffix(suffix) + ".png");
}

// False for JPEG data whose compressed scan is cut off. libjpeg pads a truncated scan
// with grey and only warns, which would pass a damaged screenshot off as a real one.
// Walks the marker segments up to the first start-of-scan (so an embedded thumbnail
// does not count) and looks for the end-of-image marker after it; data that is not a
// well-formed JPEG is left for the decoder to judge.
bool jpeg_is_complete(const std::string& bytes) {
    auto at = [&](size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    if (bytes.size() < 4 || at(0) != 0xFF || at(1) != 0xD8) return true;
    size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (at(pos) != 0xFF) return true;
        const std::uint8_t marker = at(pos + 1);
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA) return bytes.find("\xFF\xD9", pos + 2) != std::string::npos;
        if (marker == 0xD9) return false;  // end of image before any scan
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // markers without a length
            pos += 2;
            continue;
        }
        pos += 2 + ((static_cast<size_t>(at(pos + 2)) << 8) | at(pos + 3));
    }
    return false;  // the headers themselves are cut off
}

}  // namespace

cv::Mat load_rgb(const std::string& path) {
    const std::string bytes = fs::read_file(path);
    const std::string not_an_image = "Cannot identify image file '" + path + "'";
    if (bytes.empty() || bytes.size() > static_cast<size_t>(INT_MAX)) throw ImageError(not_an_image);
    if (!jpeg_is_complete(bytes)) throw ImageError("Image file '" + path + "' is truncated");
    // Common screenshots take the fast PNG path; everything else the general decoder.
    try {
        if (std::optional<cv::Mat> png = png::decode(bytes)) return *png;
    } catch (const ImageError&) {
        throw ImageError(not_an_image);
    }
    cv::Mat decoded;
    try {
        cv::Mat buf(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
        decoded = cv::imdecode(buf, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception&) {
        throw ImageError(not_an_image);
    }
    if (decoded.empty() || decoded.type() != CV_8UC3) throw ImageError(not_an_image);
    return decoded;
}

void write_png(const cv::Mat& img, const std::string& path, png::Effort effort) {
    fs::write_file(path, png::encode(img, effort));
}

cv::Size scaled_size(int width, int height, double factor) {
    if (std::isnan(factor)) throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(factor)) throw ValueError("cannot convert float infinity to integer");
    const double w = std::max(1.0, std::trunc(width * factor));
    const double h = std::max(1.0, std::trunc(height * factor));
    if (w * h > static_cast<double>(kMaxScaledPixels)) {
        throw ValueError("scale factor " + format_number(factor) + " would make a " + format_number(w) + " x " +
                         format_number(h) + " image, more than the limit of " + std::to_string(kMaxScaledPixels) +
                         " pixels");
    }
    return {static_cast<int>(w), static_cast<int>(h)};
}

EncodedImage encode_image(const std::string& image_path, std::int64_t /*quality*/, double resize_factor) {
    cv::Mat img = load_rgb(image_path);
    EncodedImage out;
    out.width = img.cols;
    out.height = img.rows;
    if (resize_factor != 0 && resize_factor != 1.0) {
        cv::Size size = scaled_size(img.cols, img.rows, resize_factor);
        img = resample::resize(img, size.width, size.height, resample::Filter::Lanczos);
    }
    out.b64 = base64::encode(png::encode(img, png::Effort::Smallest));
    return out;
}

std::string base64_to_image_bytes(std::string_view base64_data) { return base64::decode(base64_data); }

PixelBox to_absolute_box(const Json& bounding_box, std::int64_t width, std::int64_t height) {
    if (!bounding_box.is_array()) {
        throw TypeError("Argument 'bounding_box' has incorrect type (expected list, got " +
                        type_name(bounding_box).substr(0, 200) + ")");
    }
    PixelBox out{};
    for (size_t i = 0; i < 4; ++i) {
        if (i >= bounding_box.size()) throw IndexError("list index out of range");
        const Json& v = bounding_box[i];
        double value;
        if (v.is_number()) value = v.get<double>();
        else if (v.is_boolean()) value = v.get<bool>() ? 1.0 : 0.0;  // a dynamic caller's bools are numbers
        else throw TypeError("unsupported operand type(s) for /: '" + type_name(v) + "' and 'int'");
        out[i] = relative_to_pixel(value, i % 2 == 0 ? width : height);
    }
    return out;
}

PixelBox to_absolute_box(const std::array<double, 4>& b, std::int64_t width, std::int64_t height) {
    return {relative_to_pixel(b[0], width), relative_to_pixel(b[1], height), relative_to_pixel(b[2], width),
            relative_to_pixel(b[3], height)};
}

CapturedScreenshot capture_screenshot_to_file(const std::optional<std::string>& device_id,
                                              const std::string& output_dir,
                                              std::optional<std::int64_t> display_id) {
    // Device errors, capture errors and undecodable data all surface before anything
    // is created on disk.
    std::string serial = adb::resolve_device_id(device_id);
    adb::Screenshot shot = adb::get_screenshot(serial, display_id);
    const std::string bytes = base64_to_image_bytes(shot.base64_data);
    fs::ensure_directory(output_dir);
    std::string path = fs::join(output_dir, fs::local_time_text("%Y%m%d_%H%M%S") + ".png");
    fs::write_file(path, bytes);
    return {path, serial};
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
    cv::Mat img = load_rgb(image_path);
    mark(img, to_absolute_box(bounding_box, width, height), kPalette[0]);
    std::string path = annotated_path(image_path, output_dir, suffix);
    write_png(img, path);
    return path;
}

std::string annotate_image_multi(const std::string& image_path, const Json& bounding_boxes, std::int64_t width,
                                 std::int64_t height, const std::string& output_dir,
                                 const std::optional<std::string>& suffix) {
    if (!bounding_boxes.is_array()) {
        throw TypeError("Argument 'bounding_boxes' has incorrect type (expected list, got " +
                        type_name(bounding_boxes).substr(0, 200) + ")");
    }
    fs::ensure_directory(output_dir);
    cv::Mat img = load_rgb(image_path);
    for (size_t i = 0; i < bounding_boxes.size(); ++i) {
        const Json& box = bounding_boxes[i];
        if (!box.is_array() || box.size() != 4) continue;
        mark(img, to_absolute_box(box, width, height), kPalette[i % 6]);
    }
    std::string path = annotated_path(image_path, output_dir, suffix);
    write_png(img, path);
    return path;
}

void draw_rectangle(cv::Mat& img, const PixelBox& box, Rgb colour, int line_width) {
    if (img.empty()) return;
    const std::int64_t lw = std::max(line_width, 1);
    // Corners in order, pulled just outside the image so the arithmetic below
    // cannot overflow; that does not change which pixels are inside the image.
    auto limit = [&](std::int64_t v, int size) { return std::clamp<std::int64_t>(v, -lw - 1, size + lw); };
    const std::int64_t x1 = limit(std::min(box[0], box[2]), img.cols), x2 = limit(std::max(box[0], box[2]), img.cols);
    const std::int64_t y1 = limit(std::min(box[1], box[3]), img.rows), y2 = limit(std::max(box[1], box[3]), img.rows);
    const std::int64_t vx1 = std::max<std::int64_t>(x1, 0), vx2 = std::min<std::int64_t>(x2, img.cols - 1);
    const std::int64_t vy1 = std::max<std::int64_t>(y1, 0), vy2 = std::min<std::int64_t>(y2, img.rows - 1);
    const cv::Vec3b c = bgr(colour);
    for (std::int64_t y = vy1; y <= vy2; ++y) {
        if (y < y1 + lw || y > y2 - lw) {
            fill_span(img, y, vx1, vx2, c);
        } else {
            fill_span(img, y, vx1, std::min(vx2, x1 + lw - 1), c);
            fill_span(img, y, std::max(vx1, x2 - lw + 1), vx2, c);
        }
    }
}

void draw_circle(cv::Mat& img, std::int64_t cx, std::int64_t cy, int radius, Rgb colour, int line_width) {
    if (img.empty() || radius < 0) return;
    // A pixel is on the ring when its centre lies within half a pixel of the outer
    // circle's inside and outside the inner circle (radius - line_width) likewise.
    const std::int64_t r = radius;
    // Centres far outside the image draw nothing; clamping keeps cx + dx from overflowing.
    cx = std::clamp<std::int64_t>(cx, -r - 1, std::int64_t{img.cols} + r);
    cy = std::clamp<std::int64_t>(cy, -r - 1, std::int64_t{img.rows} + r);
    const std::int64_t inner = r - std::max(line_width, 1);
    const std::int64_t outer_limit = r * r + r;
    const std::int64_t inner_limit = inner >= 0 ? inner * inner + inner : -1;
    const cv::Vec3b c = bgr(colour);
    for (std::int64_t dy = -r; dy <= r; ++dy) {
        const std::int64_t y = cy + dy;
        if (y < 0 || y >= img.rows) continue;
        auto* row = img.ptr<cv::Vec3b>(static_cast<int>(y));
        for (std::int64_t dx = -r; dx <= r; ++dx) {
            const std::int64_t x = cx + dx;
            if (x < 0 || x >= img.cols) continue;
            const std::int64_t d2 = dx * dx + dy * dy;
            if (d2 <= outer_limit && d2 > inner_limit) row[x] = c;
        }
    }
}

void draw_text(cv::Mat& img, int x, int y, const std::string& text, Rgb colour) {
    constexpr int kFont = cv::FONT_HERSHEY_PLAIN;
    constexpr double kScale = 1.0;
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, kFont, kScale, 1, &baseline);
    // Render the glyphs into a scratch mask with margins, then copy the ink so that
    // its top-left corner lands on (x, y): putText itself anchors on the baseline and
    // some glyphs reach above the height it reports.
    const int pad = size.height + 2;
    cv::Mat ink(size.height + baseline + 2 * pad, size.width + 2 * pad, CV_8UC1, cv::Scalar(0));
    cv::putText(ink, text, cv::Point(pad, pad + size.height), kFont, kScale, cv::Scalar(255), 1, cv::LINE_8);
    const cv::Rect bounds = cv::boundingRect(ink);
    const cv::Vec3b c = bgr(colour);
    for (int iy = bounds.y; iy < bounds.y + bounds.height; ++iy) {
        const std::int64_t ty = std::int64_t{y} + iy - bounds.y;
        if (ty < 0 || ty >= img.rows) continue;
        const std::uint8_t* src = ink.ptr<std::uint8_t>(iy);
        auto* dst = img.ptr<cv::Vec3b>(static_cast<int>(ty));
        for (int ix = bounds.x; ix < bounds.x + bounds.width; ++ix) {
            const std::int64_t tx = std::int64_t{x} + ix - bounds.x;
            if (src[ix] != 0 && tx >= 0 && tx < img.cols) dst[tx] = c;
        }
    }
}

}  // namespace droidlens::image
