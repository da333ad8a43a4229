#include "utils/png.hpp"

#include <droidlens/errors.hpp>

#include <libdeflate.h>
#include <spng.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace droidlens::png {

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

void put_chunk(std::string& out, const char type[4], const std::uint8_t* data, size_t size) {
    put_u32(out, static_cast<std::uint32_t>(size));
    const size_t start = out.size();
    out.append(type, 4);
    if (size > 0) out.append(reinterpret_cast<const char*>(data), size);
    put_u32(out, libdeflate_crc32(0, out.data() + start, size + 4));
}

// |v| of the byte read as a signed value: how far a filtered byte is from zero.
inline unsigned cost(std::uint8_t v) { return static_cast<unsigned>(std::abs(static_cast<std::int8_t>(v))); }

unsigned total_cost(const std::uint8_t* __restrict p, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += cost(p[i]);
    return sum;
}

// Chooses a filter for one row of n bytes.
class RowFilter {
public:
    explicit RowFilter(size_t n) : n_(n), zero_(n, 0) {
        for (auto& c : cand_) c.resize(n);
    }

    // The row `cur` (previous row `up`, or null for the first) with the filter (none,
    // sub, up, average, Paeth) whose output has the least sum of absolute signed
    // values, the usual heuristic of PNG encoders, written with its filter-type byte
    // to `out` (n + 1 bytes). Each filter is a simple loop the compiler vectorises.
    void apply(const std::uint8_t* __restrict cur, const std::uint8_t* up, std::uint8_t* out) {
        constexpr size_t bpp = 3;
        const size_t n = n_;
        const std::uint8_t* __restrict prev = up ? up : zero_.data();
        std::uint8_t* __restrict sub = cand_[0].data();
        std::uint8_t* __restrict upf = cand_[1].data();
        std::uint8_t* __restrict avg = cand_[2].data();
        std::uint8_t* __restrict pae = cand_[3].data();
        for (size_t i = 0; i < std::min(bpp, n); ++i) {  // the first pixel has no left neighbour
            sub[i] = cur[i];
            avg[i] = static_cast<std::uint8_t>(cur[i] - (prev[i] >> 1));
            pae[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);  // Paeth with a = c = 0 picks b
        }
        for (size_t i = 0; i < n; ++i) upf[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        for (size_t i = bpp; i < n; ++i) sub[i] = static_cast<std::uint8_t>(cur[i] - cur[i - bpp]);
        for (size_t i = bpp; i < n; ++i) {
            avg[i] = static_cast<std::uint8_t>(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
        }
        for (size_t i = bpp; i < n; ++i) {
            const int a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            pae[i] = static_cast<std::uint8_t>(cur[i] - pred);
        }
        const unsigned sums[5] = {total_cost(cur, n), total_cost(sub, n), total_cost(upf, n), total_cost(avg, n),
                                  total_cost(pae, n)};
        int best = 0;
        for (int f = 1; f < 5; ++f) {
            if (sums[f] < sums[best]) best = f;
        }
        out[0] = static_cast<std::uint8_t>(best);
        std::copy_n(best == 0 ? cur : cand_[best - 1].data(), n, out + 1);
    }

private:
    size_t n_;
    Bytes zero_;
    Bytes cand_[4];
};

// PNG scanlines before compression; not cleared on allocation, since every byte is
// written before it is read.
struct Raw {
    image::Buffer data;
    size_t size = 0;
    size_t capacity = 0;

    std::uint8_t* grow(size_t extra) {
        if (size + extra > capacity) {
            const size_t cap = std::max(size + extra, 2 * capacity);
            image::Buffer bigger = image::allocate(cap);
            if (size > 0) std::memcpy(bigger.get(), data.get(), size);
            data = std::move(bigger);
            capacity = cap;
        }
        std::uint8_t* at = data.get() + size;
        size += extra;
        return at;
    }
};

// A libdeflate compressor that is freed when it goes out of scope.
struct Compressor {
    explicit Compressor(int level) : c(libdeflate_alloc_compressor(level)) {
        if (c == nullptr) throw ImageError("PNG encoding failed: cannot start the compressor");
    }
    ~Compressor() { libdeflate_free_compressor(c); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // The zlib stream (as IDAT wants it) of `raw`, at the start of `out`; returns its size.
    size_t zlib(const Raw& raw, image::Buffer& out) const {
        // Only the pages the compressed stream reaches are touched: no clearing of the
        // (much larger) worst-case bound.
        const size_t bound = libdeflate_zlib_compress_bound(c, raw.size);
        out = image::allocate(bound);
        const size_t n = libdeflate_zlib_compress(c, raw.data.get(), raw.size, out.get(), bound);
        if (n == 0) throw ImageError("PNG encoding failed: compressor error");
        return n;
    }

    size_t zlib_size(const Raw& raw) const {
        image::Buffer scratch;
        return zlib(raw, scratch);
    }

    libdeflate_compressor* c;
};

// The rows [first, last) of `rgb` as PNG scanlines (filter-type byte + RGB bytes),
// unfiltered or adaptively filtered, appended to `raw`. Filters look at the row above
// even when it is outside the range.
void append_rows(const image::Raster& rgb, int first, int last, bool filtered, Raw& raw) {
    const size_t n = rgb.row_bytes();
    RowFilter filter(n);
    std::uint8_t* at = raw.grow(static_cast<size_t>(last - first) * (n + 1));
    for (int y = first; y < last; ++y, at += n + 1) {
        if (filtered) {
            filter.apply(rgb.row(y), y > 0 ? rgb.row(y - 1) : nullptr, at);
        } else {
            at[0] = 0;
            std::memcpy(at + 1, rgb.row(y), n);
        }
    }
}

// Compression levels of libdeflate (1 fastest .. 12 smallest).
constexpr int kFastLevel = 1, kSmallestLevel = 8;

// Bands of rows spread over the image, to compare filterings on a sample.
constexpr int kBand = 32, kEvery = 512;

// True when adaptive filtering compresses a sample of the image better than raw rows.
bool filtering_pays(const image::Raster& rgb, const Compressor& z) {
    Raw plain, filtered;
    for (int y = 0; y < rgb.height(); y += kEvery) {
        const int last = std::min(y + kBand, rgb.height());
        append_rows(rgb, y, last, false, plain);
        append_rows(rgb, y, last, true, filtered);
    }
    return z.zlib_size(filtered) < z.zlib_size(plain);
}

}  // namespace

std::string encode(const image::Raster& rgb, Effort effort) {
    if (rgb.channels() != 3 || rgb.empty()) throw ImageError("PNG encoding needs an 8-bit 3-channel image");

    Raw raw;
    image::Buffer zbuf;
    size_t zsize = 0;
    if (effort == Effort::Fast) {
        const Compressor z(kFastLevel);
        append_rows(rgb, 0, rgb.height(), false, raw);
        zsize = z.zlib(raw, zbuf);
    } else {
        // Flat screens favour raw rows, photographic content favours filtered ones; a
        // sample decides, and only the winner is compressed in full.
        const Compressor z(kSmallestLevel);
        append_rows(rgb, 0, rgb.height(), filtering_pays(rgb, z), raw);
        zsize = z.zlib(raw, zbuf);
    }
    const std::string_view idat(reinterpret_cast<const char*>(zbuf.get()), zsize);

    std::string out;
    out.reserve(idat.size() + 64 + 12 * (idat.size() >> 24));
    out.append("\x89PNG\r\n\x1a\n", 8);
    std::uint8_t ihdr[13] = {0};
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(rgb.width()) >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(rgb.height()) >> (24 - 8 * i));
    }
    ihdr[8] = 8;  // bit depth
    ihdr[9] = 2;  // colour type: RGB
    put_chunk(out, "IHDR", ihdr, sizeof ihdr);
    constexpr size_t kMaxChunk = 1u << 24;
    for (size_t pos = 0; pos < idat.size(); pos += kMaxChunk) {
        put_chunk(out, "IDAT", reinterpret_cast<const std::uint8_t*>(idat.data()) + pos,
                  std::min(kMaxChunk, idat.size() - pos));
    }
    put_chunk(out, "IEND", nullptr, 0);
    return out;
}

namespace {

std::uint32_t read_u32(std::string_view s, size_t at) {
    return (std::uint32_t{static_cast<std::uint8_t>(s[at])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(s[at + 1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(s[at + 2])} << 8) |
           std::uint32_t{static_cast<std::uint8_t>(s[at + 3])};
}

inline int byte_at(std::string_view s, size_t at) { return static_cast<std::uint8_t>(s[at]); }

#if defined(__SSE2__)
// Paeth reconstruction one pixel at a time with the channels side by side in 16-bit
// lanes: the filter is serial from pixel to pixel, but not across channels, and this
// is the slowest filter to undo byte by byte.
template <size_t Bpp>
void unpaeth_sse2(std::uint8_t* row, const std::uint8_t* prev, size_t n) {
    static_assert(Bpp == 3 || Bpp == 4);
    const __m128i zero = _mm_setzero_si128();
    // Pixels move between memory and registers with fixed-size accesses, so nothing
    // goes through the stack (a variable-length copy there stalls every pixel).
    auto load = [&](const std::uint8_t* p) {
        std::uint32_t v;
        if constexpr (Bpp == 4) {
            std::memcpy(&v, p, 4);
        } else {
            v = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
        }
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), zero);
    };
    auto store = [](std::uint8_t* p, std::uint32_t v) {
        if constexpr (Bpp == 4) {
            std::memcpy(p, &v, 4);
        } else {
            p[0] = static_cast<std::uint8_t>(v);
            p[1] = static_cast<std::uint8_t>(v >> 8);
            p[2] = static_cast<std::uint8_t>(v >> 16);
        }
    };
    auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    auto pick = [](__m128i cond, __m128i t, __m128i e) {
        return _mm_or_si128(_mm_and_si128(cond, t), _mm_andnot_si128(cond, e));
    };
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i a = zero, c = zero;  // left and upper-left pixels; none for the first pixel
    for (size_t i = 0; i + Bpp <= n; i += Bpp) {
        const __m128i b = load(prev + i);
        const __m128i x = load(row + i);
        const __m128i pa = abs16(_mm_sub_epi16(b, c));
        const __m128i pb = abs16(_mm_sub_epi16(a, c));
        const __m128i pc = abs16(_mm_add_epi16(_mm_sub_epi16(b, c), _mm_sub_epi16(a, c)));
        const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        // Ties favour a over b over c.
        const __m128i nearest =
            pick(_mm_cmpeq_epi16(smallest, pa), a, pick(_mm_cmpeq_epi16(smallest, pb), b, c));
        a = _mm_and_si128(_mm_add_epi16(x, nearest), low_byte);
        store(row + i, static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(a, a))));
        c = b;
    }
}
#endif

// Reverses the PNG filter of one row in place; `prev` is the previous row, already
// reconstructed (zeros for the first row).
void unfilter_row(int filter, std::uint8_t* __restrict row, const std::uint8_t* __restrict prev, size_t n,
                  size_t bpp) {
    switch (filter) {
        case 0: break;
        case 1:
            for (size_t i = bpp; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
            break;
        case 3:
            for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + (prev[i] >> 1));
            for (size_t i = bpp; i < n; ++i) {
                row[i] = static_cast<std::uint8_t>(row[i] + ((row[i - bpp] + prev[i]) >> 1));
            }
            break;
        case 4:
#if defined(__SSE2__)
            if (bpp == 3) {
                unpaeth_sse2<3>(row, prev, n);
                break;
            }
            if (bpp == 4) {
                unpaeth_sse2<4>(row, prev, n);
                break;
            }
#endif
            for (size_t i = 0; i < bpp && i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
            for (size_t i = bpp; i < n; ++i) {
                const int a = row[i - bpp], b = prev[i], c = prev[i - bpp];
                const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
                row[i] = static_cast<std::uint8_t>(row[i] + ((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c)));
            }
            break;
        default: throw ImageError("PNG row with an unknown filter type");
    }
}

// Inflates the zlib stream of the IDAT chunks into exactly `size` bytes. Returns false
// when the stream holds more data than the image needs (left to libspng, which
// ignores the surplus); throws when it is damaged or ends early.
bool inflate_exact(std::string_view z, image::Buffer& out, size_t size, bool saw_end) {
    struct Decompressor {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~Decompressor() { libdeflate_free_decompressor(d); }
    } dec;
    if (dec.d == nullptr) throw ImageError("PNG decoding failed: cannot start the decompressor");
    out = image::allocate(size);  // fully written by the decompressor: no need to clear it
    size_t got = 0;
    switch (libdeflate_zlib_decompress(dec.d, z.data(), z.size(), out.get(), size, &got)) {
        case LIBDEFLATE_SUCCESS:
            if (got != size) throw image::TruncatedError("PNG image data ends before the last row");
            return true;
        case LIBDEFLATE_INSUFFICIENT_SPACE: return false;
        default:
            // A stream that stops in the middle with no end chunk after it was cut off.
            if (!saw_end) throw image::TruncatedError("PNG image data is cut off");
            throw ImageError("PNG image data is damaged");
    }
}

// The IHDR fields that choose a decoder.
struct Header {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colour = 0;
    bool interlaced = false;
};

// The bit depths PNG allows for each colour type.
bool depth_allowed(int colour, int depth) {
    switch (colour) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2:
        case 4:
        case 6: return depth == 8 || depth == 16;
        default: return false;
    }
}

constexpr size_t kSignatureSize = 8, kHeaderEnd = 8 + 8 + 13 + 4;  // signature, IHDR chunk

// Reads and checks the IHDR chunk, which must come first. The size is checked
// against the pixel limit here, before any decoder sees the file.
Header read_header(std::string_view data) {
    if (data.size() < kHeaderEnd) throw image::TruncatedError("PNG header is cut off");
    if (read_u32(data, 8) != 13 || data.substr(12, 4) != "IHDR") {
        throw ImageError("PNG file does not start with its header");
    }
    if (libdeflate_crc32(0, data.data() + 12, 17) != read_u32(data, 29)) {
        throw ImageError("PNG header has a wrong checksum");
    }
    Header h;
    h.width = read_u32(data, 16);
    h.height = read_u32(data, 20);
    h.depth = byte_at(data, 24);
    h.colour = byte_at(data, 25);
    if (h.width == 0 || h.height == 0) throw ImageError("PNG image has no pixels");
    image::check_pixel_limit(h.width, h.height);
    if (!depth_allowed(h.colour, h.depth)) {
        throw ImageError("PNG header has colour type " + std::to_string(h.colour) + " with bit depth " +
                         std::to_string(h.depth) + ", which PNG does not define");
    }
    if (byte_at(data, 26) != 0 || byte_at(data, 27) != 0) {
        throw ImageError("PNG header names an unknown compression or filter method");
    }
    if (byte_at(data, 28) > 1) throw ImageError("PNG header names an unknown interlace method");
    h.interlaced = byte_at(data, 28) == 1;
    return h;
}

// The kinds decoded here: 8-bit grey, grey + alpha, RGB and RGBA without interlacing.
bool decoded_here(const Header& h) { return h.depth == 8 && h.colour != 3 && !h.interlaced; }

// Decodes a PNG of a kind decoded_here() accepts; nullopt when its image data holds
// more than the image needs.
std::optional<image::Raster> decode_common(std::string_view data, const Header& h) {
    const size_t channels = h.colour == 0 ? 1 : h.colour == 4 ? 2 : h.colour == 2 ? 3 : 4;
    // The image data, which may be split over many chunks: gathered into one buffer
    // (at most the file's size), or read in place when it is one chunk.
    std::vector<std::string_view> parts;
    size_t idat_size = 0;
    bool saw_end = false;
    for (size_t pos = kHeaderEnd; pos < data.size();) {
        if (data.size() - pos < 12) throw image::TruncatedError("PNG chunk is cut off");
        const std::uint32_t len = read_u32(data, pos);
        if (len > data.size() - pos - 12) throw image::TruncatedError("PNG chunk is cut off");
        const std::string_view type = data.substr(pos + 4, 4);
        const bool damaged = libdeflate_crc32(0, data.data() + pos + 4, len + 4) != read_u32(data, pos + 8 + len);
        const std::string_view body = data.substr(pos + 8, len);
        pos += 12 + size_t{len};
        // A damaged ancillary chunk (lower-case first letter: text, colour profile,
        // ...) is skipped, as other decoders do; a damaged critical one is fatal.
        if (damaged && (type[0] & 0x20) != 0) continue;
        if (damaged) throw ImageError("PNG chunk " + std::string(type) + " has a wrong checksum");
        if (type == "IDAT") {
            parts.push_back(body);
            idat_size += body.size();
        } else if (type == "IEND") {
            saw_end = true;
            break;
        }
    }
    if (idat_size == 0) {
        if (!saw_end) throw image::TruncatedError("PNG file ends before its image data");
        throw ImageError("PNG image data is missing");
    }
    image::Buffer gathered;
    std::string_view idat = parts.front();
    if (parts.size() > 1) {
        gathered = image::allocate(idat_size);
        size_t at = 0;
        for (std::string_view part : parts) {
            std::memcpy(gathered.get() + at, part.data(), part.size());
            at += part.size();
        }
        idat = std::string_view(reinterpret_cast<const char*>(gathered.get()), idat_size);
    }

    const size_t row_bytes = size_t{h.width} * channels;
    const size_t stride = row_bytes + 1;  // each row behind its filter-type byte
    image::Buffer raw;
    if (!inflate_exact(idat, raw, size_t{h.height} * stride, saw_end)) return std::nullopt;
    const Bytes zero_row(row_bytes, 0);
    const std::uint8_t* prev = zero_row.data();
    for (std::uint32_t y = 0; y < h.height; ++y) {
        std::uint8_t* row = raw.get() + size_t{y} * stride;
        unfilter_row(row[0], row + 1, prev, row_bytes, channels);
        prev = row + 1;
    }
    const int width = static_cast<int>(h.width), height = static_cast<int>(h.height);
    if (channels == 1 || channels == 2) {  // grey widens: into a buffer of its own
        image::Raster out(width, height, 3);
        for (std::uint32_t y = 0; y < h.height; ++y) {
            const std::uint8_t* in = raw.get() + size_t{y} * stride + 1;
            std::uint8_t* px = out.row(static_cast<int>(y));
            for (size_t x = 0; x < h.width; ++x) px[3 * x] = px[3 * x + 1] = px[3 * x + 2] = in[channels * x];
        }
        return out;
    }
    // RGB and RGBA narrow to RGB in place, front to back: every pixel moves to a lower
    // address (or stays), past bytes already read.
    std::uint8_t* dst = raw.get();
    for (std::uint32_t y = 0; y < h.height; ++y) {
        const std::uint8_t* in = raw.get() + size_t{y} * stride + 1;
        if (channels == 3) {
            std::memmove(dst, in, row_bytes);
            dst += row_bytes;
        } else {
            for (size_t x = 0; x < h.width; ++x, dst += 3) {
                dst[0] = in[4 * x];
                dst[1] = in[4 * x + 1];
                dst[2] = in[4 * x + 2];
            }
        }
    }
    return image::Raster(width, height, 3, std::move(raw));
}

// What libspng may keep of ancillary chunks (text, profiles): a file is at most
// 256 MiB, and its metadata gets no more than a screenshot's worth of memory.
constexpr size_t kMaxChunkBytes = size_t{256} << 20, kMaxChunkCache = size_t{64} << 20;

// Every other kind of PNG, through libspng: palette, 16-bit, grey below 8 bits,
// interlaced. libspng reports errors by code and never prints.
image::Raster decode_general(std::string_view data, const Header& h) {
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
    if (!ctx) throw ImageError("PNG decoding failed: cannot start the decoder");
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    spng_set_chunk_limits(ctx.get(), kMaxChunkBytes, kMaxChunkCache);
    image::Raster out(static_cast<int>(h.width), static_cast<int>(h.height), 3);
    size_t size = 0;
    int err = spng_set_png_buffer(ctx.get(), data.data(), data.size());
    if (err == 0) err = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &size);
    if (err == 0 && size != out.size_bytes()) err = SPNG_EINTERNAL;
    if (err == 0) err = spng_decode_image(ctx.get(), out.data(), out.size_bytes(), SPNG_FMT_RGB8, 0);
    switch (err) {
        case 0: return out;
        case SPNG_IO_EOF:
        case SPNG_EIDAT_TOO_SHORT: throw image::TruncatedError("PNG data is cut off");
        case SPNG_ENOPLTE: throw ImageError("PNG palette image has no palette");
        case SPNG_EPLTE_IDX: throw ImageError("PNG image uses a colour its palette does not have");
        case SPNG_ECHUNK_CRC: throw ImageError("PNG chunk has a wrong checksum");
        case SPNG_EIDAT_STREAM:
        case SPNG_EZLIB: throw ImageError("PNG image data is damaged");
        case SPNG_EFILTER: throw ImageError("PNG row with an unknown filter type");
        default: throw ImageError(std::string("PNG data is invalid: ") + spng_strerror(err));
    }
}

}  // namespace

bool is_png(std::string_view data) { return data.substr(0, kSignatureSize) == std::string_view("\x89PNG\r\n\x1a\n", 8); }

image::Raster decode(std::string_view data) {
    if (!is_png(data)) throw ImageError("not a PNG file");
    const Header h = read_header(data);
    if (decoded_here(h)) {
        if (std::optional<image::Raster> img = decode_common(data, h)) return std::move(*img);
    }
    return decode_general(data, h);
}

}  // namespace droidlens::png
