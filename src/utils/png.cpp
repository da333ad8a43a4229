#include "utils/png.hpp"

#include <droidlens/errors.hpp>

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// One image row as PNG stores it: RGB bytes from OpenCV's BGR.
void row_to_rgb(const cv::Mat& bgr, int y, std::uint8_t* __restrict out) {
    const std::uint8_t* __restrict in = bgr.ptr<std::uint8_t>(y);
    for (int x = 0; x < bgr.cols; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
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
    std::unique_ptr<std::uint8_t[]> data;
    size_t size = 0;
    size_t capacity = 0;

    std::uint8_t* grow(size_t extra) {
        if (size + extra > capacity) {
            const size_t cap = std::max(size + extra, 2 * capacity);
            std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[cap]);
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

    // The zlib stream (as IDAT wants it) of `raw`.
    std::string zlib(const Raw& raw) const {
        // Only the pages the compressed stream reaches are touched: no clearing of the
        // (much larger) worst-case bound.
        const size_t bound = libdeflate_zlib_compress_bound(c, raw.size);
        std::unique_ptr<char[]> buf(new char[bound]);
        const size_t n = libdeflate_zlib_compress(c, raw.data.get(), raw.size, buf.get(), bound);
        if (n == 0) throw ImageError("PNG encoding failed: compressor error");
        return std::string(buf.get(), n);
    }

    libdeflate_compressor* c;
};

// The rows [first, last) of `bgr` as PNG scanlines (filter-type byte + RGB bytes),
// unfiltered or adaptively filtered, appended to `raw`. Filters look at the row above
// even when it is outside the range.
void append_rows(const cv::Mat& bgr, int first, int last, bool filtered, Raw& raw) {
    const size_t n = 3 * static_cast<size_t>(bgr.cols);
    Bytes prev(n), cur(n);
    RowFilter filter(n);
    if (filtered && first > 0) row_to_rgb(bgr, first - 1, prev.data());
    std::uint8_t* at = raw.grow(static_cast<size_t>(last - first) * (n + 1));
    for (int y = first; y < last; ++y, at += n + 1) {
        if (filtered) {
            row_to_rgb(bgr, y, cur.data());
            filter.apply(cur.data(), y > 0 ? prev.data() : nullptr, at);
            std::swap(prev, cur);
        } else {
            at[0] = 0;
            row_to_rgb(bgr, y, at + 1);
        }
    }
}

// Compression levels of libdeflate (1 fastest .. 12 smallest).
constexpr int kFastLevel = 1, kSmallestLevel = 8;

// Bands of rows spread over the image, to compare filterings on a sample.
constexpr int kBand = 32, kEvery = 512;

// True when adaptive filtering compresses a sample of the image better than raw rows.
bool filtering_pays(const cv::Mat& bgr, const Compressor& z) {
    Raw plain, filtered;
    for (int y = 0; y < bgr.rows; y += kEvery) {
        const int last = std::min(y + kBand, bgr.rows);
        append_rows(bgr, y, last, false, plain);
        append_rows(bgr, y, last, true, filtered);
    }
    return z.zlib(filtered).size() < z.zlib(plain).size();
}

}  // namespace

std::string encode(const cv::Mat& bgr, Effort effort) {
    if (bgr.type() != CV_8UC3 || bgr.empty()) throw ImageError("PNG encoding needs an 8-bit 3-channel image");

    Raw raw;
    std::string idat;
    if (effort == Effort::Fast) {
        const Compressor z(kFastLevel);
        append_rows(bgr, 0, bgr.rows, false, raw);
        idat = z.zlib(raw);
    } else {
        // Flat screens favour raw rows, photographic content favours filtered ones; a
        // sample decides, and only the winner is compressed in full.
        const Compressor z(kSmallestLevel);
        append_rows(bgr, 0, bgr.rows, filtering_pays(bgr, z), raw);
        idat = z.zlib(raw);
    }

    std::string out;
    out.reserve(idat.size() + 64);
    out.append("\x89PNG\r\n\x1a\n", 8);
    std::uint8_t ihdr[13] = {0};
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(bgr.cols) >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(bgr.rows) >> (24 - 8 * i));
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

// Larger images go to the general decoder, which has its own limits.
constexpr std::uint64_t kMaxDecodePixels = std::uint64_t{1} << 26;

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
// when the stream holds more data than the image needs (left to the general
// decoder); throws ImageError when it is damaged or ends early.
bool inflate_exact(std::string_view z, std::unique_ptr<std::uint8_t[]>& out, size_t size) {
    struct Decompressor {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~Decompressor() { libdeflate_free_decompressor(d); }
    } dec;
    if (dec.d == nullptr) throw ImageError("PNG decoding failed: cannot start the decompressor");
    out.reset(new std::uint8_t[size]);  // fully written by the decompressor: no need to clear it
    size_t got = 0;
    switch (libdeflate_zlib_decompress(dec.d, z.data(), z.size(), out.get(), size, &got)) {
        case LIBDEFLATE_SUCCESS:
            if (got != size) throw ImageError("PNG image data is truncated or damaged");
            return true;
        case LIBDEFLATE_INSUFFICIENT_SPACE: return false;
        default: throw ImageError("PNG image data is truncated or damaged");
    }
}

}  // namespace

std::optional<cv::Mat> decode(std::string_view data) {
    static constexpr std::string_view kSignature{"\x89PNG\r\n\x1a\n", 8};
    if (data.substr(0, 8) != kSignature) return std::nullopt;

    std::uint32_t width = 0, height = 0;
    size_t channels = 0;
    std::string idat;
    bool have_header = false;
    for (size_t pos = 8; pos + 12 <= data.size();) {
        const std::uint32_t len = read_u32(data, pos);
        if (len > data.size() - pos - 12) throw ImageError("PNG chunk is truncated");
        const std::string_view type = data.substr(pos + 4, 4);
        const std::string_view body = data.substr(pos + 8, len);
        const std::uint32_t crc = libdeflate_crc32(0, data.data() + pos + 4, len + 4);
        const bool damaged = crc != read_u32(data, pos + 8 + len);
        pos += 12 + size_t{len};
        // A damaged ancillary chunk (lower-case first letter: text, colour profile,
        // ...) is skipped, as other decoders do; a damaged critical one is fatal.
        if (damaged && (type[0] & 0x20) != 0) continue;
        if (damaged) throw ImageError("PNG chunk has a wrong checksum");
        if (!have_header) {
            if (type != "IHDR" || len != 13) throw ImageError("PNG file does not start with its header");
            width = read_u32(body, 0);
            height = read_u32(body, 4);
            const int depth = static_cast<std::uint8_t>(body[8]), colour = static_cast<std::uint8_t>(body[9]);
            const bool interlaced = body[12] != 0;
            if (body[10] != 0 || body[11] != 0) throw ImageError("PNG header has unknown methods");
            if (width == 0 || height == 0) throw ImageError("PNG image has no pixels");
            switch (colour) {
                case 0: channels = 1; break;
                case 2: channels = 3; break;
                case 4: channels = 2; break;
                case 6: channels = 4; break;
                default: return std::nullopt;  // palette (or invalid): the general decoder
            }
            if (depth != 8 || interlaced || std::uint64_t{width} * height > kMaxDecodePixels) return std::nullopt;
            have_header = true;
        } else if (type == "IDAT") {
            idat.append(body);
        } else if (type == "IEND") {
            break;
        }
    }
    if (!have_header) throw ImageError("PNG file has no header");

    const size_t row_bytes = size_t{width} * channels;
    std::unique_ptr<std::uint8_t[]> raw;
    if (idat.empty()) throw ImageError("PNG image data is missing");
    if (!inflate_exact(idat, raw, size_t{height} * (1 + row_bytes))) return std::nullopt;
    const Bytes zero_row(row_bytes, 0);
    const std::uint8_t* prev = zero_row.data();
    cv::Mat out(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = raw.get() + size_t{y} * (1 + row_bytes);
        std::uint8_t* in = row + 1;
        unfilter_row(row[0], in, prev, row_bytes, channels);
        std::uint8_t* px = out.ptr<std::uint8_t>(static_cast<int>(y));
        switch (channels) {
            case 1:
                for (size_t x = 0; x < width; ++x) px[3 * x] = px[3 * x + 1] = px[3 * x + 2] = in[x];
                break;
            case 2:
                for (size_t x = 0; x < width; ++x) px[3 * x] = px[3 * x + 1] = px[3 * x + 2] = in[2 * x];
                break;
            case 3:
                for (size_t x = 0; x < width; ++x) {
                    px[3 * x] = in[3 * x + 2];
                    px[3 * x + 1] = in[3 * x + 1];
                    px[3 * x + 2] = in[3 * x];
                }
                break;
            default:
                for (size_t x = 0; x < width; ++x) {
                    px[3 * x] = in[4 * x + 2];
                    px[3 * x + 1] = in[4 * x + 1];
                    px[3 * x + 2] = in[4 * x];
                }
                break;
        }
        prev = in;
    }
    return out;
}

}  // namespace droidlens::png
