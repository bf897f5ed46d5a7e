// Inside the codec: what one run keeps between its steps, beyond the
// workspace that unit2.h names. A run begins with the first step that
// needs this state and ends with CloseFiles, or when CompressFile or
// DecompressFile returns or fails; its buffers go with it, so that no run
// meets another's state and nothing large stays held between runs.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/unit2.h"
#include "codec/unit2_parallel.h"

namespace unit2 {

// What the frequency count saw of one block: its length and how many parts
// it was split into, whose byte counts begin at PartCounts[FirstPart]. The
// encoder's second pass over the input must see the same bytes again, and
// takes from these counts where in the bit stream each part begins.
struct TCountedBlock {
    int64_t Length;
    int Parts;
    size_t FirstPart;
};

// Codes of up to this many bits are decoded with one table look-up; longer
// ones walk the tree from DecodeRoot.
constexpr int kLookupBits = 11;
constexpr int kLookupEntries = 1 << kLookupBits;

// One part of the data bits, decoded side by side with others (see
// unit2_decoder.cpp).
struct TLane {
    uint64_t Start = 0, Stop = 0, End = 0;
    std::vector<uint64_t> Marks;
    TLargeBuffer Buffer;
    uint8_t* Out = nullptr;
    size_t Capacity = 0, Count = 0, Skip = 0;
    bool NotesMarks = false, Failed = false;

    void Reserve(size_t more) {
        if (Count + more <= Capacity) return;
        Buffer.Reserve(std::max(Capacity * 2, Count + more), Count);
        Out = Buffer.Data();
        Capacity = Buffer.Size();
    }
};

struct TCodecRun {
    // Compressing: what the count saw, and where blocks of the input and
    // of the output are held on their way.
    std::vector<TCountedBlock> CountedBlocks;
    std::vector<std::array<uint32_t, 256>> PartCounts;
    int64_t CountedBytes = 0;
    TLargeBuffer InputBlock;
    TLargeBuffer OutputBlock;
    // Growing a memory output to hold the compressed bytes clears the new
    // bytes first, which takes long for a large file. So while CompressFile
    // counts, one of the counting threads grows a memory output within the
    // memory it already holds, up to the most the file can need, and
    // EncodeData gives back what the file did not need. OutputSizeBefore
    // is the output's size before it grew (-1 while it has not).
    bool GrowOutputWhileCounting = false;
    int64_t OutputSizeBefore = -1;

    // Expanding: the look-up tables of the rebuilt tree (see
    // unit2_decoder.cpp), which of NodePool's nodes end a code, the data
    // section and the lanes.
    uint16_t DecodeLookup[kLookupEntries] = {};
    uint32_t PairLookup[kLookupEntries] = {};
    bool IsLeaf[kNodeCount] = {};
    TLargeBuffer DataBuffer;
    const uint8_t* Data = nullptr;
    size_t DataSize = 0;
    uint64_t ValidBits = 0;
    std::vector<TLane> Lanes;
};

// The run under way; begins one when there is none.
TCodecRun& CurrentRun();
// Ends the run under way, if any, and releases what it holds.
void EndRun();

// Raises EError unless both InputStream and OutputStream are open.
void RequireStreams();

// Ends the run under way when it goes out of scope.
class TRunEnd {
public:
    TRunEnd() = default;
    TRunEnd(const TRunEnd&) = delete;
    TRunEnd& operator=(const TRunEnd&) = delete;
    ~TRunEnd() { EndRun(); }
};

// The bytes a stream holds in memory, or nullptr.
inline std::vector<uint8_t>* MemoryOf(const std::unique_ptr<TStream>& stream) {
    return stream ? stream->MemoryBytes() : nullptr;
}

}  // namespace unit2
