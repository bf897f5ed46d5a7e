// Encoded JPEG bytes handed from an encoder on one thread to a decoder on
// another while they are being made, so that the picture can be decoded
// (small, for showing) side by side with its encoding.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/large_buffer.h"

class TJPEGFeed {
public:
    // The encoder's side. Append copies the bytes; a copy that fails (out of
    // memory) ends the feed as incomplete and the encoder goes on.
    void Append(const uint8_t* bytes, size_t count) noexcept;
    // No more bytes come; `complete` says whether they are the whole encoding.
    void Close(bool complete) noexcept;

    // The decoder's side. Waits until there are bytes from `position` on, or
    // the feed has ended; returns them as one run (no bytes at the end).
    std::pair<const uint8_t*, size_t> Next(size_t position) noexcept;
    // Waits until the feed has ended; true when it holds the whole encoding.
    bool WaitComplete() noexcept;

private:
    // Bytes are kept in blocks that never move, so that the decoder reads
    // what it was handed while the encoder adds more.
    static constexpr size_t kBlockBytes = size_t(1) << 20;
    // The decoder is woken once this many new bytes are there (or at the end).
    static constexpr size_t kWakeBytes = size_t(64) << 10;

    std::mutex FLock;
    std::condition_variable FChanged;
    // Blocks come straight from the system and go back to it with the
    // feed, so that they leave no holes in the heap of the thread that
    // made them.
    std::vector<TLargeBuffer> FBlocks;
    size_t FSize = 0;
    size_t FWanted = 0;  // what a waiting decoder waits for; 0: none waits
    bool FClosed = false;
    bool FComplete = false;
};
