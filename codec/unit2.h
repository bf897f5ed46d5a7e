// The Huffman file codec: compresses any file byte-wise with a static
// Huffman code built from that file's byte frequencies, stores the code
// table in the compressed (".234") file, and expands such files again.
//
// The codec is a module with one workspace that lives for the whole run:
// exactly one input and one output file are open at a time. A run is
//   (ResetCodec before expanding) -> OpenInputFile -> CreateOutputFile
//   -> CompressFile or DecompressFile -> CloseFiles.
// The buffers a run needs beyond the workspace are released when
// CompressFile or DecompressFile returns or fails, and by CloseFiles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/exceptions.h"
#include "core/streams.h"

namespace unit2 {

constexpr int kBlockSize = 32768;        // size of ReadBuffer and WriteBuffer
// A compressed file begins with the count of valid bits in its last byte
// (one byte) and the code table's length (four bytes, low byte first).
constexpr int kHeaderSize = 5;
constexpr int kTableBufferSize = 1496;   // packed code table, with its length field
constexpr int kMaxTableLength = 1492;    // the longest table a decoder reads back
constexpr int kNodeCount = 512;
constexpr int kDecodeRootIndex = 511;
// Byte counts are signed 32-bit: inputs must be shorter than this.
constexpr int64_t kMaxInputSize = 2147483647;

struct TreeNode {
    TreeNode* Left;
    TreeNode* Right;
    uint8_t SymbolSet[256];
    int32_t SymbolCount;
    uint8_t Bit;
    uint8_t Symbol;
    int32_t Weight;
    uint8_t Merged;
};

struct CodeEntry {
    uint8_t Symbol;
    uint8_t Present;
    uint8_t Bits[258];
    int32_t BitCount;
};

// The workspace: allocated once, zero-filled at start-up.
extern TreeNode NodePool[kNodeCount];
extern CodeEntry CodeTable[256];
extern std::unique_ptr<TStream> InputStream;
extern std::unique_ptr<TStream> OutputStream;
extern int32_t InputSize;
extern int32_t PredictedSize;
extern TreeNode* Root;
extern uint8_t TableBuffer[kTableBufferSize];
extern int32_t TableLength;
extern uint8_t LastByteBits;
extern uint8_t ReadBuffer[kBlockSize];
extern uint8_t WriteBuffer[kBlockSize];
// The fixed root of the tree rebuilt for expanding: NodePool[511].
extern TreeNode* const DecodeRoot;

struct CompressResult {
    int32_t InputSize;
    int32_t PredictedSize;
};

void ResetCodec();
// Raises EError "Invalid Filename" when `name` is not an existing regular
// file, and EError when it holds kMaxInputSize bytes or more; either way
// nothing changes. An open input stream is closed and replaced.
bool OpenInputFile(const std::string& name);
bool CreateOutputFile(const std::string& name);
void CloseFiles();

// Closes the codec's files when it goes out of scope, however the run ends:
//   unit2::TCodecFiles files;
//   unit2::OpenInputFile(in); unit2::CreateOutputFile(out); unit2::CompressFile();
class TCodecFiles {
public:
    TCodecFiles() = default;
    TCodecFiles(const TCodecFiles&) = delete;
    TCodecFiles& operator=(const TCodecFiles&) = delete;
    ~TCodecFiles() { CloseFiles(); }
};

// Builds the codes of the open input file into CodeTable, packs the table
// and predicts the compressed size. Refuses with EError a code table longer
// than kMaxTableLength and a compressed size of kMaxInputSize bytes or more,
// exactly where CompressFile would refuse them.
void BuildCodes();

// CompressFile builds the codes (BuildCodes) and then writes the whole
// compressed file (EncodeData); a refused table or size is reported before
// any data is written.
CompressResult CompressFile();
// Requires ResetCodec since the last run. A damaged or foreign file ends
// with EError; the decoder never reads or writes outside its workspace.
void DecompressFile();

// The steps of compressing, in the order BuildCodes and CompressFile run them.
void InitLeaves();
void CountFrequencies();
void BuildTree();
void AssignCodes();
void PackCodeTable();
int32_t PredictCompressedSize();
void EncodeData();

// The steps of expanding, in the order DecompressFile runs them.
void ReadCodeTable();
void RebuildTree();
void DecodeData();

// The code listing ("kode.txt") of the current CodeTable: one line
// "Kode: <v>- <bits>" CR LF for every byte value that has a code.
std::string FormatCodeListing();

}  // namespace unit2
