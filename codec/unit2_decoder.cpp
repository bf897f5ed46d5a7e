// Expanding a compressed file: its code table, the rebuilt code tree and
// the walk through the data bits.
//
// Every length, index and bit taken from the file is checked before it is
// used: a damaged or foreign file ends with EError, never with a read or
// write outside the workspace or an endless loop.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <vector>

#include "codec/unit2.h"
#include "codec/unit2_parallel.h"

namespace unit2 {

namespace {

[[noreturn]] void Damaged(const std::string& reason) {
    throw EError("The file is not a valid compressed file: " + reason);
}

// Codes of up to this many bits are decoded with one table look-up; longer
// ones walk the tree from DecodeRoot.
constexpr int kLookupBits = 11;

// Indexed by the next kLookupBits data bits: (byte value << 8) | code
// length, or 0 when no code of at most kLookupBits bits starts there.
uint16_t DecodeLookup[1 << kLookupBits];

// Which nodes of NodePool the rebuilt tree ends a code at.
bool IsLeaf[kNodeCount];

void FillDecodeLookup() {
    std::memset(DecodeLookup, 0, sizeof DecodeLookup);
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        // The same codes and bits as the tree that RebuildTree made.
        if (entry.BitCount <= 0 || entry.BitCount > kLookupBits) continue;
        unsigned prefix = 0;
        for (int i = 0; i < entry.BitCount; ++i) prefix = (prefix << 1) | (entry.Bits[i] != 0);
        const int freeBits = kLookupBits - entry.BitCount;
        const auto value = static_cast<uint16_t>((entry.Symbol << 8) | entry.BitCount);
        for (unsigned rest = 0; rest < (1u << freeBits); ++rest)
            DecodeLookup[(prefix << freeBits) | rest] = value;
    }
}

// Each entry of PairLookup, indexed by the next kLookupBits data bits: the
// byte values of one or two whole codes in the low 16 bits, as two bytes
// in memory order; the bits that they take (0 when no code of at most
// kLookupBits bits starts there); the length of the first code; and the
// number of codes.
uint32_t PairLookup[1 << kLookupBits];

constexpr uint32_t PairTaken(uint32_t e) { return (e >> 16) & 63; }
constexpr uint32_t PairFirstLength(uint32_t e) { return (e >> 24) & 15; }
constexpr uint32_t PairCount(uint32_t e) { return e >> 28; }

uint32_t PairFirstSymbol(uint32_t e) {
    uint8_t bytes[2];
    const auto symbols = static_cast<uint16_t>(e);
    std::memcpy(bytes, &symbols, 2);
    return bytes[0];
}

void FillPairLookup() {
    constexpr unsigned mask = (1u << kLookupBits) - 1;
    for (unsigned index = 0; index <= mask; ++index) {
        const unsigned first = DecodeLookup[index];
        const unsigned l1 = first & 0xFF;
        if (l1 == 0) {
            PairLookup[index] = 0;
            continue;
        }
        uint8_t symbols[2] = {static_cast<uint8_t>(first >> 8), 0};
        unsigned taken = l1, count = 1;
        const unsigned second = DecodeLookup[(index << l1) & mask];
        const unsigned l2 = second & 0xFF;
        if (l2 != 0 && l1 + l2 <= static_cast<unsigned>(kLookupBits)) {
            symbols[1] = static_cast<uint8_t>(second >> 8);
            taken += l2;
            count = 2;
        }
        uint16_t inMemoryOrder;
        std::memcpy(&inMemoryOrder, symbols, 2);
        PairLookup[index] = inMemoryOrder | taken << 16 | l1 << 24 | count << 28;
    }
}

// The data section in memory, followed by zero bytes so that a word may be
// loaded at any bit position; the bits of the last byte past LastByteBits
// are cleared. ValidBits counts the data bits.
// The data section: DataSize bytes at Data, of which ValidBits bits count.
// A plain memory stream's own bytes are decoded where they lie; any other
// stream is read into DataBuffer. Whole words are loaded only where at
// least 8 bytes follow; near the end PeekWordNearEnd takes what is left.
// Bits past ValidBits may be anything: no code is taken that needs them.
TLargeBuffer DataBuffer;
const uint8_t* Data = nullptr;
size_t DataSize = 0;
uint64_t ValidBits = 0;

void ReadData() {
    if (typeid(*InputStream) == typeid(TMemoryStream)) {
        auto& memory = static_cast<TMemoryStream&>(*InputStream);
        const int64_t position = memory.Position();
        const int64_t size = std::max<int64_t>(0, memory.Size() - position);
        memory.Seek(size, TSeekOrigin::soCurrent);
        Data = memory.Data().data() + (size > 0 ? position : 0);
        DataSize = static_cast<size_t>(size);
    } else {
        // The stream's size is only a hint: the reads decide.
        const int64_t hint = std::max<int64_t>(0, InputStream->Size() - InputStream->Position());
        size_t size = 0;
        for (;;) {
            const size_t wanted = std::max(size, static_cast<size_t>(hint)) + 4096;
            if (DataBuffer.Size() < wanted) DataBuffer.Reserve(std::max(wanted, size + size / 2), size);
            const int64_t n = InputStream->Read(DataBuffer.Data() + size,
                                                static_cast<int64_t>(DataBuffer.Size() - size));
            if (n <= 0) break;
            size += static_cast<size_t>(n);
        }
        Data = DataBuffer.Data();
        DataSize = size;
    }
    ValidBits = DataSize == 0 ? 0 : (DataSize - 1) * 8 + LastByteBits;
}

// At least 57 data bits from bit position `position` on, the first highest;
// at least 8 bytes must follow position / 8.
inline uint64_t PeekWord(uint64_t position) {
    uint64_t word;
    std::memcpy(&word, Data + (position >> 3), sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word << (position & 7);
}

// PeekWord with its lowest bit, which no look-up reaches, replaced by a
// marker bit placed below the data bits: the marker ends at bit
// (position & 7) + the bits taken since.
inline uint64_t MarkedWord(uint64_t position) {
    uint64_t word;
    std::memcpy(&word, Data + (position >> 3), sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return (word | 1) << (position & 7);
}

// PeekWord anywhere: bytes past the end of the data count as zero.
uint64_t PeekWordNearEnd(uint64_t position) {
    uint8_t bytes[8] = {};
    const size_t first = static_cast<size_t>(position >> 3);
    if (first < DataSize) std::memcpy(bytes, Data + first, std::min<size_t>(8, DataSize - first));
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word << (position & 7);
}

inline unsigned BitAt(uint64_t position) { return (Data[position >> 3] >> (7 - (position & 7))) & 1u; }

// Writes the decoded bytes through WriteBuffer so that the output file
// always holds the whole blocks of kBlockSize bytes decoded so far, as a
// decoder that writes each block once it is full would leave it.
class TOutput {
public:
    void Put(uint8_t byte) {
        WriteBuffer[FFill++] = byte;
        if (FFill == kBlockSize) Flush();
    }
    void Append(const uint8_t* bytes, size_t count) {
        if (FFill > 0) {
            const size_t taken = std::min(count, static_cast<size_t>(kBlockSize - FFill));
            std::memcpy(WriteBuffer + FFill, bytes, taken);
            FFill += static_cast<int>(taken);
            bytes += taken;
            count -= taken;
            if (FFill < kBlockSize) return;
            Flush();
        }
        const size_t whole = count / kBlockSize * kBlockSize;
        if (whole > 0) OutputStream->Write(bytes, static_cast<int64_t>(whole));
        std::memcpy(WriteBuffer, bytes + whole, count - whole);
        FFill = static_cast<int>(count - whole);
    }
    void Finish() {
        if (FFill > 0) OutputStream->Write(WriteBuffer, FFill);
        FFill = 0;
    }
    // Room to write bytes in place: Free() bytes at Room(), then Advance.
    uint8_t* Room() { return WriteBuffer + FFill; }
    int Free() const { return kBlockSize - FFill; }
    void Advance(int count) {
        FFill += count;
        if (FFill == kBlockSize) Flush();
    }

private:
    void Flush() {
        OutputStream->Write(WriteBuffer, kBlockSize);
        FFill = 0;
    }
    int FFill = 0;
};

[[noreturn]] void TooShort() {
    Damaged(std::string("it is shorter than ").append(std::to_string(kHeaderSize)).append(" bytes"));
}
[[noreturn]] void RanOut() { Damaged("its data ends in the middle of a code"); }

// Decodes one byte value bit by bit along the tree.
uint8_t WalkTree(uint64_t& position) {
    const TreeNode* node = DecodeRoot;
    while (node->Left) {
        if (position >= ValidBits) RanOut();
        node = BitAt(position++) ? node->Right : node->Left;
        if (!node) Damaged("its data holds a bit sequence that is no code");
    }
    return node->Symbol;
}

// The plain decoder: one code after the other from `position`, a code
// boundary, to the end of the data, with every check. Far from the end of
// the data, where every code of at most kLookupBits bits lies whole within
// it, up to five look-ups go at a time.
void DecodeRest(uint64_t position, TOutput& output) {
    constexpr uint64_t kFar = 5 * kLookupBits + 64;
    for (;;) {
        if (ValidBits - position > kFar && output.Free() >= 12) {
            uint64_t word = MarkedWord(position);
            if (PairLookup[word >> (64 - kLookupBits)] == 0) {
                // A long code may end the data.
                output.Put(WalkTree(position));
                if (position == ValidBits) break;
                continue;
            }
            uint8_t* out = output.Room();
            uint8_t* const begin = out;
            for (int step = 0; step < 5; ++step) {
                const uint32_t entry = PairLookup[word >> (64 - kLookupBits)];
                std::memcpy(out, &entry, 2);
                out += PairCount(entry);
                word <<= PairTaken(entry);
            }
            position = (position & ~uint64_t{7}) + static_cast<uint64_t>(std::countr_zero(word));
            output.Advance(static_cast<int>(out - begin));
            continue;
        }
        const unsigned entry = DecodeLookup[PeekWordNearEnd(position) >> (64 - kLookupBits)];
        const unsigned length = entry & 0xFF;
        if (length != 0 && length <= ValidBits - position) {
            output.Put(static_cast<uint8_t>(entry >> 8));
            position += length;
        } else {
            output.Put(WalkTree(position));
        }
        if (position == ValidBits) break;
    }
}

// ---------------------------------------------------------------------------
// Decoding parts of the data side by side
//
// The data bits are cut at guessed positions into lanes. The first lane
// starts at a code boundary; every other lane starts at its guess, which
// may lie inside a code, and notes where each of its first codes began.
// Each lane decodes up to the first code boundary at or after the start of
// the next. Then, lane by lane, the true decoding of lane k runs on from
// its end until it reaches a position where lane k + 1 began a code: from
// there both decodings take the same path, so lane k + 1's output from that
// code on is true. When they do not meet within the noted codes, or a lane
// finds anything out of the ordinary, the plain decoder does the work.

constexpr size_t kMarks = 1024;        // codes whose start each later lane notes
constexpr uint64_t kTailBits = 4096;   // the plain decoder always ends the data

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

std::vector<TLane> Lanes;

// Decodes one code at `position`, far from the end of the data, without
// raising: false when the bits are no code or run past the data.
bool DecodeOne(uint64_t& position, uint8_t& symbol) {
    const uint32_t entry = PairLookup[PeekWord(position) >> (64 - kLookupBits)];
    if (entry != 0) {
        symbol = static_cast<uint8_t>(PairFirstSymbol(entry));
        position += PairFirstLength(entry);
        return position <= ValidBits;
    }
    const TreeNode* node = DecodeRoot;
    while (node->Left) {
        if (position >= ValidBits) return false;
        node = BitAt(position++) ? node->Right : node->Left;
        if (!node) return false;
    }
    symbol = node->Symbol;
    return true;
}

// Slack in bits and bytes that one round of the interleaved loop may use:
// five look-ups, or one long code and five look-ups.
constexpr uint64_t kStepBits = 5 * kLookupBits + 256;
constexpr size_t kStepBytes = 16;

// Decodes M lanes side by side, five look-ups per lane and round.
template <int M>
[[gnu::always_inline]] inline void DecodeLanes(TLane* lanes) {
    uint64_t position[M];
    uint8_t* out[M];
    for (int m = 0; m < M; ++m) {
        TLane& lane = lanes[m];
        position[m] = lane.Start;
        lane.Count = 0;
        // A lane after the first notes where its first codes begin.
        lane.Marks.clear();
        if (lane.NotesMarks) {
            lane.Reserve(kMarks);
            while (lane.Marks.size() < kMarks && position[m] < lane.Stop) {
                lane.Marks.push_back(position[m]);
                if (!DecodeOne(position[m], lane.Out[lane.Count++])) {
                    lane.Failed = true;
                    return;
                }
            }
        }
    }
    for (;;) {
        uint64_t rounds = ~uint64_t{0};
        for (int m = 0; m < M; ++m) {
            TLane& lane = lanes[m];
            out[m] = nullptr;
            const uint64_t left = lane.Stop > position[m] ? lane.Stop - position[m] : 0;
            rounds = std::min(rounds, left / kStepBits);
            if (lane.Capacity - lane.Count < 64 * kStepBytes) lane.Reserve(lane.Capacity);
            rounds = std::min<uint64_t>(rounds, (lane.Capacity - lane.Count) / kStepBytes - 1);
        }
        if (rounds < 2) break;
        for (int m = 0; m < M; ++m) out[m] = lanes[m].Out + lanes[m].Count;
        for (uint64_t round = 0; round < rounds; ++round) {
            // Each lane's word holds its next 56 or more bits from the top
            // and one marker bit just below them; the marker's place at the
            // end of the round tells how many bits the round took.
            uint64_t word[M];
            for (int m = 0; m < M; ++m) {
                word[m] = MarkedWord(position[m]);
                if (PairLookup[word[m] >> (64 - kLookupBits)] == 0) {
                    if (!DecodeOne(position[m], *out[m])) {
                        lanes[m].Failed = true;
                        return;
                    }
                    ++out[m];
                    word[m] = MarkedWord(position[m]);
                }
            }
            // Five look-ups take at most 55 bits: the fifth still finds
            // kLookupBits data bits above the marker.
            for (int step = 0; step < 5; ++step) {
                for (int m = 0; m < M; ++m) {
                    const uint32_t entry = PairLookup[word[m] >> (64 - kLookupBits)];
                    std::memcpy(out[m], &entry, 2);
                    out[m] += PairCount(entry);
                    word[m] <<= PairTaken(entry);
                }
            }
            for (int m = 0; m < M; ++m)
                position[m] = (position[m] & ~uint64_t{7}) +
                              static_cast<uint64_t>(std::countr_zero(word[m]));
        }
        for (int m = 0; m < M; ++m) lanes[m].Count = static_cast<size_t>(out[m] - lanes[m].Out);
    }
    // Each lane on its own, code by code, to its first boundary at or
    // after its stop.
    for (int m = 0; m < M; ++m) {
        TLane& lane = lanes[m];
        while (position[m] < lane.Stop) {
            lane.Reserve(1);
            if (!DecodeOne(position[m], lane.Out[lane.Count++])) {
                lane.Failed = true;
                return;
            }
        }
        lane.End = position[m];
    }
}

[[gnu::always_inline]] inline void DecodeLaneGroupInline(TLane* lanes, int count) {
    for (; count >= 4; lanes += 4, count -= 4) DecodeLanes<4>(lanes);
    if (count == 3) DecodeLanes<3>(lanes);
    if (count == 2) DecodeLanes<2>(lanes);
    if (count == 1) DecodeLanes<1>(lanes);
}

void DecodeLaneGroupAnywhere(TLane* lanes, int count) { DecodeLaneGroupInline(lanes, count); }

VG_FAST_SHIFTS void DecodeLaneGroupFastShifts(TLane* lanes, int count) {
    DecodeLaneGroupInline(lanes, count);
}

void DecodeLaneGroup(TLane* lanes, int count) {
    if (HasFastShifts())
        DecodeLaneGroupFastShifts(lanes, count);
    else
        DecodeLaneGroupAnywhere(lanes, count);
}

// Runs lane `k - 1`'s true decoding on from its end until it meets a code
// start that lane k noted; false when it does not within them.
bool Join(TLane& before, TLane& lane) {
    uint64_t position = before.End;
    size_t j = static_cast<size_t>(
        std::lower_bound(lane.Marks.begin(), lane.Marks.end(), position) - lane.Marks.begin());
    for (;;) {
        if (j >= lane.Marks.size()) return false;
        if (lane.Marks[j] == position) break;
        if (lane.Marks[j] < position) {
            ++j;
            continue;
        }
        before.Reserve(1);
        if (!DecodeOne(position, before.Out[before.Count++])) return false;
    }
    before.End = position;
    lane.Skip = j;
    return true;
}

// Decodes the data bits from `position`, a code boundary, in rounds of
// lanes, and moves `position` past each round decoded. Stops before the
// last kTailBits, and at the first round the lanes cannot decode.
void DecodeSideBySide(uint64_t& position, TOutput& output) {
    const TCodecTuning& tuning = CodecTuning();
    const int lanesPerThread = std::clamp(tuning.Lanes, 1, 4);
    const uint64_t minimum = static_cast<uint64_t>(std::max<int64_t>(tuning.MinLaneBits, 64));
    while (ValidBits - position > kTailBits) {
        const uint64_t round = static_cast<uint64_t>(std::max<int64_t>(tuning.RoundBits, 64));
        const uint64_t bits = std::min(ValidBits - position - kTailBits, round);
        const uint64_t perThreadBits = minimum * static_cast<uint64_t>(lanesPerThread);
        int threads = static_cast<int>(std::min<uint64_t>(CodecThreads(), bits / perThreadBits));
        int perThread = lanesPerThread;
        if (threads < 1) {
            threads = 1;
            perThread = static_cast<int>(std::min<uint64_t>(lanesPerThread, bits / minimum));
        }
        const int count = threads * perThread;
        if (count < 2) break;
        if (Lanes.size() < static_cast<size_t>(count)) Lanes.resize(static_cast<size_t>(count));
        for (int k = 0; k < count; ++k) {
            TLane& lane = Lanes[k];
            const uint64_t guess = position + bits * static_cast<uint64_t>(k) / count;
            lane.Start = k == 0 ? position : guess & ~uint64_t{7};
            lane.Failed = false;
            lane.Skip = 0;
            lane.NotesMarks = k > 0;
        }
        for (int k = 0; k < count; ++k) {
            TLane& lane = Lanes[k];
            lane.Stop = k + 1 < count ? Lanes[k + 1].Start : position + bits;
            lane.Count = 0;
            // Room for codes of 6 bits on average; a lane grows when it needs more.
            lane.Reserve(static_cast<size_t>((lane.Stop - lane.Start) / 6) + 65536);
        }
        RunParts(threads, [&](int t) { DecodeLaneGroup(&Lanes[t * perThread], perThread); });
        for (int k = 0; k < count; ++k)
            if (Lanes[k].Failed) return;
        for (int k = 1; k < count; ++k)
            if (!Join(Lanes[k - 1], Lanes[k])) return;
        for (int k = 0; k < count; ++k)
            output.Append(Lanes[k].Out + Lanes[k].Skip, Lanes[k].Count - Lanes[k].Skip);
        position = Lanes[count - 1].End;
    }
}

}  // namespace

void ReadCodeTable() {
    InputStream->Seek(0, TSeekOrigin::soBeginning);
    if (InputStream->Read(&LastByteBits, 1) != 1) TooShort();
    if (LastByteBits > 7) Damaged("its count of bits in the last byte is above 7");
    if (LastByteBits == 0) LastByteBits = 8;

    const int64_t available = InputStream->Read(TableBuffer, kTableBufferSize);
    if (available < 4) TooShort();
    TableLength = static_cast<int32_t>(
        static_cast<uint32_t>(TableBuffer[0]) | static_cast<uint32_t>(TableBuffer[1]) << 8 |
        static_cast<uint32_t>(TableBuffer[2]) << 16 | static_cast<uint32_t>(TableBuffer[3]) << 24);
    if (TableLength < 0 || TableLength > kMaxTableLength)
        Damaged("its code table length " + std::to_string(TableLength) + " is out of range");
    if (TableLength > available - 4) Damaged("its code table runs past the end of the file");

    const int end = TableLength + 4;
    int p = 4;
    while (p < end) {
        if (p + 2 > end) Damaged("its code table ends inside a record");
        const uint8_t v = TableBuffer[p];
        const int n = TableBuffer[p + 1];
        p += 2;
        if (n == 0) Damaged("its code table gives byte value " + std::to_string(v) + " no bits");
        if (p + (n + 7) / 8 > end) Damaged("its code table ends inside a code");
        CodeEntry& entry = CodeTable[v];
        entry.Present = 1;
        entry.Symbol = v;
        entry.BitCount = n;
        for (int k = 0; k < n; k += 8) {
            const uint8_t byte = TableBuffer[p++];
            const int c = n - k < 8 ? n - k : 8;
            for (int t = 1; t <= c; ++t) entry.Bits[k + t - 1] = (byte >> (8 - t)) & 1;
        }
    }
}

void RebuildTree() {
    std::memset(NodePool, 0, sizeof NodePool);
    std::memset(IsLeaf, 0, sizeof IsLeaf);
    int nextFree = 0;
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        const int count = entry.BitCount < static_cast<int>(sizeof entry.Bits)
                              ? entry.BitCount
                              : static_cast<int>(sizeof entry.Bits);
        if (count <= 0) continue;
        TreeNode* node = DecodeRoot;
        for (int i = 0; i < count; ++i) {
            if (IsLeaf[node - NodePool]) Damaged("its codes are not a prefix code");
            const uint8_t bit = entry.Bits[i] == 0 ? 0 : 1;
            TreeNode*& child = bit == 0 ? node->Left : node->Right;
            if (!child) {
                if (nextFree >= kDecodeRootIndex) Damaged("its code tree needs too many nodes");
                child = &NodePool[nextFree++];
                child->Bit = bit;
            }
            node = child;
        }
        if (IsLeaf[node - NodePool] || node->Left || node->Right)
            Damaged("its codes are not a prefix code");
        IsLeaf[node - NodePool] = true;
        node->Symbol = entry.Symbol;
    }
    // A node with only a 1-branch would be taken for a leaf by the walk.
    for (int i = 0; i < kNodeCount; ++i) {
        if (NodePool[i].Right && !NodePool[i].Left)
            Damaged("its code tree has a 1-branch without a 0-branch");
    }
    FillDecodeLookup();
    FillPairLookup();
}

void DecodeData() {
    InputStream->Seek(kHeaderSize + static_cast<int64_t>(TableLength), TSeekOrigin::soBeginning);
    OutputStream->Seek(0, TSeekOrigin::soBeginning);
    ReadData();
    const bool hasCodes = DecodeRoot->Left != nullptr;
    if (ValidBits == 0) {
        if (hasCodes) Damaged("it has a code table but no data");
        return;  // an empty input: nothing to write
    }
    if (!hasCodes) Damaged("it has data but no code table");

    TOutput output;
    uint64_t position = 0;
    DecodeSideBySide(position, output);
    // The plain decoder ends the data, and decodes again any round the
    // lanes could not: it finds the fault, if any, and reports it.
    DecodeRest(position, output);
    output.Finish();
}

}  // namespace unit2
