// The codec's workspace, its files, the Huffman tree and codes, the encoder
// and the code listing. The decoder lives in unit2_decoder.cpp.
#include "codec/unit2.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <queue>
#include <thread>
#include <typeinfo>
#include <vector>

#include "codec/unit2_parallel.h"
#include "core/thread_cap.h"

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
// Where the bits of a block meet on their way to an output file; kept from
// run to run.
TLargeBuffer BlockOutput;

// Reads the next block of InputStream into ReadBuffer; 0 at the end.
int ReadBlock() { return static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize)); }

// The input moves in blocks of this size; each block is counted, and later
// encoded, in parts side by side.
int64_t IoBlockSize() { return std::max<int64_t>(CodecTuning().BlockBytes, 1); }

// True when InputStream is a plain memory stream, whose blocks stay where
// they are while the codec works.
bool InputInMemory() {
    TStream& input = *InputStream;
    return typeid(input) == typeid(TMemoryStream);
}

// The plain memory stream that OutputStream is, or nullptr.
TMemoryStream* OutputInMemory() {
    TStream& output = *OutputStream;
    return typeid(output) == typeid(TMemoryStream) ? static_cast<TMemoryStream*>(&output) : nullptr;
}

// Growing a memory output to hold the compressed bytes clears the new
// bytes first, which takes long for a large file. So while CompressFile
// counts, one of the counting threads grows a plain memory output within
// the memory it already holds, up to the most the file can need, and
// EncodeData gives back what the file did not need. OutputSizeBefore is
// the output's size before it grew (-1 while it has not).
bool GrowOutputWhileCounting = false;
int64_t OutputSizeBefore = -1;

// The most bytes a compressed file of `inputBytes` bytes can take: a
// Huffman code never needs more bits than a code of 8 bits for each byte.
int64_t MostCompressedBytes(int64_t inputBytes) {
    return kHeaderSize + kMaxTableLength + inputBytes;
}

// Grows the memory output within its memory, up to `most` bytes.
void GrowOutput(TMemoryStream& memory, int64_t most) {
    const int64_t room = std::min(static_cast<int64_t>(memory.Data().capacity()), most);
    if (memory.Size() < room) memory.SetSize(room);
}

// Gives back what the output grew by and the data did not fill: it ends at
// `end`, or where it ended before if that is later.
void GiveBackOutput(int64_t end) {
    if (OutputSizeBefore < 0) return;
    if (TMemoryStream* const memory = OutputStream ? OutputInMemory() : nullptr)
        memory->SetSize(std::max(OutputSizeBefore, end));
    OutputSizeBefore = -1;
}

// The next block of up to `size` bytes of InputStream and its length (0 at
// the end). A plain memory stream hands out its own bytes; any other
// stream is read into IoBuffer.
const uint8_t* NextBlock(int64_t size, int64_t& length) {
    TStream& input = *InputStream;
    if (InputInMemory()) {
        auto& memory = static_cast<TMemoryStream&>(input);
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
    const int threads = CodecTuning().Threads;
    return threads > 0 ? std::min(threads, kMostThreads) : ThreadCap();
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
    // The parts of the blocks read and not yet counted. A memory input's
    // blocks stay where they are and are all counted in one go; any other
    // input is counted block by block, as each block is read.
    struct TCountPart {
        const uint8_t* Bytes;
        size_t Length;
        size_t Counts;  // index into PartCounts
    };
    std::vector<TCountPart> parts;
    // The output to grow along with the first parts, if any: first, as the
    // largest piece of work, so that the parts even out the threads.
    TMemoryStream* grow = nullptr;
    int64_t most = 0;
    if (GrowOutputWhileCounting && OutputStream && (grow = OutputInMemory())) {
        OutputSizeBefore = grow->Size();
        const int64_t left = InputStream->Size() - InputStream->Position();
        most = MostCompressedBytes(std::max<int64_t>(0, left));
    }
    const auto countParts = [&] {
        const int first = grow ? 1 : 0;
        RunParts(static_cast<int>(parts.size()) + first, [&](int j) {
            if (j < first) return GrowOutput(*grow, most);
            const TCountPart& part = parts[static_cast<size_t>(j - first)];
            uint32_t* counts = PartCounts[part.Counts].data();
            std::fill_n(counts, 256, 0u);
            CountBytes(part.Bytes, part.Length, counts);
        });
        parts.clear();
        grow = nullptr;
    };
    const bool allBlocks = InputInMemory();
    int64_t total = 0;
    for (;;) {
        int64_t n;
        const uint8_t* const block = NextBlock(IoBlockSize(), n);
        if (n <= 0) break;
        total += n;
        if (total >= kMaxInputSize)
            throw EError("The input is too large: the codec handles files shorter than " +
                         std::to_string(kMaxInputSize) + " bytes");
        const int count = PartsOf(n);
        const size_t first = PartCounts.size();
        PartCounts.resize(first + static_cast<size_t>(count));
        for (int k = 0; k < count; ++k) {
            const int64_t begin = PartBegin(n, count, k), end = PartBegin(n, count, k + 1);
            parts.push_back({block + begin, static_cast<size_t>(end - begin),
                             first + static_cast<size_t>(k)});
        }
        CountedBlocks.push_back({n, count, first});
        if (!allBlocks) countParts();
    }
    countParts();
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
    // The nodes FindLightestNode would choose from, lightest first and the
    // lowest index first among equal weights: it picks the same node in
    // the same order without searching the whole pool each time.
    using TCandidate = std::pair<int32_t, int>;  // weight, index
    std::priority_queue<TCandidate, std::vector<TCandidate>, std::greater<TCandidate>> candidates;
    const auto offer = [&](int i) {
        const TreeNode& node = NodePool[i];
        if (node.Weight > 0 && node.Weight < 0x7FFFFFFF && node.Merged == 0)
            candidates.push({node.Weight, i});
    };
    for (int i = 0; i < 256; ++i) offer(i);
    const auto lightest = [&]() -> TreeNode* {
        if (candidates.empty()) return nullptr;
        TreeNode* node = &NodePool[candidates.top().second];
        candidates.pop();
        return node;
    };
    int last = 255;
    for (;;) {
        TreeNode* a = lightest();
        if (!a) break;
        a->Merged = 1;
        TreeNode* b = lightest();
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
        offer(last);
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

// Codes of up to this many bits are written by the fast encoder; a table
// with a longer one (hand-made tables only) by EncodeLongCodes.
constexpr int kFastCodeBits = 57;

// The codes as integers, the first bit highest, and their lengths. The
// length of a byte value without a code is kNoCode: 0 bits, and a count
// in the upper byte that sums of up to four lengths carry along.
constexpr uint16_t kNoCode = 0x100;

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
        const size_t room = static_cast<size_t>(limit - state.Out);
        if (room < kRunMargin) break;
        const size_t run = std::min((room - kRunMargin) * 8 / longest, static_cast<size_t>(end - p));
        if (run < kShortestRun) break;
        EncodeRun<G>(p, run, table, state);
        p += run;
    }
    part.TailAt = targetFirst + static_cast<uint64_t>(state.Out - target);
    // The rest into the tail; as many bits as were counted always fit.
    state.Out = part.Tail.data();
    const uint8_t* const tailLimit = part.Tail.data() + part.Tail.size();
    bool bad = false;
    while (p < end) {
        const size_t room = static_cast<size_t>(tailLimit - state.Out);
        const size_t run = room < kRunMargin ? 0
                           : std::min((room - kRunMargin) * 8 / longest,
                                      static_cast<size_t>(end - p));
        if (run == 0) {
            bad = true;
            break;
        }
        EncodeRun<G>(p, run, table, state);
        p += run;
    }
    // The last, incomplete byte; there is room for it after any run.
    if (state.Pending > 0)
        *state.Out = static_cast<uint8_t>(state.Accumulator << (8 - state.Pending));
    part.Bad = bad || (state.NoCodes & kNoCode * 7) != 0;
    part.Written = (part.TailAt + static_cast<uint64_t>(state.Out - part.Tail.data())) * 8 +
                   state.Pending - part.FirstBit;
}

[[gnu::always_inline]] inline void EncodeInline(TEncodePart& part, const TEncodeTable& table,
                                                uint8_t* target, uint64_t targetFirst) {
    if (table.Longest <= 14) return EncodePart<4>(part, table, target, targetFirst);
    if (table.Longest <= 19) return EncodePart<3>(part, table, target, targetFirst);
    if (table.Longest <= 28) return EncodePart<2>(part, table, target, targetFirst);
    return EncodePart<1>(part, table, target, targetFirst);
}

void EncodeAnywhere(TEncodePart& part, const TEncodeTable& table, uint8_t* target,
                    uint64_t targetFirst) {
    EncodeInline(part, table, target, targetFirst);
}

VG_FAST_SHIFTS void EncodeFastShifts(TEncodePart& part, const TEncodeTable& table,
                                     uint8_t* target, uint64_t targetFirst) {
    EncodeInline(part, table, target, targetFirst);
}

void EncodeAny(TEncodePart& part, const TEncodeTable& table, uint8_t* target,
               uint64_t targetFirst) {
    if (HasFastShifts())
        EncodeFastShifts(part, table, target, targetFirst);
    else
        EncodeAnywhere(part, table, target, targetFirst);
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
        if (part.TailAt == firstByte)
            part.Tail[0] |= FCarry;
        else
            target[firstByte - targetFirst] |= FCarry;
        const uint64_t endBit = part.FirstBit + part.Bits;
        const size_t whole = static_cast<size_t>(endBit / 8 - part.TailAt);
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
uint8_t EncodeCounted(const TEncodeTable& table) {
    std::vector<uint64_t> bits(PartCounts.size());
    uint64_t totalBits = 0;
    for (size_t i = 0; i < PartCounts.size(); ++i) {
        for (int v = 0; v < 256; ++v)
            bits[i] += uint64_t{PartCounts[i][v]} * (table.Length[v] & 0xFF);
        totalBits += bits[i];
    }
    TMemoryStream* const memory = OutputInMemory();
    const bool allBlocks = memory && InputInMemory();
    uint8_t* target = nullptr;
    uint64_t targetFirst = 0;
    int64_t dataStart = 0;
    if (memory) {
        dataStart = memory->Position();
        const int64_t dataEnd = dataStart + static_cast<int64_t>((totalBits + 7) / 8);
        if (memory->Size() < dataEnd) memory->SetSize(dataEnd);
        target = memory->Data().data() + dataStart;
    }

    int64_t longest = IoBlockSize();
    std::vector<TEncodePart> parts;
    TPartJoiner joiner;
    uint64_t position = 0;
    const auto encodeParts = [&] {
        RunParts(static_cast<int>(parts.size()),
                 [&](int j) { EncodeAny(parts[static_cast<size_t>(j)], table, target, targetFirst); });
        for (const TEncodePart& part : parts)
            if (part.Bad || part.Written != part.Bits) InputChanged();
        for (TEncodePart& part : parts) joiner.Join(part, target, targetFirst);
        parts.clear();
    };
    for (const TCountedBlock& counted : CountedBlocks) {
        longest = std::max(longest, counted.Length);
        int64_t length;
        const uint8_t* const block = NextBlock(counted.Length, length);
        if (length != counted.Length) InputChanged();
        const uint64_t blockFirst = position / 8;
        for (int k = 0; k < counted.Parts; ++k) {
            const int64_t begin = PartBegin(counted.Length, counted.Parts, k);
            const int64_t end = PartBegin(counted.Length, counted.Parts, k + 1);
            TEncodePart& part = parts.emplace_back();
            part.Bytes = block + begin;
            part.Length = static_cast<size_t>(end - begin);
            part.FirstBit = position;
            part.Bits = bits[counted.FirstPart + static_cast<size_t>(k)];
            position += part.Bits;
        }
        if (allBlocks) continue;
        if (!memory) {
            BlockOutput.Reserve(static_cast<size_t>(position / 8 - blockFirst + 1));
            target = BlockOutput.Data();
            targetFirst = blockFirst;
        }
        encodeParts();
        if (!memory) OutputStream->Write(target, static_cast<int64_t>(position / 8 - blockFirst));
    }
    if (!parts.empty()) encodeParts();
    int64_t more;
    NextBlock(longest, more);
    if (more != 0) InputChanged();

    if (joiner.CarryBits() > 0) {
        const uint8_t carry = joiner.Carry();
        if (memory)
            target[totalBits / 8] = carry;
        else
            OutputStream->Write(&carry, 1);
    }
    if (memory) memory->SetPosition(dataStart + static_cast<int64_t>((totalBits + 7) / 8));
    return static_cast<uint8_t>(joiner.CarryBits());
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
uint8_t EncodeLongCodes(const TEncodeTable& table) {
    BitWriter writer;
    int64_t total = 0;
    for (int n; (n = ReadBlock()) > 0;) {
        total += n;
        if (total > CountedBytes) InputChanged();
        int i = 0;
        // Two codes of at most 24 bits each go in as one.
        for (; i + 2 <= n; i += 2) {
            const uint8_t b0 = ReadBuffer[i], b1 = ReadBuffer[i + 1];
            const unsigned l0 = table.Length[b0], l1 = table.Length[b1];
            if (((l0 - 1u) | (l1 - 1u)) < 24u) {
                writer.PutCode(table.Code[b0] << l1 | table.Code[b1], static_cast<int>(l0 + l1));
            } else {
                PutCodeOf(writer, table, b0);
                PutCodeOf(writer, table, b1);
            }
        }
        for (; i < n; ++i) PutCodeOf(writer, table, ReadBuffer[i]);
    }
    if (total != CountedBytes) InputChanged();
    return static_cast<uint8_t>(writer.Finish());
}

}  // namespace

void EncodeData() {
    RequireStreams();
    const TEncodeTable table = BuildEncodeTable();
    WriteCodeTable();
    InputStream->Seek(0, TSeekOrigin::soBeginning);
    LastByteBits = table.Longest <= kFastCodeBits ? EncodeCounted(table) : EncodeLongCodes(table);
    if (OutputSizeBefore >= 0) GiveBackOutput(OutputStream->Position());
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
    // However the run ends, the output keeps no room it grew and did not fill.
    struct TGrowing {
        TGrowing() { GrowOutputWhileCounting = true; }
        ~TGrowing() {
            GrowOutputWhileCounting = false;
            GiveBackOutput(OutputSizeBefore);
        }
    } growing;
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
