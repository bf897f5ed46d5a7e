// The codec's workspace, its files, the Huffman tree and codes, the encoder
// and the code listing. The decoder lives in unit2_decoder.cpp.
#include "codec/unit2.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <typeinfo>
#include <vector>

#include "codec/unit2_parallel.h"

namespace unit2 {

TreeNode NodePool[kNodeCount];
CodeEntry CodeTable[256];
std::unique_ptr<TStream> InputStream;
std::unique_ptr<TStream> OutputStream;
int32_t InputSize = 0;
int32_t PredictedSize = 0;
TreeNode* Root = nullptr;
uint8_t TableBuffer[kTableBufferSize];
int32_t TableLength = 0;
uint8_t LastByteBits = 0;
uint8_t ReadBuffer[kBlockSize];
uint8_t WriteBuffer[kBlockSize];
TreeNode* const DecodeRoot = &NodePool[kDecodeRootIndex];

namespace {

// What the frequency count saw: the length of every block and the byte
// counts of each of its parts. The encoder's second pass over the input
// must see the same bytes again, and takes from these counts where in the
// bit stream each part begins.
struct TCountedBlock {
    int64_t Length;
    int Parts;
    size_t FirstPart;  // index into PartCounts
};
std::vector<TCountedBlock> CountedBlocks;
std::vector<std::array<uint32_t, 256>> PartCounts;
int64_t CountedBytes = 0;
TLargeBuffer IoBuffer;
// Where each part of a block is encoded; kept from run to run.
std::vector<TLargeBuffer> PartOutputs;

// Reads the next block of InputStream into ReadBuffer; 0 at the end.
int ReadBlock() { return static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize)); }

// The input moves in blocks of this size; each block is counted, and later
// encoded, in parts side by side.
int64_t IoBlockSize() { return std::max<int64_t>(CodecTuning().BlockBytes, 1); }

// The next block of up to `size` bytes of InputStream and its length (0 at
// the end). A plain memory stream hands out its own bytes; any other
// stream is read into IoBuffer.
const uint8_t* NextBlock(int64_t size, int64_t& length) {
    if (typeid(*InputStream) == typeid(TMemoryStream)) {
        auto& memory = static_cast<TMemoryStream&>(*InputStream);
        const int64_t position = memory.Position();
        length = std::clamp<int64_t>(memory.Size() - position, 0, size);
        memory.Seek(length, TSeekOrigin::soCurrent);
        return memory.Data().data() + position;
    }
    IoBuffer.Reserve(static_cast<size_t>(size));
    length = InputStream->Read(IoBuffer.Data(), size);
    return IoBuffer.Data();
}

// How many parts a block of `length` bytes is split into.
int PartsOf(int64_t length) {
    const int64_t minimum = std::max<int64_t>(1, CodecTuning().MinPartBytes);
    return static_cast<int>(std::clamp<int64_t>(length / minimum, 1, CodecThreads()));
}

int64_t PartBegin(int64_t length, int parts, int k) { return length * k / parts; }

void RequireStreams() {
    if (!InputStream || !OutputStream)
        throw EError("The codec has no open input and output file");
}

[[noreturn]] void InputChanged() {
    throw EError("The input file changed while it was being compressed");
}

// Adds the count of every byte value of p[0 .. n) to `counts`. Four
// tallies side by side keep equal bytes close together from waiting on
// each other's increments.
void CountBytes(const uint8_t* p, size_t n, uint32_t* counts) {
    uint32_t tally[4][256] = {};
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
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

}  // namespace

TCodecTuning& CodecTuning() {
    static TCodecTuning tuning;
    return tuning;
}

int CodecThreads() {
    int threads = CodecTuning().Threads;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(threads, 1, 64);
}

// ---------------------------------------------------------------------------
// Workspace and files

void ResetCodec() {
    std::memset(NodePool, 0, sizeof NodePool);
    std::memset(TableBuffer, 0, sizeof TableBuffer);
    std::memset(CodeTable, 0, sizeof CodeTable);
    LastByteBits = 0;
    InputSize = 0;
    PredictedSize = 0;
    Root = nullptr;
}

bool OpenInputFile(const std::string& name) {
    if (!FileExists(name)) throw EError("Invalid Filename");
    auto stream = std::make_unique<TFileStream>(name, TFileStream::fmOpenRead);
    const int64_t size = stream->Size();
    if (size >= kMaxInputSize)
        throw EError("The file " + name + " is too large: the codec handles files shorter "
                     "than " + std::to_string(kMaxInputSize) + " bytes");
    InputStream = std::move(stream);
    InputSize = static_cast<int32_t>(size);
    return true;
}

bool CreateOutputFile(const std::string& name) {
    OutputStream = std::make_unique<TFileStream>(name, TFileStream::fmCreate);
    return true;
}

void CloseFiles() {
    InputStream.reset();
    OutputStream.reset();
}

// ---------------------------------------------------------------------------
// Tree and codes

void InitLeaves() {
    std::memset(NodePool, 0, sizeof NodePool);
    std::memset(CodeTable, 0, sizeof CodeTable);
    for (int v = 0; v < 256; ++v) {
        NodePool[v].SymbolSet[0] = static_cast<uint8_t>(v);
        NodePool[v].SymbolCount = 1;
    }
    CountedBytes = 0;
    CountedBlocks.clear();
    PartCounts.clear();
}

void CountFrequencies() {
    CountedBlocks.clear();
    PartCounts.clear();
    int64_t total = 0;
    for (;;) {
        int64_t n;
        const uint8_t* const block = NextBlock(IoBlockSize(), n);
        if (n <= 0) break;
        total += n;
        if (total >= kMaxInputSize)
            throw EError("The input is too large: the codec handles files shorter than " +
                         std::to_string(kMaxInputSize) + " bytes");
        const int parts = PartsOf(n);
        const size_t first = PartCounts.size();
        PartCounts.resize(first + static_cast<size_t>(parts));
        RunParts(parts, [&](int k) {
            uint32_t* counts = PartCounts[first + static_cast<size_t>(k)].data();
            std::fill_n(counts, 256, 0u);
            const int64_t begin = PartBegin(n, parts, k), end = PartBegin(n, parts, k + 1);
            CountBytes(block + begin, static_cast<size_t>(end - begin), counts);
        });
        CountedBlocks.push_back({n, parts, first});
    }
    int64_t weights[256] = {};
    for (const auto& counts : PartCounts)
        for (int v = 0; v < 256; ++v) weights[v] += counts[v];
    for (int v = 0; v < 256; ++v) NodePool[v].Weight += static_cast<int32_t>(weights[v]);
    CountedBytes = total;
}

TreeNode* FindLightestNode(int last) {
    TreeNode* lightest = nullptr;
    int32_t minimum = 0x7FFFFFFF;
    for (int i = 0; i <= last; ++i) {
        TreeNode& node = NodePool[i];
        if (node.Weight > 0 && node.Weight < minimum && node.Merged == 0) {
            lightest = &node;
            minimum = node.Weight;
        }
    }
    return lightest;
}

void BuildTree() {
    int last = 255;
    for (;;) {
        TreeNode* a = FindLightestNode(last);
        if (!a) break;
        a->Merged = 1;
        TreeNode* b = FindLightestNode(last);
        if (!b) break;
        b->Merged = 1;
        TreeNode& parent = NodePool[++last];
        parent.Weight = a->Weight + b->Weight;
        std::memcpy(parent.SymbolSet, a->SymbolSet, static_cast<size_t>(a->SymbolCount));
        std::memcpy(parent.SymbolSet + a->SymbolCount, b->SymbolSet,
                    static_cast<size_t>(b->SymbolCount));
        parent.SymbolCount = a->SymbolCount + b->SymbolCount;
        parent.Left = a;
        parent.Right = b;
    }
    Root = &NodePool[last];
}

namespace {

bool LiesUnder(const TreeNode* node, uint8_t v) {
    return std::memchr(node->SymbolSet, v, static_cast<size_t>(node->SymbolCount)) != nullptr;
}

void AppendBit(int v, uint8_t bit) {
    CodeEntry& entry = CodeTable[v];
    entry.Present = 1;
    entry.Bits[entry.BitCount++] = bit;
    entry.Symbol = static_cast<uint8_t>(v);
}

}  // namespace

void AssignCodes() {
    for (int v = 0; v < 256; ++v) {
        const TreeNode* node = Root;
        while (node && node->Left) {
            if (LiesUnder(node->Left, static_cast<uint8_t>(v))) {
                AppendBit(v, 0);
                node = node->Left;
            } else if (node->Right && LiesUnder(node->Right, static_cast<uint8_t>(v))) {
                AppendBit(v, 1);
                node = node->Right;
            } else {
                break;
            }
        }
    }
    // A tree of one leaf gives no code at all, and its input could never be
    // restored; the one byte value present gets the one-bit code 0 instead.
    if (Root && !Root->Left) {
        for (int v = 0; v < 256; ++v) {
            if (NodePool[v].Weight > 0) {
                AppendBit(v, 0);
                break;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Compressed file

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

// Packs the data bits into WriteBuffer and writes it out block by block.
// The accumulator keeps the pending bits in its low-order end, fewer than 8
// between codes. After each code the pending bits are stored as a whole
// 8-byte word at the fill level and the fill level moves on by the bytes
// completed; the incomplete byte is stored again with the next code. Near
// the end of the block, where a word would not fit, bytes go one at a time.
class BitWriter {
public:
    // Appends the `length` (1 to 56) low-order bits of `code`.
    void PutCode(uint64_t code, int length) {
        FAccumulator = (FAccumulator << length) | code;
        FPending += length;
        if (FFill <= kBlockSize - 8) {
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
};

}  // namespace

namespace {

// Codes of up to this many bits are written by the fast encoder; longer
// ones (hand-made tables only) by the general one.
constexpr int kFastCodeBits = 57;

// The codes as integers, the first bit highest, and their lengths. The
// length of a byte value without a code is kNoCode: 0 bits, and a count
// in the upper byte that sums of up to four lengths carry along.
constexpr uint16_t kNoCode = 0x100;

struct TEncodeTable {
    uint64_t Code[256];
    uint16_t Length[256];
    int Longest;
};

// Encodes in[0 .. n) into `out`, which begins with `lead` (0 to 7) zero
// bits and has room for lead + n * Longest bits and 16 bytes more. Returns
// the number of bits written after the lead; `bad` is set when a byte
// value without a code occurred. G codes go into the accumulator before
// its whole bytes are stored as one 8-byte word; the incomplete byte is
// stored again with the next group.
template <int G>
[[gnu::always_inline]] inline uint64_t EncodePart(const uint8_t* in, size_t n,
                                                  const TEncodeTable& table, int lead,
                                                  uint8_t* out, bool& bad) {
    const uint64_t* const code = table.Code;
    const uint16_t* const length = table.Length;
    uint8_t* const begin = out;
    uint64_t accumulator = 0;
    unsigned pending = static_cast<unsigned>(lead);
    unsigned noCodes = 0;  // kNoCode once a byte value without a code was seen
    // Appends `c` of `l` bits (the low 6 bits of `l`; the rest counts
    // byte values without a code) and stores the whole bytes.
    const auto put = [&](uint64_t c, unsigned l) {
        noCodes |= l;
        accumulator = accumulator << (l & 63) | c;
        pending += l & 63;
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
    if (pending > 0) put(0, 0);  // the last, incomplete byte; `out` stays on it
    if (noCodes & kNoCode * 7) bad = true;
    return static_cast<uint64_t>(out - begin) * 8 + pending - static_cast<unsigned>(lead);
}

[[gnu::always_inline]] inline uint64_t EncodeInline(const uint8_t* in, size_t n,
                                                    const TEncodeTable& table, int lead,
                                                    uint8_t* out, bool& bad) {
    if (table.Longest <= 14) return EncodePart<4>(in, n, table, lead, out, bad);
    if (table.Longest <= 19) return EncodePart<3>(in, n, table, lead, out, bad);
    if (table.Longest <= 28) return EncodePart<2>(in, n, table, lead, out, bad);
    return EncodePart<1>(in, n, table, lead, out, bad);
}

uint64_t EncodeAnywhere(const uint8_t* in, size_t n, const TEncodeTable& table, int lead,
                        uint8_t* out, bool& bad) {
    return EncodeInline(in, n, table, lead, out, bad);
}

VG_FAST_SHIFTS uint64_t EncodeFastShifts(const uint8_t* in, size_t n, const TEncodeTable& table,
                                         int lead, uint8_t* out, bool& bad) {
    return EncodeInline(in, n, table, lead, out, bad);
}

uint64_t EncodeAny(const uint8_t* in, size_t n, const TEncodeTable& table, int lead, uint8_t* out,
                   bool& bad) {
    return HasFastShifts() ? EncodeFastShifts(in, n, table, lead, out, bad)
                           : EncodeAnywhere(in, n, table, lead, out, bad);
}

// Writes bit strings one after the other to OutputStream, the incomplete
// last byte held back until the next string fills it.
class TBitStitcher {
public:
    int Lead() const { return FCarryBits; }
    // `bytes` begins with Lead() zero bits, followed by `bits` bits.
    void Append(uint8_t* bytes, uint64_t bits) {
        bytes[0] |= FCarry;
        const uint64_t total = static_cast<uint64_t>(FCarryBits) + bits;
        const uint64_t whole = total / 8;
        if (whole > 0) OutputStream->Write(bytes, static_cast<int64_t>(whole));
        FCarryBits = static_cast<int>(total % 8);
        FCarry = FCarryBits > 0 ? static_cast<uint8_t>(bytes[whole] & (0xFF00u >> FCarryBits)) : 0;
    }
    // Writes the held-back byte; returns its number of valid bits (0 when
    // the data ended on a byte boundary).
    int Finish() {
        if (FCarryBits > 0) OutputStream->Write(&FCarry, 1);
        return FCarryBits;
    }

private:
    uint8_t FCarry = 0;
    int FCarryBits = 0;
};

// The second pass over the input for codes of at most kFastCodeBits bits:
// block by block as the count saw them, each part of a block encoded on a
// thread of its own at the bit position that the part's counts give it.
// Any difference from what was counted is refused.
uint8_t EncodeCounted(const TEncodeTable& table) {
    int64_t longest = IoBlockSize();
    for (const TCountedBlock& counted : CountedBlocks) longest = std::max(longest, counted.Length);
    size_t mostParts = 1;
    for (const TCountedBlock& counted : CountedBlocks)
        mostParts = std::max(mostParts, static_cast<size_t>(counted.Parts));
    if (PartOutputs.size() < mostParts) PartOutputs.resize(mostParts);
    std::vector<TLargeBuffer>& outputs = PartOutputs;
    TBitStitcher stitcher;
    for (const TCountedBlock& counted : CountedBlocks) {
        int64_t length;
        const uint8_t* const block = NextBlock(counted.Length, length);
        if (length != counted.Length) InputChanged();
        const int parts = counted.Parts;
        std::vector<uint64_t> expected(static_cast<size_t>(parts)), written(expected);
        std::vector<int> leads(static_cast<size_t>(parts));
        std::vector<char> bad(static_cast<size_t>(parts), 0);
        uint64_t position = static_cast<uint64_t>(stitcher.Lead());
        for (int k = 0; k < parts; ++k) {
            const auto& counts = PartCounts[counted.FirstPart + static_cast<size_t>(k)];
            uint64_t bits = 0;
            for (int v = 0; v < 256; ++v) bits += uint64_t{counts[v]} * (table.Length[v] & 0xFF);
            expected[k] = bits;
            leads[k] = static_cast<int>(position % 8);
            position += bits;
            const int64_t size =
                PartBegin(counted.Length, parts, k + 1) - PartBegin(counted.Length, parts, k);
            const size_t room = static_cast<size_t>((leads[k] + size * table.Longest + 7) / 8 + 16);
            outputs[k].Reserve(room);
        }
        RunParts(parts, [&](int k) {
            const int64_t begin = PartBegin(counted.Length, parts, k);
            const int64_t end = PartBegin(counted.Length, parts, k + 1);
            bool partBad = false;
            written[k] = EncodeAny(block + begin, static_cast<size_t>(end - begin), table, leads[k],
                                   outputs[k].Data(), partBad);
            bad[k] = partBad;
        });
        for (int k = 0; k < parts; ++k)
            if (bad[k] || written[k] != expected[k]) InputChanged();
        for (int k = 0; k < parts; ++k) stitcher.Append(outputs[k].Data(), written[k]);
    }
    int64_t more;
    NextBlock(longest, more);
    if (more != 0) InputChanged();
    return static_cast<uint8_t>(stitcher.Finish());
}

}  // namespace

void EncodeData() {
    RequireStreams();
    // Each code as an integer, the first bit highest, with its length in
    // the upper half; length 0 marks a byte value without a code, above 32 a
    // code that is fed from its bits.
    uint64_t codes[256];
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        const int count = entry.Present != 0 && entry.BitCount > 0 ? entry.BitCount : 0;
        uint64_t code = 0;
        for (int i = 0; i < count && i < 32; ++i) code = (code << 1) | (entry.Bits[i] & 1u);
        codes[v] = code | uint64_t(count > 32 ? 255 : count) << 32;
    }

    // The fast encoder takes every table whose codes fit a word.
    TEncodeTable table{};
    bool fast = true;
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        const int count = entry.Present != 0 && entry.BitCount > 0 ? entry.BitCount : 0;
        if (count > kFastCodeBits) fast = false;
        table.Length[v] = kNoCode;
        if (count == 0 || count > kFastCodeBits) continue;
        uint64_t code = 0;
        for (int i = 0; i < count; ++i) code = (code << 1) | (entry.Bits[i] & 1u);
        table.Code[v] = code;
        table.Length[v] = static_cast<uint8_t>(count);
        table.Longest = std::max(table.Longest, count);
    }
    table.Longest = std::max(table.Longest, 1);

    OutputStream->Seek(1, TSeekOrigin::soBeginning);
    const uint8_t lengthField[4] = {
        static_cast<uint8_t>(TableLength), static_cast<uint8_t>(TableLength >> 8),
        static_cast<uint8_t>(TableLength >> 16), static_cast<uint8_t>(TableLength >> 24)};
    OutputStream->Write(lengthField, 4);
    OutputStream->Write(TableBuffer, TableLength);

    if (fast) {
        InputStream->Seek(0, TSeekOrigin::soBeginning);
        LastByteBits = EncodeCounted(table);
    } else {
        InputStream->Seek(0, TSeekOrigin::soBeginning);
        BitWriter writer;
        int64_t total = 0;
        for (int n; (n = ReadBlock()) > 0;) {
            total += n;
            if (total > CountedBytes) InputChanged();
            const auto putOne = [&](uint8_t b) {
                const unsigned length = static_cast<unsigned>(codes[b] >> 32);
                if (length - 1u < 32u) {
                    writer.PutCode(static_cast<uint32_t>(codes[b]), static_cast<int>(length));
                } else if (length == 0) {
                    // Only a byte the counting pass never saw has no code.
                    InputChanged();
                } else {
                    writer.PutBits(CodeTable[b].Bits, CodeTable[b].BitCount);
                }
            };
            int i = 0;
            // Two codes of at most 24 bits each go in as one.
            for (; i + 2 <= n; i += 2) {
                const uint64_t e0 = codes[ReadBuffer[i]], e1 = codes[ReadBuffer[i + 1]];
                const unsigned l0 = static_cast<unsigned>(e0 >> 32), l1 = static_cast<unsigned>(e1 >> 32);
                if (((l0 - 1u) | (l1 - 1u)) < 24u) {
                    writer.PutCode((e0 & 0xFFFFFFFFu) << l1 | (e1 & 0xFFFFFFFFu), static_cast<int>(l0 + l1));
                } else {
                    putOne(ReadBuffer[i]);
                    putOne(ReadBuffer[i + 1]);
                }
            }
            for (; i < n; ++i) putOne(ReadBuffer[i]);
        }
        if (total != CountedBytes) InputChanged();
        LastByteBits = static_cast<uint8_t>(writer.Finish());
    }

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
    BuildCodes();
    EncodeData();
    return {InputSize, PredictedSize};
}

void DecompressFile() {
    RequireStreams();
    ReadCodeTable();
    RebuildTree();
    DecodeData();
}

// ---------------------------------------------------------------------------
// Code listing

std::string FormatCodeListing() {
    std::string text;
    for (int v = 0; v < 256; ++v) {
        const CodeEntry& entry = CodeTable[v];
        if (entry.Present == 0) continue;
        text += "Kode: ";
        text += std::to_string(v);
        text += "- ";
        const int count = entry.BitCount < static_cast<int>(sizeof entry.Bits)
                              ? entry.BitCount
                              : static_cast<int>(sizeof entry.Bits);
        for (int i = 0; i < count; ++i) text += entry.Bits[i] == 1 ? '1' : '0';
        text += "\r\n";
    }
    return text;
}

}  // namespace unit2
