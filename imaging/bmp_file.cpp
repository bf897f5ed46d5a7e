// Reading and writing BMP files, run-length data included.
#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bmp_rle.h"

namespace {

constexpr uint32_t BmpCoreHeader = 12;
constexpr uint32_t BmpInfoHeader = 40;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put16(uint8_t*& p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
    p += 2;
}
void Put32(uint8_t*& p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
    p += 4;
}

[[noreturn]] void Invalid() { throw EInvalidGraphic(); }

// Reads exactly `count` bytes; a file ending inside the information header
// is not a bitmap.
void ReadHeaderBytes(TStream& stream, void* buffer, int64_t count) {
    if (stream.Read(buffer, count) != count) Invalid();
}

// The description as the file gives it, checked so that a store can be made.
struct TFileDescription {
    TBitmapInfoHeader Header;
    uint32_t Masks[3] = {0, 0, 0};
    uint32_t HeaderSize = 0;
    bool Core = false;
};

void ReadInfoHeader(TStream& stream, TFileDescription& d) {
    uint8_t sizeBytes[4];
    ReadHeaderBytes(stream, sizeBytes, 4);
    const uint32_t size = Get32(sizeBytes);
    d.HeaderSize = size;
    TBitmapInfoHeader& h = d.Header;
    if (size == BmpCoreHeader) {
        uint8_t b[8];
        ReadHeaderBytes(stream, b, 8);
        h.biWidth = Get16(b);
        h.biHeight = Get16(b + 2);
        h.biPlanes = Get16(b + 4);
        h.biBitCount = Get16(b + 6);
        d.Core = true;
        return;
    }
    if (size < BmpInfoHeader) Invalid();
    // The whole header must be in the file before anything is skipped.
    const int64_t left = stream.Size() - stream.Position();
    if (int64_t(size) - 4 > left) Invalid();
    uint8_t b[48] = {};
    const int64_t wanted = std::min<int64_t>(int64_t(size) - 4, sizeof b);
    ReadHeaderBytes(stream, b, wanted);
    h.biWidth = int32_t(Get32(b));
    h.biHeight = int32_t(Get32(b + 4));
    h.biPlanes = Get16(b + 8);
    h.biBitCount = Get16(b + 10);
    h.biCompression = Get32(b + 12);
    h.biSizeImage = Get32(b + 16);
    h.biXPelsPerMeter = int32_t(Get32(b + 20));
    h.biYPelsPerMeter = int32_t(Get32(b + 24));
    h.biClrUsed = Get32(b + 28);
    h.biClrImportant = Get32(b + 32);
    // Longer headers carry the bit-field masks in their bytes 40 to 51.
    if (size >= 52 && h.biCompression == 3) {
        d.Masks[0] = Get32(b + 36);
        d.Masks[1] = Get32(b + 40);
        d.Masks[2] = Get32(b + 44);
    }
    if (int64_t(size) - 4 > wanted) stream.Seek(int64_t(size) - 4 - wanted, TSeekOrigin::soCurrent);
}

// Refuses descriptions no store can be made from, before any allocation.
void CheckDescription(const TFileDescription& d) {
    const TBitmapInfoHeader& h = d.Header;
    if (h.biPlanes != 1) Invalid();
    const uint16_t bits = h.biBitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) Invalid();
    switch (h.biCompression) {
        case 0: break;
        case 1: if (bits != 8 || h.biHeight < 0) Invalid(); break;
        case 2: if (bits != 4 || h.biHeight < 0) Invalid(); break;
        case 3: if (bits != 16 && bits != 32) Invalid(); break;
        default: Invalid();
    }
    if (h.biClrUsed > 256) Invalid();
    if (h.biWidth < 0 || h.biWidth > MaxBitmapDimension) Invalid();
    if (h.biHeight < -MaxBitmapDimension || h.biHeight > MaxBitmapDimension) Invalid();
    const int64_t rows = h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight;
    if (BitmapStride(h.biWidth, bits) * rows > MaxBitmapBytes) Invalid();
}

}  // namespace

void TBitmap::ReadFromStream(TStream& stream) {
    const int64_t n = stream.Size() - stream.Position();
    if (n <= 0) {
        ReplaceImage(new TBitmapImage);
        return;
    }
    uint8_t fileHeader[14];
    stream.ReadBuffer(fileHeader, sizeof fileHeader);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();

    TFileDescription d;
    ReadInfoHeader(stream, d);
    CheckDescription(d);
    TBitmapInfoHeader& h = d.Header;
    const int bits = h.biBitCount;
    if (d.HeaderSize == BmpInfoHeader && h.biCompression == 3) {
        // A 40-byte header is followed by the three masks.
        uint8_t m[12];
        stream.ReadBuffer(m, sizeof m);
        d.Masks[0] = Get32(m), d.Masks[1] = Get32(m + 4), d.Masks[2] = Get32(m + 8);
    }
    if (h.biClrUsed == 0 && bits <= 8) h.biClrUsed = 1u << bits;

    const int entrySize = d.Core ? 3 : 4;
    std::vector<uint8_t> tableBytes(size_t(h.biClrUsed) * entrySize);
    stream.ReadBuffer(tableBytes.data(), int64_t(tableBytes.size()));
    std::vector<TRGBQuad> table(h.biClrUsed);
    for (size_t i = 0; i < table.size(); ++i) {
        const uint8_t* e = &tableBytes[i * entrySize];
        table[i] = {e[0], e[1], e[2], 0};
    }

    auto* image = new TBitmapImage;
    try {
        const int64_t stride = BitmapStride(h.biWidth, bits);
        const int64_t rows = h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight;
        const int64_t storeSize = stride * rows;
        const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
        const int64_t imageSize = h.biSizeImage != 0 ? h.biSizeImage : storeSize;

        image->Header = h;
        image->Header.biSize = BmpInfoHeader;
        image->Header.biSizeImage = uint32_t(storeSize);
        image->CoreHeader = d.Core;
        std::copy(d.Masks, d.Masks + 3, image->Masks);
        if (bits <= 8) {
            image->ColorTable = table;
        } else if (!table.empty()) {
            image->Palette = table;
            image->OwnPalette = true;
        }
        image->Pixels = TPixelBuffer(size_t(storeSize));

        if (h.biCompression == 1 || h.biCompression == 2) {
            // The compressed data may be larger than the image it expands to.
            const int64_t packed = h.biSizeImage != 0 ? std::min<int64_t>(h.biSizeImage, left) : left;
            std::vector<uint8_t> data(static_cast<size_t>(packed));
            const int64_t got = stream.Read(data.data(), packed);
            data.resize(size_t(got));
            ExpandRle(data, bits, *image);
            image->Header.biCompression = 0;
        } else if (storeSize > 0) {
            // Bytes beyond the store are not pixels of this image.
            const int64_t count = std::min({imageSize, left, storeSize});
            stream.Read(image->Pixels.data(), count);
        }
    } catch (...) {
        delete image;
        throw;
    }
    ReplaceImage(image);
}

void TBitmap::WriteToStream(TStream& stream) {
    if (FImage->Pixels.empty()) return;
    TBitmapImage& image = *FImage;
    TBitmapInfoHeader& h = image.Header;

    // Colour count: the table, limited by colours used; a store without a
    // table writes its own palette instead.
    const std::vector<TRGBQuad>* colors = &image.ColorTable;
    size_t c = image.ColorTable.size();
    if (h.biClrUsed != 0) c = std::min<size_t>(c, h.biClrUsed);
    if (c == 0 && image.OwnPalette && !image.Palette.empty()) {
        colors = &image.Palette;
        c = std::min<size_t>(image.Palette.size(), 256);
    }
    const bool fields = h.biBitCount > 8 && h.biCompression == 3;
    const uint32_t infoSize = BmpInfoHeader + (fields ? 12 : 0) + uint32_t(4 * c);
    const auto pixelBytes = uint32_t(image.Pixels.size());
    // The corrected colour count and masks go into the store too, unless
    // other bitmaps share it (a shared store is never changed).
    const bool own = image.RefCount() == 1;
    uint32_t clrUsed = h.biClrUsed;
    if (c != 0 && clrUsed != c) clrUsed = uint32_t(c);
    uint32_t masks[3] = {image.Masks[0], image.Masks[1], image.Masks[2]};
    if (h.biCompression == 3 && masks[0] == 0) {
        if (h.biBitCount == 16) {
            masks[0] = 0xF800, masks[1] = 0x07E0, masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
        }
    }
    if (own) {
        h.biClrUsed = clrUsed;
        std::copy(masks, masks + 3, image.Masks);
    }

    std::vector<uint8_t> head(14 + infoSize);
    uint8_t* p = head.data();
    *p++ = 'B', *p++ = 'M';
    Put32(p, 14 + infoSize + pixelBytes);
    Put32(p, 0);
    Put32(p, 14 + infoSize);
    Put32(p, BmpInfoHeader);
    Put32(p, uint32_t(h.biWidth));
    Put32(p, uint32_t(h.biHeight));
    Put16(p, h.biPlanes);
    Put16(p, h.biBitCount);
    Put32(p, h.biCompression);
    Put32(p, pixelBytes);
    Put32(p, uint32_t(h.biXPelsPerMeter));
    Put32(p, uint32_t(h.biYPelsPerMeter));
    Put32(p, clrUsed);
    Put32(p, h.biClrImportant);
    if (fields)
        for (uint32_t m : masks) Put32(p, m);
    for (size_t i = 0; i < c; ++i) {
        const TRGBQuad& q = (*colors)[i];
        *p++ = q.rgbBlue, *p++ = q.rgbGreen, *p++ = q.rgbRed, *p++ = 0;
    }
    stream.WriteBuffer(head.data(), int64_t(head.size()));
    stream.WriteBuffer(image.Pixels.data(), pixelBytes);
}
