// Reading and writing BMP files, run-length data included.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bmp_rle.h"

namespace {

constexpr uint32_t BmpCoreHeader = 12;
constexpr uint32_t BmpInfoHeader = 40;
constexpr uint32_t BmpMaskBytes = 12;  // red, green, blue, 4 bytes each

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
    TMasks Masks{};
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
    if (size >= BmpInfoHeader + BmpMaskBytes && h.biCompression == BmpBitFields) {
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
        case BmpUncompressed: break;
        case BmpRle8: if (bits != 8 || h.biHeight < 0) Invalid(); break;
        case BmpRle4: if (bits != 4 || h.biHeight < 0) Invalid(); break;
        case BmpBitFields: if (bits != 16 && bits != 32) Invalid(); break;
        default: Invalid();
    }
    if (h.biClrUsed > 256) Invalid();
    if (h.biWidth < 0 || h.biWidth > MaxBitmapDimension) Invalid();
    if (h.biHeight < -MaxBitmapDimension || h.biHeight > MaxBitmapDimension) Invalid();
    const int64_t rows = h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight;
    if (BitmapStride(h.biWidth, bits) * rows > MaxBitmapBytes) Invalid();
}


// The 14-byte file header: its type is checked and its pixel-data offset
// returned; the other fields are not looked at.
uint32_t ReadFileHeader(TStream& stream) {
    uint8_t fileHeader[14];
    stream.ReadBuffer(fileHeader, sizeof fileHeader);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();
    return Get32(fileHeader + 10);
}

// The information header, the masks that follow a 40-byte one, and the
// number of colour table entries.
TFileDescription ReadDescription(TStream& stream) {
    TFileDescription d;
    ReadInfoHeader(stream, d);
    CheckDescription(d);
    TBitmapInfoHeader& h = d.Header;
    if (d.HeaderSize == BmpInfoHeader && h.biCompression == BmpBitFields) {
        uint8_t m[BmpMaskBytes];
        stream.ReadBuffer(m, sizeof m);
        d.Masks = {Get32(m), Get32(m + 4), Get32(m + 8)};
    }
    if (h.biClrUsed == 0 && h.biBitCount <= 8) h.biClrUsed = 1u << h.biBitCount;
    return d;
}

// Colours-used entries of 3 (core header) or 4 bytes.
std::vector<TRGBQuad> ReadColorTable(TStream& stream, const TFileDescription& d) {
    const int entrySize = d.Core ? 3 : 4;
    std::vector<uint8_t> bytes(size_t(d.Header.biClrUsed) * entrySize);
    stream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
    std::vector<TRGBQuad> table(d.Header.biClrUsed);
    for (size_t i = 0; i < table.size(); ++i) {
        const uint8_t* e = &bytes[i * entrySize];
        table[i] = {e[0], e[1], e[2], 0};
    }
    return table;
}

int64_t StoreSize(const TBitmapInfoHeader& h) {
    const int64_t rows = h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight;
    return BitmapStride(h.biWidth, h.biBitCount) * rows;
}

// A zero-filled store of the description, with its masks and colours.
std::unique_ptr<TBitmapImage> NewStore(const TFileDescription& d, const std::vector<TRGBQuad>& table) {
    auto image = std::make_unique<TBitmapImage>();
    const int64_t storeSize = StoreSize(d.Header);
    image->Header = d.Header;
    image->Header.biSize = BmpInfoHeader;
    image->Header.biSizeImage = uint32_t(storeSize);
    image->CoreHeader = d.Core;
    image->Masks = d.Masks;
    if (d.Header.biBitCount <= 8) {
        image->ColorTable = table;
    } else if (!table.empty()) {
        image->Palette = table;
        image->OwnPalette = true;
    }
    image->Pixels = TPixelBuffer(size_t(storeSize));
    return image;
}

// The pixel bytes from the stream's position on: as far as the file and the
// store go, or expanded from run-length data.
void ReadPixels(TStream& stream, const TFileDescription& d, TBitmapImage& image) {
    const TBitmapInfoHeader& h = d.Header;
    const int64_t storeSize = StoreSize(h);
    const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
    if (h.biCompression == BmpRle8 || h.biCompression == BmpRle4) {
        // The compressed data may be larger than the image it expands to.
        const int64_t packed = h.biSizeImage != 0 ? std::min<int64_t>(h.biSizeImage, left) : left;
        std::vector<uint8_t> data(static_cast<size_t>(packed));
        data.resize(size_t(stream.Read(data.data(), packed)));
        ExpandRle(data, h.biBitCount, image);
        image.Header.biCompression = BmpUncompressed;
    } else if (storeSize > 0) {
        // Every row the file holds, whatever the image-size field says (some
        // writers leave the row padding out of it); bytes beyond the store
        // are not pixels of this image.
        stream.Read(image.Pixels.data(), std::min(left, storeSize));
        image.PixelsCutShort = left < storeSize;
    }
}

// What a BMP file of a store holds besides the pixels, with the colour count
// and masks corrected as they are written.
struct TFileLayout {
    const std::vector<TRGBQuad>* Colors = nullptr;
    size_t ColorCount = 0;
    uint32_t ColorsUsed = 0;
    TMasks Masks{};
    bool Fields = false;  // the masks follow the information header
    uint32_t InfoSize = 0;  // information header, masks and colour table
};

TFileLayout LayoutOf(const TBitmapImage& image) {
    const TBitmapInfoHeader& h = image.Header;
    TFileLayout l;
    // Colour count: the table, limited by colours used; a store without a
    // table writes its own palette instead.
    l.Colors = &image.ColorTable;
    l.ColorCount = image.ColorTable.size();
    if (h.biClrUsed != 0) l.ColorCount = std::min<size_t>(l.ColorCount, h.biClrUsed);
    if (l.ColorCount == 0 && image.OwnPalette && !image.Palette.empty()) {
        l.Colors = &image.Palette;
        l.ColorCount = std::min<size_t>(image.Palette.size(), 256);
    }
    l.ColorsUsed = l.ColorCount != 0 ? uint32_t(l.ColorCount) : h.biClrUsed;
    l.Masks = image.Masks;
    if (h.biCompression == BmpBitFields && l.Masks[0] == 0) l.Masks = DefaultBitFieldMasks(h.biBitCount);
    l.Fields = h.biBitCount > 8 && h.biCompression == BmpBitFields;
    l.InfoSize = BmpInfoHeader + (l.Fields ? BmpMaskBytes : 0) + uint32_t(4 * l.ColorCount);
    return l;
}

// File header, information header, masks and colour table.
std::vector<uint8_t> EncodeHeaders(const TBitmapImage& image, const TFileLayout& l) {
    const TBitmapInfoHeader& h = image.Header;
    const auto pixelBytes = uint32_t(image.Pixels.size());
    std::vector<uint8_t> head(14 + l.InfoSize);
    uint8_t* p = head.data();
    *p++ = 'B', *p++ = 'M';
    Put32(p, 14 + l.InfoSize + pixelBytes);
    Put32(p, 0);
    Put32(p, 14 + l.InfoSize);
    Put32(p, BmpInfoHeader);
    Put32(p, uint32_t(h.biWidth));
    Put32(p, uint32_t(h.biHeight));
    Put16(p, h.biPlanes);
    Put16(p, h.biBitCount);
    Put32(p, h.biCompression);
    Put32(p, pixelBytes);
    Put32(p, uint32_t(h.biXPelsPerMeter));
    Put32(p, uint32_t(h.biYPelsPerMeter));
    Put32(p, l.ColorsUsed);
    Put32(p, h.biClrImportant);
    if (l.Fields)
        for (uint32_t m : l.Masks) Put32(p, m);
    for (size_t i = 0; i < l.ColorCount; ++i) {
        const TRGBQuad& q = (*l.Colors)[i];
        *p++ = q.rgbBlue, *p++ = q.rgbGreen, *p++ = q.rgbRed, *p++ = 0;
    }
    return head;
}

}  // namespace

namespace {

// Everything before the pixels.
struct TFileHead {
    TFileDescription Description;
    std::vector<TRGBQuad> Table;
};

// Reads the headers and the colour table of the file that begins at `start`
// and leaves the stream where the pixels begin.
TFileHead ReadHead(TStream& stream, int64_t start) {
    const int64_t fileSize = stream.Size() - start;
    const uint32_t pixelOffset = ReadFileHeader(stream);
    TFileHead head;
    TFileDescription& d = head.Description;
    d = ReadDescription(stream);
    // The pixel-data offset says where the pixels start when it lies between
    // the end of the headers (and masks) and the end of the file: a colour
    // table it cuts short has fewer entries, and a gap after the table is
    // skipped. Any other offset (many writers leave 0) is not looked at, and
    // the pixels follow the table.
    const int64_t headersEnd = stream.Position() - start;
    const bool useOffset = pixelOffset >= headersEnd && pixelOffset < fileSize;
    if (useOffset) {
        const int64_t entries = (pixelOffset - headersEnd) / (d.Core ? 3 : 4);
        d.Header.biClrUsed = uint32_t(std::min<int64_t>(d.Header.biClrUsed, entries));
    }
    head.Table = ReadColorTable(stream, d);
    if (useOffset) stream.Seek(start + pixelOffset, TSeekOrigin::soBeginning);
    return head;
}

}  // namespace

void TBitmap::ReadFromStream(TStream& stream) {
    const int64_t start = stream.Position();
    if (stream.Size() - start <= 0) {
        ReplaceImage(std::make_unique<TBitmapImage>());
        return;
    }
    const TFileHead head = ReadHead(stream, start);
    std::unique_ptr<TBitmapImage> image = NewStore(head.Description, head.Table);
    ReadPixels(stream, head.Description, *image);
    ReplaceImage(std::move(image));
}

namespace {

// Reads the rows of an uncompressed file into the store in runs of about
// kRunBytes, top row first, and announces each run. Bytes are read from the
// same places as ReadPixels reads them; rows beyond the end of the file stay
// zero.
void ReadRowsInTurn(TStream& stream, const TFileDescription& d, TBitmapImage& image, TRowsArriving& arriving) {
    constexpr int64_t kRunBytes = int64_t(512) << 10;
    const int64_t rows = image.Rows();
    const int64_t stride = image.Stride();
    const int64_t pixels = stream.Position();
    const int64_t have = std::min(StoreSize(d.Header), std::max<int64_t>(0, stream.Size() - pixels));
    const int64_t runRows = std::max<int64_t>(1, kRunBytes / std::max<int64_t>(stride, 1));
    const bool bottomUp = d.Header.biHeight > 0;
    for (int64_t top = 0; top < rows; top += runRows) {
        const int64_t end = std::min(rows, top + runRows);
        // The run's bytes in the store: a bottom-up file holds the top row last.
        const int64_t first = stride * (bottomUp ? rows - end : top);
        const int64_t last = std::min(have, stride * (bottomUp ? rows - top : end));
        if (last > first) {
            stream.Seek(pixels + first, TSeekOrigin::soBeginning);
            image.Pixels.Prepare(size_t(first), size_t(last - first));
            stream.Read(image.Pixels.data() + first, last - first);
        }
        arriving.Arrived(int(end));
    }
}

}  // namespace

void TBitmap::ReadArriving(TStream& stream, TRowsArriving& arriving, const std::function<void()>& started) {
    bool complete = false;
    struct TEnd {
        TRowsArriving& Rows;
        const bool& Complete;
        ~TEnd() { Rows.End(Complete); }
    } end{arriving, complete};
    try {
        const int64_t start = stream.Position();
        if (stream.Size() - start <= 0) {
            ReplaceImage(std::make_unique<TBitmapImage>());
            started();
            arriving.Started();
            complete = true;
            return;
        }
        const TFileHead head = ReadHead(stream, start);
        const TFileDescription& d = head.Description;
        std::unique_ptr<TBitmapImage> made = NewStore(d, head.Table);
        TBitmapImage& image = *made;
        if (d.Header.biCompression == BmpRle8 || d.Header.biCompression == BmpRle4) {
            // Run-length data fills the rows from the bottom up: all at once.
            ReadPixels(stream, d, image);
            ReplaceImage(std::move(made));
            started();
            arriving.Started();
        } else {
            // The store is shared from here on; its rows are written only
            // before they are announced.
            ReplaceImage(std::move(made));
            started();
            arriving.Started();
            ReadRowsInTurn(stream, d, image, arriving);
        }
        arriving.Arrived(image.Rows());
        complete = true;
    } catch (...) {
        ReplaceImage(std::make_unique<TBitmapImage>());
        throw;
    }
}

void TBitmap::ReadRowSample(TStream& stream, int maxRows, int& width, int& height) {
    width = height = 0;
    const int64_t start = stream.Position();
    if (stream.Size() - start <= 0) {
        ReplaceImage(std::make_unique<TBitmapImage>());
        return;
    }
    const TFileHead head = ReadHead(stream, start);
    const TBitmapInfoHeader& h = head.Description.Header;
    if (h.biCompression == BmpRle8 || h.biCompression == BmpRle4) {
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

    // The sampled rows, top row first like the picture.
    TFileDescription sampled = head.Description;
    sampled.Header.biHeight = -samples;
    std::unique_ptr<TBitmapImage> image = NewStore(sampled, head.Table);
    // As when reading the whole file: every row the file holds.
    const int64_t pixels = stream.Position();
    const int64_t end = pixels + std::min(StoreSize(h), std::max<int64_t>(0, stream.Size() - pixels));
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
    width = h.biWidth;
    height = rows;
    ReplaceImage(std::move(image));
}

std::vector<uint8_t> TBitmap::FileHead() {
    if (FImage->Pixels.empty()) return {};
    const TFileLayout layout = LayoutOf(*FImage);
    // The corrected colour count and masks go into the store too, unless
    // other bitmaps share it (a shared store is never changed).
    if (FImage->RefCount() == 1) {
        FImage->Header.biClrUsed = layout.ColorsUsed;
        FImage->Masks = layout.Masks;
    }
    return EncodeHeaders(*FImage, layout);
}

int64_t TBitmap::FileHeadSize() const {
    if (FImage->Pixels.empty()) return 0;
    return int64_t(EncodeHeaders(*FImage, LayoutOf(*FImage)).size());
}

void TBitmap::WriteToStream(TStream& stream) {
    if (FImage->Pixels.empty()) return;
    const std::vector<uint8_t> head = FileHead();
    stream.WriteBuffer(head.data(), int64_t(head.size()));
    stream.WriteBuffer(FImage->Pixels.data(), int64_t(FImage->Pixels.size()));
}
