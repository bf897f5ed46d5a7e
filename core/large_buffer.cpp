#include "core/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {
size_t PageSize() {
    static const size_t size = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        return page > 0 ? size_t(page) : size_t(4096);
    }();
    return size;
}
}  // namespace

TLargeBuffer::TLargeBuffer(size_t size) {
    if (size == 0) return;
    if (size < kLargeBufferThreshold) {
        FData = static_cast<uint8_t*>(std::calloc(size, 1));
        if (!FData) throw std::bad_alloc();
        FSize = size;
        return;
    }
    const size_t page = PageSize();
    if (size > SIZE_MAX - page) throw std::bad_alloc();
    const size_t rounded = (size + page - 1) / page * page;
    void* p = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    FData = static_cast<uint8_t*>(p);
    FSize = rounded;
    FMapped = true;
}

TLargeBuffer::~TLargeBuffer() {
    if (FMapped)
        ::munmap(FData, FSize);
    else
        std::free(FData);
}

void TLargeBuffer::Reserve(size_t size, size_t keep) {
    if (size <= FSize) return;
    TLargeBuffer grown(size);
    keep = std::min(keep, FSize);
    if (keep > 0) std::memcpy(grown.FData, FData, keep);
    Swap(grown);
}

void TLargeBuffer::Swap(TLargeBuffer& other) noexcept {
    std::swap(FData, other.FData);
    std::swap(FSize, other.FSize);
    std::swap(FMapped, other.FMapped);
}

void TLargeBuffer::Prepare(size_t offset, size_t size) noexcept {
#if defined(MADV_POPULATE_WRITE)
    if (!FMapped || offset >= FSize || size == 0) return;
    const size_t page = PageSize();
    const size_t first = offset / page * page;
    const size_t end = std::min(FSize, offset + size);
    // Older systems refuse the request: the pages then come as they are used.
    ::madvise(FData + first, end - first, MADV_POPULATE_WRITE);
#else
    (void)offset;
    (void)size;
#endif
}
