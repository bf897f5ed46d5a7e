// Pixel formats of the bitmap store: reading rows as colours, writing
// colours in a given format, and building converted or resized stores.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"

// One colour channel of a bit-field pixel.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;
    explicit TChannel(uint32_t mask = 0);
    // The channel's value widened or narrowed to 8 bits.
    uint8_t Get(uint32_t pixel) const;
};

// Reads the rows of any store as blue, green, red triples.
class TRowReader {
public:
    explicit TRowReader(const TBitmapImage& image);
    // Fills width * 3 bytes with the colours of image row `row` (0 = top).
    void Read(int64_t row, uint8_t* bgr) const;

private:
    const TBitmapImage& FImage;
    std::array<uint8_t, 256 * 3> FTable{};  // colour table, black beyond its end
    TChannel FRed, FGreen, FBlue;
    bool FBitFields = false;
};

// Finds the entry of a colour table nearest to a colour.
class TNearestColor {
public:
    explicit TNearestColor(const std::vector<TRGBQuad>& table);
    uint8_t Find(uint8_t blue, uint8_t green, uint8_t red);

private:
    std::vector<TRGBQuad> FTable;
    struct Slot {
        uint32_t Key = 0xFFFFFFFFu;
        uint8_t Index = 0;
    };
    std::vector<Slot> FCache;
};

// Writes colours into the rows of a store of the given format.
class TRowWriter {
public:
    explicit TRowWriter(const TBitmapImage& image);
    // Stores width pixels given as blue, green, red triples into `out`.
    void Write(const uint8_t* bgr, uint8_t* out);

private:
    const TBitmapImage& FImage;
    TNearestColor FNearest;
};

// Reduces rows of 8-bit grays to `levels` (2..256) grays spread evenly from
// black to white, with Floyd-Steinberg error diffusion, row by row in
// alternating directions: libjpeg's one-pass quantiser on one component
// (its default dithering) gives the same indices and colour map, only more
// slowly.
class TGrayDither {
public:
    TGrayDither(int width, int levels);
    // The grays, darkest first.
    std::vector<TRGBQuad> Palette() const;
    // The indices of the next row of `gray` into `indices` (width bytes).
    void Row(const uint8_t* gray, uint8_t* indices);

private:
    int FWidth;
    int FLevels;
    // For every value a pixel can reach with the error added, -256 to 511:
    // the nearest gray's index and the value less that gray (the error),
    // also times 7, which goes on to the next pixel.
    struct TStep {
        int16_t Error7;
        int8_t Error;
        uint8_t Index;
    };
    std::array<TStep, 768> FSteps{};
    std::vector<int16_t> FErrors;        // one per column, and one each side
    bool FOddRow = false;
};

// A new bottom-up store of the given depth holding the image's pixels.
std::unique_ptr<TBitmapImage> ConvertImage(const TBitmapImage& image, TPixelDepth depth);
// Fills every pixel of the store with white (the fill bytes stay 0), or
// those of the rows from `firstRow` (0 = top) on.
void FillWhite(TBitmapImage& image, int64_t firstRow = 0);
// Copies the pixels of `from` into the top left of `to` (same depth).
void CopyTopLeft(const TBitmapImage& from, TBitmapImage& to);
