#include "imaging/jpeg_session.h"

#include <algorithm>
#include <chrono>

#include "core/exceptions.h"
#include "imaging/jpeg.h"
#include "imaging/jpeg_feed.h"

namespace jpegsession {

namespace {

constexpr int64_t kProgressIntervalMs = 500;

int64_t SteadyClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ProgressClock Clock = SteadyClockMs;

ErrorManager& ErrorsOf(j_common_ptr cinfo) {
    return *reinterpret_cast<ErrorManager*>(cinfo->err);
}

// Runs one of our callbacks on behalf of libjpeg. An exception it raises is
// kept as the pending failure, inside the catch, and true is returned: the
// caller then leaves libjpeg with LeaveLibrary from a frame that holds only
// trivial locals, since nothing with a destructor may be live across the jump.
template <class Callback>
bool FailedIn(j_common_ptr cinfo, Callback&& callback) noexcept {
    try {
        callback();
        return false;
    } catch (...) {
        ErrorsOf(cinfo).pending = std::current_exception();
        return true;
    }
}

// Goes back to the Run that called into the library.
[[noreturn]] void LeaveLibrary(j_common_ptr cinfo) { std::longjmp(ErrorsOf(cinfo).jump, 1); }

// --- error manager -------------------------------------------------------

void ErrorExit(j_common_ptr cinfo) {
    (*cinfo->err->format_message)(cinfo, ErrorsOf(cinfo).fatalText);
    LeaveLibrary(cinfo);
}

// Level -1 is a warning (damaged or truncated data the library works
// around); the other levels are trace messages.
void KeepWarning(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    ErrorManager& manager = ErrorsOf(cinfo);
    ++manager.warnings;
    (*cinfo->err->format_message)(cinfo, manager.lastWarning);
}

void DropOutput(j_common_ptr) {}

// --- progress ------------------------------------------------------------

void ProgressMonitor(j_common_ptr cinfo) {
    ProgressHook& hook = *reinterpret_cast<ProgressHook*>(cinfo->progress);
    const int64_t now = Clock();
    if (now - hook.lastReportMs < kProgressIntervalMs) return;
    hook.lastReportMs = now;

    const jpeg_progress_mgr& p = hook.pub;
    const int64_t passes = std::max(1, p.total_passes);
    const int64_t inPass = p.pass_limit > 0 ? int64_t(p.pass_counter) * 100 / p.pass_limit : 0;
    const int percent = int(std::clamp<int64_t>((p.completed_passes * 100 + inPass) / passes, 0, 100));

    if (FailedIn(cinfo, [&] { hook.report(percent); })) LeaveLibrary(cinfo);
}

// --- destination: collects the encoded bytes ----------------------------

MemoryDestination& DestinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<MemoryDestination*>(cinfo->dest);
}

void InitDestination(j_compress_ptr cinfo) {
    MemoryDestination& d = DestinationOf(cinfo);
    d.pub.next_output_byte = d.buffer;
    d.pub.free_in_buffer = kChunkSize;
}

// Moves `count` bytes of the chunk buffer to the output.
void FlushChunk(j_compress_ptr cinfo, size_t count) {
    MemoryDestination& d = DestinationOf(cinfo);
    const auto common = reinterpret_cast<j_common_ptr>(cinfo);
    if (FailedIn(common, [&] { AppendBytes(*d.out, d.buffer, count); })) LeaveLibrary(common);
    if (d.mirror) d.mirror->Append(d.buffer, count);
    d.pub.next_output_byte = d.buffer;
    d.pub.free_in_buffer = kChunkSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    FlushChunk(cinfo, kChunkSize);
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    FlushChunk(cinfo, kChunkSize - DestinationOf(cinfo).pub.free_in_buffer);
}

// --- source: reads the encoded bytes ------------------------------------

MemorySource& SourceOf(j_decompress_ptr cinfo) {
    return *reinterpret_cast<MemorySource*>(cinfo->src);
}

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
    MemorySource& s = SourceOf(cinfo);
    if (s.feed) {
        // Whatever has arrived, after waiting for it.
        const auto [bytes, count] = s.feed->Next(s.position);
        if (count > 0) {
            s.pub.next_input_byte = bytes;
            s.pub.bytes_in_buffer = count;
            s.position += count;
            return TRUE;
        }
        s.size = s.position;
    } else if (s.position < s.size) {
        const size_t count = std::min(s.chunk, s.size - s.position);
        s.pub.next_input_byte = s.data + s.position;
        s.pub.bytes_in_buffer = count;
        s.position += count;
        return TRUE;
    }
    if (s.size == 0) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // Out of data: end the image here and let the decoder fill in the rest.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    s.pub.next_input_byte = kEndOfImage;
    s.pub.bytes_in_buffer = sizeof kEndOfImage;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    jpeg_source_mgr& src = *cinfo->src;
    size_t remaining = size_t(count);
    while (remaining > src.bytes_in_buffer) {
        remaining -= src.bytes_in_buffer;
        FillInputBuffer(cinfo);
    }
    src.next_input_byte += remaining;
    src.bytes_in_buffer -= remaining;
}

void TermSource(j_decompress_ptr) {}

}  // namespace

static_assert(offsetof(ErrorManager, pub) == 0);
static_assert(offsetof(MemoryDestination, pub) == 0);
static_assert(offsetof(MemorySource, pub) == 0);

jpeg_error_mgr* InitErrorManager(ErrorManager& manager) {
    jpeg_error_mgr* err = jpeg_std_error(&manager.pub);
    err->error_exit = ErrorExit;
    err->emit_message = KeepWarning;
    err->output_message = DropOutput;
    // reset_error_mgr stays the library's: it clears the code and the
    // library's own warning count; ours counts the whole session.
    manager.pending = nullptr;
    manager.fatalText[0] = '\0';
    manager.warnings = 0;
    manager.lastWarning[0] = '\0';
    return err;
}

SessionWarnings WarningsOf(const ErrorManager& manager) {
    return {manager.warnings, manager.warnings > 0 ? std::string(manager.lastWarning) : std::string()};
}

void RaiseJpegError(ErrorManager& manager) {
    if (manager.pending) {
        std::exception_ptr failure = std::move(manager.pending);
        manager.pending = nullptr;
        std::rethrow_exception(failure);
    }
    const int code = manager.pub.msg_code;
    throw EJPEGExplained(code, EJPEG(code).Message(), manager.fatalText);
}

void InitProgressHook(ProgressHook& hook, j_common_ptr cinfo, ProgressFn report) {
    if (!report) return;
    hook.report = std::move(report);
    hook.lastReportMs = Clock();
    hook.pub.progress_monitor = ProgressMonitor;
    cinfo->progress = &hook.pub;
}

ProgressClock SetProgressClock(ProgressClock clock) {
    const ProgressClock previous = Clock;
    Clock = clock ? clock : SteadyClockMs;
    return previous;
}

void AppendBytes(std::vector<uint8_t>& out, const uint8_t* bytes, size_t count) {
    const size_t needed = out.size() + count;
    if (needed > out.capacity()) {
        // Whole steps, and at least half again the current size, so that a
        // large image is not copied over and over while it grows.
        const size_t steps = std::max(needed, out.capacity() + out.capacity() / 2);
        out.reserve((steps + kGrowStep - 1) / kGrowStep * kGrowStep);
    }
    out.insert(out.end(), bytes, bytes + count);
}

// --- sessions ------------------------------------------------------------

Compressor::Compressor(std::vector<uint8_t>& out, ProgressFn progress, TJPEGFeed* mirror) {
    cinfo.err = InitErrorManager(FErrors);
    try {
        Run([this] { jpeg_create_compress(&cinfo); });
    } catch (...) {
        jpeg_destroy_compress(&cinfo);
        throw;
    }
    FDestination.out = &out;
    FDestination.mirror = mirror;
    FDestination.pub.init_destination = InitDestination;
    FDestination.pub.empty_output_buffer = EmptyOutputBuffer;
    FDestination.pub.term_destination = TermDestination;
    cinfo.dest = &FDestination.pub;
    InitProgressHook(FProgress, reinterpret_cast<j_common_ptr>(&cinfo), std::move(progress));
}

Compressor::~Compressor() { jpeg_destroy_compress(&cinfo); }

Decompressor::Decompressor(const uint8_t* data, size_t size, ProgressFn progress, size_t chunk) {
    FSource.data = data;
    FSource.size = data ? size : 0;
    FSource.chunk = chunk ? chunk : FSource.size;
    Create();
    InitProgressHook(FProgress, reinterpret_cast<j_common_ptr>(&cinfo), std::move(progress));
}

Decompressor::Decompressor(TJPEGFeed& feed) {
    FSource.feed = &feed;
    Create();
}

void Decompressor::Create() {
    cinfo.err = InitErrorManager(FErrors);
    try {
        Run([this] { jpeg_create_decompress(&cinfo); });
    } catch (...) {
        jpeg_destroy_decompress(&cinfo);
        throw;
    }
    cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    FSource.position = 0;
    FSource.pub.init_source = InitSource;
    FSource.pub.fill_input_buffer = FillInputBuffer;
    FSource.pub.skip_input_data = SkipInputData;
    FSource.pub.resync_to_restart = jpeg_resync_to_restart;
    FSource.pub.term_source = TermSource;
    FSource.pub.bytes_in_buffer = 0;
    FSource.pub.next_input_byte = nullptr;
    cinfo.src = &FSource.pub;
}

Decompressor::~Decompressor() { jpeg_destroy_decompress(&cinfo); }

}  // namespace jpegsession
