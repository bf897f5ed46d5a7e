#include "imaging/jpeg_feed.h"

#include <algorithm>
#include <cstring>
#include <new>

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
                    FBlocks.emplace_back(kBlockBytes);
                }
                const size_t n = std::min(count, kBlockBytes - offset);
                std::memcpy(FBlocks[FSize / kBlockBytes].Data() + offset, bytes, n);
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
    return {FBlocks[position / kBlockBytes].Data() + offset, run};
}

bool TJPEGFeed::WaitComplete() noexcept {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FClosed; });
    return FComplete;
}
