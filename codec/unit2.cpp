// The codec's workspace, its files, the Huffman tree and codes, the encoder
// and the code listing. The decoder lives in unit2_decoder.cpp.
#include "codec/unit2.h"

#include <bit>
#include <cstring>

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

// Number of bytes the frequency count saw; the encoder's second pass over
// the input must see the same bytes again.
int64_t CountedBytes = 0;

// Reads the next block of InputStream into ReadBuffer; 0 at the end.
int ReadBlock() { return static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize)); }

void RequireStreams() {
    if (!InputStream || !OutputStream)
        throw EError("The codec has no open input and output file");
}

[[noreturn]] void InputChanged() {
    throw EError("The input file changed while it was being compressed");
}

}  // namespace

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
}

void CountFrequencies() {
    // Four tallies side by side keep consecutive equal bytes from waiting
    // on each other's increments.
    uint32_t tally[4][256] = {};
    int64_t total = 0;
    for (int n; (n = ReadBlock()) > 0;) {
        total += n;
        if (total >= kMaxInputSize)
            throw EError("The input is too large: the codec handles files shorter than " +
                         std::to_string(kMaxInputSize) + " bytes");
        int i = 0;
        for (; i + 4 <= n; i += 4) {
            ++tally[0][ReadBuffer[i]];
            ++tally[1][ReadBuffer[i + 1]];
            ++tally[2][ReadBuffer[i + 2]];
            ++tally[3][ReadBuffer[i + 3]];
        }
        for (; i < n; ++i) ++tally[0][ReadBuffer[i]];
    }
    for (int v = 0; v < 256; ++v)
        NodePool[v].Weight +=
            static_cast<int32_t>(tally[0][v] + tally[1][v] + tally[2][v] + tally[3][v]);
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

    OutputStream->Seek(1, TSeekOrigin::soBeginning);
    const uint8_t lengthField[4] = {
        static_cast<uint8_t>(TableLength), static_cast<uint8_t>(TableLength >> 8),
        static_cast<uint8_t>(TableLength >> 16), static_cast<uint8_t>(TableLength >> 24)};
    OutputStream->Write(lengthField, 4);
    OutputStream->Write(TableBuffer, TableLength);

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
