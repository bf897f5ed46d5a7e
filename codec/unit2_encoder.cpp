// Compressing: the count of the byte values (the first pass over the
// input), the packed code table, the predicted size and the encoder (the
// second pass), and CompressFile, which runs them all.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <vector>

#include "codec/unit2.h"
#include "codec/unit2_parallel.h"
#include "codec/unit2_run.h"

namespace unit2 {

namespace {

// Reads the next block of InputStream into ReadBuffer; 0 at the end.
int ReadBlock() { return static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize)); }

// The input moves in blocks of this size; each block is counted, and later
// encoded, in parts side by side.
int64_t IoBlockSize() { return std::max<int64_t>(CodecTuning().BlockBytes, 1); }

// The most bytes a compressed file of `inputBytes` bytes can take: a
// Huffman code never needs more bits than a code of 8 bits for each byte.
int64_t MostCompressedBytes(int64_t inputBytes) {
    return kHeaderSize + kMaxTableLength + inputBytes;
}

// Grows the memory output within its memory, up to `most` bytes.
void GrowOutput(std::vector<uint8_t>& memory, int64_t most) {
    const int64_t room = std::min(static_cast<int64_t>(memory.capacity()), most);
    if (static_cast<int64_t>(memory.size()) < room) memory.resize(static_cast<size_t>(room));
}

// Gives back what the output grew by and the data did not fill: it ends at
// `end`, or where it ended before if that is later.
void GiveBackOutput(TCodecRun& run, int64_t end) {
    if (run.OutputSizeBefore < 0) return;
    if (std::vector<uint8_t>* const memory = MemoryOf(OutputStream))
        memory->resize(static_cast<size_t>(std::max(run.OutputSizeBefore, end)));
    run.OutputSizeBefore = -1;
}

// The next block of up to `size` bytes of InputStream and its length (0 at
// the end). An input in memory hands out its own bytes; any other stream
// is read into the run's InputBlock.
const uint8_t* NextBlock(TCodecRun& run, int64_t size, int64_t& length) {
    if (std::vector<uint8_t>* const memory = InputStream->MemoryBytes()) {
        const int64_t position = InputStream->Position();
        length = std::clamp<int64_t>(static_cast<int64_t>(memory->size()) - position, 0, size);
        InputStream->Seek(length, TSeekOrigin::soCurrent);
        return memory->data() + position;
    }
    run.InputBlock.Reserve(static_cast<size_t>(size));
    length = InputStream->Read(run.InputBlock.Data(), size);
    return run.InputBlock.Data();
}

// How many parts a block of `length` bytes is split into.
int PartsOf(int64_t length) {
    const int64_t minimum = std::max<int64_t>(1, CodecTuning().MinPartBytes);
    return static_cast<int>(std::clamp<int64_t>(length / minimum, 1, CodecThreads()));
}

// Where part k of `parts` of a block of `length` bytes begins; part
// `parts` begins at the block's end.
int64_t PartBegin(int64_t length, int parts, int k) {
    assert(parts > 0 && k >= 0 && k <= parts);
    return length * k / parts;
}

[[noreturn]] void InputChanged() {
    throw EError("The input file changed while it was being compressed");
}

[[noreturn]] void InputTooLarge() {
    throw EError("The input is too large: the codec handles files shorter than " +
                 std::to_string(kMaxInputSize) + " bytes");
}

// ---------------------------------------------------------------------------
// The count

// Adds the count of every byte value of p[0 .. n) to `counts`. Four
// tallies side by side keep equal bytes close together from waiting on
// each other's increments.
void CountBytes(const uint8_t* p, size_t n, uint32_t* counts) {
    constexpr int kTallies = 4;
    constexpr size_t kStride = 2 * sizeof(uint64_t);  // two words a step
    uint32_t tally[kTallies][256] = {};
    size_t i = 0;
    for (; i + kStride <= n; i += kStride) {
        uint64_t a, b;
        std::memcpy(&a, p + i, sizeof a);
        std::memcpy(&b, p + i + sizeof a, sizeof b);
        for (int shift = 0; shift < 64; shift += 16) {
            ++tally[0][(a >> shift) & 0xFF];
            ++tally[1][(a >> (shift + 8)) & 0xFF];
            ++tally[2][(b >> shift) & 0xFF];
            ++tally[3][(b >> (shift + 8)) & 0xFF];
        }
    }
    for (; i < n; ++i) ++tally[0][p[i]];
    for (int v = 0; v < 256; ++v) counts[v] += tally[0][v] + tally[1][v] + tally[2][v] + tally[3][v];
}

// The parts of the blocks read and not yet counted, counted side by side.
// A memory input's blocks stay where they are and are all counted in one
// go; any other input is counted block by block, as each block is read.
// The first time the parts are counted, a memory output may be grown along
// with them: first, as the largest piece of work, so that the parts even
// out the threads.
class TCounter {
public:
    explicit TCounter(TCodecRun& run) : FRun(run) {
        if (!run.GrowOutputWhileCounting || !OutputStream) return;
        FGrow = OutputStream->MemoryBytes();
        if (!FGrow) return;
        run.OutputSizeBefore = static_cast<int64_t>(FGrow->size());
        const int64_t left = InputStream->Size() - InputStream->Position();
        FMost = MostCompressedBytes(std::max<int64_t>(0, left));
    }

    // Splits the block of `length` bytes at `block` into parts to count.
    void Add(const uint8_t* block, int64_t length) {
        const int count = PartsOf(length);
        const size_t first = FRun.PartCounts.size();
        FRun.PartCounts.resize(first + static_cast<size_t>(count));
        for (int k = 0; k < count; ++k) {
            const int64_t begin = PartBegin(length, count, k), end = PartBegin(length, count, k + 1);
            FParts.push_back({block + begin, static_cast<size_t>(end - begin),
                              first + static_cast<size_t>(k)});
        }
        FRun.CountedBlocks.push_back({length, count, first});
    }

    void CountParts() {
        const int first = FGrow ? 1 : 0;
        RunParts(static_cast<int>(FParts.size()) + first, [&](int j) {
            if (j < first) return GrowOutput(*FGrow, FMost);
            const TPart& part = FParts[static_cast<size_t>(j - first)];
            uint32_t* counts = FRun.PartCounts[part.Counts].data();
            std::fill_n(counts, 256, 0u);
            CountBytes(part.Bytes, part.Length, counts);
        });
        FParts.clear();
        FGrow = nullptr;
    }

private:
    struct TPart {
        const uint8_t* Bytes;
        size_t Length;
        size_t Counts;  // index into PartCounts
    };
    TCodecRun& FRun;
    std::vector<TPart> FParts;
    std::vector<uint8_t>* FGrow = nullptr;
    int64_t FMost = 0;
};

// Adds the counts of all parts to the leaves' weights.
void AddWeights(const TCodecRun& run) {
    int64_t weights[256] = {};
    for (const auto& counts : run.PartCounts)
        for (int v = 0; v < 256; ++v) weights[v] += counts[v];
    for (int v = 0; v < 256; ++v) NodePool[v].Weight += static_cast<int32_t>(weights[v]);
}

}  // namespace

void CountFrequencies() {
    TCodecRun& run = CurrentRun();
    run.CountedBlocks.clear();
    run.PartCounts.clear();
    TCounter counter(run);
    const bool allBlocks = InputStream->MemoryBytes() != nullptr;
    int64_t total = 0;
    for (;;) {
        int64_t n;
        const uint8_t* const block = NextBlock(run, IoBlockSize(), n);
        if (n <= 0) break;
        total += n;
        if (total >= kMaxInputSize) InputTooLarge();
        counter.Add(block, n);
        if (!allBlocks) counter.CountParts();
    }
    counter.CountParts();
    AddWeights(run);
    run.CountedBytes = total;
}

// ---------------------------------------------------------------------------
// The code table and the compressed size

void PackCodeTable() {
    int position = 0;
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        if (entry.Present == 0) continue;
        const int bitCount = entry.BitCount < 0 ? 0 : entry.BitCount;
        if (bitCount > 255)  // its length would not fit the record's length byte
            throw EError("The code of byte value " + std::to_string(v) + " is too long");
        const int recordLength = 2 + (bitCount + 7) / 8;
        if (position + recordLength > kMaxTableLength)
            throw EError("The code table of this file is too large to be stored: it needs more "
                         "than " + std::to_string(kMaxTableLength) + " bytes");
        TableBuffer[position++] = static_cast<uint8_t>(v);
        TableBuffer[position++] = static_cast<uint8_t>(bitCount);
        unsigned accumulator = 0;
        int gathered = 0;
        for (int i = 0; i < bitCount; ++i) {
            accumulator = (accumulator << 1) | (entry.Bits[i] & 1u);
            if (++gathered == 8) {
                TableBuffer[position++] = static_cast<uint8_t>(accumulator);
                accumulator = 0;
                gathered = 0;
            }
        }
        if (gathered > 0) TableBuffer[position++] = static_cast<uint8_t>(accumulator << (8 - gathered));
    }
    TableLength = position;
}

int32_t PredictCompressedSize() {
    int64_t totalBits = 0;
    for (int v = 0; v < 256; ++v) {
        if (CodeTable[v].Present != 0)
            totalBits += static_cast<int64_t>(CodeTable[v].BitCount) * NodePool[v].Weight;
    }
    const int64_t size = totalBits / 8 + (totalBits % 8 > 0 ? 1 : 0) + TableLength + kHeaderSize;
    // The file must stay short enough to be opened for expanding again.
    if (size >= kMaxInputSize)
        throw EError("The compressed file would be too large: its size of " +
                     std::to_string(size) + " bytes is not below " + std::to_string(kMaxInputSize));
    PredictedSize = static_cast<int32_t>(size);
    return PredictedSize;
}

namespace {

// ---------------------------------------------------------------------------
// The encoder for long codes

// Packs the data bits into WriteBuffer and writes it out block by block.
// The accumulator keeps the pending bits in its low-order end, fewer than 8
// between codes. After each code the pending bits are stored as a whole
// 8-byte word at the fill level and the fill level moves on by the bytes
// completed; the incomplete byte is stored again with the next code. Near
// the end of the block, where a word would not fit, bytes go one at a time.
class BitWriter {
public:
    // The longest code PutCode takes: with the fewer than 8 bits pending it
    // still fits the accumulator.
    static constexpr int kLongestPut = 56;

    // Appends the `length` (1 to kLongestPut) low-order bits of `code`.
    void PutCode(uint64_t code, int length) {
        assert(length >= 1 && length <= kLongestPut && FPending < 8);
        assert(code >> length == 0);
        FAccumulator = (FAccumulator << length) | code;
        FPending += length;
        FBits += static_cast<uint64_t>(length);
        if (FFill <= kBlockSize - static_cast<int>(sizeof(uint64_t))) {
            uint64_t word = FAccumulator << (64 - FPending);
            if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
            std::memcpy(WriteBuffer + FFill, &word, sizeof word);
            FFill += FPending >> 3;
            FPending &= 7;
        } else {
            PutWholeBytes();
        }
    }
    // Appends a code of any length from its one-byte-per-bit form.
    void PutBits(const uint8_t* bits, int count) {
        while (count > 0) {
            const int length = count < 32 ? count : 32;
            uint32_t code = 0;
            for (int i = 0; i < length; ++i) code = (code << 1) | (bits[i] & 1u);
            PutCode(code, length);
            bits += length;
            count -= length;
        }
    }
    // Writes the pending bits, the last byte padded with zero bits, and
    // returns the number of valid bits in that byte (0 when it is full).
    int Finish() {
        PutWholeBytes();
        const int lastBits = FPending;
        if (lastBits > 0) {
            FAccumulator <<= 8 - lastBits;
            FPending = 8;
            PutWholeBytes();
        }
        if (FFill > 0) Flush();
        return lastBits;
    }
    // The number of bits put so far.
    uint64_t Bits() const { return FBits; }

private:
    void PutWholeBytes() {
        while (FPending >= 8) {
            FPending -= 8;
            WriteBuffer[FFill++] = static_cast<uint8_t>(FAccumulator >> FPending);
            if (FFill == kBlockSize) Flush();
        }
    }
    void Flush() {
        OutputStream->Write(WriteBuffer, FFill);
        FFill = 0;
    }
    uint64_t FAccumulator = 0;
    int FPending = 0;
    int FFill = 0;
    uint64_t FBits = 0;
};

// The bits a 64-bit accumulator takes in one go on top of the fewer than 8
// it may hold pending.
constexpr int kAccumulatorRoom = 64 - 7;
// Codes of up to this many bits are written by the fast encoder; a table
// with a longer one (hand-made tables only) by EncodeLongCodes.
constexpr int kFastCodeBits = kAccumulatorRoom;

// The codes as integers, the first bit highest, and their lengths. The
// length of a byte value without a code is kNoCode: 0 bits, and a count
// in the upper byte that sums of up to four lengths carry along.
constexpr uint16_t kNoCode = 0x100;
// Set in a sum of up to four lengths when one of them is kNoCode.
constexpr unsigned kNoCodeSeen = kNoCode * 7;

struct TEncodeTable {
    uint64_t Code[256];
    uint16_t Length[256];  // kNoCode also for a code longer than kFastCodeBits
    int Longest;           // the longest code of any length, at least 1
};

// The length of a byte value's code; 0 when it has none.
int CodeLength(const CodeEntry& entry) {
    return entry.Present != 0 && entry.BitCount > 0 ? entry.BitCount : 0;
}

// CodeTable as both encoders take it.
TEncodeTable BuildEncodeTable() {
    TEncodeTable table{};
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        const int count = CodeLength(entry);
        table.Length[v] = kNoCode;
        table.Longest = std::max(table.Longest, count);
        if (count == 0 || count > kFastCodeBits) continue;
        uint64_t code = 0;
        for (int i = 0; i < count; ++i) code = (code << 1) | (entry.Bits[i] & 1u);
        table.Code[v] = code;
        table.Length[v] = static_cast<uint8_t>(count);
    }
    table.Longest = std::max(table.Longest, 1);
    return table;
}

// The number of data bits that the counted parts give, part by part, under
// the codes of `table` (a byte value without a code gives none), and their
// sum.
uint64_t CountedBits(const TCodecRun& run, const TEncodeTable& table, std::vector<uint64_t>& bits) {
    bits.assign(run.PartCounts.size(), 0);
    uint64_t total = 0;
    for (size_t i = 0; i < run.PartCounts.size(); ++i) {
        for (int v = 0; v < 256; ++v) {
            const uint64_t length = table.Length[v] == kNoCode
                                        ? static_cast<uint64_t>(CodeLength(CodeTable[v]))
                                        : table.Length[v];
            bits[i] += uint64_t{run.PartCounts[i][v]} * length;
        }
        total += bits[i];
    }
    return total;
}

// The header's table length field, low byte first, and the packed table.
// The first byte of the header is written once the data has ended.
void WriteCodeTable() {
    OutputStream->Seek(1, TSeekOrigin::soBeginning);
    const uint8_t lengthField[4] = {
        static_cast<uint8_t>(TableLength), static_cast<uint8_t>(TableLength >> 8),
        static_cast<uint8_t>(TableLength >> 16), static_cast<uint8_t>(TableLength >> 24)};
    OutputStream->Write(lengthField, 4);
    OutputStream->Write(TableBuffer, TableLength);
}

// Appends the code of byte value `b`: up to 32 bits from the table, longer
// ones from their bits.
void PutCodeOf(BitWriter& writer, const TEncodeTable& table, uint8_t b) {
    const unsigned length = table.Length[b];
    if (length - 1u < 32u)
        writer.PutCode(table.Code[b], static_cast<int>(length));
    else if (CodeLength(CodeTable[b]) > 0)
        writer.PutBits(CodeTable[b].Bits, CodeTable[b].BitCount);
    else
        InputChanged();  // only a byte the counting pass never saw has no code
}

// The second pass over the input for tables with a code longer than
// kFastCodeBits bits (hand-made tables only), on one thread. Returns the
// number of valid bits in the last byte.
uint8_t EncodeLongCodes(const TCodecRun& run, const TEncodeTable& table) {
    // Two codes of at most this many bits each go in as one.
    constexpr unsigned kPairedCodeBits = 24;
    static_assert(2 * kPairedCodeBits <= BitWriter::kLongestPut);
    std::vector<uint64_t> partBits;
    const uint64_t countedBits = CountedBits(run, table, partBits);
    BitWriter writer;
    int64_t total = 0;
    for (int n; (n = ReadBlock()) > 0;) {
        total += n;
        if (total > run.CountedBytes) InputChanged();
        int i = 0;
        for (; i + 2 <= n; i += 2) {
            const uint8_t b0 = ReadBuffer[i], b1 = ReadBuffer[i + 1];
            const unsigned l0 = table.Length[b0], l1 = table.Length[b1];
            if (((l0 - 1u) | (l1 - 1u)) < kPairedCodeBits) {
                writer.PutCode(table.Code[b0] << l1 | table.Code[b1], static_cast<int>(l0 + l1));
            } else {
                PutCodeOf(writer, table, b0);
                PutCodeOf(writer, table, b1);
            }
        }
        for (; i < n; ++i) PutCodeOf(writer, table, ReadBuffer[i]);
    }
    // As many bytes as were counted may still give other bits: bytes with
    // codes shorter or longer than those counted.
    if (total != run.CountedBytes || writer.Bits() != countedBits) InputChanged();
    return static_cast<uint8_t>(writer.Finish());
}

// ---------------------------------------------------------------------------
// The fast encoder

// Where the packing of codes stands: the accumulator keeps the pending bits
// (fewer than 8 between codes) in its low-order end, `Out` is the byte they
// belong to, and `NoCodes` gathers the lengths seen (kNoCode once a byte
// value without a code occurred).
struct TPacking {
    uint64_t Accumulator;
    unsigned Pending;
    uint8_t* Out;
    unsigned NoCodes;
};

// Packs the codes of in[0 .. n). After each group of G codes the pending
// bits are stored as one 8-byte word at `Out` and `Out` moves on by the
// bytes completed; the incomplete byte is stored again with the next group,
// and the bytes after it are overwritten with zero bits. So `Out` needs
// room for n * Longest bits and 8 bytes more.
template <int G>
[[gnu::always_inline]] inline void EncodeRun(const uint8_t* in, size_t n, const TEncodeTable& table,
                                             TPacking& state) {
    const uint64_t* const code = table.Code;
    const uint16_t* const length = table.Length;
    uint64_t accumulator = state.Accumulator;
    unsigned pending = state.Pending;
    uint8_t* out = state.Out;
    unsigned noCodes = state.NoCodes;
    // Appends `c` of `l` bits (the low 6 bits of `l`; the rest counts
    // byte values without a code) and stores the whole bytes.
    const auto put = [&](uint64_t c, unsigned l) {
        noCodes |= l;
        accumulator = accumulator << (l & 63) | c;
        pending += l & 63;
        assert(pending <= 64);
        uint64_t word = accumulator << ((64 - pending) & 63);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        std::memcpy(out, &word, sizeof word);
        out += pending >> 3;
        pending &= 7;
    };
    const uint8_t* p = in;
    const uint8_t* const end = in + n;
    for (; end - p >= G; p += G) {
        if constexpr (G == 4) {
            const unsigned l1 = length[p[1]], l2 = length[p[2]], l3 = length[p[3]];
            const uint64_t c01 = code[p[0]] << (l1 & 63) | code[p[1]];
            const uint64_t c23 = code[p[2]] << (l3 & 63) | code[p[3]];
            put(c01 << ((l2 + l3) & 63) | c23, length[p[0]] + l1 + l2 + l3);
        } else if constexpr (G == 3) {
            const unsigned l1 = length[p[1]], l2 = length[p[2]];
            put((code[p[0]] << (l1 & 63) | code[p[1]]) << (l2 & 63) | code[p[2]],
                length[p[0]] + l1 + l2);
        } else if constexpr (G == 2) {
            const unsigned l1 = length[p[1]];
            put(code[p[0]] << (l1 & 63) | code[p[1]], length[p[0]] + l1);
        } else {
            put(code[p[0]], length[p[0]]);
        }
    }
    for (; p < end; ++p) put(code[*p], length[*p]);
    state = {accumulator, pending, out, noCodes};
}

// A run of codes is packed only where at least this many bytes are left
// after its longest possible bits: the word stores stay inside.
constexpr size_t kRunMargin = 16;
static_assert(kRunMargin >= 1 + sizeof(uint64_t));  // the pending byte and one word store
// Straight into the output, runs of fewer input bytes are not worth it.
constexpr size_t kShortestRun = 64;
// Room for the last bits of a part: what is left when no run of
// kShortestRun codes of kFastCodeBits bits fits, and the margins.
constexpr size_t kTailBytes = 1024;
static_assert(kTailBytes >= kShortestRun * kFastCodeBits / 8 + 2 * kRunMargin + 16);

// One part of a block in the second pass over the input: its bytes, and
// where in the data bits it begins and how many bits its counts give it.
// The part's bits go straight to the output, up to the byte where the next
// part begins; its last bits go to `Tail`, for TPartJoiner to put in place
// once both neighbours have ended.
struct TEncodePart {
    const uint8_t* Bytes;
    size_t Length;
    uint64_t FirstBit;
    uint64_t Bits;
    // What encoding found: the bits written, whether they differ from the
    // count (a byte value without a code, or more bits than counted), and
    // the data byte where Tail begins.
    uint64_t Written;
    bool Bad;
    uint64_t TailAt;
    std::array<uint8_t, kTailBytes> Tail;
};

// How many codes of up to `longest` bits fit `room` bytes with the margin,
// at most `left`.
inline size_t RunThatFits(size_t room, size_t longest, size_t left) {
    return room < kRunMargin ? 0 : std::min((room - kRunMargin) * 8 / longest, left);
}

// Encodes `part` into `target`, whose first byte is data byte
// `targetFirst`. Of the bytes that belong to other parts it writes none;
// its own first byte gets zero bits where the part before has its last
// ones. Input that gives more bits than were counted stops it with Bad set.
template <int G>
[[gnu::always_inline]] inline void EncodePart(TEncodePart& part, const TEncodeTable& table,
                                              uint8_t* target, uint64_t targetFirst) {
    const size_t longest = static_cast<size_t>(table.Longest);
    const uint64_t endBit = part.FirstBit + part.Bits;
    TPacking state{0, static_cast<unsigned>(part.FirstBit % 8),
                   target + (part.FirstBit / 8 - targetFirst), 0};
    const uint8_t* p = part.Bytes;
    const uint8_t* const end = p + part.Length;
    // Straight into the target while a whole run fits before the next
    // part's first byte.
    const uint8_t* const limit = target + (endBit / 8 - targetFirst);
    while (p < end) {
        const size_t run =
            RunThatFits(static_cast<size_t>(limit - state.Out), longest, static_cast<size_t>(end - p));
        if (run < kShortestRun) break;
        EncodeRun<G>(p, run, table, state);
        p += run;
        assert(state.Out + sizeof(uint64_t) <= limit);  // the next part's bytes stay untouched
    }
    part.TailAt = targetFirst + static_cast<uint64_t>(state.Out - target);
    // The rest into the tail; as many bits as were counted always fit.
    state.Out = part.Tail.data();
    const uint8_t* const tailLimit = part.Tail.data() + part.Tail.size();
    bool bad = false;
    while (p < end) {
        const size_t run = RunThatFits(static_cast<size_t>(tailLimit - state.Out), longest,
                                       static_cast<size_t>(end - p));
        if (run == 0) {
            bad = true;
            break;
        }
        EncodeRun<G>(p, run, table, state);
        p += run;
        assert(state.Out + sizeof(uint64_t) <= tailLimit);
    }
    // The last, incomplete byte; there is room for it after any run.
    if (state.Pending > 0)
        *state.Out = static_cast<uint8_t>(state.Accumulator << (8 - state.Pending));
    part.Bad = bad || (state.NoCodes & kNoCodeSeen) != 0;
    part.Written = (part.TailAt + static_cast<uint64_t>(state.Out - part.Tail.data())) * 8 +
                   state.Pending - part.FirstBit;
}

// Encodes with groups of as many codes as the accumulator takes at once.
[[gnu::always_inline]] inline void EncodePartInline(TEncodePart& part, const TEncodeTable& table,
                                                    uint8_t* target, uint64_t targetFirst) {
    if (table.Longest <= kAccumulatorRoom / 4) return EncodePart<4>(part, table, target, targetFirst);
    if (table.Longest <= kAccumulatorRoom / 3) return EncodePart<3>(part, table, target, targetFirst);
    if (table.Longest <= kAccumulatorRoom / 2) return EncodePart<2>(part, table, target, targetFirst);
    return EncodePart<1>(part, table, target, targetFirst);
}

void EncodePartForAnyProcessor(TEncodePart& part, const TEncodeTable& table, uint8_t* target,
                               uint64_t targetFirst) {
    EncodePartInline(part, table, target, targetFirst);
}

VG_FAST_SHIFTS void EncodePartWithFastShifts(TEncodePart& part, const TEncodeTable& table,
                                             uint8_t* target, uint64_t targetFirst) {
    EncodePartInline(part, table, target, targetFirst);
}

// EncodePart built for the processor it runs on.
void EncodePartHere(TEncodePart& part, const TEncodeTable& table, uint8_t* target,
                    uint64_t targetFirst) {
    if (HasFastShifts())
        EncodePartWithFastShifts(part, table, target, targetFirst);
    else
        EncodePartForAnyProcessor(part, table, target, targetFirst);
}

// Puts the parts' bits together once they are encoded, part after part in
// the order of the data: the byte shared by the end of one part and the
// start of the next takes the bits of both, and each tail goes to its
// place. The incomplete byte at the end is held back until the next part
// fills it.
class TPartJoiner {
public:
    // The number of valid bits in the byte held back; 0 when the parts so
    // far end on a byte boundary.
    int CarryBits() const { return FCarryBits; }
    uint8_t Carry() const { return FCarry; }
    void Join(TEncodePart& part, uint8_t* target, uint64_t targetFirst) {
        const uint64_t firstByte = part.FirstBit / 8;
        assert(part.TailAt >= firstByte && firstByte >= targetFirst);
        if (part.TailAt == firstByte)
            part.Tail[0] |= FCarry;
        else
            target[firstByte - targetFirst] |= FCarry;
        const uint64_t endBit = part.FirstBit + part.Bits;
        const size_t whole = static_cast<size_t>(endBit / 8 - part.TailAt);
        assert(whole < part.Tail.size());
        std::memcpy(target + (part.TailAt - targetFirst), part.Tail.data(), whole);
        FCarryBits = static_cast<int>(endBit % 8);
        FCarry = FCarryBits > 0 ? part.Tail[whole] : 0;
    }

private:
    uint8_t FCarry = 0;
    int FCarryBits = 0;
};

// The second pass over the input for codes of at most kFastCodeBits bits,
// block by block as the count saw them. Each part of a block is encoded on
// a thread of its own at the bit position that the counts give it: into a
// memory output where its bits belong, and for any other output into one
// buffer for the block, which is then written in one go. From memory into
// memory all blocks are encoded in one go. Any difference from what was
// counted is refused.
class TCountedEncoder {
public:
    TCountedEncoder(TCodecRun& run, const TEncodeTable& table)
        : FRun(run), FTable(table), FMemory(OutputStream->MemoryBytes()),
          FAllBlocks(FMemory && InputStream->MemoryBytes()) {
        FTotalBits = CountedBits(run, table, FPartBits);
        if (FMemory) {
            FDataStart = OutputStream->Position();
            const auto dataEnd = static_cast<size_t>(FDataStart) + DataBytes();
            if (FMemory->size() < dataEnd) FMemory->resize(dataEnd);
            FTarget = FMemory->data() + FDataStart;
        }
    }

    // Returns the number of valid bits in the last byte.
    uint8_t Encode() {
        int64_t longest = IoBlockSize();
        for (const TCountedBlock& counted : FRun.CountedBlocks) {
            longest = std::max(longest, counted.Length);
            const uint64_t blockFirst = FPosition / 8;
            AddParts(counted);
            if (FAllBlocks) continue;
            if (!FMemory) TargetOneBlock(blockFirst);
            EncodeParts();
            if (!FMemory) OutputStream->Write(FTarget, static_cast<int64_t>(FPosition / 8 - blockFirst));
        }
        if (!FParts.empty()) EncodeParts();
        int64_t more;
        NextBlock(FRun, longest, more);
        if (more != 0) InputChanged();
        WriteLastByte();
        return static_cast<uint8_t>(FJoiner.CarryBits());
    }

private:
    size_t DataBytes() const { return static_cast<size_t>((FTotalBits + 7) / 8); }

    // Reads the block the count saw as `counted` and splits it into its parts.
    void AddParts(const TCountedBlock& counted) {
        int64_t length;
        const uint8_t* const block = NextBlock(FRun, counted.Length, length);
        if (length != counted.Length) InputChanged();
        for (int k = 0; k < counted.Parts; ++k) {
            const int64_t begin = PartBegin(counted.Length, counted.Parts, k);
            const int64_t end = PartBegin(counted.Length, counted.Parts, k + 1);
            TEncodePart& part = FParts.emplace_back();
            part.Bytes = block + begin;
            part.Length = static_cast<size_t>(end - begin);
            part.FirstBit = FPosition;
            part.Bits = FPartBits[counted.FirstPart + static_cast<size_t>(k)];
            FPosition += part.Bits;
        }
    }

    // The parts' bits of a block, for an output not in memory, meet in the
    // run's OutputBlock, whose first byte is data byte `blockFirst`.
    void TargetOneBlock(uint64_t blockFirst) {
        FRun.OutputBlock.Reserve(static_cast<size_t>(FPosition / 8 - blockFirst + 1));
        FTarget = FRun.OutputBlock.Data();
        FTargetFirst = blockFirst;
    }

    void EncodeParts() {
        RunParts(static_cast<int>(FParts.size()), [&](int j) {
            EncodePartHere(FParts[static_cast<size_t>(j)], FTable, FTarget, FTargetFirst);
        });
        for (const TEncodePart& part : FParts)
            if (part.Bad || part.Written != part.Bits) InputChanged();
        for (TEncodePart& part : FParts) FJoiner.Join(part, FTarget, FTargetFirst);
        FParts.clear();
    }

    // The incomplete byte at the end of the data, if any, and a memory
    // output's position after the data.
    void WriteLastByte() {
        if (FJoiner.CarryBits() > 0) {
            const uint8_t carry = FJoiner.Carry();
            if (FMemory)
                FTarget[FTotalBits / 8] = carry;
            else
                OutputStream->Write(&carry, 1);
        }
        if (FMemory) OutputStream->SetPosition(FDataStart + static_cast<int64_t>(DataBytes()));
    }

    TCodecRun& FRun;
    const TEncodeTable& FTable;
    std::vector<uint8_t>* const FMemory;
    const bool FAllBlocks;
    std::vector<uint64_t> FPartBits;
    uint64_t FTotalBits = 0;
    int64_t FDataStart = 0;
    uint8_t* FTarget = nullptr;
    uint64_t FTargetFirst = 0;
    uint64_t FPosition = 0;
    std::vector<TEncodePart> FParts;
    TPartJoiner FJoiner;
};

}  // namespace

void EncodeData() {
    RequireStreams();
    TCodecRun& run = CurrentRun();
    const TEncodeTable table = BuildEncodeTable();
    WriteCodeTable();
    InputStream->Seek(0, TSeekOrigin::soBeginning);
    LastByteBits = table.Longest <= kFastCodeBits ? TCountedEncoder(run, table).Encode()
                                                  : EncodeLongCodes(run, table);
    if (run.OutputSizeBefore >= 0) GiveBackOutput(run, OutputStream->Position());
    OutputStream->Seek(0, TSeekOrigin::soBeginning);
    OutputStream->Write(&LastByteBits, 1);
}

void BuildCodes() {
    if (!InputStream) throw EError("The codec has no open input file");
    InitLeaves();
    CountFrequencies();
    BuildTree();
    AssignCodes();
    PackCodeTable();
    // Computed before any data is written, so that a file too large for a
    // 32-bit size is refused before it is made.
    PredictCompressedSize();
}

CompressResult CompressFile() {
    RequireStreams();
    // However the run ends, the output keeps no room it grew and did not
    // fill, and the run's state is released.
    struct TGrowing {
        TRunEnd end;
        TGrowing() { CurrentRun().GrowOutputWhileCounting = true; }
        ~TGrowing() { GiveBackOutput(CurrentRun(), CurrentRun().OutputSizeBefore); }
    } growing;
    BuildCodes();
    EncodeData();
    return {InputSize, PredictedSize};
}

}  // namespace unit2
