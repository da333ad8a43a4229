// Helpers of the imaging tests: rasters filled by hand, files written from them, JPEG
// bytes from TurboJPEG, PNG files assembled chunk by chunk (for the kinds and faults
// our encoder never writes), digests, and standard error captured around a call.
#pragma once

#include "test_support.hpp"
#include "utils/image.hpp"
#include "utils/raster.hpp"

#include <openssl/evp.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace testsupport {

using droidlens::image::Raster;
using Rgb3 = std::array<std::uint8_t, 3>;

inline Raster solid(int w, int h, Rgb3 c) {
    Raster r(w, h, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::copy(c.begin(), c.end(), r.pixel(x, y));
    return r;
}

inline Raster grey_image(int w, int h, std::uint8_t level) { return solid(w, h, {level, level, level}); }

// Fills the rectangle [x, x + w) x [y, y + h), clipped to the image.
inline void fill(Raster& r, int x, int y, int w, int h, Rgb3 c) {
    for (int yy = std::max(y, 0); yy < std::min(y + h, r.height()); ++yy)
        for (int xx = std::max(x, 0); xx < std::min(x + w, r.width()); ++xx) std::copy(c.begin(), c.end(), r.pixel(xx, yy));
}

inline Rgb3 rgb_at(const Raster& r, int x, int y) {
    const std::uint8_t* p = r.pixel(x, y);
    return {p[0], p[1], p[2]};
}

inline Rgb3 rgb_at(const std::string& path, int x, int y) { return rgb_at(droidlens::image::load_rgb(path), x, y); }

inline std::string save_png(const TempDir& dir, const std::string& name, const Raster& img) {
    const std::string path = dir.file(name);
    droidlens::image::write_png(img, path);
    return path;
}

// The JPEG file of an RGB raster (TJSAMP_* chroma layout).
inline std::string jpeg_bytes(const Raster& rgb, int subsampling = TJSAMP_420, int quality = 90) {
    tjhandle h = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(h, rgb.data(), rgb.width(), 0, rgb.height(), TJPF_RGB, &buf, &size, subsampling,
                               quality, 0);
    std::string out = rc == 0 ? std::string(reinterpret_cast<char*>(buf), size) : std::string();
    tjFree(buf);
    tjDestroy(h);
    EXPECT_EQ(rc, 0);
    return out;
}

inline std::string save_jpeg(const TempDir& dir, const std::string& name, const Raster& img) {
    write_text(dir.file(name), jpeg_bytes(img));
    return dir.file(name);
}

inline std::string sha256_hex(const void* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data, size, digest, &len, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

inline std::string sha256_hex(const Raster& r) { return sha256_hex(r.data(), r.size_bytes()); }

inline std::string be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

inline std::string png_chunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return be32(static_cast<std::uint32_t>(data.size())) + body + be32(crc);
}

inline std::string zlib_bytes(const std::string& raw, int level = 9) {
    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    std::string z(zlen, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(raw.data()),
              static_cast<uLong>(raw.size()), level);
    z.resize(zlen);
    return z;
}

inline std::string ihdr(std::uint32_t w, std::uint32_t h, int depth, int colour, int interlace = 0) {
    return png_chunk("IHDR", be32(w) + be32(h) + std::string{char(depth), char(colour), 0, 0, char(interlace)});
}

// A PNG file: signature, IHDR, the `middle` chunks (PLTE, tRNS, ...), one IDAT of
// the given scanlines (filter bytes included), IEND.
inline std::string png_file(std::uint32_t w, std::uint32_t h, int depth, int colour, const std::string& scanlines,
                            const std::string& middle = "", int interlace = 0) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + ihdr(w, h, depth, colour, interlace) + middle +
           png_chunk("IDAT", zlib_bytes(scanlines)) + png_chunk("IEND", "");
}

// What the call writes on standard error (file descriptor 2, where libraries print).
inline std::string captured_stderr(const std::function<void()>& call) {
    std::fflush(stderr);
    FILE* tmp = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(fileno(tmp), 2);
    try {
        call();
    } catch (...) {
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        std::fclose(tmp);
        throw;
    }
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string out;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;) out.push_back(static_cast<char>(c));
    std::fclose(tmp);
    return out;
}

}  // namespace testsupport
