#include "utils/jpeg.hpp"

#include <droidlens/errors.hpp>

#include <turbojpeg.h>

#include <algorithm>

#include <cstdint>
#include <string>

namespace droidlens::jpeg {

namespace {

// What the marker segments before the first scan say about the image.
struct Frame {
    std::uint32_t width = 0, height = 0;
    int precision = 0;   // bits per sample
    int components = 0;  // 1 grey, 3 YCbCr or RGB, 4 CMYK or YCCK
    bool adobe = false;  // an APP14 "Adobe" segment: CMYK values are stored inverted
};

bool is_frame_marker(int m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// Walks the marker segments from the start of the image to the first start-of-scan,
// reading the frame header (the size) and the Adobe segment, checks the size
// against the pixel limit, and checks that an end-of-image marker follows the scan:
// libjpeg pads a cut-off scan with grey and only warns, which would pass a damaged
// screenshot off as a real one. An embedded thumbnail (inside an APP segment) is
// skipped with its segment and does not count.
Frame read_frame(std::string_view data) {
    auto at = [&](size_t i) { return static_cast<int>(static_cast<std::uint8_t>(data[i])); };
    Frame f;
    bool have_frame = false;
    size_t pos = 2;
    for (;;) {
        if (pos + 2 > data.size()) throw image::TruncatedError("JPEG headers are cut off");
        if (at(pos) != 0xFF) {  // stray bytes between segments: libjpeg skips them too
            ++pos;
            continue;
        }
        const int marker = at(pos + 1);
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // markers without a length
            pos += 2;
            continue;
        }
        if (marker == 0xD8) throw ImageError("JPEG data has a second start-of-image marker");
        if (marker == 0xD9) throw ImageError("JPEG data ends before its image data");
        if (pos + 4 > data.size()) throw image::TruncatedError("JPEG headers are cut off");
        const size_t len = (static_cast<size_t>(at(pos + 2)) << 8) | static_cast<size_t>(at(pos + 3));
        if (len < 2) throw ImageError("JPEG segment has an invalid length");
        if (pos + 2 + len > data.size()) throw image::TruncatedError("JPEG headers are cut off");
        const std::string_view body = data.substr(pos + 4, len - 2);
        if (is_frame_marker(marker)) {
            if (have_frame) throw ImageError("JPEG data has two frame headers");
            if (body.size() < 6) throw ImageError("JPEG frame header is too short");
            auto be16 = [&](size_t i) {
                return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(body[i])) << 8) |
                       static_cast<std::uint8_t>(body[i + 1]);
            };
            f.precision = static_cast<std::uint8_t>(body[0]);
            f.height = be16(1);
            f.width = be16(3);
            f.components = static_cast<std::uint8_t>(body[5]);
            if (f.width == 0 || f.height == 0) throw ImageError("JPEG frame has no pixels");
            image::check_pixel_limit(f.width, f.height);
            have_frame = true;
        } else if (marker == 0xEE && body.substr(0, 5) == "Adobe") {
            f.adobe = true;
        } else if (marker == 0xDA) {
            if (!have_frame) throw ImageError("JPEG scan comes before its frame header");
            if (data.find("\xFF\xD9", pos + 2 + len) == std::string_view::npos) {
                throw image::TruncatedError("JPEG data is cut off");
            }
            return f;
        }
        pos += 2 + len;
    }
}

// A TurboJPEG decompressor that is freed when it goes out of scope.
struct Decompressor {
    tjhandle handle = tjInitDecompress();
    Decompressor() {
        if (handle == nullptr) throw ImageError("JPEG decoding failed: cannot start the decoder");
    }
    ~Decompressor() { tjDestroy(handle); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    // Decodes into `out` (sized for the frame) as `format` pixels. Warnings (stray
    // bytes, an unknown marker) are not failures: the image is whole.
    void run(std::string_view data, image::Raster& out, TJPF format) const {
        const int rc = tjDecompress2(handle, reinterpret_cast<const unsigned char*>(data.data()),
                                     static_cast<unsigned long>(data.size()), out.data(), out.width(), 0,
                                     out.height(), format, TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS);
        if (rc != 0 && tjGetErrorCode(handle) != TJERR_WARNING) {
            throw ImageError(std::string("JPEG data is invalid: ") + tjGetErrorStr2(handle));
        }
    }
};

// a * b / 255 rounded, for 8-bit a and b, in integers.
inline int scale255(int a, int b) {
    const int t = a * b + 128;
    return (t + (t >> 8)) >> 8;
}

// RGB from ink values (0 no ink, 255 full ink): each colour is what its ink and the
// black leave of white.
void cmyk_to_rgb(const image::Raster& cmyk, bool inverted, image::Raster& rgb) {
    const std::uint8_t* in = cmyk.data();
    std::uint8_t* out = rgb.data();
    const size_t pixels = static_cast<size_t>(cmyk.width()) * static_cast<size_t>(cmyk.height());
    for (size_t i = 0; i < pixels; ++i, in += 4, out += 3) {
        const int flip = inverted ? 255 : 0;
        const int k = in[3] ^ flip;
        const int white = 255 - k;
        for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(white - scale255(in[c] ^ flip, white));
    }
}

}  // namespace

bool is_jpeg(std::string_view data) { return data.size() >= 2 && data.substr(0, 2) == "\xFF\xD8"; }

image::Raster decode(std::string_view data) {
    if (!is_jpeg(data)) throw ImageError("not a JPEG file");
    const Frame f = read_frame(data);
    if (f.precision != 8) {
        throw ImageError("JPEG with " + std::to_string(f.precision) + "-bit samples is not supported");
    }
    if (f.components != 1 && f.components != 3 && f.components != 4) {
        throw ImageError("JPEG with " + std::to_string(f.components) + " colour components is not supported");
    }
    const int width = static_cast<int>(f.width), height = static_cast<int>(f.height);
    const Decompressor dec;
    image::Raster rgb(width, height, 3);
    if (f.components == 4) {
        image::Raster cmyk(width, height, 4);
        dec.run(data, cmyk, TJPF_CMYK);
        cmyk_to_rgb(cmyk, f.adobe, rgb);
    } else {
        dec.run(data, rgb, TJPF_RGB);
    }
    return rgb;
}

std::string encode(const image::Raster& rgb, int quality) {
    if (rgb.channels() != 3 || rgb.empty()) throw ImageError("JPEG encoding needs a non-empty RGB image");
    tjhandle handle = tjInitCompress();
    if (handle == nullptr) throw ImageError("JPEG encoding failed: cannot start the encoder");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(handle, rgb.data(), rgb.width(), 0, rgb.height(), TJPF_RGB, &out, &size, TJSAMP_420,
                               std::clamp(quality, 1, 100), TJFLAG_ACCURATEDCT);
    std::string bytes;
    std::string error;
    if (rc == 0) bytes.assign(reinterpret_cast<const char*>(out), size);
    else error = tjGetErrorStr2(handle);
    tjFree(out);
    tjDestroy(handle);
    if (rc != 0) throw ImageError("JPEG encoding failed: " + error);
    return bytes;
}

}  // namespace droidlens::jpeg
