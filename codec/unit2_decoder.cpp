// Expanding a compressed file: its code table, the rebuilt code tree and
// the walk through the data bits.
//
// Every length, index and bit taken from the file is checked before it is
// used: a damaged or foreign file ends with EError, never with a read or
// write outside the workspace or an endless loop.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/unit2.h"
#include "codec/unit2_parallel.h"
#include "codec/unit2_run.h"

namespace unit2 {

namespace {

[[noreturn]] void Damaged(const std::string& reason) {
    throw EError("The file is not a valid compressed file: " + reason);
}

// The run's DecodeLookup, indexed by the next kLookupBits data bits:
// (byte value << 8) | code length, or 0 when no code of at most
// kLookupBits bits starts there.
void FillDecodeLookup(uint16_t* DecodeLookup) {
    std::memset(DecodeLookup, 0, sizeof(uint16_t) * kLookupEntries);
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

// Each entry of the run's PairLookup, indexed by the next kLookupBits data
// bits: the byte values of one or two whole codes in the low 16 bits, as
// two bytes in memory order; the bits that they take (0 when no code of at
// most kLookupBits bits starts there); the length of the first code; and
// the number of codes. One look-up stores the two bytes and moves on by
// the number of codes.
constexpr int kMostCodesPerLookup = 2;

constexpr uint32_t PairTaken(uint32_t e) { return (e >> 16) & 63; }
constexpr uint32_t PairFirstLength(uint32_t e) { return (e >> 24) & 15; }
constexpr uint32_t PairCount(uint32_t e) { return e >> 28; }

uint32_t PairFirstSymbol(uint32_t e) {
    uint8_t bytes[2];
    const auto symbols = static_cast<uint16_t>(e);
    std::memcpy(bytes, &symbols, 2);
    return bytes[0];
}

void FillPairLookup(const uint16_t* DecodeLookup, uint32_t* PairLookup) {
    constexpr unsigned mask = kLookupEntries - 1;
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

// The data section: DataSize bytes at Data, of which ValidBits bits count,
// and the look-up tables of the rebuilt tree; copied out of the run, so
// that the hot loops keep them at hand. An input in memory is decoded
// where its bytes lie; any other stream is read into the run's DataBuffer.
// Whole words are loaded only where at least 8 bytes follow; near the end
// PeekWordNearEnd takes what is left. Bits past ValidBits may be anything:
// no code is taken that needs them.
struct TBits {
    const uint8_t* Data;
    size_t DataSize;
    uint64_t ValidBits;
    const uint16_t* DecodeLookup;
    const uint32_t* PairLookup;

    // At least 57 data bits from bit position `position` on, the first
    // highest.
    uint64_t PeekWord(uint64_t position) const {
        assert((position >> 3) + sizeof(uint64_t) <= DataSize);
        uint64_t word;
        std::memcpy(&word, Data + (position >> 3), sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        return word << (position & 7);
    }

    // PeekWord with its lowest bit, which no look-up reaches, replaced by a
    // marker bit placed below the data bits: the marker ends at bit
    // (position & 7) + the bits taken since.
    uint64_t MarkedWord(uint64_t position) const {
        assert((position >> 3) + sizeof(uint64_t) <= DataSize);
        uint64_t word;
        std::memcpy(&word, Data + (position >> 3), sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        return (word | 1) << (position & 7);
    }

    // PeekWord anywhere: bytes past the end of the data count as zero.
    uint64_t PeekWordNearEnd(uint64_t position) const {
        uint8_t bytes[8] = {};
        const size_t first = static_cast<size_t>(position >> 3);
        if (first < DataSize) std::memcpy(bytes, Data + first, std::min<size_t>(8, DataSize - first));
        uint64_t word;
        std::memcpy(&word, bytes, sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        return word << (position & 7);
    }

    unsigned BitAt(uint64_t position) const {
        assert(position < ValidBits);
        return (Data[position >> 3] >> (7 - (position & 7))) & 1u;
    }
};

// Reads the data section from InputStream's position on into the run.
void ReadData(TCodecRun& run) {
    if (std::vector<uint8_t>* const memory = InputStream->MemoryBytes()) {
        const int64_t position = InputStream->Position();
        const int64_t size = std::max<int64_t>(0, static_cast<int64_t>(memory->size()) - position);
        InputStream->Seek(size, TSeekOrigin::soCurrent);
        run.Data = memory->data() + (size > 0 ? position : 0);
        run.DataSize = static_cast<size_t>(size);
    } else {
        // The stream's size is only a hint: the reads decide.
        const int64_t hint = std::max<int64_t>(0, InputStream->Size() - InputStream->Position());
        constexpr size_t kReadAhead = 4096;  // room for a read past the hint
        TLargeBuffer& buffer = run.DataBuffer;
        size_t size = 0;
        for (;;) {
            const size_t wanted = std::max(size, static_cast<size_t>(hint)) + kReadAhead;
            if (buffer.Size() < wanted) buffer.Reserve(std::max(wanted, size + size / 2), size);
            const int64_t n = InputStream->Read(buffer.Data() + size,
                                                static_cast<int64_t>(buffer.Size() - size));
            if (n <= 0) break;
            size += static_cast<size_t>(n);
        }
        run.Data = buffer.Data();
        run.DataSize = size;
    }
    run.ValidBits = run.DataSize == 0 ? 0 : (run.DataSize - 1) * 8 + LastByteBits;
}

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
        assert(count >= 0 && count <= Free());
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
uint8_t WalkTree(const TBits& bits, uint64_t& position) {
    const TreeNode* node = DecodeRoot;
    while (node->Left) {
        if (position >= bits.ValidBits) RanOut();
        node = bits.BitAt(position++) ? node->Right : node->Left;
        if (!node) Damaged("its data holds a bit sequence that is no code");
    }
    return node->Symbol;
}

// Look-ups made one after the other from one word of data bits: five take
// at most 55 bits, so the fifth still finds kLookupBits data bits above
// the marker bit of a MarkedWord.
constexpr int kLookupsPerRound = 5;
static_assert(kLookupsPerRound * kLookupBits <= 64 - 8 - 1);
// The bytes one round may store: each look-up stores two bytes and moves
// on by the codes it found, and the last one's two bytes may lie past
// them.
constexpr int kRoundBytes = kLookupsPerRound * kMostCodesPerLookup + 2;
// A round of look-ups is made only where more than this many data bits
// follow: every code of at most kLookupBits bits then lies whole within
// the data, and whole words may be loaded.
constexpr uint64_t kFarFromTheEnd = kLookupsPerRound * kLookupBits + 64;

// The plain decoder: one code after the other from `position`, a code
// boundary, to the end of the data, with every check. Far from the end of
// the data, kLookupsPerRound look-ups go at a time.
void DecodeRest(const TBits& bits, uint64_t position, TOutput& output) {
    // Kept in a register whatever the stores of decoded bytes may touch.
    const uint32_t* const pairs = bits.PairLookup;
    for (;;) {
        if (bits.ValidBits - position > kFarFromTheEnd && output.Free() >= kRoundBytes) {
            uint64_t word = bits.MarkedWord(position);
            if (pairs[word >> (64 - kLookupBits)] == 0) {
                // A long code may end the data.
                output.Put(WalkTree(bits, position));
                if (position == bits.ValidBits) break;
                continue;
            }
            uint8_t* out = output.Room();
            uint8_t* const begin = out;
            for (int step = 0; step < kLookupsPerRound; ++step) {
                const uint32_t entry = pairs[word >> (64 - kLookupBits)];
                std::memcpy(out, &entry, kMostCodesPerLookup);
                out += PairCount(entry);
                word <<= PairTaken(entry);
            }
            position = (position & ~uint64_t{7}) + static_cast<uint64_t>(std::countr_zero(word));
            output.Advance(static_cast<int>(out - begin));
            continue;
        }
        const unsigned entry = bits.DecodeLookup[bits.PeekWordNearEnd(position) >> (64 - kLookupBits)];
        const unsigned length = entry & 0xFF;
        if (length != 0 && length <= bits.ValidBits - position) {
            output.Put(static_cast<uint8_t>(entry >> 8));
            position += length;
        } else {
            output.Put(WalkTree(bits, position));
        }
        if (position == bits.ValidBits) break;
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
constexpr int kMostLanesPerThread = 4;

// Decodes one code at `position`, far from the end of the data, without
// raising: false when the bits are no code or run past the data.
bool DecodeOne(const TBits& bits, uint64_t& position, uint8_t& symbol) {
    const uint32_t entry = bits.PairLookup[bits.PeekWord(position) >> (64 - kLookupBits)];
    if (entry != 0) {
        symbol = static_cast<uint8_t>(PairFirstSymbol(entry));
        position += PairFirstLength(entry);
        return position <= bits.ValidBits;
    }
    const TreeNode* node = DecodeRoot;
    while (node->Left) {
        if (position >= bits.ValidBits) return false;
        node = bits.BitAt(position++) ? node->Right : node->Left;
        if (!node) return false;
    }
    symbol = node->Symbol;
    return true;
}

// Slack in bits and bytes that one round of the interleaved loop may use:
// one long code (of at most 255 bits) and kLookupsPerRound look-ups.
constexpr uint64_t kStepBits = kLookupsPerRound * kLookupBits + 256;
constexpr size_t kStepBytes = 16;
static_assert(kStepBytes >= 1 + kRoundBytes);
// A lane tops up its room when less than this many rounds' bytes are left.
constexpr size_t kRoomInRounds = 64;

// Starts each lane at its first bit; a lane after the first notes where
// its first codes begin. False when a lane failed.
template <int M>
[[gnu::always_inline]] inline bool StartLanes(const TBits& bits, TLane* lanes, uint64_t* position) {
    for (int m = 0; m < M; ++m) {
        TLane& lane = lanes[m];
        position[m] = lane.Start;
        lane.Count = 0;
        lane.Marks.clear();
        if (!lane.NotesMarks) continue;
        lane.Reserve(kMarks);
        while (lane.Marks.size() < kMarks && position[m] < lane.Stop) {
            lane.Marks.push_back(position[m]);
            if (!DecodeOne(bits, position[m], lane.Out[lane.Count++])) {
                lane.Failed = true;
                return false;
            }
        }
    }
    return true;
}

// The number of rounds all M lanes can make before any reaches its stop or
// fills its room, after topping up the room of those that run short.
template <int M>
[[gnu::always_inline]] inline uint64_t RoundsAhead(TLane* lanes, const uint64_t* position) {
    uint64_t rounds = ~uint64_t{0};
    for (int m = 0; m < M; ++m) {
        TLane& lane = lanes[m];
        const uint64_t left = lane.Stop > position[m] ? lane.Stop - position[m] : 0;
        rounds = std::min(rounds, left / kStepBits);
        if (lane.Capacity - lane.Count < kRoomInRounds * kStepBytes) lane.Reserve(lane.Capacity);
        rounds = std::min<uint64_t>(rounds, (lane.Capacity - lane.Count) / kStepBytes - 1);
    }
    return rounds;
}

// Decodes the M lanes side by side, kLookupsPerRound look-ups per lane and
// round, while every lane has room for two rounds or more before its stop.
// False when a lane failed.
template <int M>
[[gnu::always_inline]] inline bool DecodeRounds(const TBits& bits, TLane* lanes, uint64_t* position) {
    const uint32_t* const pairs = bits.PairLookup;
    uint8_t* out[M];
    for (;;) {
        const uint64_t rounds = RoundsAhead<M>(lanes, position);
        if (rounds < 2) return true;
        for (int m = 0; m < M; ++m) out[m] = lanes[m].Out + lanes[m].Count;
        for (uint64_t round = 0; round < rounds; ++round) {
            // Each lane's word holds its next 56 or more bits from the top
            // and one marker bit just below them; the marker's place at the
            // end of the round tells how many bits the round took.
            uint64_t word[M];
            for (int m = 0; m < M; ++m) {
                word[m] = bits.MarkedWord(position[m]);
                if (pairs[word[m] >> (64 - kLookupBits)] == 0) {
                    if (!DecodeOne(bits, position[m], *out[m])) {
                        lanes[m].Failed = true;
                        return false;
                    }
                    ++out[m];
                    word[m] = bits.MarkedWord(position[m]);
                }
            }
            for (int step = 0; step < kLookupsPerRound; ++step) {
                for (int m = 0; m < M; ++m) {
                    const uint32_t entry = pairs[word[m] >> (64 - kLookupBits)];
                    std::memcpy(out[m], &entry, kMostCodesPerLookup);
                    out[m] += PairCount(entry);
                    word[m] <<= PairTaken(entry);
                }
            }
            for (int m = 0; m < M; ++m) {
                position[m] = (position[m] & ~uint64_t{7}) +
                              static_cast<uint64_t>(std::countr_zero(word[m]));
                assert(position[m] <= lanes[m].Stop);
            }
        }
        for (int m = 0; m < M; ++m) {
            lanes[m].Count = static_cast<size_t>(out[m] - lanes[m].Out);
            assert(lanes[m].Count <= lanes[m].Capacity);
        }
    }
}

// Each lane on its own, code by code, to its first code boundary at or
// after its stop, which becomes its end.
template <int M>
[[gnu::always_inline]] inline void FinishLanes(const TBits& bits, TLane* lanes, uint64_t* position) {
    for (int m = 0; m < M; ++m) {
        TLane& lane = lanes[m];
        while (position[m] < lane.Stop) {
            lane.Reserve(1);
            if (!DecodeOne(bits, position[m], lane.Out[lane.Count++])) {
                lane.Failed = true;
                return;
            }
        }
        lane.End = position[m];
    }
}

// Decodes M lanes side by side, each from its start to its end; a lane
// that fails is marked Failed and ends the group.
template <int M>
[[gnu::always_inline]] inline void DecodeLanes(const TBits& bits, TLane* lanes) {
    uint64_t position[M];
    if (StartLanes<M>(bits, lanes, position) && DecodeRounds<M>(bits, lanes, position))
        FinishLanes<M>(bits, lanes, position);
}

[[gnu::always_inline]] inline void DecodeLaneGroupInline(const TBits& bits, TLane* lanes, int count) {
    static_assert(kMostLanesPerThread == 4);
    for (; count >= 4; lanes += 4, count -= 4) DecodeLanes<4>(bits, lanes);
    if (count == 3) DecodeLanes<3>(bits, lanes);
    if (count == 2) DecodeLanes<2>(bits, lanes);
    if (count == 1) DecodeLanes<1>(bits, lanes);
}

// The tables and data are taken by value, so that the loops keep them in
// registers whatever the lanes' stores may touch.
void DecodeLaneGroupForAnyProcessor(TBits bits, TLane* lanes, int count) {
    DecodeLaneGroupInline(bits, lanes, count);
}

VG_FAST_SHIFTS void DecodeLaneGroupWithFastShifts(TBits bits, TLane* lanes, int count) {
    DecodeLaneGroupInline(bits, lanes, count);
}

// DecodeLaneGroup built for the processor it runs on.
void DecodeLaneGroupHere(const TBits& bits, TLane* lanes, int count) {
    if (HasFastShifts())
        DecodeLaneGroupWithFastShifts(bits, lanes, count);
    else
        DecodeLaneGroupForAnyProcessor(bits, lanes, count);
}

// Runs lane `k - 1`'s true decoding on from its end until it meets a code
// start that lane k noted; false when it does not within them.
bool Join(const TBits& bits, TLane& before, TLane& lane) {
    assert(before.Stop == lane.Start && before.End >= before.Stop);
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
        if (!DecodeOne(bits, position, before.Out[before.Count++])) return false;
    }
    before.End = position;
    lane.Skip = j;
    return true;
}

// How a round of `bits` data bits is split: `Threads` groups of `PerThread`
// lanes; fewer than two lanes in all are not worth it.
struct TLaneSplit {
    int Threads;
    int PerThread;
    int Count() const { return Threads * PerThread; }
};

TLaneSplit SplitRound(uint64_t bits) {
    const TCodecTuning& tuning = CodecTuning();
    const int lanesPerThread = std::clamp(tuning.Lanes, 1, kMostLanesPerThread);
    const uint64_t minimum = static_cast<uint64_t>(std::max<int64_t>(tuning.MinLaneBits, 64));
    const uint64_t perThreadBits = minimum * static_cast<uint64_t>(lanesPerThread);
    TLaneSplit split{static_cast<int>(std::min<uint64_t>(CodecThreads(), bits / perThreadBits)),
                     lanesPerThread};
    if (split.Threads < 1) {
        split.Threads = 1;
        split.PerThread = static_cast<int>(std::min<uint64_t>(lanesPerThread, bits / minimum));
    }
    return split;
}

// Places `count` lanes over the `bits` data bits from `position`, a code
// boundary: the first starts there, the others at a byte boundary near
// their share, and each stops where the next starts.
void PlaceLanes(std::vector<TLane>& lanes, int count, uint64_t position, uint64_t bits) {
    if (lanes.size() < static_cast<size_t>(count)) lanes.resize(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        TLane& lane = lanes[static_cast<size_t>(k)];
        const uint64_t guess = position + bits * static_cast<uint64_t>(k) / static_cast<uint64_t>(count);
        lane.Start = k == 0 ? position : guess & ~uint64_t{7};
        lane.Failed = false;
        lane.Skip = 0;
        lane.NotesMarks = k > 0;
    }
    // Room for codes of 6 bits on average; a lane grows when it needs more.
    constexpr uint64_t kAverageCodeBits = 6;
    constexpr size_t kExtraRoom = 65536;
    for (int k = 0; k < count; ++k) {
        TLane& lane = lanes[static_cast<size_t>(k)];
        lane.Stop = k + 1 < count ? lanes[static_cast<size_t>(k) + 1].Start : position + bits;
        assert(lane.Start <= lane.Stop);
        lane.Count = 0;
        lane.Reserve(static_cast<size_t>((lane.Stop - lane.Start) / kAverageCodeBits) + kExtraRoom);
    }
}

// Decodes the data bits from `position`, a code boundary, in rounds of
// lanes, and moves `position` past each round decoded. Stops before the
// last kTailBits, and at the first round the lanes cannot decode: a lane
// that fails hands the whole round back to the plain decoder.
void DecodeSideBySide(TCodecRun& run, const TBits& bits, uint64_t& position, TOutput& output) {
    std::vector<TLane>& lanes = run.Lanes;
    while (bits.ValidBits - position > kTailBits) {
        const uint64_t most = static_cast<uint64_t>(std::max<int64_t>(CodecTuning().RoundBits, 64));
        const uint64_t round = std::min(bits.ValidBits - position - kTailBits, most);
        const TLaneSplit split = SplitRound(round);
        const int count = split.Count();
        if (count < 2) break;
        PlaceLanes(lanes, count, position, round);
        RunParts(split.Threads, [&](int t) {
            DecodeLaneGroupHere(bits, &lanes[static_cast<size_t>(t * split.PerThread)], split.PerThread);
        });
        for (int k = 0; k < count; ++k)
            if (lanes[static_cast<size_t>(k)].Failed) return;
        for (int k = 1; k < count; ++k)
            if (!Join(bits, lanes[static_cast<size_t>(k) - 1], lanes[static_cast<size_t>(k)])) return;
        for (int k = 0; k < count; ++k) {
            const TLane& lane = lanes[static_cast<size_t>(k)];
            output.Append(lane.Out + lane.Skip, lane.Count - lane.Skip);
        }
        position = lanes[static_cast<size_t>(count) - 1].End;
    }
}

// Reads the table's records, TableBuffer[4 .. TableLength + 4), into
// CodeTable.
void UnpackCodeTable() {
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

// Walks the code of `entry` from DecodeRoot, adding the nodes it lacks,
// and makes the node it ends at a leaf.
void AddCode(const CodeEntry& entry, bool* isLeaf, int& nextFree) {
    const int count = std::min(entry.BitCount, static_cast<int32_t>(sizeof entry.Bits));
    if (count <= 0) return;
    TreeNode* node = DecodeRoot;
    for (int i = 0; i < count; ++i) {
        if (isLeaf[node - NodePool]) Damaged("its codes are not a prefix code");
        const uint8_t bit = entry.Bits[i] == 0 ? 0 : 1;
        TreeNode*& child = bit == 0 ? node->Left : node->Right;
        if (!child) {
            if (nextFree >= kDecodeRootIndex) Damaged("its code tree needs too many nodes");
            child = &NodePool[nextFree++];
            child->Bit = bit;
        }
        node = child;
    }
    if (isLeaf[node - NodePool] || node->Left || node->Right) Damaged("its codes are not a prefix code");
    isLeaf[node - NodePool] = true;
    node->Symbol = entry.Symbol;
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
    UnpackCodeTable();
}

void RebuildTree() {
    TCodecRun& run = CurrentRun();
    std::memset(NodePool, 0, sizeof NodePool);
    std::memset(run.IsLeaf, 0, sizeof run.IsLeaf);
    int nextFree = 0;
    for (int v = 0; v < 256; ++v) AddCode(CodeTable[v], run.IsLeaf, nextFree);
    // A node with only a 1-branch would be taken for a leaf by the walk.
    for (int i = 0; i < kNodeCount; ++i) {
        if (NodePool[i].Right && !NodePool[i].Left)
            Damaged("its code tree has a 1-branch without a 0-branch");
    }
    FillDecodeLookup(run.DecodeLookup);
    FillPairLookup(run.DecodeLookup, run.PairLookup);
}

void DecodeData() {
    TCodecRun& run = CurrentRun();
    InputStream->Seek(kHeaderSize + static_cast<int64_t>(TableLength), TSeekOrigin::soBeginning);
    OutputStream->Seek(0, TSeekOrigin::soBeginning);
    ReadData(run);
    const TBits bits{run.Data, run.DataSize, run.ValidBits, run.DecodeLookup, run.PairLookup};
    const bool hasCodes = DecodeRoot->Left != nullptr;
    if (bits.ValidBits == 0) {
        if (hasCodes) Damaged("it has a code table but no data");
        return;  // an empty input: nothing to write
    }
    if (!hasCodes) Damaged("it has data but no code table");

    TOutput output;
    uint64_t position = 0;
    DecodeSideBySide(run, bits, position, output);
    // The plain decoder ends the data, and decodes again any round the
    // lanes could not: it finds the fault, if any, and reports it.
    DecodeRest(bits, position, output);
    output.Finish();
}

void DecompressFile() {
    RequireStreams();
    TRunEnd end;
    ReadCodeTable();
    RebuildTree();
    DecodeData();
}

}  // namespace unit2
