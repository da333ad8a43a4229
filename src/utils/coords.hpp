// Conversion from the model's 0-1000 relative space to pixels, shared by the
// drawing code and the action executor so both land on the same pixel.
#pragma once

#include <droidlens/errors.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace droidlens::coords {

// (value / 1000) * size, truncated toward zero and clamped into [0, size - 1]. The
// division comes first and everything stays in double until the end, so a huge value
// cannot overflow the integer. Throws ConversionError for NaN and infinite values
// ("cannot convert float NaN to integer", "cannot convert float infinity to integer"),
// like every other float-to-integer conversion of the system.
inline std::int64_t relative_to_pixel(double value, std::int64_t size) {
    if (std::isnan(value)) throw ConversionError("cannot convert float NaN to integer");
    if (std::isinf(value)) throw ConversionError("cannot convert float infinity to integer");
    double v = std::trunc((value / 1000) * static_cast<double>(size));
    v = std::min(v, static_cast<double>(size) - 1);
    v = std::max(0.0, v);
    return static_cast<std::int64_t>(v);
}

}  // namespace droidlens::coords
