// The pixel container of the imaging code: 8-bit values, channels interleaved
// (1: grey, 3: RGB in that order, 4: RGBA), rows top to bottom without padding.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace droidlens::image {

// Memory for pixels and other large scratch buffers, not cleared. Buffers of a
// quarter megabyte and more are mapped with transparent huge pages where the system offers
// them: a screenshot's buffers are otherwise faulted in 4 KiB at a time, which on a
// virtual machine costs more than decoding them.
struct BufferRelease {
    void* base = nullptr;  // the mapping, when the buffer is one
    std::size_t length = 0;
    void operator()(std::uint8_t* p) const;
};
using Buffer = std::unique_ptr<std::uint8_t[], BufferRelease>;
Buffer allocate(std::size_t bytes);

class Raster {
public:
    Raster() = default;

    // The values are left uninitialised: every producer (decoders, resampler)
    // writes all of them, and clearing 300 MB for a large image is not free.
    Raster(int width, int height, int channels)
        : width_(width), height_(height), channels_(channels), data_(allocate(bytes_for(width, height, channels))) {}

    // Takes over `pixels`, which holds at least width * height * channels values (a
    // decoder's working buffer, reused for the result).
    Raster(int width, int height, int channels, Buffer pixels)
        : width_(width), height_(height), channels_(channels), data_(std::move(pixels)) {}

    Raster(int width, int height, int channels, std::uint8_t fill) : Raster(width, height, channels) {
        std::memset(data_.get(), fill, size_bytes());
    }

    // Copies are deep, as for any value.
    Raster(const Raster& other) : Raster(other.width_, other.height_, other.channels_) {
        if (other.data_) std::memcpy(data_.get(), other.data_.get(), size_bytes());
    }
    Raster& operator=(const Raster& other) {
        if (this != &other) *this = Raster(other);
        return *this;
    }
    Raster(Raster&& other) noexcept { swap(other); }
    Raster& operator=(Raster&& other) noexcept {
        swap(other);
        return *this;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    bool empty() const { return size_bytes() == 0; }
    std::size_t row_bytes() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(channels_); }
    std::size_t size_bytes() const { return row_bytes() * static_cast<std::size_t>(height_); }

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::uint8_t* row(int y) { return data_.get() + static_cast<std::size_t>(y) * row_bytes(); }
    const std::uint8_t* row(int y) const { return data_.get() + static_cast<std::size_t>(y) * row_bytes(); }
    std::uint8_t* pixel(int x, int y) { return row(y) + static_cast<std::size_t>(x) * static_cast<std::size_t>(channels_); }
    const std::uint8_t* pixel(int x, int y) const {
        return row(y) + static_cast<std::size_t>(x) * static_cast<std::size_t>(channels_);
    }

    // Same size, same channel count, same values.
    friend bool operator==(const Raster& a, const Raster& b) {
        return a.width_ == b.width_ && a.height_ == b.height_ && a.channels_ == b.channels_ &&
               (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
    }

private:
    static std::size_t bytes_for(int width, int height, int channels) {
        return static_cast<std::size_t>(std::max(width, 0)) * static_cast<std::size_t>(std::max(height, 0)) *
               static_cast<std::size_t>(std::max(channels, 0));
    }
    void swap(Raster& other) noexcept {
        std::swap(width_, other.width_);
        std::swap(height_, other.height_);
        std::swap(channels_, other.channels_);
        std::swap(data_, other.data_);
    }

    int width_ = 0, height_ = 0, channels_ = 0;
    Buffer data_;
};

}  // namespace droidlens::image

#include <droidlens/errors.hpp>

#include <string>

namespace droidlens::image {

// The most pixels an image may declare: far above any screen (a 4K display has 8.3
// million), and it bounds what one decode may allocate (3 bytes a pixel for the
// result, up to 8 more for a 16-bit RGBA file's rows) whatever a header claims.
constexpr std::uint64_t kMaxPixels = 100'000'000;

// Image data that ends before the image does; the decoders throw it so that the
// loader can say "truncated" rather than "damaged".
class TruncatedError : public ImageError {
public:
    using ImageError::ImageError;
};

// Throws ImageError "image too large: W x H pixels (the limit is 100000000 pixels)"
// for a declared size over kMaxPixels.
inline void check_pixel_limit(std::uint64_t width, std::uint64_t height) {
    if (width * height > kMaxPixels) {  // each side is below 2^32: no overflow
        throw ImageError("image too large: " + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels (the limit is " + std::to_string(kMaxPixels) + " pixels)");
    }
}

}  // namespace droidlens::image
