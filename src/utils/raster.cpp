#include "utils/raster.hpp"

#include <new>

#include <sys/mman.h>

namespace droidlens::image {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a buffer comes from the ordinary heap. Above it, clearing a huge page
// costs less than faulting in the 64 small pages of 256 KiB one by one.
constexpr std::size_t kMapFrom = std::size_t{256} << 10;

}  // namespace

void BufferRelease::operator()(std::uint8_t* p) const {
    if (base != nullptr) {
        ::munmap(base, length);
    } else {
        delete[] p;
    }
}

Buffer allocate(std::size_t bytes) {
    if (bytes < kMapFrom) return Buffer(new std::uint8_t[bytes], BufferRelease{});
    // Whole huge pages, and one more so that the buffer can start on a huge-page
    // boundary; the kernel backs them with huge pages as they are touched.
    const std::size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    auto* start = reinterpret_cast<std::uint8_t*>((address + kHugePage - 1) & ~(kHugePage - 1));
#ifdef MADV_HUGEPAGE
    ::madvise(base, length, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return Buffer(start, BufferRelease{base, length});
}

}  // namespace droidlens::image
