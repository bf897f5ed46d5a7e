#include "imaging/jpeg_feed.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

void TJPEGFeed::TUnmap::operator()(uint8_t* block) const noexcept { ::munmap(block, kBlockBytes); }

void TJPEGFeed::Append(const uint8_t* bytes, size_t count) noexcept {
    bool wake = false;
    {
        std::lock_guard lock(FLock);
        if (FClosed) return;
        try {
            while (count > 0) {
                const size_t offset = FSize % kBlockBytes;
                if (offset == 0 && FSize / kBlockBytes == FBlocks.size()) {
                    FBlocks.reserve(FBlocks.size() + 1);
                    void* block = ::mmap(nullptr, kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                    if (block == MAP_FAILED) throw std::bad_alloc();
                    FBlocks.emplace_back(static_cast<uint8_t*>(block));
                }
                const size_t n = std::min(count, kBlockBytes - offset);
                std::memcpy(FBlocks[FSize / kBlockBytes].get() + offset, bytes, n);
                FSize += n;
                bytes += n;
                count -= n;
            }
        } catch (...) {
            FClosed = true;
        }
        wake = FClosed || (FWanted > 0 && FSize >= FWanted);
    }
    if (wake) FChanged.notify_all();
}

void TJPEGFeed::Close(bool complete) noexcept {
    {
        std::lock_guard lock(FLock);
        if (FClosed) return;
        FClosed = true;
        FComplete = complete;
    }
    FChanged.notify_all();
}

std::pair<const uint8_t*, size_t> TJPEGFeed::Next(size_t position) noexcept {
    std::unique_lock lock(FLock);
    if (FSize <= position && !FClosed) {
        // Woken for a good run of bytes rather than for every few.
        FWanted = position + kWakeBytes;
        FChanged.wait(lock, [&] { return FClosed || FSize >= FWanted; });
        FWanted = 0;
    }
    if (FSize <= position) return {nullptr, 0};
    const size_t offset = position % kBlockBytes;
    const size_t run = std::min(FSize - position, kBlockBytes - offset);
    return {FBlocks[position / kBlockBytes].get() + offset, run};
}

bool TJPEGFeed::WaitComplete() noexcept {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FClosed; });
    return FComplete;
}
