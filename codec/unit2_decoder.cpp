// Expanding a compressed file: its code table, the rebuilt code tree and
// the walk through the data bits.
//
// Every length, index and bit taken from the file is checked before it is
// used: a damaged or foreign file ends with EError, never with a read or
// write outside the workspace or an endless loop.
#include <bit>
#include <cstring>

#include "codec/unit2.h"

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

// Reads the data bits block by block. The bit buffer holds `FCount` valid
// bits at its top, the next one highest; below them it is zero. Like the
// block reading of the format, the next block is read as soon as the
// previous one is used up, so the last byte of the file is known when it is
// taken, and only its `LastByteBits` valid bits are taken.
class BitReader {
public:
    BitReader() {
        FLength = static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize));
        FAtEnd = FLength == 0;
    }
    bool Empty() const { return FAtEnd && FCount == 0; }
    int Count() const { return FCount; }
    uint64_t Peek() const { return FBuffer; }
    void Skip(int bits) {
        FBuffer <<= bits;
        FCount -= bits;
    }
    // Tops the buffer up to at least 57 bits, or to every bit that is left.
    void Refill() {
        while (FCount <= 56 && !FAtEnd) {
            if (FLength - FPosition > 8) {
                // Eight bytes in one load; none of them ends the block.
                uint64_t word;
                std::memcpy(&word, ReadBuffer + FPosition, sizeof word);
                if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
                const int taken = (64 - FCount) >> 3;
                const int count = FCount + taken * 8;
                FBuffer |= word >> FCount;
                if (count < 64) FBuffer &= ~(~uint64_t{0} >> count);
                FCount = count;
                FPosition += taken;
                continue;
            }
            unsigned byte = ReadBuffer[FPosition++];
            int valid = 8;
            if (FPosition == FLength) {
                FLength = static_cast<int>(InputStream->Read(ReadBuffer, kBlockSize));
                FPosition = 0;
                if (FLength == 0) {
                    FAtEnd = true;
                    valid = LastByteBits;
                    byte &= 0xFFu << (8 - valid);
                }
            }
            FBuffer |= static_cast<uint64_t>(byte) << (56 - FCount);
            FCount += valid;
        }
    }

private:
    uint64_t FBuffer = 0;
    int FCount = 0;
    int FPosition = 0;
    int FLength = 0;
    bool FAtEnd = false;
};

[[noreturn]] void RanOut() { Damaged("its data ends in the middle of a code"); }

// Decodes one byte value bit by bit along the tree.
uint8_t WalkTree(BitReader& reader) {
    const TreeNode* node = DecodeRoot;
    while (node->Left) {
        if (reader.Count() == 0) {
            reader.Refill();
            if (reader.Count() == 0) RanOut();
        }
        const bool one = (reader.Peek() >> 63) != 0;
        reader.Skip(1);
        node = one ? node->Right : node->Left;
        if (!node) Damaged("its data holds a bit sequence that is no code");
    }
    return node->Symbol;
}

}  // namespace

void ReadCodeTable() {
    InputStream->Seek(0, TSeekOrigin::soBeginning);
    if (InputStream->Read(&LastByteBits, 1) != 1) Damaged("it is shorter than 5 bytes");
    if (LastByteBits > 7) Damaged("its count of bits in the last byte is above 7");
    if (LastByteBits == 0) LastByteBits = 8;

    const int64_t available = InputStream->Read(TableBuffer, kTableBufferSize);
    if (available < 4) Damaged("it is shorter than 5 bytes");
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
}

void DecodeData() {
    InputStream->Seek(5 + static_cast<int64_t>(TableLength), TSeekOrigin::soBeginning);
    OutputStream->Seek(0, TSeekOrigin::soBeginning);
    BitReader reader;
    const bool hasCodes = DecodeRoot->Left != nullptr;
    if (reader.Empty()) {
        if (hasCodes) Damaged("it has a code table but no data");
        return;  // an empty input: nothing to write
    }
    if (!hasCodes) Damaged("it has data but no code table");

    int fill = 0;
    for (;;) {
        if (fill == kBlockSize) {
            OutputStream->Write(WriteBuffer, kBlockSize);
            fill = 0;
        }
        if (reader.Count() <= 56) reader.Refill();
        // Five short codes in a row while more bits than they can take are
        // left: none of them can end the data.
        if (reader.Count() > 5 * kLookupBits && fill <= kBlockSize - 5) {
            int decoded = 0;
            for (; decoded < 5; ++decoded) {
                const unsigned entry = DecodeLookup[reader.Peek() >> (64 - kLookupBits)];
                if (entry == 0) break;
                reader.Skip(static_cast<int>(entry & 0xFF));
                WriteBuffer[fill++] = static_cast<uint8_t>(entry >> 8);
            }
            if (decoded == 5) continue;
        }
        // One code, with every check.
        const unsigned entry = DecodeLookup[reader.Peek() >> (64 - kLookupBits)];
        const int length = static_cast<int>(entry & 0xFF);
        if (length != 0 && length <= reader.Count()) {
            WriteBuffer[fill++] = static_cast<uint8_t>(entry >> 8);
            reader.Skip(length);
        } else {
            WriteBuffer[fill++] = WalkTree(reader);
        }
        if (reader.Empty()) break;
    }
    if (fill > 0) OutputStream->Write(WriteBuffer, fill);
}

}  // namespace unit2
