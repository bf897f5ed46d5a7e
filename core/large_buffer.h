// Big blocks of bytes (pixel stores, file contents, encoded data) and where
// their memory comes from.
#pragma once

#include <cstddef>
#include <cstdint>

// A block of bytes that starts zero-filled. From kLargeBufferThreshold bytes
// on it is mapped from the system directly and goes back to it when freed,
// so that it leaves no holes in any thread's heap; its fresh pages are
// taken only where bytes are written, and reading untouched ones costs no
// memory. Small pages only: a large page is cleared whole on its first use,
// and asking for one can make the system compact memory first, both in the
// time of the caller.
class TLargeBuffer {
public:
    static constexpr size_t kLargeBufferThreshold = size_t(1) << 20;

    TLargeBuffer() = default;
    explicit TLargeBuffer(size_t size);  // std::bad_alloc when there is no memory
    TLargeBuffer(const TLargeBuffer&) = delete;
    TLargeBuffer& operator=(const TLargeBuffer&) = delete;
    TLargeBuffer(TLargeBuffer&& other) noexcept { Swap(other); }
    TLargeBuffer& operator=(TLargeBuffer&& other) noexcept {
        TLargeBuffer gone;
        gone.Swap(other);
        Swap(gone);
        return *this;
    }
    ~TLargeBuffer();

    uint8_t* Data() const { return FData; }
    size_t Size() const { return FSize; }
    // Makes room for at least `size` bytes, keeping the first `keep`; the
    // block may move. Bytes beyond `keep` are not promised to be zero.
    void Reserve(size_t size, size_t keep = 0);
    void Swap(TLargeBuffer& other) noexcept;
    // Before bytes `offset` .. `offset + size` are written at once (a read
    // into them, say): their pages are taken in one go rather than one
    // fault each. Nothing changes where the system cannot.
    void Prepare(size_t offset, size_t size) noexcept;

private:
    uint8_t* FData = nullptr;
    size_t FSize = 0;
    bool FMapped = false;
};
