#include "utils/resample.hpp"

#include <droidlens/errors.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace droidlens::resample {

namespace {

// A kernel: its value at offset t (in output samples) and the |t| beyond which it is 0.
struct Kernel {
    double radius;
    double (*at)(double t);
};

double triangle(double t) {
    t = std::fabs(t);
    return t < 1.0 ? 1.0 - t : 0.0;
}

// sin(pi t) / (pi t), 1 at t = 0.
double sinc(double t) {
    if (t == 0.0) return 1.0;
    const double a = M_PI * t;
    return std::sin(a) / a;
}

// The sinc windowed by the central lobe of a sinc three times as wide.
double lanczos3(double t) { return t > -3.0 && t < 3.0 ? sinc(t) * sinc(t / 3.0) : 0.0; }

constexpr Kernel kTriangle{1.0, triangle}, kLanczos3{3.0, lanczos3};

// Weights are fixed point with this many fractional bits: a pixel (8 bits) times the
// sum of the positive weights (at most ~1.3 for Lanczos) stays below 2^31.
constexpr int kWeightBits = 22;
constexpr std::int32_t kHalf = std::int32_t{1} << (kWeightBits - 1);

// Which input samples each output sample of one axis reads, and with what weights.
struct Footprint {
    int stride = 0;                      // weights per output sample in `weight`
    std::vector<int> first, count;       // per output sample
    std::vector<std::int32_t> weight;    // out_size * stride, unused entries 0
};

// Output sample o covers input coordinates [o * ratio, (o + 1) * ratio), where input
// sample i is the unit interval [i, i + 1). It reads every input whose centre lies
// within the kernel's reach of its own centre; the reach, and the kernel, are widened
// by the ratio when shrinking. Weights are normalised to sum to one, then rounded
// half away from zero into fixed point.
Footprint footprint(int in_size, int out_size, const Kernel& kernel) {
    const double ratio = static_cast<double>(in_size) / out_size;
    const double widen = std::max(ratio, 1.0);
    const double reach = kernel.radius * widen;
    const double step = 1.0 / widen;  // kernel units per input sample

    Footprint fp;
    fp.stride = static_cast<int>(std::ceil(reach)) * 2 + 1;
    fp.first.resize(static_cast<size_t>(out_size));
    fp.count.resize(static_cast<size_t>(out_size));
    fp.weight.assign(static_cast<size_t>(out_size) * static_cast<size_t>(fp.stride), 0);
    std::vector<double> w(static_cast<size_t>(fp.stride));
    for (int o = 0; o < out_size; ++o) {
        const double centre = (o + 0.5) * ratio;
        // Inputs whose centres i + 0.5 lie in (centre - reach, centre + reach].
        const int lo = std::clamp(static_cast<int>(std::floor(centre - reach + 0.5)), 0, in_size);
        const int hi = std::clamp(static_cast<int>(std::floor(centre + reach + 0.5)), lo, in_size);
        double total = 0.0;
        for (int i = lo; i < hi; ++i) {
            const double v = kernel.at((i - centre + 0.5) * step);
            w[static_cast<size_t>(i - lo)] = v;
            total += v;
        }
        std::int32_t* dst = &fp.weight[static_cast<size_t>(o) * static_cast<size_t>(fp.stride)];
        for (int i = 0; i < hi - lo; ++i) {
            const double v = (total != 0.0 ? w[static_cast<size_t>(i)] / total : w[static_cast<size_t>(i)]) *
                             (1 << kWeightBits);
            dst[i] = static_cast<std::int32_t>(std::trunc(v < 0 ? v - 0.5 : v + 0.5));
        }
        fp.first[static_cast<size_t>(o)] = lo;
        fp.count[static_cast<size_t>(o)] = hi - lo;
    }
    return fp;
}

// The 8-bit value of a fixed-point sum (rounding was added up front), clamped: the
// lobes of Lanczos overshoot both ways at edges.
inline std::uint8_t to_byte(std::int32_t sum) {
    return static_cast<std::uint8_t>(std::clamp(sum >> kWeightBits, 0, 255));
}

bool all_zero(const std::uint8_t* p, size_t n) {
    std::uint8_t seen = 0;
    for (size_t i = 0; i < n; ++i) seen |= p[i];
    return seen == 0;
}

// Filters rows [first_row, first_row + dst.height()) of `src` along x into `dst`.
// Rows of zeros stay zeros (the weights sum to one), and difference images are
// mostly made of them, so they are written without filtering.
template <int Channels>
void along_x(const image::Raster& src, int first_row, image::Raster& dst, const Footprint& fp) {
    for (int y = 0; y < dst.height(); ++y) {
        const std::uint8_t* in = src.row(first_row + y);
        std::uint8_t* out = dst.row(y);
        if (all_zero(in, src.row_bytes())) {
            std::memset(out, 0, dst.row_bytes());
            continue;
        }
        for (int o = 0; o < dst.width(); ++o) {
            const std::int32_t* w = &fp.weight[static_cast<size_t>(o) * static_cast<size_t>(fp.stride)];
            const std::uint8_t* p = in + static_cast<size_t>(fp.first[static_cast<size_t>(o)]) * Channels;
            std::int32_t sum[Channels];
            for (int c = 0; c < Channels; ++c) sum[c] = kHalf;
            for (int i = 0, n = fp.count[static_cast<size_t>(o)]; i < n; ++i, p += Channels) {
                for (int c = 0; c < Channels; ++c) sum[c] += p[c] * w[i];
            }
            for (int c = 0; c < Channels; ++c) out[o * Channels + c] = to_byte(sum[c]);
        }
    }
}

// Filters `src`, whose row 0 is row `row_offset` of the image, along y into `dst`.
// An output row that reads only zero rows is written as zeros.
void along_y(const image::Raster& src, int row_offset, image::Raster& dst, const Footprint& fp) {
    const size_t n = dst.row_bytes();
    std::vector<char> zero_row(static_cast<size_t>(src.height()));
    for (int y = 0; y < src.height(); ++y) zero_row[static_cast<size_t>(y)] = all_zero(src.row(y), n);
    std::vector<std::int32_t> sum(n);
    for (int o = 0; o < dst.height(); ++o) {
        const int first = fp.first[static_cast<size_t>(o)] - row_offset;
        const int count = fp.count[static_cast<size_t>(o)];
        std::uint8_t* out = dst.row(o);
        if (std::all_of(zero_row.begin() + first, zero_row.begin() + first + count, [](char z) { return z != 0; })) {
            std::memset(out, 0, n);
            continue;
        }
        const std::int32_t* w = &fp.weight[static_cast<size_t>(o) * static_cast<size_t>(fp.stride)];
        std::fill(sum.begin(), sum.end(), kHalf);
        for (int i = 0; i < count; ++i) {
            const std::uint8_t* __restrict in = src.row(first + i);
            std::int32_t* __restrict s = sum.data();
            const std::int32_t wi = w[i];
            for (size_t k = 0; k < n; ++k) s[k] += in[k] * wi;
        }
        for (size_t k = 0; k < n; ++k) out[k] = to_byte(sum[k]);
    }
}

}  // namespace

image::Raster resize(const image::Raster& src, int width, int height, Filter filter) {
    if (src.empty()) throw ValueError("resample: empty source image");
    if (src.channels() < 1 || src.channels() > 4) throw ValueError("resample: expected 1 to 4 channels");
    if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
    if (width == src.width() && height == src.height()) return src;

    const Kernel& kernel = filter == Filter::Lanczos ? kLanczos3 : kTriangle;
    const Footprint rows = footprint(src.height(), height, kernel);
    // Only the source rows that the pass along y reads go through the pass along x.
    const int first_row = rows.first.front();
    const int end_row = rows.first.back() + rows.count.back();

    image::Raster wide;
    const image::Raster* stage = &src;
    int offset = 0;
    if (width != src.width()) {
        const Footprint cols = footprint(src.width(), width, kernel);
        wide = image::Raster(width, height == src.height() ? src.height() : end_row - first_row, src.channels());
        const int from = height == src.height() ? 0 : first_row;
        switch (src.channels()) {
            case 1: along_x<1>(src, from, wide, cols); break;
            case 2: along_x<2>(src, from, wide, cols); break;
            case 3: along_x<3>(src, from, wide, cols); break;
            default: along_x<4>(src, from, wide, cols); break;
        }
        if (height == src.height()) return wide;
        stage = &wide;
        offset = first_row;
    }
    image::Raster out(width, height, src.channels());
    along_y(*stage, offset, out, rows);
    return out;
}

}  // namespace droidlens::resample
