#include "imaging/pixel_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

uint32_t Load16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t Load32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Store16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Index of pixel x in a row of 1, 4 or 8 bits per pixel.
unsigned GetIndex(const uint8_t* row, int64_t x, int bits) {
    switch (bits) {
        case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xFu;
        default: return row[x];
    }
}
void SetIndex(uint8_t* row, int64_t x, int bits, unsigned index) {
    switch (bits) {
        case 1: {
            const uint8_t bit = uint8_t(0x80u >> (x & 7));
            row[x >> 3] = uint8_t(index & 1 ? row[x >> 3] | bit : row[x >> 3] & ~bit);
            break;
        }
        case 4: {
            const int shift = (x & 1) ? 0 : 4;
            row[x >> 1] = uint8_t((row[x >> 1] & ~(0xF << shift)) | (index & 0xF) << shift);
            break;
        }
        default: row[x] = uint8_t(index);
    }
}

// Masks of a 16- or 32-bit store: its own when it has bit fields, else those
// of the usual layout.
TMasks StoreMasks(const TBitmapImage& image) {
    const bool fields = image.Header.biCompression == BmpBitFields;
    if (fields && image.Masks != TMasks{}) return image.Masks;
    if (image.Header.biBitCount == 16 && !fields) return Masks555;
    return DefaultBitFieldMasks(image.Header.biBitCount);
}

std::vector<TRGBQuad> MakeHalftone() {
    std::vector<TRGBQuad> table;
    table.reserve(256);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                table.push_back({uint8_t(b * 51), uint8_t(g * 51), uint8_t(r * 51), 0});
    // Grays between the cube's own gray levels.
    for (int i = 1; i <= 40; ++i) {
        const auto v = uint8_t((i * 255 + 20) / 41);
        table.push_back({v, v, v, 0});
    }
    return table;
}

}  // namespace

const std::vector<TRGBQuad>& HalftonePalette() {
    static const std::vector<TRGBQuad> table = MakeHalftone();
    return table;
}

const std::vector<TRGBQuad>& SystemPalette16() {
    // blue, green, red
    static const std::vector<TRGBQuad> table = {
        {0x00, 0x00, 0x00, 0}, {0x00, 0x00, 0x80, 0}, {0x00, 0x80, 0x00, 0}, {0x00, 0x80, 0x80, 0},
        {0x80, 0x00, 0x00, 0}, {0x80, 0x00, 0x80, 0}, {0x80, 0x80, 0x00, 0}, {0xC0, 0xC0, 0xC0, 0},
        {0x80, 0x80, 0x80, 0}, {0x00, 0x00, 0xFF, 0}, {0x00, 0xFF, 0x00, 0}, {0x00, 0xFF, 0xFF, 0},
        {0xFF, 0x00, 0x00, 0}, {0xFF, 0x00, 0xFF, 0}, {0xFF, 0xFF, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0},
    };
    return table;
}

// ---------------------------------------------------------------------------

TChannel::TChannel(uint32_t mask) : Mask(mask) {
    if (mask == 0) return;
    Shift = std::countr_zero(mask);
    Bits = std::bit_width(mask >> Shift);
}

uint8_t TChannel::Get(uint32_t pixel) const {
    if (Bits == 0) return 0;
    const uint32_t v = (pixel & Mask) >> Shift;
    if (Bits >= 8) return uint8_t(v >> (Bits - 8));
    const uint32_t max = (1u << Bits) - 1;
    return uint8_t((v * 255 + max / 2) / max);
}

TRowReader::TRowReader(const TBitmapImage& image) : FImage(image) {
    const int bits = image.Header.biBitCount;
    if (bits <= 8) {
        const size_t n = std::min<size_t>(image.ColorTable.size(), 256);
        for (size_t i = 0; i < n; ++i) {
            FTable[i * 3] = image.ColorTable[i].rgbBlue;
            FTable[i * 3 + 1] = image.ColorTable[i].rgbGreen;
            FTable[i * 3 + 2] = image.ColorTable[i].rgbRed;
        }
    } else if (bits == 16 || (bits == 32 && image.Header.biCompression == BmpBitFields)) {
        const TMasks masks = StoreMasks(image);
        FRed = TChannel(masks[0]);
        FGreen = TChannel(masks[1]);
        FBlue = TChannel(masks[2]);
        FBitFields = true;
    }
}

void TRowReader::Read(int64_t row, uint8_t* out) const {
    const uint8_t* in = FImage.Row(row);
    const int64_t width = FImage.Header.biWidth;
    const int bits = FImage.Header.biBitCount;
    if (bits == 8) {
        for (int64_t x = 0; x < width; ++x, out += 3) {
            const uint8_t* c = &FTable[size_t(in[x]) * 3];
            out[0] = c[0], out[1] = c[1], out[2] = c[2];
        }
    } else if (bits < 8) {
        for (int64_t x = 0; x < width; ++x, out += 3) {
            const uint8_t* c = &FTable[GetIndex(in, x, bits) * 3];
            out[0] = c[0], out[1] = c[1], out[2] = c[2];
        }
    } else if (bits == 24) {
        std::memcpy(out, in, size_t(width) * 3);
    } else if (FBitFields) {
        const int step = bits / 8;
        for (int64_t x = 0; x < width; ++x, out += 3, in += step) {
            const uint32_t px = step == 2 ? Load16(in) : Load32(in);
            out[0] = FBlue.Get(px), out[1] = FGreen.Get(px), out[2] = FRed.Get(px);
        }
    } else {  // 32 bits: blue, green, red, unused
        for (int64_t x = 0; x < width; ++x, out += 3, in += 4)
            out[0] = in[0], out[1] = in[1], out[2] = in[2];
    }
}

// ---------------------------------------------------------------------------

TNearestColor::TNearestColor(const std::vector<TRGBQuad>& table)
    : FTable(table.begin(), table.begin() + std::min<ptrdiff_t>(ptrdiff_t(table.size()), 256)) {
    if (!FTable.empty()) FCache.resize(4096);
}

uint8_t TNearestColor::Find(uint8_t blue, uint8_t green, uint8_t red) {
    if (FTable.empty()) return 0;
    const uint32_t key = uint32_t(red) << 16 | uint32_t(green) << 8 | blue;
    Slot& slot = FCache[((key * 2654435761u) >> 20) & 4095];
    if (slot.Key == key) return slot.Index;
    int best = 0;
    int bestDistance = 1 << 30;
    for (size_t i = 0; i < FTable.size(); ++i) {
        const int db = int(FTable[i].rgbBlue) - blue;
        const int dg = int(FTable[i].rgbGreen) - green;
        const int dr = int(FTable[i].rgbRed) - red;
        const int d = db * db + dg * dg + dr * dr;
        if (d < bestDistance) {
            bestDistance = d;
            best = int(i);
            if (d == 0) break;
        }
    }
    slot.Key = key;
    slot.Index = uint8_t(best);
    return slot.Index;
}

TRowWriter::TRowWriter(const TBitmapImage& image)
    : FImage(image), FNearest(image.Header.biBitCount <= 8 ? image.ColorTable
                                                          : std::vector<TRGBQuad>{}) {}

void TRowWriter::Write(const uint8_t* in, uint8_t* out) {
    const int64_t width = FImage.Header.biWidth;
    const int bits = FImage.Header.biBitCount;
    if (bits <= 8) {
        for (int64_t x = 0; x < width; ++x, in += 3)
            SetIndex(out, x, bits, FNearest.Find(in[0], in[1], in[2]));
    } else if (bits == 24) {
        std::memcpy(out, in, size_t(width) * 3);
    } else if (bits == 32 && FImage.Header.biCompression != BmpBitFields) {
        for (int64_t x = 0; x < width; ++x, in += 3, out += 4)
            out[0] = in[0], out[1] = in[1], out[2] = in[2], out[3] = 0;
    } else {
        const TMasks masks = StoreMasks(FImage);
        const TChannel channels[3] = {TChannel(masks[0]), TChannel(masks[1]), TChannel(masks[2])};
        const int step = bits / 8;
        for (int64_t x = 0; x < width; ++x, in += 3, out += step) {
            uint32_t px = 0;
            for (int c = 0; c < 3; ++c) {
                const TChannel& ch = channels[c];
                if (ch.Bits == 0) continue;
                const uint32_t v8 = in[2 - c];  // red, green, blue
                const uint32_t v = ch.Bits >= 8 ? v8 << (ch.Bits - 8) : v8 >> (8 - ch.Bits);
                px |= (v << ch.Shift) & ch.Mask;
            }
            if (step == 2) {
                Store16(out, px);
            } else {
                out[0] = uint8_t(px), out[1] = uint8_t(px >> 8), out[2] = uint8_t(px >> 16),
                out[3] = uint8_t(px >> 24);
            }
        }
    }
}

// ---------------------------------------------------------------------------

namespace {
// The gray of index j of `levels`, and the largest value nearer to it than
// to the next.
int GrayLevel(int j, int levels) { return (j * 255 + (levels - 1) / 2) / (levels - 1); }
int LargestNearest(int j, int levels) { return ((2 * j + 1) * 255 + levels - 1) / (2 * (levels - 1)); }
}  // namespace

TGrayDither::TGrayDither(int width, int levels)
    : FWidth(width), FLevels(std::clamp(levels, 2, 256)), FErrors(size_t(std::max(width, 0)) + 2, 0) {
    int k = 0;
    int largest = LargestNearest(0, FLevels);
    for (int v = 0; v < 256; ++v) {
        while (v > largest) largest = LargestNearest(++k, FLevels);
        const int error = v - GrayLevel(k, FLevels);
        FSteps[size_t(v + 256)] = {int16_t(error * 7), int8_t(error), uint8_t(k)};
    }
    // Values beyond either end count as the end.
    for (int v = 0; v < 256; ++v) {
        FSteps[size_t(v)] = FSteps[256];
        FSteps[size_t(v + 512)] = FSteps[511];
    }
}

std::vector<TRGBQuad> TGrayDither::Palette() const {
    std::vector<TRGBQuad> palette(static_cast<size_t>(FLevels));
    for (int j = 0; j < FLevels; ++j) {
        const auto v = uint8_t(GrayLevel(j, FLevels));
        palette[size_t(j)] = {v, v, v, 0};
    }
    return palette;
}

void TGrayDither::Row(const uint8_t* gray, uint8_t* indices) {
    // Errors are kept in sixteenths: 7/16 of a pixel's error goes on to the
    // next pixel of the row, 3/16, 5/16 and 1/16 to the three below it.
    // `e` points at the entry of the column before the current one.
    const int step = FOddRow ? -1 : 1;
    int64_t x = FOddRow ? FWidth - 1 : 0;
    int16_t* e = FErrors.data() + (FOddRow ? FWidth + 1 : 0);
    // Most pixels get no error from their neighbours: they are looked up
    // directly, and the branch, rarely taken, keeps the pixels from waiting
    // for one another.
    int carried = 0, below = 0, belowPrevious = 0;
    const TStep* const steps = FSteps.data() + 256;
    for (int n = FWidth; n > 0; --n, x += step, e += step) {
        int value = gray[x];
        const int pending = carried + e[step];
        if (__builtin_expect(pending != 0, 0)) value += (pending + 8) >> 4;
        // The value reached is always within the table's ends.
        const TStep& s = steps[value];
        indices[x] = s.Index;
        carried = s.Error7;
        const int error = s.Error;
        e[0] = int16_t(belowPrevious + 3 * error);
        belowPrevious = below + 5 * error;
        below = error;
    }
    e[0] = int16_t(belowPrevious);
    FOddRow = !FOddRow;
}

// ---------------------------------------------------------------------------

namespace {

// A 256-entry lookup from an 8-bit index to the three colour bytes, padded to
// four so that one store writes a pixel.
void Expand8To24(const TBitmapImage& from, TBitmapImage& to) {
    uint32_t lut[256] = {};
    const size_t n = std::min<size_t>(from.ColorTable.size(), 256);
    for (size_t i = 0; i < n; ++i) {
        const TRGBQuad& q = from.ColorTable[i];
        lut[i] = uint32_t(q.rgbBlue) | uint32_t(q.rgbGreen) << 8 | uint32_t(q.rgbRed) << 16;
    }
    const int64_t width = from.Header.biWidth;
    const int64_t rows = from.Rows();
    for (int64_t r = 0; r < rows; ++r) {
        const uint8_t* in = from.Row(r);
        uint8_t* out = to.Row(r);
        int64_t x = 0;
        // Four-byte stores overlap the next pixel; the last one is done apart.
        for (; x + 1 < width; ++x) std::memcpy(out + x * 3, &lut[in[x]], 4);
        for (; x < width; ++x) std::memcpy(out + x * 3, &lut[in[x]], 3);
    }
}

}  // namespace

namespace {

// An empty bottom-up store of the image's size in the given depth, with the
// colour table or palette that depth takes.
std::unique_ptr<TBitmapImage> NewStoreOfDepth(const TBitmapImage& image, TPixelDepth depth) {
    auto result = std::make_unique<TBitmapImage>();
    TBitmapInfoHeader& h = result->Header;
    h.biWidth = image.Header.biWidth;
    h.biHeight = image.Rows();
    switch (depth) {
        case pd15: h.biBitCount = 16; break;
        case pd16:
            h.biBitCount = 16;
            h.biCompression = BmpBitFields;
            result->Masks = Masks565;
            break;
        default: h.biBitCount = uint16_t(depth);
    }
    if (depth == pd8) {
        result->ColorTable = HalftonePalette();
    } else if (depth == pd4) {
        result->ColorTable = SystemPalette16();
    } else if (depth == pd1) {
        // A two-colour palette of the old store is kept; otherwise black and white.
        const std::vector<TRGBQuad>& old = !image.ColorTable.empty() ? image.ColorTable : image.Palette;
        if (old.size() == 2)
            result->ColorTable = old;
        else
            result->ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else {
        result->Palette = image.Header.biBitCount > 8 ? image.Palette : image.ColorTable;
        result->OwnPalette = image.Header.biBitCount > 8 && image.OwnPalette;
    }
    h.biSizeImage = uint32_t(result->Stride() * result->Rows());
    return result;
}

// Every pixel of `from` into the store `to` of the same size, by its colour.
void ConvertPixels(const TBitmapImage& from, TBitmapImage& to) {
    const bool to24 = to.Header.biBitCount == 24;
    if (from.Header.biBitCount == 8 && to24) {
        Expand8To24(from, to);
        return;
    }
    const int64_t rows = to.Rows();
    TRowReader reader(from);
    if (to24) {
        for (int64_t r = 0; r < rows; ++r) reader.Read(r, to.Row(r));
        return;
    }
    TRowWriter writer(to);
    std::vector<uint8_t> line(size_t(to.Header.biWidth) * 3);
    for (int64_t r = 0; r < rows; ++r) {
        reader.Read(r, line.data());
        writer.Write(line.data(), to.Row(r));
    }
}

}  // namespace

std::unique_ptr<TBitmapImage> ConvertImage(const TBitmapImage& image, TPixelDepth depth) {
    std::unique_ptr<TBitmapImage> result = NewStoreOfDepth(image, depth);
    if (image.Pixels.empty()) return result;
    result->Pixels = TPixelBuffer(size_t(result->Header.biSizeImage));
    ConvertPixels(image, *result);
    return result;
}

void FillWhite(TBitmapImage& image, int64_t firstRow) {
    if (image.Pixels.empty() || firstRow >= image.Rows()) return;
    const int64_t width = image.Header.biWidth;
    std::vector<uint8_t> white(size_t(width) * 3, 0xFF);
    TRowWriter writer(image);
    uint8_t* first = image.Row(firstRow);
    writer.Write(white.data(), first);
    const int64_t stride = image.Stride();
    for (int64_t r = firstRow + 1; r < image.Rows(); ++r) std::memcpy(image.Row(r), first, size_t(stride));
}

void CopyTopLeft(const TBitmapImage& from, TBitmapImage& to) {
    if (from.Pixels.empty() || to.Pixels.empty()) return;
    if (from.Header.biBitCount != to.Header.biBitCount) return;
    const int bits = to.Header.biBitCount;
    const int64_t rows = std::min(from.Rows(), to.Rows());
    const int64_t width = std::min(from.Header.biWidth, to.Header.biWidth);
    for (int64_t r = 0; r < rows; ++r) {
        if (bits >= 8) {
            std::memcpy(to.Row(r), from.Row(r), size_t(width * (bits / 8)));
        } else {
            for (int64_t x = 0; x < width; ++x)
                SetIndex(to.Row(r), x, bits, GetIndex(from.Row(r), x, bits));
        }
    }
}
