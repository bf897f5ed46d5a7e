// The JPEG image object: encodes a bitmap into baseline JPEG data and
// decodes JPEG data into a bitmap, through libjpeg.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/exceptions.h"
#include "imaging/bitmap.h"
#include "imaging/graphic.h"

class TJPEGFeed;
namespace jpegsession {
class Decompressor;
}

// A JPEG failure that says what went wrong in words: Message() stays as the
// windows show it ("JPEG error #N", or that with a clearer text of ours);
// Reason() is the library's own wording of its error ("Not a JPEG file:
// starts with 0x42 0x4d"), or our text for failures we find ourselves.
class EJPEGExplained : public EJPEG {
public:
    EJPEGExplained(int code, std::string message, std::string reason)
        : EJPEG(code, std::move(message)), FReason(std::move(reason)) {}
    const std::string& Reason() const noexcept { return FReason; }

private:
    std::string FReason;
};

// What the library warned about while it worked on damaged or truncated
// data, which it then reads to the end as best it can (the missing part
// made up): how many warnings, and the last one's text ("Premature end of
// JPEG file").
struct TJPEGWarnings {
    int Count = 0;
    std::string LastMessage;
};

// Settings every new TJPEGImage copies.
struct TJPEGDefaults {
    uint8_t Quality = 90;
    bool GrayOutput = false;
    bool FastDecode = false;
    bool EightBitOutput = false;
    bool IncrementalDisplay = false;
    bool WriteProgressive = false;
    uint8_t ScaleShift = 0;  // decode at 1/2^ScaleShift
    bool BlockSmoothing = true;
    bool operator==(const TJPEGDefaults&) const = default;
};
extern TJPEGDefaults JpegPresets;

// Start-up, once per process: EightBitOutput from the display (bits per pixel
// times planes of 8 or less), and "jpeg", "jpg" added to the picture formats.
// Without a display pass 24 and 1.
void JpegStartup(int displayBitsPerPixel, int displayPlanes);
// Shut-down: removes the JPEG entries from the picture formats.
void JpegShutdown();

class TJPEGData : public TSharedImage {
public:
    // None: nothing encoded or loaded yet; an empty vector: zero bytes.
    std::unique_ptr<std::vector<uint8_t>> Data;
    int32_t Width = 0;
    int32_t Height = 0;
    bool Grayscale = false;
};

class TJPEGImage : public TGraphic {
public:
    TJPEGImage();
    ~TJPEGImage() override;

    static TGraphicClass StaticClass();
    TGraphicClass ClassType() const override { return StaticClass(); }

    void Assign(const TGraphic* source) override;
    // Into a TBitmap: the target shares the decoded pixels (decoding first
    // when there is no bitmap yet).
    void CopyInto(TGraphic* target) const override;
    // Another JPEG image holding the same encoded bytes.
    bool Equals(const TGraphic* other) const override;

    bool Empty() const override;
    int Width() const override;
    int Height() const override;
    // Raise EInvalidGraphicOperation "Cannot change the size of a JPEG image".
    void SetWidth(int value) override;
    void SetHeight(int value) override;

    void Draw(TCanvas& canvas, const TRect& rect) override;

    void ReadFromStream(TStream& stream) override;
    void WriteToStream(TStream& stream) override;

    // The settings, copied from JpegPresets at creation.
    TJPEGDefaults Settings;

    // The warnings of the last encoding, load or decode (a load reads the
    // header only; decoding reads it all again).
    const TJPEGWarnings& Warnings() const { return FWarnings; }

    // The bitmap (the one handed in for encoding, or the decoded one), or null.
    TBitmap* Bitmap() const { return FBitmap.get(); }
    const TJPEGData& Data() const { return *FData; }

    // Encodes the bitmap into a new record of data (none or an empty bitmap:
    // zero bytes). An EAbort from a progress handler drops the partial data
    // and returns normally; other failures drop it too and raise, EJPEG for
    // the library's.
    void EncodeJpeg();
    // The same, the bytes handed to `feed` too as they are made. The feed
    // is closed on every path, whatever is raised: complete when the
    // encoding succeeded.
    void EncodeJpegFeeding(TJPEGFeed& feed);
    // The same while the bitmap's rows are still being read: each row is
    // taken once `arriving` has announced it. When reading ends without it,
    // the encoding ends as an EAbort does: no data, the feed incomplete.
    void EncodeJpegFeeding(TJPEGFeed& feed, TRowsArriving& arriving);
    // Decodes the data into a new bitmap, attached at once: a failure leaves
    // what was decoded so far, and an EAbort from a progress handler ends
    // the work quietly. Colour data gives 24 bits, gray data (or
    // EightBitOutput) 8 bits with at most 236 palette entries.
    void DecodeJpeg();
    // Called by DecodeJpeg on the decoding thread with the decoding bitmap
    // each time a band of rows first..end-1 (top row 0) is final, bands in
    // order; the rows below the last band are final once the decode ends.
    // Not called where the bitmap changes its depth after the decode.
    std::function<void(const TBitmap& bitmap, int first, int end)> OnRowsDone;
    // The picture decoded from the encoded bytes at 1/2^scaleShift (0..3) of
    // its size into a new bitmap, for showing it small: this object, its
    // bitmap and its settings stay as they are. Raises what decoding raises.
    std::unique_ptr<TBitmap> DecodeReduced(int scaleShift) const;
    // The same from `size` encoded bytes at `data` decoded with `settings`.
    // It touches no shared record, global or handler, so it may run on a
    // thread of its own while the bytes stay alive and unchanged.
    static std::unique_ptr<TBitmap> DecodeReduced(const uint8_t* data, size_t size, const TJPEGDefaults& settings,
                                                  int scaleShift);
    // The same from the bytes of `feed` as they arrive, while an encoder on
    // another thread makes them; null when the feed ends incomplete.
    static std::unique_ptr<TBitmap> DecodeReduced(TJPEGFeed& feed, const TJPEGDefaults& settings, int scaleShift);

private:
    explicit TJPEGImage(const TJPEGDefaults& settings);
    // A private image object without handlers for a decode at 1/2^scaleShift
    // with these settings otherwise.
    TJPEGImage(const TJPEGDefaults& settings, int scaleShift);
    // DecodeJpeg from the bytes given, handed to libjpeg `chunk` bytes at a time.
    void DecodeFrom(const uint8_t* data, size_t size, size_t chunk);
    // DecodeJpeg through the session, into the bitmap already attached.
    void DecodeWith(jpegsession::Decompressor& session);
    // Releases the shared data and takes a new, empty record.
    void NewData();
    // EncodeJpeg and EncodeJpegFeeding: encodes, drops the data of a
    // failed encoding and closes the feed (when given) on every path.
    void EncodeOrDrop(TJPEGFeed* feed, TRowsArriving* arriving);
    // The encoding itself into a new record, the bytes fed to `feed` too,
    // the rows taken as `arriving` announces them (when given).
    void EncodeIntoNewData(TJPEGFeed* feed, TRowsArriving* arriving);
    // The end report after a failure (0 done); the failure goes on.
    void ReportFailedEnd();
    // Output size for a ScaleShift other than 0, from the header.
    std::pair<int, int> ScaledSize() const;

    TSharedRef<TJPEGData> FData;
    std::unique_ptr<TBitmap> FBitmap;
    TJPEGWarnings FWarnings;
};
