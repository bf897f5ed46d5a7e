#include "pack/pack_steps.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/streams.h"
#include "core/worker_threads.h"

namespace pack {

void OpenInputBytes(std::vector<uint8_t> bytes) {
    const auto size = static_cast<int64_t>(bytes.size());
    if (size >= unit2::kMaxInputSize)
        throw EError("The data is too large: the codec handles inputs shorter than " +
                     std::to_string(unit2::kMaxInputSize) + " bytes");
    unit2::InputStream = std::make_unique<TMemoryStream>(std::move(bytes));
    unit2::InputSize = static_cast<int32_t>(size);
}

void CompressInputInto(const std::string& outputName, const std::function<void()>& created) {
    unit2::CreateOutputFile(outputName);
    if (created) created();
    unit2::CompressFile();
    unit2::CloseFiles();
}

void ExpandInputInto(const std::string& outputName, const std::function<void()>& created) {
    unit2::CreateOutputFile(outputName);
    if (created) created();
    unit2::DecompressFile();
    unit2::CloseFiles();
}

std::vector<uint8_t> ExpandInputToBytes() {
    auto output = std::make_unique<TMemoryStream>();
    TMemoryStream& memory = *output;
    unit2::OutputStream = std::move(output);
    unit2::DecompressFile();
    std::vector<uint8_t> bytes = std::move(memory.Data());
    unit2::CloseFiles();
    return bytes;
}

std::vector<uint8_t> EncodeJpegBytes(const TBitmap& bitmap) {
    TJPEGImage jpeg;
    jpeg.Assign(&bitmap);
    jpeg.EncodeJpeg();
    std::vector<uint8_t>* bytes = jpeg.Data().Data.get();
    // The object's own record, shared with no other: its bytes move out.
    return bytes ? std::move(*bytes) : std::vector<uint8_t>();
}

namespace {

// Rows first..end-1 of a bitmap as they lie in its file.
struct TBand {
    const uint8_t* Data = nullptr;
    int64_t Size = 0;
    int64_t Offset = 0;
};

TBand BandOf(const TBitmap& bitmap, int64_t headSize, int first, int end) {
    const TBitmapImage& image = bitmap.Image();
    const uint8_t* low = std::min(image.Row(first), image.Row(end - 1));
    return {low, int64_t(end - first) * image.Stride(), headSize + (low - image.Pixels.data())};
}

void WriteBand(TStream& file, const TBand& band) {
    file.SetPosition(band.Offset);
    file.WriteBuffer(band.Data, band.Size);
}

// Decodes into the bitmap while a second thread writes the final bands into
// the file (where no second thread may be used, this one writes each band
// once it is done); the head and the rows after the last band follow at the
// end.
void DecodeWritingBands(TJPEGImage& jpeg, TBitmap& bitmap, TStream& file) {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<TBand> bands;
    bool ended = false;
    int writeError = 0;
    // The decoding thread's own.
    bool alone = false;  // no second thread: each band is written as it is done
    int64_t headSize = -1;
    int handed = 0;
    const uint8_t* store = nullptr;
    jpeg.OnRowsDone = [&](const TBitmap& decoding, int first, int end) {
        if (headSize < 0) {
            headSize = decoding.FileHeadSize();
            store = decoding.Image().Pixels.data();
        }
        const TBand band = BandOf(decoding, headSize, first, end);
        handed = end;
        if (alone) {
            WriteBand(file, band);
            return;
        }
        const std::lock_guard<std::mutex> hold(lock);
        bands.push_back(band);
        wake.notify_one();
    };
    struct TDone {
        TJPEGImage& Jpeg;
        ~TDone() { Jpeg.OnRowsDone = nullptr; }
    } done{jpeg};
    const auto write = [&] {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [&] { return ended || !bands.empty(); });
            if (bands.empty()) return;
            const TBand band = bands.front();
            bands.pop_front();
            hold.unlock();
            try {
                WriteBand(file, band);
            } catch (const EWriteError&) {
                writeError = errno;
                throw;
            }
            hold.lock();
        }
    };
    const auto decode = [&] {
        struct TEnd {
            std::mutex& Lock;
            std::condition_variable& Wake;
            bool& Ended;
            ~TEnd() {
                const std::lock_guard<std::mutex> hold(Lock);
                Ended = true;
                Wake.notify_one();
            }
        } end{lock, wake, ended};
        bitmap.Assign(&jpeg);
    };
    try {
        if (!RunAlongside(write, decode)) {
            // One thread: each band goes out while its rows are still in the
            // processor's cache, rather than the whole picture at the end.
            alone = true;
            decode();
        }
    } catch (const EWriteError&) {
        // The reason, for the caller's message, as if written on its thread.
        if (writeError != 0) errno = writeError;
        throw;
    }
    if (headSize < 0) {
        // No band was final before the end (a small picture): all at once.
        bitmap.WriteToStream(file);
        return;
    }
    const std::vector<uint8_t> head = bitmap.FileHead();
    // The bitmap shares the decoded store, whose rows went out as bands.
    if (int64_t(head.size()) != headSize || bitmap.Image().Pixels.data() != store)
        throw EError("The decoded picture changed while it was being written");
    file.SetPosition(0);
    file.WriteBuffer(head.data(), int64_t(head.size()));
    const int rows = bitmap.Image().Rows();
    if (handed < rows) WriteBand(file, BandOf(bitmap, headSize, handed, rows));
}

}  // namespace

void DecodeJpegToFile(TJPEGImage& jpeg, TBitmap& bitmap, const std::string& fileName,
                      const std::function<void()>& created) {
    TFileStream file(fileName, TFileStream::fmCreate);
    if (created) created();
    try {
        DecodeWritingBands(jpeg, bitmap, file);
    } catch (...) {
        // Nothing of a picture that failed is left behind.
        ::unlink(fileName.c_str());
        throw;
    }
}

}  // namespace pack
