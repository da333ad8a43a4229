#include "utils/png.hpp"

#include <droidlens/errors.hpp>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

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
    uLong crc = crc32(0L, Z_NULL, 0);
    const auto* p = reinterpret_cast<const Bytef*>(out.data() + start);
    size_t left = size + 4;
    while (left > 0) {  // crc32 takes a uInt length
        uInt n = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
        crc = crc32(crc, p, n);
        p += n;
        left -= n;
    }
    put_u32(out, static_cast<std::uint32_t>(crc));
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

// Streams bytes through zlib's deflate (zlib format, as IDAT wants it).
class Deflater {
public:
    explicit Deflater(int level) {
        if (deflateInit2(&z_, level, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw ImageError("PNG encoding failed: cannot start the compressor");
        }
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void write(const std::uint8_t* data, size_t size) { run(data, size, Z_NO_FLUSH); }

    // Ends the stream and hands over the compressed bytes.
    std::string finish() {
        run(nullptr, 0, Z_FINISH);
        out_.resize(used_);
        return std::move(out_);
    }

private:
    void run(const std::uint8_t* data, size_t size, int flush) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(size);  // one row at a time: far below 4 GiB
        for (;;) {
            if (out_.size() - used_ < (1u << 15)) out_.resize(std::max<size_t>(out_.size() * 2, 1u << 16));
            z_.next_out = reinterpret_cast<Bytef*>(out_.data() + used_);
            z_.avail_out = static_cast<uInt>(std::min<size_t>(out_.size() - used_, 1u << 30));
            const uInt before = z_.avail_out;
            const int rc = deflate(&z_, flush);
            used_ += before - z_.avail_out;
            if (rc == Z_STREAM_END) return;
            if (rc != Z_OK && rc != Z_BUF_ERROR) throw ImageError("PNG encoding failed: compressor error");
            if (flush != Z_FINISH && z_.avail_in == 0 && z_.avail_out > 0) return;
        }
    }

    z_stream z_{};
    std::string out_;
    size_t used_ = 0;
};

// Compresses the rows [first, last) of `bgr`, unfiltered or adaptively filtered, into
// `z`. Filters look at the row above even when it is outside the range.
void compress_rows(const cv::Mat& bgr, int first, int last, bool filtered, Deflater& z) {
    const size_t n = 3 * static_cast<size_t>(bgr.cols);
    Bytes prev(n), cur(n), line(n + 1);
    RowFilter filter(n);
    if (filtered && first > 0) row_to_rgb(bgr, first - 1, prev.data());
    for (int y = first; y < last; ++y) {
        if (filtered) {
            row_to_rgb(bgr, y, cur.data());
            filter.apply(cur.data(), y > 0 ? prev.data() : nullptr, line.data());
            std::swap(prev, cur);
        } else {
            line[0] = 0;
            row_to_rgb(bgr, y, line.data() + 1);
        }
        z.write(line.data(), line.size());
    }
}

// Bands of rows spread over the image, to compare filterings on a sample.
constexpr int kBand = 32, kEvery = 512;

// True when adaptive filtering compresses a sample of the image better than raw rows.
bool filtering_pays(const cv::Mat& bgr, int level) {
    Deflater plain(level), filtered(level);
    for (int y = 0; y < bgr.rows; y += kEvery) {
        const int last = std::min(y + kBand, bgr.rows);
        compress_rows(bgr, y, last, false, plain);
        compress_rows(bgr, y, last, true, filtered);
    }
    return filtered.finish().size() < plain.finish().size();
}

}  // namespace

std::string encode(const cv::Mat& bgr, Effort effort) {
    if (bgr.type() != CV_8UC3 || bgr.empty()) throw ImageError("PNG encoding needs an 8-bit 3-channel image");

    std::string idat;
    if (effort == Effort::Fast) {
        Deflater z(3);
        compress_rows(bgr, 0, bgr.rows, false, z);
        idat = z.finish();
    } else {
        // Flat screens favour raw rows, photographic content favours filtered ones; a
        // sample decides, and only the winner is compressed in full.
        constexpr int kLevel = 6;
        Deflater z(kLevel);
        compress_rows(bgr, 0, bgr.rows, filtering_pays(bgr, kLevel), z);
        idat = z.finish();
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

// Inflates the zlib stream of the IDAT chunks a row at a time, so the filtered image
// is never held whole.
class RowInflater {
public:
    explicit RowInflater(std::string_view z) : z_(z) {
        if (z.size() < 2) throw ImageError("PNG image data is missing");
        const auto cmf = static_cast<std::uint8_t>(z[0]), flg = static_cast<std::uint8_t>(z[1]);
        if ((cmf & 0x0F) != 8 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20) != 0) {
            throw ImageError("PNG image data is not a zlib stream");
        }
        // Raw inflate after the two header bytes: the chunk CRCs already guard the
        // data, so the stream's own checksum is not recomputed.
        if (inflateInit2(&s_, -15) != Z_OK) throw ImageError("PNG decoding failed: cannot start the decompressor");
        in_pos_ = 2;
    }
    ~RowInflater() { inflateEnd(&s_); }
    RowInflater(const RowInflater&) = delete;
    RowInflater& operator=(const RowInflater&) = delete;

    // Fills out[0, size); throws ImageError when the stream ends or breaks first.
    void read(std::uint8_t* out, size_t size) {
        s_.next_out = out;
        s_.avail_out = static_cast<uInt>(size);  // one row: far below 4 GiB
        while (s_.avail_out > 0) {
            if (s_.avail_in == 0 && in_pos_ < z_.size()) {
                s_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z_.data() + in_pos_));
                s_.avail_in = static_cast<uInt>(std::min<size_t>(z_.size() - in_pos_, 1u << 30));
                in_pos_ += s_.avail_in;
            }
            const uInt out_before = s_.avail_out, in_before = s_.avail_in;
            const int rc = inflate(&s_, Z_NO_FLUSH);
            const bool progress = s_.avail_out != out_before || s_.avail_in != in_before;
            if (s_.avail_out == 0) break;
            if ((rc != Z_OK && rc != Z_BUF_ERROR) || !progress) {
                throw ImageError("PNG image data is truncated or damaged");
            }
        }
    }

private:
    std::string_view z_;
    z_stream s_{};
    size_t in_pos_ = 0;
};

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
        const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data.data() + pos + 4), len + 4);
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
    RowInflater z(idat);
    Bytes prev(row_bytes, 0), row(1 + row_bytes);
    cv::Mat out(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
    for (std::uint32_t y = 0; y < height; ++y) {
        z.read(row.data(), row.size());
        std::uint8_t* in = row.data() + 1;
        unfilter_row(row[0], in, prev.data(), row_bytes, channels);
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
        std::copy_n(in, row_bytes, prev.data());
    }
    return out;
}

}  // namespace droidlens::png
