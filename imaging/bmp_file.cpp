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

// Everything before the pixels: the description and the colour table.
struct TFileHead {
    TFileDescription Description;
    std::vector<TRGBQuad> Table;
};

// Reads the file header, the information header, the masks and the colour
// table; the stream is left at the first byte after the colour table.
void ReadHead(TStream& stream, TFileHead& head) {
    uint8_t fileHeader[14];
    stream.ReadBuffer(fileHeader, sizeof fileHeader);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();

    TFileDescription& d = head.Description;
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
    head.Table.resize(h.biClrUsed);
    for (size_t i = 0; i < head.Table.size(); ++i) {
        const uint8_t* e = &tableBytes[i * entrySize];
        head.Table[i] = {e[0], e[1], e[2], 0};
    }
}

// A store of the file's description and colours with `rows` rows of zero
// bytes, in the row order `height` gives.
TBitmapImage* NewStore(const TFileHead& head, int32_t height) {
    const TFileDescription& d = head.Description;
    const int bits = d.Header.biBitCount;
    const int64_t rows = height < 0 ? -int64_t(height) : height;
    const int64_t storeSize = BitmapStride(d.Header.biWidth, bits) * rows;
    auto* image = new TBitmapImage;
    try {
        image->Header = d.Header;
        image->Header.biSize = BmpInfoHeader;
        image->Header.biHeight = height;
        image->Header.biSizeImage = uint32_t(storeSize);
        image->CoreHeader = d.Core;
        std::copy(d.Masks, d.Masks + 3, image->Masks);
        if (bits <= 8) {
            image->ColorTable = head.Table;
        } else if (!head.Table.empty()) {
            image->Palette = head.Table;
            image->OwnPalette = true;
        }
        image->Pixels = TPixelBuffer(size_t(storeSize));
    } catch (...) {
        delete image;
        throw;
    }
    return image;
}

}  // namespace

void TBitmap::ReadFromStream(TStream& stream) {
    const int64_t n = stream.Size() - stream.Position();
    if (n <= 0) {
        ReplaceImage(new TBitmapImage);
        return;
    }
    TFileHead head;
    ReadHead(stream, head);
    const TBitmapInfoHeader& h = head.Description.Header;
    const int bits = h.biBitCount;

    TBitmapImage* image = NewStore(head, h.biHeight);
    try {
        const int64_t storeSize = image->Header.biSizeImage;
        const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
        const int64_t imageSize = h.biSizeImage != 0 ? h.biSizeImage : storeSize;

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

void TBitmap::ReadRowSample(TStream& stream, int maxRows, int& width, int& height) {
    width = height = 0;
    const int64_t start = stream.Position();
    if (stream.Size() - start <= 0) {
        ReplaceImage(new TBitmapImage);
        return;
    }
    TFileHead head;
    ReadHead(stream, head);
    const TBitmapInfoHeader& h = head.Description.Header;
    if (h.biCompression == 1 || h.biCompression == 2) {
        // Run-length data cannot be entered in the middle: read it all.
        stream.SetPosition(start);
        ReadFromStream(stream);
        width = Width();
        height = Height();
        return;
    }
    const int32_t rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    const int64_t stride = BitmapStride(h.biWidth, h.biBitCount);
    constexpr int64_t kSampleBytes = int64_t(16) << 20;
    const int64_t limit = std::max<int64_t>(1, std::min<int64_t>(maxRows, kSampleBytes / std::max<int64_t>(stride, 1)));
    const auto samples = int32_t(std::min<int64_t>(rows, limit));

    // Top row first, like the picture.
    TBitmapImage* image = NewStore(head, -samples);
    try {
        // As when reading the whole file: the pixels follow the colour table
        // and end with the image size or the file.
        const int64_t pixels = stream.Position();
        const int64_t storeSize = stride * rows;
        const int64_t imageSize = h.biSizeImage != 0 ? h.biSizeImage : storeSize;
        const int64_t end = pixels + std::min({imageSize, storeSize, std::max<int64_t>(0, stream.Size() - pixels)});
        // In the order of the file, which reading ahead favours.
        const bool bottomUp = h.biHeight > 0;
        for (int32_t i = 0; i < samples; ++i) {
            const int32_t t = bottomUp ? samples - 1 - i : i;
            // The middle row of each of `samples` equal bands.
            const int64_t r = (2 * int64_t(t) + 1) * rows / (2 * int64_t(samples));
            const int64_t at = pixels + stride * (bottomUp ? rows - 1 - r : r);
            const int64_t count = std::min(stride, end - at);
            if (count <= 0) continue;
            stream.SetPosition(at);
            stream.Read(image->Row(t), count);
        }
    } catch (...) {
        delete image;
        throw;
    }
    width = h.biWidth;
    height = rows;
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
