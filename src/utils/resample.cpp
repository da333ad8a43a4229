#include "utils/resample.hpp"

#include <droidlens/errors.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace droidlens::resample {

namespace {

// Fixed-point precision of the weights: 32 bits less 8 for the pixel value and 2
// for the overshoot of the Lanczos lobes.
constexpr int kPrecisionBits = 32 - 8 - 2;

double bilinear_filter(double x) {
    if (x < 0.0) x = -x;
    if (x < 1.0) return 1.0 - x;
    return 0.0;
}

double sinc_filter(double x) {
    if (x == 0.0) return 1.0;
    x = x * M_PI;
    return std::sin(x) / x;
}

double lanczos_filter(double x) {
    // sinc windowed by a sinc three times wider (a = 3)
    if (-3.0 <= x && x < 3.0) return sinc_filter(x) * sinc_filter(x / 3);
    return 0.0;
}

// For every output position along one axis: the first input index, the number of
// taps and `ksize` fixed-point weights.
struct Coeffs {
    int ksize = 0;
    std::vector<int> first;
    std::vector<int> count;
    std::vector<std::int32_t> weights;  // out_size * ksize
};

Coeffs precompute(int in_size, int out_size, Filter filter) {
    double (*fn)(double) = filter == Filter::Lanczos ? lanczos_filter : bilinear_filter;
    const double base_support = filter == Filter::Lanczos ? 3.0 : 1.0;

    const double scale = static_cast<double>(in_size) / out_size;
    const double filterscale = std::max(scale, 1.0);
    const double support = base_support * filterscale;

    Coeffs c;
    c.ksize = static_cast<int>(std::ceil(support)) * 2 + 1;
    c.first.resize(out_size);
    c.count.resize(out_size);
    c.weights.assign(static_cast<size_t>(out_size) * c.ksize, 0);
    std::vector<double> k(c.ksize);
    for (int xx = 0; xx < out_size; ++xx) {
        const double center = (xx + 0.5) * scale;
        const double ss = 1.0 / filterscale;
        int xmin = static_cast<int>(center - support + 0.5);
        if (xmin < 0) xmin = 0;
        int xmax = static_cast<int>(center + support + 0.5);
        if (xmax > in_size) xmax = in_size;
        xmax -= xmin;
        double ww = 0.0;
        for (int x = 0; x < xmax; ++x) {
            double w = fn((x + xmin - center + 0.5) * ss);
            k[x] = w;
            ww += w;
        }
        std::int32_t* out = &c.weights[static_cast<size_t>(xx) * c.ksize];
        for (int x = 0; x < xmax; ++x) {
            double w = ww != 0.0 ? k[x] / ww : k[x];
            // round half away from zero into fixed point
            out[x] = static_cast<std::int32_t>(w < 0 ? -0.5 + w * (1 << kPrecisionBits)
                                                     : 0.5 + w * (1 << kPrecisionBits));
        }
        c.first[xx] = xmin;
        c.count[xx] = xmax;
    }
    return c;
}

inline std::uint8_t clip8(std::int32_t v) {
    v >>= kPrecisionBits;  // arithmetic shift: floor of the fixed-point value
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// True when every byte of the row is 0. Filtering keeps such rows 0 (the weights add
// up to one), and difference images are mostly made of them.
bool zero_row(const std::uint8_t* p, size_t n) {
    std::uint8_t any = 0;
    for (size_t i = 0; i < n; ++i) any |= p[i];
    return any == 0;
}

// Rows [row0, row0 + dst.rows) of src filtered along x into dst.
template <int C>
void horizontal_pass(const cv::Mat& src, int row0, cv::Mat& dst, const Coeffs& c) {
    const int out_w = dst.cols;
    const size_t in_len = static_cast<size_t>(src.cols) * C;
    for (int y = 0; y < dst.rows; ++y) {
        const std::uint8_t* in = src.ptr<std::uint8_t>(row0 + y);
        std::uint8_t* out = dst.ptr<std::uint8_t>(y);
        if (zero_row(in, in_len)) {
            std::fill_n(out, static_cast<size_t>(out_w) * C, std::uint8_t{0});
            continue;
        }
        for (int xx = 0; xx < out_w; ++xx) {
            const std::int32_t* k = &c.weights[static_cast<size_t>(xx) * c.ksize];
            const std::uint8_t* p = in + static_cast<size_t>(c.first[xx]) * C;
            const int n = c.count[xx];
            std::int32_t acc[C];
            for (int ch = 0; ch < C; ++ch) acc[ch] = 1 << (kPrecisionBits - 1);
            for (int x = 0; x < n; ++x) {
                for (int ch = 0; ch < C; ++ch) acc[ch] += p[x * C + ch] * k[x];
            }
            for (int ch = 0; ch < C; ++ch) out[xx * C + ch] = clip8(acc[ch]);
        }
    }
}

// src filtered along y into dst; `offset` is subtracted from every first row index
// (src may start below row 0 of the original image).
void vertical_pass(const cv::Mat& src, int offset, cv::Mat& dst, const Coeffs& c) {
    const size_t row_len = static_cast<size_t>(dst.cols) * dst.channels();
    std::vector<std::uint8_t> zero(static_cast<size_t>(src.rows));
    for (int y = 0; y < src.rows; ++y) zero[static_cast<size_t>(y)] = zero_row(src.ptr<std::uint8_t>(y), row_len);
    std::vector<std::int32_t> acc(row_len);
    for (int yy = 0; yy < dst.rows; ++yy) {
        const std::int32_t* k = &c.weights[static_cast<size_t>(yy) * c.ksize];
        const int first = c.first[yy] - offset;
        bool all_zero = true;
        for (int y = 0; y < c.count[yy] && all_zero; ++y) all_zero = zero[static_cast<size_t>(first + y)] != 0;
        if (all_zero) {
            std::fill_n(dst.ptr<std::uint8_t>(yy), row_len, std::uint8_t{0});
            continue;
        }
        std::fill(acc.begin(), acc.end(), 1 << (kPrecisionBits - 1));
        for (int y = 0; y < c.count[yy]; ++y) {
            const std::uint8_t* in = src.ptr<std::uint8_t>(first + y);
            const std::int32_t w = k[y];
            for (size_t i = 0; i < row_len; ++i) acc[i] += in[i] * w;
        }
        std::uint8_t* out = dst.ptr<std::uint8_t>(yy);
        for (size_t i = 0; i < row_len; ++i) out[i] = clip8(acc[i]);
    }
}

}  // namespace

cv::Mat resize(const cv::Mat& src, int width, int height, Filter filter) {
    if (src.depth() != CV_8U || src.channels() < 1 || src.channels() > 4) {
        throw ValueError("resample: expected an 8-bit image with 1 to 4 channels");
    }
    if (width < 1 || height < 1) throw ValueError("height and width must be > 0");
    if (src.empty()) throw ValueError("resample: empty source image");
    if (width == src.cols && height == src.rows) return src.clone();

    const bool need_horizontal = width != src.cols;
    const bool need_vertical = height != src.rows;
    const int type = src.type();

    Coeffs vert = precompute(src.rows, height, filter);
    // Only the source rows that the vertical pass reads go through the horizontal one.
    const int row_first = vert.first.front();
    const int row_last = vert.first.back() + vert.count.back();

    cv::Mat cur = src;
    int offset = 0;
    if (need_horizontal) {
        Coeffs horiz = precompute(src.cols, width, filter);
        cv::Mat tmp(row_last - row_first, width, type);
        switch (src.channels()) {
            case 1: horizontal_pass<1>(src, row_first, tmp, horiz); break;
            case 2: horizontal_pass<2>(src, row_first, tmp, horiz); break;
            case 3: horizontal_pass<3>(src, row_first, tmp, horiz); break;
            default: horizontal_pass<4>(src, row_first, tmp, horiz); break;
        }
        cur = tmp;
        offset = row_first;
    }
    if (!need_vertical) return cur;
    cv::Mat out(height, width, type);
    vertical_pass(cur, offset, out, vert);
    return out;
}

}  // namespace droidlens::resample
