// Image utilities: coordinate conversion, loading (PNG of every kind, JPEG against
// the common Python imaging library's pixels), the size limits, malformed files,
// resampling against reference values, the PNG writer, encoding for the model,
// drawing, annotated copies and screenshot capture.
#include <droidlens/errors.hpp>

#include "raster_support.hpp"
#include "test_support.hpp"
#include "utils/base64.hpp"
#include "utils/font.hpp"
#include "utils/image.hpp"
#include "utils/jpeg.hpp"
#include "utils/png.hpp"
#include "utils/resample.hpp"

#include <spng.h>

#include <cmath>
#include <limits>
#include <random>

#include <sys/resource.h>

using namespace droidlens;
using namespace testsupport;
using image::PixelBox;
namespace stdfs = std::filesystem;

namespace {

const Rgb3 kGreen{0, 255, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0};
constexpr image::Rgb kInk{255, 0, 0};  // kRed, as the drawing functions take it

Raster decode_b64_png(const std::string& b64) {
    std::string bytes = base64::decode(b64);
    EXPECT_TRUE(png::is_png(bytes));
    return png::decode(bytes);
}

// The 9 x 7 test card used for the small resampling reference values.
Raster test_card() {
    Raster m(9, 7, 3);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x) {
            std::uint8_t* p = m.pixel(x, y);
            p[0] = static_cast<std::uint8_t>((x * 37 + y * 11) % 256);
            p[1] = static_cast<std::uint8_t>((x * x * 5 + y * 3) % 256);
            p[2] = static_cast<std::uint8_t>((x * y * 13) % 256);
        }
    return m;
}

std::vector<Rgb3> rgb_pixels(const Raster& r) {
    std::vector<Rgb3> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) out.push_back(rgb_at(r, x, y));
    return out;
}

// A noisy gradient: adaptive PNG filters pay off on it, and JPEG keeps it busy.
Raster noisy_image(int w, int h, unsigned seed) {
    Raster r(w, h, 3);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = r.pixel(x, y);
            p[0] = static_cast<std::uint8_t>((3 * y) & 255);
            p[1] = static_cast<std::uint8_t>((2 * x + rng() % 4) & 255);
            p[2] = static_cast<std::uint8_t>((x + y + rng() % 8) & 255);
        }
    return r;
}

// Libspng's decoding of a PNG to RGB: an independent reader to check our own one against.
Raster spng_rgb(const std::string& file) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    spng_ihdr h{};
    EXPECT_EQ(spng_get_ihdr(ctx, &h), 0);
    Raster out(static_cast<int>(h.width), static_cast<int>(h.height), 3);
    EXPECT_EQ(spng_decode_image(ctx, out.data(), out.size_bytes(), SPNG_FMT_RGB8, 0), 0);
    spng_ctx_free(ctx);
    return out;
}

}  // namespace

TEST(ToAbsoluteBox, DoubleArithmeticTruncationAndClamping) {
    // (290 / 1000) * 100 is just below 29 in double precision.
    EXPECT_EQ(image::to_absolute_box(Json{290, 0, 290, 0}, 100, 100), (PixelBox{28, 0, 28, 0}));
    EXPECT_EQ(image::to_absolute_box(Json{0, 0, 1000, 1000}, 1080, 2400), (PixelBox{0, 0, 1079, 2399}));
    EXPECT_EQ(image::to_absolute_box(Json{333, 500, 600, 700}, 1080, 2400), (PixelBox{359, 1200, 648, 1680}));
    EXPECT_EQ(image::to_absolute_box(Json{-5, -0.5, 1200, 1e300}, 617, 1280), (PixelBox{0, 0, 616, 1279}));
    EXPECT_EQ(image::to_absolute_box(Json{-1e308, 0, 1.7e308, 0}, 617, 1280), (PixelBox{0, 0, 616, 0}));
    // Decimals, inverted corners kept, extra values ignored, bools count as numbers.
    EXPECT_EQ(image::to_absolute_box(Json{999.9, 500.5, 100.2, 0, "extra"}, 617, 1280),
              (PixelBox{616, 640, 61, 0}));
    EXPECT_EQ(image::to_absolute_box(Json{true, false, 1000, 1000}, 1000, 10), (PixelBox{1, 0, 999, 9}));
    EXPECT_EQ(image::to_absolute_box(std::array<double, 4>{290, 0, 290, 0}, 100, 100), (PixelBox{28, 0, 28, 0}));
    // Sizes beyond 32 bits convert without narrowing.
    EXPECT_EQ(image::to_absolute_box(Json{500, 0, 1000, 0}, std::int64_t{1} << 40, 1),
              (PixelBox{std::int64_t{1} << 39, 0, (std::int64_t{1} << 40) - 1, 0}));
}

TEST(ToAbsoluteBox, RejectsWhatCannotBeConverted) {
    EXPECT_THROW_MSG(image::to_absolute_box(Json("0,0,1,1"), 10, 10), TypeError,
                     "Argument 'bounding_box' has incorrect type (expected list, got str)");
    EXPECT_THROW_MSG(image::to_absolute_box(Json(nullptr), 10, 10), TypeError,
                     "Argument 'bounding_box' has incorrect type (expected list, got NoneType)");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, 3}, 10, 10), IndexError, "list index out of range");
    EXPECT_THROW_MSG(image::to_absolute_box(Json::array(), 10, 10), IndexError, "list index out of range");
    // Values are read in order, so a bad first value fails before the missing ones.
    EXPECT_THROW_MSG(image::to_absolute_box(Json{"1"}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'str' and 'int'");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, nullptr, 4}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'NoneType' and 'int'");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, Json::array(), 4}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'list' and 'int'");
    // NaN and infinity are conversion errors, as everywhere else in the system.
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW_MSG(image::to_absolute_box(Json{0, nan, 1, 1}, 10, 10), ConversionError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW_MSG(image::to_absolute_box(std::array<double, 4>{0, 0, -inf, 1}, 10, 10), ConversionError,
                     "cannot convert float infinity to integer");
}

TEST(LoadRgb, ConvertsEveryInputToThreeChannels) {
    TempDir dir;
    // Transparent pixels keep their colour: alpha is dropped, not blended.
    std::string rgba_rows;
    for (int y = 0; y < 4; ++y) {
        rgba_rows.push_back('\0');  // filter type
        for (int x = 0; x < 4; ++x) rgba_rows += std::string("\x0a\x14\x1e\x00", 4);
    }
    write_text(dir.file("rgba.png"), png_file(4, 4, 8, 6, rgba_rows));
    Raster loaded = image::load_rgb(dir.file("rgba.png"));
    ASSERT_EQ(loaded.channels(), 3);
    EXPECT_EQ(rgb_at(loaded, 3, 3), (Rgb3{10, 20, 30}));

    std::string grey_rows;
    for (int y = 0; y < 3; ++y) grey_rows += std::string(1, '\0') + std::string(5, '\x4d');
    write_text(dir.file("grey.png"), png_file(5, 3, 8, 0, grey_rows));
    loaded = image::load_rgb(dir.file("grey.png"));
    ASSERT_EQ(loaded.width(), 5);
    ASSERT_EQ(loaded.height(), 3);
    EXPECT_EQ(rgb_at(loaded, 4, 2), (Rgb3{77, 77, 77}));

    loaded = image::load_rgb(save_jpeg(dir, "flat.jpg", solid(16, 16, {220, 160, 40})));
    const Rgb3 p = rgb_at(loaded, 8, 8);
    EXPECT_NEAR(p[0], 220, 3);
    EXPECT_NEAR(p[2], 40, 3);
}

TEST(LoadRgb, UnreadableInputsGiveClearErrors) {
    TempDir dir;
    write_text(dir.file("empty.png"), "");
    write_text(dir.file("text.png"), "hello, not a picture");
    write_text(dir.file("gif.png"), "GIF89a\x01\x00\x01\x00");
    const Raster img = noisy_image(300, 200, 1);
    const std::string png_bytes = png::encode(img, png::Effort::Smallest), jpg = jpeg_bytes(img);
    write_text(dir.file("cut.png"), png_bytes.substr(0, png_bytes.size() / 2));
    write_text(dir.file("cut.jpg"), jpg.substr(0, jpg.size() / 3));
    write_text(dir.file("whole.jpg"), jpg);

    for (const char* name : {"empty.png", "text.png", "gif.png"}) {
        EXPECT_THROW_MSG(image::load_rgb(dir.file(name)), ImageError,
                         "Cannot identify image file '" + dir.file(name) + "'");
    }
    // A cut-off file is named as such; a JPEG cut inside its scan would otherwise
    // decode with a grey lower part.
    for (const char* name : {"cut.png", "cut.jpg"}) {
        EXPECT_THROW_MSG(image::load_rgb(dir.file(name)), ImageError, "Image file '" + dir.file(name) + "' is truncated");
    }
    EXPECT_EQ(image::load_rgb(dir.file("whole.jpg")).width(), 300);
    EXPECT_THROW_MSG(image::load_rgb(dir.file("missing.png")), FileSystemError,
                     "No such file or directory: '" + dir.file("missing.png") + "'");
    EXPECT_THROW(image::load_rgb(dir.str()), FileSystemError);  // a directory
}

// JPEG pixels must be exactly those of the common Python imaging library
// (Image.open(path).convert("RGB")): the SHA-256 of the RGB bytes it gives, recorded
// with tests/data/jpeg/make_jpegs.py, for every chroma layout, grey, progressive,
// CMYK, and an EXIF orientation that must not be applied.
TEST(JpegDecoding, PixelsMatchTheReferenceLibrary) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"cmyk.jpg", "98c4ec772f178507adacd10ea078e2aad9aa2909259e6152829f7e51780ae7bc"},
        {"exif_rotated.jpg", "29799d46777b717eee6365e66735f91c4d0d64d28930ab204fb40ba13e64c2ba"},
        {"grey.jpg", "e96ec0c35c810f07d2b07908da50395b2bb96dd2b8099f3135ff221273af1406"},
        {"optimized_q35.jpg", "f330c7c77f70018e0c09c98c04a3e32b62e520d472463acee432a96be37f0b21"},
        {"progressive.jpg", "29799d46777b717eee6365e66735f91c4d0d64d28930ab204fb40ba13e64c2ba"},
        {"s411.jpg", "6f21d68ddb1401633a5868ff809bb2848971857d264fa142e9d80776b59bd865"},
        {"s420.jpg", "29799d46777b717eee6365e66735f91c4d0d64d28930ab204fb40ba13e64c2ba"},
        {"s422.jpg", "03a36d5122ab2c38e7f3af1071783c5292d137dbee1a6971fe03c949e3780ff5"},
        {"s440.jpg", "a42a2f19335c6dc7063993d2dec684b02b64d3da1193d8c4a968500118de2790"},
        {"s444.jpg", "70f1681ca8104af5221da1a0816c3da71a3a0c3daea0cd76c1c70cdb042092ef"},
    };
    for (const auto& [name, digest] : files) {
        const Raster r = image::load_rgb(source_dir() + "/tests/data/jpeg/" + name);
        EXPECT_EQ(r.width(), 45) << name;
        EXPECT_EQ(r.height(), 29) << name;  // stored orientation, not rotated
        EXPECT_EQ(sha256_hex(r), digest) << name;
    }
    // Real screenshots (4:2:2 and 4:2:0, one progressive).
    const std::vector<std::pair<std::string, std::string>> real = {
        {"diffpairs/q06_evilinsult_overflow-menu_a.jpg", "8769106b0978b0920afaac7709b7efb425f39fd3a5c6e513f0abcc71d165c7d1"},
        {"diffpairs/q06_evilinsult_overflow-menu_b.jpg", "e45b2f18a1fc5fc875a490518732a99660a8794dcf29d2d2f4f60e6acf045212"},
        {"screenshots/evilinsult_language-dialog_617x1280.jpg",
         "1904567a0f99a283ed2fa27cd13b07eaf12c75bf1ae37e42688ec8b16d72fff0"},
        {"screenshots/todont_log_617x1280.jpg", "b829aeb824266c1da55a380b593760f03390ffd40727f5def6d9c9664d11e240"},
    };
    for (const auto& [name, digest] : real) {
        REQUIRE_SHARED_FIXTURE(path, name);
        EXPECT_EQ(sha256_hex(image::load_rgb(path)), digest) << name;
    }
}

TEST(JpegDecoding, DamagedFilesGiveOneCleanErrorAndPrintNothing) {
    TempDir dir;
    const std::string good = jpeg_bytes(noisy_image(61, 43, 2), TJSAMP_422);
    const std::string path = dir.file("bad.jpg");
    const std::string prefix = "Cannot read image file '" + path + "': ";
    // The frame header (FFC0) sits after the quantisation tables.
    const size_t sof = good.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    auto with = [&](size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {with(sof + 4, "\x0c"), prefix + "JPEG with 12-bit samples is not supported"},
        {with(sof + 5, std::string("\x00\x00", 2)), prefix + "JPEG frame has no pixels"},
        {with(sof + 9, "\x02"), prefix + "JPEG with 2 colour components is not supported"},
        {with(sof + 1, "\xC4"), prefix + "JPEG scan comes before its frame header"},  // SOF turned into a table
        {std::string("\xFF\xD8\xFF\xD9", 4), prefix + "JPEG data ends before its image data"},
        {std::string("\xFF\xD8\xFF\xE0\x00", 5), "Image file '" + path + "' is truncated"},
    };
    for (const auto& [bytes, message] : cases) {
        write_text(path, bytes);
        const std::string err = captured_stderr([&] { EXPECT_THROW_MSG(image::load_rgb(path), ImageError, message); });
        EXPECT_EQ(err, "") << message;
    }
    // Every cut and flipped bytes all over: a clean error or an image, never a crash
    // and never a line from the library on standard error.
    const std::string err = captured_stderr([&] {
        for (size_t cut = 0; cut < good.size(); cut += 11) {
            write_text(path, good.substr(0, cut));
            EXPECT_THROW(image::load_rgb(path), ImageError) << cut;
        }
        for (size_t at = 2; at < good.size(); at += 17) {
            std::string bad = good;
            bad[at] = static_cast<char>(bad[at] ^ 0x55);
            write_text(path, bad);
            try {
                EXPECT_EQ(image::load_rgb(path).width(), 61);
            } catch (const ImageError&) {
            }
        }
    });
    EXPECT_EQ(err, "");
}

// Sizes are checked on the header, before any decoder runs or anything large is
// allocated: a 261 KB PNG declaring 16384 x 16384 pixels, a 600-byte JPEG declaring
// 65535 x 65535, a file over 256 MiB.
TEST(ImageLimits, RefusedFromTheHeaderBeforeDecoding) {
    TempDir dir;
    // Every row: filter 0, then black. Compressed in pieces with run-length matching,
    // so that the test itself holds no 268 MB.
    std::string idat;
    {
        z_stream zs{};
        deflateInit2(&zs, 9, Z_DEFLATED, 15, 9, Z_RLE);
        const std::string zeros(1 << 20, '\0');
        char out[1 << 16];
        size_t left = size_t{16384} * (16384 + 1);
        int flush = Z_NO_FLUSH;
        do {
            const size_t n = std::min(left, zeros.size());
            left -= n;
            flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
            zs.avail_in = static_cast<uInt>(n);
            do {
                zs.next_out = reinterpret_cast<Bytef*>(out);
                zs.avail_out = sizeof out;
                deflate(&zs, flush);
                idat.append(out, sizeof out - zs.avail_out);
            } while (zs.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&zs);
    }
    write_text(dir.file("bomb.png"), std::string("\x89PNG\r\n\x1a\n", 8) + ihdr(16384, 16384, 8, 0) +
                                         png_chunk("IDAT", idat) + png_chunk("IEND", ""));
    EXPECT_LT(stdfs::file_size(dir.file("bomb.png")), 400'000u);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_THROW_MSG(image::load_rgb(dir.file("bomb.png")), ImageError,
                     "Cannot read image file '" + dir.file("bomb.png") +
                         "': image too large: 16384 x 16384 pixels (the limit is 100000000 pixels)");
    getrusage(RUSAGE_SELF, &after);
    // Decoding would have taken 268 MB of rows and 805 MB of pixels.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB of peak memory grew";

    std::string jpeg = jpeg_bytes(noisy_image(16, 16, 3));
    const size_t sof = jpeg.find("\xFF\xC0");
    jpeg.replace(sof + 5, 4, "\xFF\xFF\xFF\xFF");
    write_text(dir.file("huge.jpg"), jpeg);
    EXPECT_THROW_MSG(image::load_rgb(dir.file("huge.jpg")), ImageError,
                     "Cannot read image file '" + dir.file("huge.jpg") +
                         "': image too large: 65535 x 65535 pixels (the limit is 100000000 pixels)");

    // The limit itself is allowed (the header-only file then fails as cut off); one
    // row more is not. Widths beyond PNG's 2^31 are just as cleanly too large.
    const std::string sig("\x89PNG\r\n\x1a\n", 8);
    write_text(dir.file("at_limit.png"), sig + ihdr(10000, 10000, 8, 2));
    EXPECT_THROW_MSG(image::load_rgb(dir.file("at_limit.png")), ImageError,
                     "Image file '" + dir.file("at_limit.png") + "' is truncated");
    write_text(dir.file("over.png"), sig + ihdr(10000, 10001, 8, 3) + png_chunk("PLTE", "abc"));
    EXPECT_THROW(image::load_rgb(dir.file("over.png")), ImageError);
    write_text(dir.file("wide.png"), sig + ihdr(0xFFFFFFFFu, 1, 16, 6, 1));
    EXPECT_THROW_MSG(image::load_rgb(dir.file("wide.png")), ImageError,
                     "Cannot read image file '" + dir.file("wide.png") +
                         "': image too large: 4294967295 x 1 pixels (the limit is 100000000 pixels)");

    // A sparse file of 257 MiB is refused by its size, without being read.
    {
        std::FILE* f = std::fopen(dir.file("big.png").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite("\x89PNG", 1, 4, f);
        ASSERT_EQ(::ftruncate(fileno(f), (257ll << 20)), 0);
        std::fclose(f);
    }
    EXPECT_THROW_MSG(image::load_rgb(dir.file("big.png")), ImageError,
                     "image file too large: '" + dir.file("big.png") +
                         "' holds 269484032 bytes (the limit is 268435456 bytes)");
}

namespace {

// `bits`-deep samples packed into bytes, most significant first, per row.
std::string pack(const std::vector<int>& samples, int bits) {
    std::string out;
    int acc = 0, used = 0;
    for (int s : samples) {
        if (bits == 16) {
            out.push_back(static_cast<char>(s >> 8));
            out.push_back(static_cast<char>(s));
            continue;
        }
        acc = (acc << bits) | s;
        used += bits;
        if (used == 8) {
            out.push_back(static_cast<char>(acc));
            acc = used = 0;
        }
    }
    if (used > 0) out.push_back(static_cast<char>(acc << (8 - used)));
    return out;
}

// Scanlines (filter 0) of a w x h image with `per_pixel` samples a pixel, from
// sample(x, y, k); Adam7 passes when interlaced.
std::string scanlines(int w, int h, int per_pixel, int bits, bool interlaced,
                      const std::function<int(int, int, int)>& sample) {
    struct Pass {
        int x0, y0, dx, dy;
    };
    const std::vector<Pass> passes = interlaced ? std::vector<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8},
                                                                    {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2},
                                                                    {0, 1, 1, 2}}
                                                : std::vector<Pass>{{0, 0, 1, 1}};
    std::string out;
    for (const Pass& p : passes) {
        if (p.x0 >= w) continue;
        for (int y = p.y0; y < h; y += p.dy) {
            std::vector<int> row;
            for (int x = p.x0; x < w; x += p.dx)
                for (int k = 0; k < per_pixel; ++k) row.push_back(sample(x, y, k));
            out += std::string(1, '\0') + pack(row, bits);
        }
    }
    return out;
}

}  // namespace

TEST(PngReader, EveryOtherKindDecodesToTheExpectedPixels) {
    constexpr int w = 13, h = 11;
    auto value = [](int x, int y, int k, int max) { return (x * 7 + y * 13 + k * 29 + x * y) % (max + 1); };
    std::string palette;
    for (int i = 0; i < 256; ++i) palette += std::string{char(i), char(255 - i), char(i * 3)};
    struct Kind {
        const char* name;
        int depth, colour, per_pixel;
        bool interlaced;
        std::string middle;
        std::function<Rgb3(int, int)> expected;
    };
    auto grey = [](int v) { return Rgb3{std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)}; };
    const std::vector<Kind> kinds = {
        {"palette 8-bit", 8, 3, 1, false, png_chunk("PLTE", palette),
         [&](int x, int y) { const int i = value(x, y, 0, 255); return Rgb3{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3)}; }},
        {"palette 4-bit with transparency", 4, 3, 1, false,
         png_chunk("PLTE", palette.substr(0, 48)) + png_chunk("tRNS", std::string(16, '\x40')),
         [&](int x, int y) { const int i = value(x, y, 0, 15); return Rgb3{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3)}; }},
        {"grey 1-bit", 1, 0, 1, false, "", [&](int x, int y) { return grey(value(x, y, 0, 1) * 255); }},
        {"grey 2-bit", 2, 0, 1, false, "", [&](int x, int y) { return grey(value(x, y, 0, 3) * 85); }},
        {"grey 4-bit", 4, 0, 1, false, "", [&](int x, int y) { return grey(value(x, y, 0, 15) * 17); }},
        {"grey 16-bit", 16, 0, 1, false, "", [&](int x, int y) { return grey(value(x, y, 0, 65535) >> 8); }},
        {"RGB 16-bit", 16, 2, 3, false, "",
         [&](int x, int y) { return Rgb3{std::uint8_t(value(x, y, 0, 65535) >> 8), std::uint8_t(value(x, y, 1, 65535) >> 8), std::uint8_t(value(x, y, 2, 65535) >> 8)}; }},
        {"RGBA 16-bit", 16, 6, 4, false, "",
         [&](int x, int y) { return Rgb3{std::uint8_t(value(x, y, 0, 65535) >> 8), std::uint8_t(value(x, y, 1, 65535) >> 8), std::uint8_t(value(x, y, 2, 65535) >> 8)}; }},
        {"RGB interlaced", 8, 2, 3, true, "",
         [&](int x, int y) { return Rgb3{std::uint8_t(value(x, y, 0, 255)), std::uint8_t(value(x, y, 1, 255)), std::uint8_t(value(x, y, 2, 255))}; }},
        {"palette 2-bit interlaced", 2, 3, 1, true, png_chunk("PLTE", palette.substr(0, 12)),
         [&](int x, int y) { const int i = value(x, y, 0, 3); return Rgb3{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3)}; }},
        // Indices past the end of the palette are black, as in other decoders.
        {"palette 2-bit with two colours", 2, 3, 1, false, png_chunk("PLTE", palette.substr(0, 6)),
         [&](int x, int y) { const int i = value(x, y, 0, 3); return i < 2 ? Rgb3{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3)} : Rgb3{0, 0, 0}; }},
        // Transparency of an 8-bit grey image only concerns alpha: decoded here, ignored.
        {"grey 8-bit with transparency", 8, 0, 1, false, png_chunk("tRNS", std::string("\x00\x07", 2)),
         [&](int x, int y) { return grey(value(x, y, 0, 255)); }},
    };
    TempDir dir;
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const int max = k.depth == 16 ? 65535 : (1 << k.depth) - 1;
        const std::string file = png_file(w, h, k.depth, k.colour,
                                          scanlines(w, h, k.per_pixel, k.depth, k.interlaced,
                                                    [&](int x, int y, int s) { return value(x, y, s, max); }),
                                          k.middle, k.interlaced ? 1 : 0);
        write_text(dir.file("kind.png"), file);
        Raster r;
        EXPECT_EQ(captured_stderr([&] { r = image::load_rgb(dir.file("kind.png")); }), "");
        ASSERT_EQ(r.width(), w);
        ASSERT_EQ(r.height(), h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_EQ(rgb_at(r, x, y), k.expected(x, y)) << x << "," << y;
    }
}

TEST(PngReader, MalformedFilesGiveOneCleanErrorAndPrintNothing) {
    TempDir dir;
    const std::string path = dir.file("bad.png");
    const std::string prefix = "Cannot read image file '" + path + "': ";
    const std::string sig("\x89PNG\r\n\x1a\n", 8);
    const std::string rgb_rows = scanlines(4, 3, 3, 8, false, [](int x, int y, int k) { return x + y + k; });
    const std::string pal_rows = scanlines(4, 3, 1, 8, false, [](int x, int, int) { return x; });
    std::string bad_crc = png_file(4, 3, 8, 2, rgb_rows);
    bad_crc[29] = static_cast<char>(bad_crc[29] ^ 1);  // the header's checksum
    std::string bad_filter = rgb_rows;
    bad_filter[0] = 7;
    const std::string interlaced = png_file(4, 3, 8, 2, scanlines(4, 3, 3, 8, true, [](int, int, int) { return 9; }), "", 1);
    std::string interlaced_bad_filter = scanlines(4, 3, 3, 8, true, [](int, int, int) { return 9; });
    interlaced_bad_filter[0] = 9;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {png_file(4, 3, 8, 5, rgb_rows), prefix + "PNG header has colour type 5 with bit depth 8, which PNG does not define"},
        {png_file(4, 3, 4, 2, rgb_rows), prefix + "PNG header has colour type 2 with bit depth 4, which PNG does not define"},
        {png_file(4, 3, 16, 3, pal_rows), prefix + "PNG header has colour type 3 with bit depth 16, which PNG does not define"},
        {png_file(0, 3, 8, 2, rgb_rows), prefix + "PNG image has no pixels"},
        {png_file(4, 3, 8, 2, rgb_rows, "", 2), prefix + "PNG header names an unknown interlace method"},
        {bad_crc, prefix + "PNG header has a wrong checksum"},
        {sig + png_chunk("IDAT", "x") + ihdr(4, 3, 8, 2), prefix + "PNG file does not start with its header"},
        {png_file(4, 3, 8, 2, bad_filter), prefix + "PNG row with an unknown filter type"},
        {png_file(4, 3, 8, 2, interlaced_bad_filter, "", 1), prefix + "PNG row with an unknown filter type"},
        {png_file(4, 3, 8, 3, pal_rows), prefix + "PNG palette image has no palette"},
        {sig + ihdr(4, 3, 8, 2) + png_chunk("IEND", ""), prefix + "PNG image data is missing"},
        {interlaced.substr(0, interlaced.size() - 20), "Image file '" + path + "' is truncated"},
    };
    for (const auto& [bytes, message] : cases) {
        write_text(path, bytes);
        const std::string err = captured_stderr([&] { EXPECT_THROW_MSG(image::load_rgb(path), ImageError, message); });
        EXPECT_EQ(err, "") << message;
    }
}

TEST(PngReader, AgreesWithLibspngOnTheKindsItDecodesItself) {
    // Grey, grey + alpha, RGB and RGBA with the rows cycling through all five filter
    // types (built by hand), our own encoder's files, and real screenshots: our
    // decoder and libspng must give the same pixels.
    auto filtered_file = [](int w, int h, int colour, int channels) {
        auto px = [&](int x, int y, int c) { return x < 0 || y < 0 ? 0 : (x * 5 + y * 7 + c * 31 + x * y) & 255; };
        std::string raw;
        for (int y = 0; y < h; ++y) {
            const int filter = y % 5;
            raw.push_back(static_cast<char>(filter));
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < channels; ++c) {
                    const int a = px(x - 1, y, c), b = px(x, y - 1, c), d = px(x - 1, y - 1, c);
                    int pred = 0;
                    if (filter == 1) pred = a;
                    if (filter == 2) pred = b;
                    if (filter == 3) pred = (a + b) / 2;
                    if (filter == 4) {
                        const int p = a + b - d, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - d);
                        pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : d);
                    }
                    raw.push_back(static_cast<char>((px(x, y, c) - pred) & 255));
                }
        }
        return png_file(w, h, 8, colour, raw);
    };
    std::vector<std::string> files = {filtered_file(53, 37, 0, 1), filtered_file(53, 37, 4, 2),
                                      filtered_file(53, 37, 2, 3), filtered_file(53, 37, 6, 4),
                                      png::encode(noisy_image(131, 97, 7), png::Effort::Smallest),
                                      png::encode(noisy_image(131, 97, 7), png::Effort::Fast)};
    for (const char* name : {"screenshots/aegis_settings_1440x2880.png", "diffpairs/q03_shot_empty-case_size-mismatch_b.png"}) {
        const std::string path = shared_fixture(name);
        if (!path.empty()) files.push_back(read_text(path));
    }
    for (size_t i = 0; i < files.size(); ++i) EXPECT_TRUE(png::decode(files[i]) == spng_rgb(files[i])) << i;

    // Every cut and a flipped byte at many places: an error or (for cuts after the
    // image data) the image, never a crash or a read out of bounds.
    const Raster img = noisy_image(60, 40, 9);
    const std::string good = png::encode(img, png::Effort::Smallest);
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        try {
            EXPECT_TRUE(png::decode(good.substr(0, cut)) == img);
        } catch (const ImageError&) {
        }
    }
    for (size_t at = 8; at < good.size(); at += 13) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x5A);
        EXPECT_THROW(png::decode(bad), ImageError) << at;
    }
}

TEST(Resample, MatchesTheReferenceLibrary) {
    // Reference pixels (RGB) produced by the common Python imaging library.
    const Raster card = test_card();
    const std::vector<Rgb3> lanczos_4x3 = {{30, 5, 5},     {112, 37, 23},  {202, 152, 57}, {64, 177, 79},
                                           {55, 12, 23},   {144, 45, 114}, {197, 152, 144}, {70, 143, 124},
                                           {78, 18, 55},   {182, 56, 151}, {157, 145, 96}, {53, 61, 106}};
    EXPECT_EQ(rgb_pixels(resample::resize(card, 4, 3, resample::Filter::Lanczos)), lanczos_4x3);

    // Only the width changes: the rows are not filtered at all.
    const std::vector<Rgb3> lanczos_2x7 = {{83, 29, 0},    {126, 148, 0},  {94, 32, 24},   {137, 151, 80},
                                           {105, 35, 48},  {148, 154, 160}, {116, 38, 87}, {159, 157, 138},
                                           {124, 47, 90},  {110, 103, 107}, {135, 50, 86}, {121, 106, 105},
                                           {146, 53, 116}, {132, 109, 128}};
    EXPECT_EQ(rgb_pixels(resample::resize(card, 2, 7, resample::Filter::Lanczos)), lanczos_2x7);

    // Bilinear, shrinking one axis and enlarging the other (first two rows).
    const std::vector<Rgb3> bilinear_5x9 = rgb_pixels(resample::resize(card, 5, 9, resample::Filter::Bilinear));
    const std::vector<Rgb3> first_rows = {{21, 4, 0},  {79, 25, 0},  {148, 82, 0},  {169, 175, 0},  {37, 150, 0},
                                          {28, 6, 5},  {86, 27, 19}, {155, 84, 35}, {176, 177, 51}, {44, 152, 65}};
    EXPECT_EQ(std::vector<Rgb3>(bilinear_5x9.begin(), bilinear_5x9.begin() + 10), first_rows);
    EXPECT_EQ(bilinear_5x9.back(), (Rgb3{85, 58, 86}));

    // Same size is a copy; a single channel works like three.
    EXPECT_TRUE(resample::resize(card, 9, 7, resample::Filter::Lanczos) == card);
    const Raster flat(10, 10, 1, 200);
    EXPECT_EQ(resample::resize(flat, 1, 1, resample::Filter::Bilinear).data()[0], 200);
    EXPECT_THROW(resample::resize(flat, 0, 1, resample::Filter::Bilinear), ValueError);
    EXPECT_THROW(resample::resize(Raster(), 1, 1, resample::Filter::Bilinear), ValueError);
}

TEST(Resample, EveryPixelEqualsTheReferenceLibraryAcrossSizes) {
    // A 203 x 157 pattern of hard edges and fine detail, RGB and grey, shrunk by
    // several factors, enlarged, and changed along one axis only; the SHA-256 of the
    // reference library's result for each (Image.resize with LANCZOS / BILINEAR).
    constexpr int W = 203, H = 157;
    Raster rgb(W, H, 3), grey(W, H, 1);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            std::uint8_t* p = rgb.pixel(x, y);
            p[0] = static_cast<std::uint8_t>((x * y * 13 + x) % 256);
            p[1] = static_cast<std::uint8_t>((x * x * 5 + y * 3) % 256);
            p[2] = static_cast<std::uint8_t>((x * 37 + y * 11 + (x ^ y)) % 256);
            grey.pixel(x, y)[0] = static_cast<std::uint8_t>((x / 7 + y / 5) % 3 == 0 ? 255 : (x * y) % 23);
        }
    struct Case {
        bool grey;
        resample::Filter filter;
        int w, h;
        const char* digest;
    };
    const std::vector<Case> cases = {
#include "data/resample_reference.inc"
    };
    for (const Case& c : cases) {
        const Raster out = resample::resize(c.grey ? grey : rgb, c.w, c.h, c.filter);
        EXPECT_EQ(sha256_hex(out), c.digest) << (c.grey ? "grey " : "rgb ")
                                             << (c.filter == resample::Filter::Lanczos ? "lanczos " : "bilinear ")
                                             << c.w << "x" << c.h;
    }
    REQUIRE_SHARED_FIXTURE(shot, "screenshots/collegecompanion_dashboard_1080x2400.png");
    const Raster screen = image::load_rgb(shot);
    EXPECT_EQ(sha256_hex(resample::resize(screen, 540, 1200, resample::Filter::Lanczos)),
              "c9dc985ed47a9cf5b7083a7e802590117b81eba6cd073834a8e0fb274d97e8e9");
    EXPECT_EQ(sha256_hex(resample::resize(screen, 333, 777, resample::Filter::Lanczos)),
              "3cd4d90d28b85348cf9a88107857ff1c5f8514f61bf40834137da498f55b82cb");
}

TEST(PngWriter, LosslessForFlatAndNoisyContent) {
    // Flat screens take the unfiltered path, noise the filtered one; both must decode
    // to exactly the input, in RGB order, at odd widths, by our reader and libspng.
    Raster flat = solid(617, 321, {240, 240, 240});
    fill(flat, 10, 10, 300, 40, {30, 120, 200});
    fill(flat, 616, 5, 1, 1, {3, 2, 1});
    const Raster noisy = noisy_image(131, 97, 7), tiny = solid(1, 1, {7, 8, 9});
    for (const Raster* img : std::vector<const Raster*>{&flat, &noisy, &tiny}) {
        for (png::Effort effort : {png::Effort::Fast, png::Effort::Smallest}) {
            const std::string bytes = png::encode(*img, effort);
            EXPECT_TRUE(png::decode(bytes) == *img);
            EXPECT_TRUE(spng_rgb(bytes) == *img);
        }
    }
    EXPECT_THROW(png::encode(Raster(2, 2, 1, 0), png::Effort::Fast), ImageError);
}

TEST(EncodeImage, ReportsTheUnscaledSizeAndScalesByTheFactor) {
    TempDir dir;
    Raster img = solid(1080, 2400, {250, 250, 250});
    fill(img, 100, 300, 500, 200, {255, 0, 0});
    const std::string path = save_png(dir, "screen.png", img);

    const image::EncodedImage full = image::encode_image(path);
    EXPECT_EQ(full.width, 1080);
    EXPECT_EQ(full.height, 2400);
    EXPECT_EQ(full.b64.find('\n'), std::string::npos);
    Raster back = decode_b64_png(full.b64);
    EXPECT_TRUE(back == img);

    const image::EncodedImage half = image::encode_image(path, 95, 0.5);
    EXPECT_EQ(half.width, 1080);
    EXPECT_EQ(half.height, 2400);
    back = decode_b64_png(half.b64);
    EXPECT_EQ(back.width(), 540);
    EXPECT_EQ(back.height(), 1200);
    EXPECT_EQ(rgb_at(back, 150, 200), kRed);

    // 0 means unscaled; a tiny factor still leaves one pixel; quality changes nothing.
    EXPECT_EQ(image::encode_image(path, 10, 0.0).b64, full.b64);
    const std::string narrow_path = save_png(dir, "narrow.png", solid(100, 50, {3, 2, 1}));
    back = decode_b64_png(image::encode_image(narrow_path, 95, 0.0001).b64);
    EXPECT_EQ(back.width(), 1);
    EXPECT_EQ(back.height(), 1);
    EXPECT_EQ(decode_b64_png(image::encode_image(narrow_path, 95, 0.5).b64).height(), 25);

    EXPECT_THROW_MSG(image::encode_image(narrow_path, 95, std::nan("")), ConversionError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW(image::encode_image(narrow_path, 95, 1e6), ValueError);
    EXPECT_THROW(image::encode_image(dir.file("missing.png")), FileSystemError);
}

TEST(EncodeImage, RealScreenshotsRoundTrip) {
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/todont_log_617x1280.jpg");
    REQUIRE_SHARED_FIXTURE(png_path, "screenshots/fossify-calculator_unit-converter_1080x2400.png");
    image::EncodedImage e = image::encode_image(jpg);
    EXPECT_EQ(e.width, 617);
    EXPECT_EQ(e.height, 1280);
    EXPECT_TRUE(decode_b64_png(e.b64) == image::load_rgb(jpg));

    e = image::encode_image(png_path, 95, 0.5);
    EXPECT_EQ(e.width, 1080);
    const Raster expected = resample::resize(image::load_rgb(png_path), 540, 1200, resample::Filter::Lanczos);
    EXPECT_TRUE(decode_b64_png(e.b64) == expected);
}

TEST(Base64ToImageBytes, DecodesAndRejectsBadPadding) {
    EXPECT_EQ(image::base64_to_image_bytes("iVBO\nRw0K"), std::string("\x89PNG\r\n", 6));
    EXPECT_THROW(image::base64_to_image_bytes("iVBORw0"), DecodeError);
}

TEST(Drawing, RectangleOutlineLiesInsideTheBox) {
    Raster img = solid(40, 40, kWhite);
    image::draw_rectangle(img, {20, 25, 5, 10}, {0, 255, 0});  // inverted corners are put in order
    EXPECT_EQ(rgb_at(img, 5, 10), kGreen);
    EXPECT_EQ(rgb_at(img, 7, 17), kGreen);   // third column of the left side
    EXPECT_EQ(rgb_at(img, 8, 17), kWhite);   // inside
    EXPECT_EQ(rgb_at(img, 18, 17), kGreen);  // right side, x2 - 2
    EXPECT_EQ(rgb_at(img, 12, 23), kGreen);  // bottom side, y2 - 2
    EXPECT_EQ(rgb_at(img, 12, 22), kWhite);
    EXPECT_EQ(rgb_at(img, 21, 17), kWhite);  // nothing outside the box
    EXPECT_EQ(rgb_at(img, 12, 26), kWhite);

    // A box thinner than the line is filled, not spilled over.
    image::draw_rectangle(img, {30, 30, 31, 30}, {255, 0, 0});
    EXPECT_EQ(rgb_at(img, 31, 30), kRed);
    EXPECT_EQ(rgb_at(img, 32, 30), kWhite);
    EXPECT_EQ(rgb_at(img, 30, 31), kWhite);

    // Boxes reaching past or lying wholly outside the image are clipped, never fail.
    image::draw_rectangle(img, {-10, -10, 1000, 2}, {0, 0, 255});
    EXPECT_EQ(rgb_at(img, 39, 0), (Rgb3{0, 0, 255}));
    EXPECT_NO_THROW(image::draw_rectangle(img, {100, 100, 200, 200}, {0, 0, 255}));
    EXPECT_NO_THROW(image::draw_rectangle(img, {INT64_MIN, INT64_MIN, INT64_MAX, INT64_MAX}, {1, 1, 1}));
}

TEST(Drawing, CircleIsARingOfTheLineWidth) {
    Raster img = solid(30, 30, kWhite);
    image::draw_circle(img, 15, 15, 6, {0, 255, 0});
    for (int d : {4, 5, 6}) {
        EXPECT_EQ(rgb_at(img, 15 + d, 15), kGreen) << d;
        EXPECT_EQ(rgb_at(img, 15, 15 - d), kGreen) << d;
    }
    EXPECT_EQ(rgb_at(img, 15, 15), kWhite);
    EXPECT_EQ(rgb_at(img, 18, 15), kWhite);
    EXPECT_EQ(rgb_at(img, 22, 15), kWhite);
    EXPECT_EQ(rgb_at(img, 21, 21), kWhite);  // the square's corner is outside the circle
    EXPECT_NO_THROW(image::draw_circle(img, 0, 29, 6, {0, 255, 0}));  // clipped at the border
    EXPECT_EQ(rgb_at(img, 5, 29), kGreen);
}

TEST(Drawing, LinesFollowTheirEndpointsAndFarEndpointsAreClipped) {
    Raster img = solid(40, 40, kWhite);
    image::draw_line(img, 5, 20, 34, 20, {0, 255, 0}, 3);
    for (int x : {5, 20, 34}) {
        EXPECT_EQ(rgb_at(img, x, 19), kGreen) << x;
        EXPECT_EQ(rgb_at(img, x, 21), kGreen) << x;
    }
    EXPECT_EQ(rgb_at(img, 20, 17), kWhite);
    EXPECT_EQ(rgb_at(img, 38, 20), kWhite);  // past the end
    // A diagonal from far outside the image (the model's numbers can be anything)
    // draws only its visible part, quickly.
    const std::int64_t far = std::int64_t{1} << 60;
    Raster diag = solid(40, 40, kWhite);
    image::draw_line(diag, -far, -far, far, far, {0, 255, 0}, 1);
    EXPECT_EQ(rgb_at(diag, 0, 0), kGreen);
    EXPECT_EQ(rgb_at(diag, 39, 39), kGreen);
    EXPECT_EQ(rgb_at(diag, 39, 0), kWhite);
    image::draw_line(diag, -far, 5, -far + 10, 5, {255, 0, 0}, 1);  // entirely outside: nothing
    EXPECT_EQ(rgb_at(diag, 0, 5), kWhite);
}

TEST(JpegEncoding, PicturesRoundTripCloseToTheirPixels) {
    Raster img = solid(64, 48, {200, 40, 90});
    const std::string bytes = jpeg::encode(img, 80);
    ASSERT_TRUE(jpeg::is_jpeg(bytes));
    const Raster back = jpeg::decode(bytes);
    ASSERT_EQ(back.width(), 64);
    ASSERT_EQ(back.height(), 48);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(back.pixel(30, 20)[c], img.pixel(30, 20)[c], 6) << c;
    EXPECT_THROW(jpeg::encode(Raster(), 80), ImageError);
}

TEST(Drawing, TextStartsAtItsCornerInOneColourAndIsClipped) {
    Raster img = solid(80, 20, kWhite);
    image::draw_text(img, 10, 5, "Hi!", kInk);
    // 'H' fills its 5 x 7 cell's left and right columns and its middle row.
    int inked = 0, min_x = 80, min_y = 20, max_x = 0, max_y = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 80; ++x) {
            const Rgb3 p = rgb_at(img, x, y);
            if (p == kWhite) continue;
            EXPECT_EQ(p, kRed);  // no antialiasing
            ++inked;
            min_x = std::min(min_x, x), min_y = std::min(min_y, y), max_x = std::max(max_x, x), max_y = std::max(max_y, y);
        }
    EXPECT_EQ(min_x, 10);
    EXPECT_EQ(min_y, 5);
    EXPECT_EQ(max_y, 11);                     // no descenders in "Hi!"
    EXPECT_EQ(max_x, 10 + 2 * font::kAdvance + 2);  // the '!' is in its cell's middle column
    EXPECT_EQ(rgb_at(img, 12, 8), kRed);      // H's bar
    EXPECT_EQ(rgb_at(img, 12, 7), kWhite);
    EXPECT_GT(inked, 25);

    // A character outside ASCII draws as one '?', whatever its UTF-8 length.
    Raster a = solid(20, 10, kWhite), b = solid(20, 10, kWhite);
    image::draw_text(a, 1, 1, "\xC3\xA9x", kInk);
    image::draw_text(b, 1, 1, "?x", kInk);
    EXPECT_TRUE(a == b);
    // Text running off any edge is clipped.
    EXPECT_NO_THROW(image::draw_text(a, -7, -3, "clipped text", kInk));
    EXPECT_NO_THROW(image::draw_text(a, INT32_MAX - 3, INT32_MIN, "far away", kInk));
    Raster grey_raster(4, 4, 1, 0);
    EXPECT_THROW(image::draw_text(grey_raster, 0, 0, "x", kInk), ValueError);
}

TEST(AnnotateImage, NamesFilesFromTheStemAndSafeSuffix) {
    TempDir dir;
    const std::string jpg = save_jpeg(dir, "home.jpg", solid(100, 100, kWhite));
    const std::string out = dir.file("out/nested");

    const std::string path = image::annotate_image(jpg, Json{0, 0, 1000, 1000}, 100, 100, out);
    EXPECT_EQ(path, out + "/home_locate.png");
    const std::string written = read_text(path);
    ASSERT_TRUE(png::is_png(written));  // a real PNG file
    const Raster drawn = png::decode(written);
    EXPECT_EQ(rgb_at(drawn, 0, 0), kGreen);
    EXPECT_EQ(rgb_at(drawn, 99, 99), kGreen);
    EXPECT_EQ(rgb_at(drawn, 55, 49), kGreen);  // centre circle at (49, 49), radius 6
    EXPECT_EQ(rgb_at(drawn, 49, 49), kWhite);
    EXPECT_EQ(rgb_at(drawn, 30, 30), kWhite);

    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, "two words "),
              out + "/home_two-words.png");
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, ""), out + "/home_locate.png");
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, std::nullopt), out + "/home_locate.png");
    // The second run replaced the first: the small box leaves the far corner white.
    EXPECT_EQ(rgb_at(out + "/home_locate.png", 99, 99), kWhite);
    // A suffix cannot lead the file out of the output directory.
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, "../../escape"),
              out + "/home_..-..-escape.png");
    EXPECT_EQ(image::safe_suffix(std::string(" \tglyph pin\n")), "glyph-pin");
    EXPECT_FALSE(stdfs::exists(dir.file("escape.png")));
}

TEST(AnnotateImage, FailuresPropagateWithoutOutputFiles) {
    TempDir dir;
    const std::string png_path = save_png(dir, "s.png", solid(10, 10, {0, 0, 0}));
    const std::string out = dir.file("out");
    EXPECT_THROW_MSG(image::annotate_image(png_path, Json{1, 2, 3}, 10, 10, out), IndexError,
                     "list index out of range");
    EXPECT_THROW(image::annotate_image(dir.file("none.png"), Json{0, 0, 1, 1}, 10, 10, out), FileSystemError);
    write_text(dir.file("bad.png"), "garbage");
    EXPECT_THROW(image::annotate_image(dir.file("bad.png"), Json{0, 0, 1, 1}, 10, 10, out), ImageError);
    EXPECT_TRUE(stdfs::is_empty(out));
    write_text(dir.file("file"), "x");
    EXPECT_THROW(image::annotate_image(png_path, Json{0, 0, 1, 1}, 10, 10, dir.file("file/sub")), FileSystemError);
}

TEST(AnnotateImageMulti, PaletteFollowsPositionsIncludingSkippedBoxes) {
    TempDir dir;
    const std::string path = save_png(dir, "s.png", solid(700, 100, kWhite));
    // Seven boxes side by side: the seventh wraps round to green again.
    Json boxes = Json::array();
    for (int i = 0; i < 7; ++i) boxes.push_back({i * 140 + 5, 100, i * 140 + 120, 900});
    const std::string drawn = image::annotate_image_multi(path, boxes, 700, 100, dir.str(), "multi");
    const std::vector<Rgb3> palette = {{0, 255, 0},   {255, 0, 0},   {0, 128, 255}, {255, 128, 0},
                                       {128, 0, 255}, {0, 200, 200}, {0, 255, 0}};
    for (int i = 0; i < 7; ++i) {
        const int x1 = static_cast<int>((i * 140 + 5) / 1000.0 * 700);
        EXPECT_EQ(rgb_at(drawn, x1, 50), palette[static_cast<size_t>(i)]) << i;
    }

    // Entries that are not four-element lists are skipped but use up their colour.
    const Json mixed = Json::array({Json{0, 0, 100, 1000}, Json{1, 2, 3}, Json{500, 0, 600, 1000}, "x", nullptr});
    const std::string mixed_path = image::annotate_image_multi(path, mixed, 700, 100, dir.str(), "mixed");
    EXPECT_EQ(rgb_at(mixed_path, 0, 50), palette[0]);
    EXPECT_EQ(rgb_at(mixed_path, 350, 50), palette[2]);

    // Nothing drawable: the unmarked copy is still written.
    const std::string empty = image::annotate_image_multi(path, Json::array(), 700, 100, dir.str());
    EXPECT_EQ(empty, dir.file("s_locate.png"));
    EXPECT_EQ(rgb_at(empty, 0, 0), kWhite);
    EXPECT_THROW(image::annotate_image_multi(path, Json("boxes"), 700, 100, dir.str()), TypeError);
}

TEST(AnnotateImage, RealScreenshotWithOddWidth) {
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/evilinsult_language-dialog_617x1280.jpg");
    TempDir dir;
    const std::string path = image::annotate_image(jpg, Json{100, 200, 900, 300}, 617, 1280, dir.str(), "glyphpin");
    EXPECT_EQ(path, dir.file("evilinsult_language-dialog_617x1280_glyphpin.png"));
    const Raster drawn = image::load_rgb(path);
    ASSERT_EQ(drawn.width(), 617);
    ASSERT_EQ(drawn.height(), 1280);
    const PixelBox b = image::to_absolute_box(Json{100, 200, 900, 300}, 617, 1280);
    EXPECT_EQ(rgb_at(drawn, static_cast<int>(b[0]), static_cast<int>(b[1])), kGreen);
    EXPECT_EQ(rgb_at(drawn, static_cast<int>(b[2]), static_cast<int>(b[3])), kGreen);
}

