// Sessions with libjpeg: one compression or decompression object at a time,
// with our error manager, an in-memory source or destination and a progress
// hook. The object is destroyed when the session ends, on every path.
//
// libjpeg is C: a fatal error must not return to it, and a C++ exception
// must not travel through its frames. So the error manager jumps back to the
// `Run` that called into the library (setjmp/longjmp), and `Run` raises the
// exception there: EJPEGExplained with the library's message code and text,
// or the exception one of our callbacks caught (an EAbort from a progress
// handler, an out-of-memory while collecting output). Warnings are counted
// and the last one's text kept; trace messages are dropped.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

class TJPEGFeed;

namespace jpegsession {

// Bytes handed between libjpeg and our buffers per call.
constexpr size_t kChunkSize = 4096;
// The encoded bytes grow in whole steps of this size.
constexpr size_t kGrowStep = 8192;
// The most memory libjpeg may take for decoding one picture, beyond the
// bitmap it decodes into: a small file that declares a huge picture is
// refused (JERR_NO_BACKING_STORE) before the library takes gigabytes.
constexpr long kMaxDecoderMemory = 512L << 20;

// Called with the percentage done while libjpeg works (at most every 500 ms).
using ProgressFn = std::function<void(int percentDone)>;

// The clock that paces the progress reports, in milliseconds.
using ProgressClock = int64_t (*)();
// Puts `clock` in place of the steady clock (null: the steady clock again)
// and returns the clock it replaces.
ProgressClock SetProgressClock(ProgressClock clock);

struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg sees only this part
    std::jmp_buf jump;
    std::exception_ptr pending;  // caught in one of our callbacks
    char fatalText[JMSG_LENGTH_MAX];    // the library's text of its fatal error
    int warnings;                       // warnings the library gave
    char lastWarning[JMSG_LENGTH_MAX];  // the text of the last one
};

// The warnings a session gave: how many, and the last one's text.
struct SessionWarnings {
    int count = 0;
    std::string lastMessage;
};
SessionWarnings WarningsOf(const ErrorManager& manager);

struct ProgressHook {
    jpeg_progress_mgr pub;
    ProgressFn report;
    int64_t lastReportMs = 0;
};

// Installs the error handler: fatal errors end in a jump back to Run,
// warnings are counted (the last one's text kept), trace messages dropped.
jpeg_error_mgr* InitErrorManager(ErrorManager& manager);

// Raises what made the library jump back: the pending exception of a
// callback, else EJPEGExplained with the message code and the library's text.
[[noreturn]] void RaiseJpegError(ErrorManager& manager);

// Runs `body`, which calls into libjpeg. `body` must hold no object with a
// destructor while it calls the library, since a failure leaves it by a jump.
template <class Body>
void RunGuarded(ErrorManager& manager, Body&& body) {
    if (setjmp(manager.jump) == 0) {
        body();
        return;
    }
    RaiseJpegError(manager);
}

void InitProgressHook(ProgressHook& hook, j_common_ptr cinfo, ProgressFn report);

// Destination over a byte vector, handed kChunkSize bytes at a time, and
// copied to a feed as well where there is one.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    std::vector<uint8_t>* out;
    TJPEGFeed* mirror;
    JOCTET buffer[kChunkSize];
};

// Source over bytes in memory, refilled Chunk bytes at a time, or over a
// feed, refilled with what has arrived (waiting for it). When the data runs
// out it supplies an end-of-image marker, with the library's warning that
// the file ended early; with no data at all it raises the library's
// empty-input error.
struct MemorySource {
    jpeg_source_mgr pub;
    const uint8_t* data;
    size_t size;
    size_t position;
    size_t chunk;
    TJPEGFeed* feed;
};

// Appends to the encoded bytes, growing the buffer in whole kGrowStep steps.
void AppendBytes(std::vector<uint8_t>& out, const uint8_t* bytes, size_t count);

class Compressor {
public:
    // Makes the compression object; its output goes to the end of `out`,
    // and to `mirror` too when there is one.
    Compressor(std::vector<uint8_t>& out, ProgressFn progress, TJPEGFeed* mirror = nullptr);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    template <class Body>
    void Run(Body&& body) { RunGuarded(FErrors, body); }
    SessionWarnings Warnings() const { return WarningsOf(FErrors); }

    jpeg_compress_struct cinfo{};

private:
    ErrorManager FErrors{};
    MemoryDestination FDestination{};
    ProgressHook FProgress{};
};

class Decompressor {
public:
    // Makes the decompression object reading `size` bytes at `data`
    // (which stay valid for the session), handed to libjpeg `chunk` bytes
    // at a time (0: all at once, which keeps its fast Huffman path from
    // stopping at every refill).
    Decompressor(const uint8_t* data, size_t size, ProgressFn progress = nullptr, size_t chunk = kChunkSize);
    // Makes the decompression object reading the bytes of `feed` as they
    // arrive; no progress reports.
    explicit Decompressor(TJPEGFeed& feed);
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    template <class Body>
    void Run(Body&& body) { RunGuarded(FErrors, body); }
    SessionWarnings Warnings() const { return WarningsOf(FErrors); }

    jpeg_decompress_struct cinfo{};

private:
    void Create();

    ErrorManager FErrors{};
    MemorySource FSource{};
    ProgressHook FProgress{};
};

}  // namespace jpegsession
