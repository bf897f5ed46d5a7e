// Bitmaps: an uncompressed image in the memory layout of a BMP file, held in
// a shared, copy-on-write pixel store, read from and written to BMP files.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/large_buffer.h"
#include "imaging/graphic.h"

struct TRGBQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    bool operator==(const TRGBQuad&) const = default;
};

// Compression codes of the BMP information header.
constexpr uint32_t BmpUncompressed = 0;
constexpr uint32_t BmpRle8 = 1;
constexpr uint32_t BmpRle4 = 2;
constexpr uint32_t BmpBitFields = 3;

// Red, green and blue masks of 16- and 32-bit pixels.
using TMasks = std::array<uint32_t, 3>;
constexpr TMasks Masks555 = {0x7C00, 0x03E0, 0x001F};  // 16 bits without bit fields
constexpr TMasks Masks565 = {0xF800, 0x07E0, 0x001F};
constexpr TMasks Masks888 = {0xFF0000, 0x00FF00, 0x0000FF};
// The masks of a bit-field store whose own masks are all 0.
constexpr const TMasks& DefaultBitFieldMasks(int bitsPerPixel) {
    return bitsPerPixel == 16 ? Masks565 : Masks888;
}

// Shaped like the BMP information header.
struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;  // > 0: bottom row first; < 0: top row first
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = BmpUncompressed;  // or BmpBitFields
    uint32_t biSizeImage = 0;    // stride * |height|
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

// Bytes per row of a store: rows are padded to a multiple of 4 bytes.
inline int64_t BitmapStride(int64_t width, int bitsPerPixel) {
    return ((width * bitsPerPixel + 31) / 32) * 4;
}

// Limits of a pixel store; larger descriptions are refused before anything
// is allocated.
constexpr int32_t MaxBitmapDimension = 65535;
constexpr int64_t MaxBitmapBytes = int64_t(1) << 30;

// Zero-filled pixel bytes. Fresh zero pages come from the system untouched,
// so a large store costs memory only where pixels are actually written.
class TPixelBuffer {
public:
    TPixelBuffer() = default;
    explicit TPixelBuffer(size_t size) : FBlock(size), FSize(size) {}  // std::bad_alloc on failure
    TPixelBuffer(const TPixelBuffer& other);
    TPixelBuffer& operator=(const TPixelBuffer& other);
    TPixelBuffer(TPixelBuffer&& other) noexcept
        : FBlock(std::move(other.FBlock)), FSize(std::exchange(other.FSize, 0)) {}
    TPixelBuffer& operator=(TPixelBuffer&& other) noexcept {
        FBlock = std::move(other.FBlock);
        FSize = std::exchange(other.FSize, 0);
        return *this;
    }

    uint8_t* data() { return FBlock.Data(); }
    const uint8_t* data() const { return FBlock.Data(); }
    size_t size() const { return FSize; }
    bool empty() const { return FSize == 0; }
    uint8_t& operator[](size_t i) { return FBlock.Data()[i]; }
    const uint8_t& operator[](size_t i) const { return FBlock.Data()[i]; }
    // Before bytes `offset` .. `offset + size` are filled at once.
    void Prepare(size_t offset, size_t size) noexcept { FBlock.Prepare(offset, size); }

private:
    TLargeBuffer FBlock;
    size_t FSize = 0;
};

// The pixel store, shared by several bitmaps; never changed while shared.
class TBitmapImage : public TSharedImage {
public:
    TBitmapInfoHeader Header;
    TMasks Masks{};                 // red, green, blue (bit-field stores)
    std::vector<TRGBQuad> ColorTable;
    TPixelBuffer Pixels;            // |height| rows of Stride() bytes
    bool CoreHeader = false;        // read from a file with the 12-byte header
    bool PixelsCutShort = false;    // read from a file that ends before its last pixel row
    // Palette for display; a deeper store read with a colour table keeps that
    // table here. OwnPalette is false for a palette made only for showing.
    std::vector<TRGBQuad> Palette;
    bool OwnPalette = false;

    int64_t Stride() const { return BitmapStride(Header.biWidth, Header.biBitCount); }
    int32_t Rows() const { return Header.biHeight < 0 ? -Header.biHeight : Header.biHeight; }
    // Distance of image row r (0 = top row) from the first pixel byte, r in
    // 0..Rows(): negative for row Rows() of a bottom-up store.
    int64_t RowOffset(int64_t r) const {
        return Stride() * (Header.biHeight > 0 ? Header.biHeight - 1 - r : r);
    }
    // Address of image row r, r in 0..Rows().
    uint8_t* Row(int64_t r) { return RowAt(Pixels.data(), RowOffset(r)); }
    const uint8_t* Row(int64_t r) const { return RowAt(Pixels.data(), RowOffset(r)); }
    // Same description, colour table, palette and pixel bytes.
    std::unique_ptr<TBitmapImage> Clone() const;

private:
    template <class Byte>
    static Byte* RowAt(Byte* start, int64_t offset) {
        // Where a further row would begin below a bottom-up store lies before
        // the buffer; pointer arithmetic may not leave it, so that address is
        // worked out as a number.
        if (offset < 0) return reinterpret_cast<Byte*>(reinterpret_cast<uintptr_t>(start) - uintptr_t(-offset));
        return start + offset;
    }
};

// The rows of a store being read on one thread, announced to another that
// uses them meanwhile: from the top row down, each once all its bytes are in
// the store.
class TRowsArriving {
public:
    // The bitmap holds the new store: its rows are announced from now on.
    void Started() noexcept;
    // Image rows 0 .. count - 1 are in the store.
    void Arrived(int count) noexcept;
    // No more rows come; `complete`: all of them arrived.
    void End(bool complete) noexcept;
    // Waits until image row `row` has arrived and returns the number of rows
    // there are now (more than `row`), or 0 when reading ended without it.
    int WaitFor(int row) noexcept;
    // Waits until the store is there; false when reading ended before.
    bool WaitStarted() noexcept;

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    int FCount = 0;
    bool FStarted = false;
    bool FEnded = false;
};

// Values of PixelDepth.
enum TPixelDepth {
    pdDevice = 0,  // no description yet / display format
    pd1 = 1,
    pd4 = 4,
    pd8 = 8,
    pd15 = 15,     // 16 bits 5-5-5, no bit fields
    pd16 = 16,     // 16 bits, bit fields with green mask 07E0
    pd24 = 24,
    pd32 = 32,     // no bit fields
    pdOther = -1,  // any other bit-field store
};

class TBitmap : public TGraphic {
public:
    TBitmap();
    ~TBitmap() override;

    static TGraphicClass StaticClass();
    TGraphicClass ClassType() const override { return StaticClass(); }

    // From a TBitmap: share its store. From null: a fresh, empty store.
    // Any other source: source->CopyInto(this).
    void Assign(const TGraphic* source) override;

    bool Empty() const override;
    int Width() const override;
    int Height() const override;  // number of rows, always >= 0
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    // Both at once: a white store of the new size, the old pixels at the top left.
    void SetSize(int width, int height);
    // A store of the new size for a writer that fills it row by row from the
    // top: nothing is copied or filled yet, so no pixel is written twice.
    // FillWhiteFrom(r) then whitens the rows from r on that it did not reach.
    void SetSizeForRows(int width, int height);
    void FillWhiteFrom(int row);

    void Draw(TCanvas& canvas, const TRect& rect) override;

    // Reads a BMP file from the stream's position to its end.
    void ReadFromStream(TStream& stream) override;
    void WriteToStream(TStream& stream) override;
    // What WriteToStream writes before the pixel rows (headers and colour
    // table), the store brought up to date as it does; empty for an empty
    // bitmap. FileHeadSize is its length, the store left as it is.
    std::vector<uint8_t> FileHead();
    int64_t FileHeadSize() const;
    // The same as ReadFromStream, handing the rows to another thread as they
    // are read: `started` is called once the bitmap holds the new store
    // (still zero), then `arriving` is started and announces its rows, top
    // row first; a bottom-up file is read from its end for that. `arriving`
    // is ended on every path; after a failure the bitmap is empty.
    void ReadArriving(TStream& stream, TRowsArriving& arriving, const std::function<void()>& started);
    // For a preview: reads a BMP file's description and at most `maxRows` of
    // its rows, the middle rows of equal bands, seeking past the others. The
    // bitmap gets those rows (top row first) at the picture's width, depth
    // and colours; `width` and `height` the picture's own size. Run-length
    // files are read whole. Fails as ReadFromStream does.
    void ReadRowSample(TStream& stream, int maxRows, int& width, int& height);

    TPixelDepth PixelDepth() const;
    void SetPixelDepth(TPixelDepth depth);

    // Makes `entries` (at most 256) the colour table.
    void SetPalette(const std::vector<TRGBQuad>& entries);

    // Address of image row r (0 = top row); r may be 0..Height() inclusive.
    // Makes the store private first (copy on write). Raises
    // EInvalidGraphicOperation "Scan line index out of range" otherwise.
    uint8_t* RowAddress(int r);
    // Read-only access to a row, without copy on write.
    const uint8_t* RowAddress(int r) const;

    // The store itself, for reading (sharing is visible by its address).
    const TBitmapImage& Image() const { return *FImage; }

private:
    void Resize(int width, int height, bool fill);
    void MakePrivate();  // copy on write
    // Takes a new store and tells the owner: palette flag, change notification.
    void ReplaceImage(TSharedRef<TBitmapImage> image);
    void ReplaceImage(std::unique_ptr<TBitmapImage> image);
    TSharedRef<TBitmapImage> FImage;
};

// The 256-entry colour table of 8-bit conversions: a 6x6x6 colour cube
// followed by 40 grays.
const std::vector<TRGBQuad>& HalftonePalette();
// The 16 standard colours of 4-bit conversions.
const std::vector<TRGBQuad>& SystemPalette16();
