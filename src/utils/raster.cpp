#include "utils/raster.hpp"

#include <new>

#include <sys/mman.h>

namespace droidlens::image {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a buffer comes from the ordinary heap.
constexpr std::size_t kMapFrom = std::size_t{4} << 20;

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
    // One huge page more than needed, so that the buffer can start on a huge-page
    // boundary; the kernel backs the aligned part with huge pages as it is touched.
    const std::size_t length = bytes + kHugePage;
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
