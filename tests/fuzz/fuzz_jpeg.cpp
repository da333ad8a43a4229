// JPEG bytes (screenshot files of any origin): decoded, handed on, or refused with
// ImageError; never a crash or an unbounded allocation.
#include <droidlens/errors.hpp>

#include "utils/jpeg.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        auto img = droidlens::jpeg::decode(std::string_view(reinterpret_cast<const char*>(data), size));
        (void)img;
    } catch (const droidlens::ImageError&) {
    }
    return 0;
}
