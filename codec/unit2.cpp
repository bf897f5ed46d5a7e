// The codec's workspace and its files, the run that holds what a run keeps
// between its steps, the Huffman tree and codes, and the code listing. The
// count and the encoder live in unit2_encoder.cpp, the decoder in
// unit2_decoder.cpp.
#include "codec/unit2.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>
#include <vector>

#include "codec/unit2_parallel.h"
#include "codec/unit2_run.h"
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

// The run under way, or none.
std::unique_ptr<TCodecRun> Running;

}  // namespace

TCodecRun& CurrentRun() {
    if (!Running) Running = std::make_unique<TCodecRun>();
    return *Running;
}

void EndRun() { Running.reset(); }

void RequireStreams() {
    if (!InputStream || !OutputStream)
        throw EError("The codec has no open input and output file");
}

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
    EndRun();
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
    TCodecRun& run = CurrentRun();
    run.CountedBytes = 0;
    run.CountedBlocks.clear();
    run.PartCounts.clear();
}

// Each step merges the two unmerged nodes of smallest positive weight, the
// lighter one (the first picked) becoming the 0-branch. Among equal weights
// the lowest index wins: a leaf wins a tie against an internal node, and
// an older internal node against a younger one. Nodes of weight 0 (byte
// values absent from the input) never take part and get no code.
void BuildTree() {
    // A weight from which on a node never takes part.
    constexpr int32_t kHeaviest = 0x7FFFFFFF;
    // The nodes that may still be picked, lightest first and the lowest
    // index first among equal weights.
    using TCandidate = std::pair<int32_t, int>;  // weight, index
    std::priority_queue<TCandidate, std::vector<TCandidate>, std::greater<TCandidate>> candidates;
    const auto offer = [&](int i) {
        const TreeNode& node = NodePool[i];
        if (node.Weight > 0 && node.Weight < kHeaviest && node.Merged == 0)
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
