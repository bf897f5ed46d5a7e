#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bmp_builder.h"
#include "imaging/jpeg.h"

namespace {

using Colors_t = std::vector<uint32_t>;

// The 3 x 2 test picture, top row first.
const Colors_t kPicture = {0xFF0000, 0x00FF00, 0x0000FF,   // red, green, blue
                           0xFFFFFF, 0x808080, 0xFFFF00};  // white, gray, yellow

// Its six colours as 4-byte table entries (blue, green, red, 0).
Bytes& Table6(Bytes& b) {
    for (uint32_t c : kPicture) b.u8(c & 0xFF).u8(c >> 8 & 0xFF).u8(c >> 16).u8(0);
    return b;
}

std::vector<uint8_t> EightBit(bool topDown) {
    Bytes b;
    b.fileHeader().infoHeader(3, topDown ? -2 : 2, 8, 0, 6);
    Table6(b);
    if (topDown)
        b.raw({0, 1, 2, 0, 3, 4, 5, 0});
    else
        b.raw({3, 4, 5, 0, 0, 1, 2, 0});
    return b.data;
}

TEST(BmpRead, EightBitBottomUpAndTopDownGiveTheSamePicture) {
    TBitmap up, down;
    LoadBytes(up, EightBit(false));
    LoadBytes(down, EightBit(true));
    EXPECT_EQ(Colors(up), kPicture);
    EXPECT_EQ(Colors(down), kPicture);
    EXPECT_EQ(up.PixelDepth(), pd8);
    EXPECT_EQ(up.Image().ColorTable.size(), 6u);  // colours used 6: exactly 6 entries read

    // Top-down rows are kept in file order: row 0 is the first row in the file.
    const TBitmap& view = down;
    EXPECT_EQ(view.Image().Header.biHeight, -2);
    EXPECT_EQ(view.RowAddress(0), view.Image().Pixels.data());
    EXPECT_EQ(view.RowAddress(0)[2], 2);

    // Converting gives a bottom-up store with the same picture.
    down.SetPixelDepth(pd24);
    EXPECT_EQ(down.Image().Header.biHeight, 2);
    EXPECT_EQ(Colors(down), kPicture);
}

TEST(BmpRead, ColorsUsedZeroReadsAFullTable) {
    Bytes b;
    b.fileHeader().infoHeader(1, 1, 8);
    for (int i = 0; i < 256; ++i) b.u8(i).u8(i).u8(i).u8(0);
    b.raw({200, 0, 0, 0});
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(bitmap.Image().ColorTable.size(), 256u);
    EXPECT_EQ(bitmap.Image().Header.biClrUsed, 256u);
    EXPECT_EQ(Colors(bitmap), Colors_t{0xC8C8C8});
}

TEST(BmpRead, PixelDataOffsetBeyondTheFileIsNotUsed) {
    // The offset points far away, or just at the end of the file, where no
    // pixel could start; the pixels follow the table directly.
    for (const uint32_t offset : {0x7FFFu, uint32_t(EightBit(false).size())}) {
        std::vector<uint8_t> bytes = EightBit(false);
        bytes[10] = uint8_t(offset);
        bytes[11] = uint8_t(offset >> 8);
        TBitmap bitmap;
        LoadBytes(bitmap, bytes);
        EXPECT_EQ(Colors(bitmap), kPicture) << offset;
    }
}

TEST(BmpRead, PixelDataOffsetAtTheEndOfTheHeadersLeavesNoTable) {
    // Colours used 2 on 24 bits, but the pixels start right after the
    // header: there is no table, and the pixels are not taken for one.
    Bytes b;
    b.fileHeader(54).infoHeader(2, 1, 24, 0, 2).raw({1, 2, 3, 4, 5, 6, 0, 0});
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_TRUE(bitmap.Image().Palette.empty());
    EXPECT_EQ(Colors(bitmap), (Colors_t{0x030201, 0x060504}));
}

TEST(BmpRead, PixelDataOffsetSkipsAGapAfterTheTable) {
    std::vector<uint8_t> bytes = EightBit(false);
    const uint8_t offset = 14 + 40 + 6 * 4 + 3;
    bytes[10] = offset;
    bytes.insert(bytes.begin() + (offset - 3), {9, 9, 9});
    TBitmap bitmap;
    LoadBytes(bitmap, bytes);
    EXPECT_EQ(Colors(bitmap), kPicture);
}

TEST(BmpRead, PixelDataOffsetInsideTheTableShortensIt) {
    // Colours used 0 stands for 256 entries, but the pixels start after 16,
    // of 4 bytes after a 40-byte header and of 3 after a 12-byte one.
    for (const bool core : {false, true}) {
        Bytes b;
        if (core)
            b.fileHeader(14 + 12 + 16 * 3).u32(12).u16(2).u16(1).u16(1).u16(8);
        else
            b.fileHeader(14 + 40 + 16 * 4).infoHeader(2, 1, 8);
        for (int i = 0; i < 16; ++i) {
            b.u8(i).u8(i * 16).u8(255 - i);
            if (!core) b.u8(0);
        }
        b.raw({15, 1, 0, 0});
        TBitmap bitmap;
        LoadBytes(bitmap, b.data);
        EXPECT_EQ(bitmap.Image().ColorTable.size(), 16u) << core;
        EXPECT_EQ(Colors(bitmap), (Colors_t{0xF0F00F, 0xFE1001})) << core;
    }
}

TEST(BmpRead, ImageSizeWithoutRowPaddingStillReadsEveryRow) {
    // 3 x 2 at 24 bits: rows of 9 bytes padded to 12; the size field says 18.
    Bytes b;
    b.fileHeader(54).infoHeader(3, 2, 24, 0, 0, 18);
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < 9; ++i) b.u8(row * 100 + i + 1);
        b.zeros(3);
    }
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(Pixel24(bitmap, 2, 0), 0x6D6C6Bu);  // the top row is the last in the file
}

TEST(BmpRead, CoreHeaderGivesTheSameColorsAsItsInfoHeaderTwin) {
    // 4 bits per pixel: 16 table entries, of which the first six are used.
    Bytes core, info;
    core.fileHeader().u32(12).u16(3).u16(2).u16(1).u16(4);
    info.fileHeader().infoHeader(3, 2, 4);
    for (int i = 0; i < 16; ++i) {
        const uint32_t c = i < 6 ? kPicture[size_t(i)] : 0x123456;
        core.u8(c & 0xFF).u8(c >> 8 & 0xFF).u8(c >> 16);
        info.u8(c & 0xFF).u8(c >> 8 & 0xFF).u8(c >> 16).u8(0);
    }
    for (Bytes* b : {&core, &info}) b->raw({0x34, 0x50, 0, 0, 0x01, 0x20, 0, 0});
    TBitmap fromCore, fromInfo;
    LoadBytes(fromCore, core.data);
    LoadBytes(fromInfo, info.data);
    EXPECT_TRUE(fromCore.Image().CoreHeader);
    EXPECT_EQ(fromCore.Image().Header.biSize, 40u);
    EXPECT_EQ(Colors(fromCore), kPicture);
    EXPECT_EQ(Colors(fromInfo), kPicture);
}

TEST(BmpRead, OneBitRows) {
    Bytes b;
    b.fileHeader().infoHeader(10, 1, 1).u32(0x000000).u32(0xFFFFFF);
    b.raw({0xA5, 0x80, 0, 0});  // 1010 0101 10
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    const uint32_t W = 0xFFFFFF;
    EXPECT_EQ(Colors(bitmap), (Colors_t{W, 0, W, 0, 0, W, 0, W, W, 0}));
}

TEST(BmpRead, SixteenBitFiveFiveFive) {
    Bytes b;
    b.fileHeader().infoHeader(3, 1, 16);
    b.u16(0x7C00).u16(0x03E0).u16(0x001F).u16(0);
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(bitmap.PixelDepth(), pd15);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0xFF0000, 0x00FF00, 0x0000FF}));
}

// Red, green, blue and white in 5-5-5.
const std::vector<unsigned> k555 = {0x7C00, 0x03E0, 0x001F, 0x7FFF};
const Colors_t kRGBW = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

TEST(BmpRead, SixteenBitMasksAfterA40ByteHeaderOrInsideALongerOne) {
    // 5-5-5, not the 5-6-5 that stands in for masks that are not read.
    for (uint32_t headerSize : {40u, 52u, 124u}) {
        Bytes b;
        b.fileHeader().infoHeader(4, 1, 16, 3, 0, 0, headerSize).u32(0x7C00).u32(0x03E0).u32(0x001F);
        // From 52 bytes on the masks are the header's bytes 40 to 51; its rest follows.
        b.zeros(headerSize == 40 ? 0 : headerSize - 52);
        for (unsigned v : k555) b.u16(v);
        TBitmap bitmap;
        LoadBytes(bitmap, b.data);
        EXPECT_EQ(bitmap.Image().Masks, Masks555) << headerSize;
        EXPECT_EQ(Colors(bitmap), kRGBW) << headerSize;
    }
}

TEST(BmpRead, ThirtyTwoBitPlainAndWithOddMasks) {
    Bytes plain;
    plain.fileHeader().infoHeader(2, 1, 32).raw({1, 2, 3, 99, 0xFF, 0xFE, 0xFD, 0});
    TBitmap a;
    LoadBytes(a, plain.data);
    EXPECT_EQ(a.PixelDepth(), pd32);
    EXPECT_EQ(Colors(a), (Colors_t{0x030201, 0xFDFEFF}));

    // Red in the lowest byte, a 10-bit green, a 4-bit blue; the wide channel
    // gives its top 8 bits (0x300 -> 0xC0).
    Bytes odd;
    odd.fileHeader().infoHeader(2, 1, 32, 3).u32(0xFF).u32(0x3FF00).u32(0xF00000);
    odd.u32(0x00F3FF80).u32(0x00F30080);
    TBitmap b;
    LoadBytes(b, odd.data);
    EXPECT_EQ(b.PixelDepth(), pdOther);
    EXPECT_EQ(Colors(b), (Colors_t{0x80FFFF, 0x80C0FF}));
}

TEST(BmpRead, BitFieldDepthFollowsTheGreenMask) {
    // 16 bits: green 07E0 is 16 whatever red and blue; other masks are "other",
    // and so is every 32-bit bit-field store, even with the usual masks.
    struct Case {
        unsigned bits;
        uint32_t red, green, blue;
        TPixelDepth depth;
    };
    for (const Case& c : {Case{16, 0x001F, 0x07E0, 0xF800, pd16}, Case{16, 0x7C00, 0x03E0, 0x001F, pdOther},
                          Case{32, 0xFF0000, 0x00FF00, 0x0000FF, pdOther}}) {
        Bytes b;
        b.fileHeader().infoHeader(1, 1, c.bits, 3).u32(c.red).u32(c.green).u32(c.blue).zeros(4);
        TBitmap bitmap;
        LoadBytes(bitmap, b.data);
        EXPECT_EQ(bitmap.PixelDepth(), c.depth) << c.bits << " " << c.red;
        // Asking for the plain form of the same depth converts the store.
        const TPixelDepth plain = c.bits == 16 ? pd15 : pd32;
        bitmap.SetPixelDepth(plain);
        EXPECT_EQ(bitmap.PixelDepth(), plain);
        EXPECT_EQ(bitmap.Image().Header.biCompression, 0u);
    }
}

TEST(BmpRead, TwentyFourBitWithATableKeepsItAsPalette) {
    Bytes b;
    b.fileHeader().infoHeader(1, 1, 24, 0, 2).u32(0x010203).u32(0x040506);
    b.raw({0x10, 0x20, 0x30, 0});
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_TRUE(bitmap.Image().ColorTable.empty());
    ASSERT_EQ(bitmap.Image().Palette.size(), 2u);
    EXPECT_TRUE(bitmap.PaletteModified);
    EXPECT_EQ(Colors(bitmap), Colors_t{0x302010});
    // It is written back as the colour table.
    const std::vector<uint8_t> out = SaveBytes(bitmap);
    ASSERT_EQ(out.size(), 54u + 8 + 4);
    EXPECT_EQ(out[46], 2);  // colours used
    EXPECT_EQ(out[54], 0x03);
}

TEST(BmpRead, ShortPixelDataLeavesZeroBytesAndHugeImageSizeIsHarmless) {
    Bytes b;
    b.fileHeader().infoHeader(2, 2, 24, 0, 0, 0xFFFFFFFF).raw({1, 2, 3, 4, 5});
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(bitmap.Image().Pixels.size(), 16u);
    EXPECT_EQ(bitmap.Image().Header.biSizeImage, 16u);
    const TBitmap& view = bitmap;
    const uint8_t* bottom = view.RowAddress(1);
    EXPECT_EQ(bottom[4], 5);
    EXPECT_EQ(view.RowAddress(0)[0], 0);
}

// 4 x 3, table: black, red, green, blue, white.
Bytes& RleTable(Bytes& b) { return b.u32(0).u32(0xFF0000).u32(0x00FF00).u32(0x0000FF).u32(0xFFFFFF); }

TEST(BmpRead, Rle8WithDeltaAndAbsoluteRuns) {
    Bytes b;
    b.fileHeader().infoHeader(4, 3, 8, 1, 5);
    RleTable(b);
    b.raw({4, 1, 0, 0,                   // bottom row: four red
           0, 3, 2, 3, 4, 0, 0, 0,       // absolute run of three, one pad byte
           0, 2, 1, 0, 2, 3, 0, 1});     // delta one right, two blue, end
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(bitmap.PixelDepth(), pd8);
    EXPECT_EQ(bitmap.Image().Header.biCompression, 0u);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0, 0x0000FF, 0x0000FF, 0,               //
                                        0x00FF00, 0x0000FF, 0xFFFFFF, 0,        //
                                        0xFF0000, 0xFF0000, 0xFF0000, 0xFF0000}));
}

TEST(BmpRead, Rle4WithDeltaAbsoluteRunsAndARunPastTheRow) {
    Bytes b;
    b.fileHeader().infoHeader(6, 2, 4, 2, 5);
    RleTable(b);
    b.raw({0, 5, 0x12, 0x34, 0x10, 0,    // absolute run of five, one pad byte
           2, 0x44, 0, 0,                // two white: the second falls off the row
           0, 2, 2, 0, 3, 0x30, 0, 1});  // delta two right, blue black blue, end
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(bitmap.PixelDepth(), pd4);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0, 0, 0x0000FF, 0, 0x0000FF, 0,  //
                                        0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xFF0000,
                                        0xFFFFFF}));
}

TEST(BmpRead, RleRunningPastTheImageOrEndingEarlyStaysInside) {
    Bytes b;
    b.fileHeader().infoHeader(2, 2, 8, 1, 2).u32(0).u32(0xFFFFFF);
    for (int i = 0; i < 10; ++i) b.raw({255, 1, 0, 2, 255, 255});  // runs and deltas far out
    b.raw({0, 200, 1});                                           // absolute run cut short
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0, 0, 0xFFFFFF, 0xFFFFFF}));
}

TEST(BmpRead, IndicesBeyondTheTableAreBlack) {
    Bytes b;
    b.fileHeader().infoHeader(2, 1, 8, 0, 1).u32(0xFFFFFF).raw({0, 7, 0, 0});
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0xFFFFFF, 0}));
    bitmap.SetPixelDepth(pd32);
    EXPECT_EQ(Colors(bitmap), (Colors_t{0xFFFFFF, 0}));
}

TEST(BmpRead, EmptyStreamAndEmptyImages) {
    TBitmap bitmap;
    LoadBytes(bitmap, EightBit(false));
    LoadBytes(bitmap, {});
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.Width(), 0);
    EXPECT_TRUE(SaveBytes(bitmap).empty());

    Bytes zeroWide;
    zeroWide.fileHeader().infoHeader(0, 5, 24);
    LoadBytes(bitmap, zeroWide.data);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_TRUE(SaveBytes(bitmap).empty());
}

TEST(BmpRead, ReadingStartsAtTheStreamPosition) {
    TMemoryStream stream;
    stream.WriteBuffer("xyz", 3);
    const std::vector<uint8_t> bytes = EightBit(false);
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(3);
    TBitmap bitmap;
    bitmap.ReadFromStream(stream);
    EXPECT_EQ(Colors(bitmap), kPicture);
}

// Counts the bytes read through it.
class TCountingStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    int64_t Read(void* buffer, int64_t count) override {
        const int64_t n = TMemoryStream::Read(buffer, count);
        BytesRead += n;
        return n;
    }
    int64_t BytesRead = 0;
};

TEST(BmpRead, RowSampleReadsOnlyTheSampledRowsOfTheWholePicture) {
    // 8-bit, 5 x 100, every pixel the index of its row counted from the top;
    // bottom-up, top-down, bottom-up cut off after 60 rows, and bottom-up
    // with a gap before the pixels that the pixel-data offset skips.
    constexpr int kRows = 100, kStride = 8;
    for (const int variant : {0, 1, 2, 3}) {
        const bool topDown = variant == 1;
        const int gap = variant == 3 ? 6 : 0;
        Bytes b;
        b.fileHeader(gap ? 14 + 40 + 1024 + gap : 0).infoHeader(5, topDown ? -kRows : kRows, 8);
        for (int i = 0; i < 256; ++i) b.u8(i).u8(i).u8(i).u8(0);
        for (int i = 0; i < gap; ++i) b.u8(0xEE);
        for (int row = 0; row < kRows; ++row) {
            const int index = topDown ? row : kRows - 1 - row;
            for (int x = 0; x < kStride; ++x) b.u8(x < 5 ? index : 0);
        }
        if (variant == 2) b.data.resize(b.data.size() - 40 * kStride);
        TBitmap whole;
        LoadBytes(whole, b.data);

        TCountingStream stream(b.data);
        TBitmap sample;
        int width = 0, height = 0;
        sample.ReadRowSample(stream, 10, width, height);
        EXPECT_EQ(width, 5);
        EXPECT_EQ(height, kRows);
        ASSERT_EQ(sample.Width(), 5);
        ASSERT_EQ(sample.Height(), 10);
        EXPECT_EQ(sample.Image().ColorTable, whole.Image().ColorTable);
        EXPECT_LE(stream.BytesRead, 14 + 40 + 1024 + 10 * kStride) << variant;
        EXPECT_EQ(whole.Image().Row(kRows - 1)[0], kRows - 1) << variant;
        const TBitmap& rows = sample;
        const TBitmap& all = whole;
        for (int t = 0; t < 10; ++t) {
            // The middle row of each tenth.
            EXPECT_EQ(std::vector<uint8_t>(rows.RowAddress(t), rows.RowAddress(t) + kStride),
                      std::vector<uint8_t>(all.RowAddress(5 + 10 * t), all.RowAddress(5 + 10 * t) + kStride))
                << variant << " " << t;
        }

        // Asked for more rows than there are: every row, as the whole file gives them.
        TMemoryStream again(b.data);
        sample.ReadRowSample(again, 1000, width, height);
        EXPECT_EQ(Colors(sample), Colors(whole));
    }
}

// ---------------------------------------------------------------------------

template <typename E>
void ExpectFailure(const std::vector<uint8_t>& bytes, const std::string& message) {
    TBitmap bitmap;
    LoadBytes(bitmap, EightBit(false));
    const TBitmapImage* before = &bitmap.Image();
    try {
        LoadBytes(bitmap, bytes);
        ADD_FAILURE() << "no exception for a file of " << bytes.size() << " bytes";
    } catch (const E& e) {
        EXPECT_EQ(e.Message(), message);
    }
    // A failed load leaves the store it had.
    EXPECT_EQ(&bitmap.Image(), before);
    EXPECT_EQ(Colors(bitmap), kPicture);
}

const char* const kInvalid = "Bitmap image is not valid";

std::vector<uint8_t> Info(int32_t w, int32_t h, unsigned bits, uint32_t compression = 0,
                          uint32_t clrUsed = 0, uint32_t headerSize = 40) {
    Bytes b;
    b.fileHeader().infoHeader(w, h, bits, compression, clrUsed, 0, headerSize).zeros(64);
    return b.data;
}

TEST(BmpReadFailure, ShortFilesAndWrongSignature) {
    const std::vector<uint8_t> full = EightBit(false);
    for (long n = 1; n < 14; ++n)
        ExpectFailure<EReadError>({full.begin(), full.begin() + n}, "Stream read error");
    ExpectFailure<EInvalidGraphic>(std::vector<uint8_t>(14, 'B'), kInvalid);
    std::vector<uint8_t> pm = EightBit(false);
    pm[0] = 'P';
    ExpectFailure<EInvalidGraphic>(pm, kInvalid);
}

TEST(BmpReadFailure, EndsInsideTheHeaderOrTheColorTable) {
    const std::vector<uint8_t> full = EightBit(false);
    ExpectFailure<EInvalidGraphic>({full.begin(), full.begin() + 16}, kInvalid);
    ExpectFailure<EInvalidGraphic>({full.begin(), full.begin() + 40}, kInvalid);
    ExpectFailure<EReadError>({full.begin(), full.begin() + 54 + 10}, "Stream read error");
    // A header size larger than the whole file.
    Bytes b;
    b.fileHeader().u32(0x7FFFFFFF).zeros(100);
    ExpectFailure<EInvalidGraphic>(b.data, kInvalid);
}

TEST(BmpReadFailure, DescriptionsNoStoreCanBeMadeFrom) {
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 24, 0, 0, 20), kInvalid);   // header size
    std::vector<uint8_t> planes = Info(2, 2, 24);
    planes[26] = 2;
    ExpectFailure<EInvalidGraphic>(planes, kInvalid);
    for (unsigned bits : {0u, 2u, 7u, 15u, 48u}) ExpectFailure<EInvalidGraphic>(Info(2, 2, bits), kInvalid);
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 24, 4), kInvalid);           // compression
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 4, 1), kInvalid);            // RLE8 on 4 bits
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 8, 2), kInvalid);            // RLE4 on 8 bits
    ExpectFailure<EInvalidGraphic>(Info(2, -2, 8, 1), kInvalid);           // top-down RLE
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 24, 3), kInvalid);           // bit fields on 24
    ExpectFailure<EInvalidGraphic>(Info(2, 2, 8, 0, 257), kInvalid);       // colours used
    ExpectFailure<EInvalidGraphic>(Info(-2, 2, 24), kInvalid);
    ExpectFailure<EInvalidGraphic>(Info(65536, 1, 8), kInvalid);
    ExpectFailure<EInvalidGraphic>(Info(1, -65536, 8), kInvalid);
    ExpectFailure<EInvalidGraphic>(Info(1, INT32_MIN, 8), kInvalid);
    ExpectFailure<EInvalidGraphic>(Info(65535, 65535, 32), kInvalid);     // 16 GiB of pixels
    ExpectFailure<EInvalidGraphic>(Info(32768, 8193, 32), kInvalid);      // just above 1 GiB
}

TEST(BmpRead, AShortFileOfTheLargestAllowedSizeLoads) {
    // Exactly 1 GiB of pixels from a file of a hundred bytes: no error, and
    // the store is the image's size, not more.
    TBitmap bitmap;
    LoadBytes(bitmap, Info(32768, 8192, 32));
    EXPECT_EQ(bitmap.Width(), 32768);
    EXPECT_EQ(bitmap.Image().Pixels.size(), size_t(1) << 30);
}

// The process's peak resident memory so far, in bytes.
int64_t PeakResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    return -1;
}

TEST(BmpRead, AHugePictureFromATinyPaletteFileEncodesWithoutASecondPicture) {
    // 118 bytes declaring 12000 x 6000 pixels of 4 bits: the store is 36 MB
    // that are never written, the same picture in 24 bits 216 MB. The
    // encoder takes the rows converted one at a time.
    Bytes b;
    b.fileHeader().infoHeader(12000, 6000, 4, 0, 16).zeros(16 * 4);
    ASSERT_EQ(b.data.size(), 118u);
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    const int64_t before = PeakResident();
    ASSERT_GT(before, 0);
    TJPEGImage jpeg;
    jpeg.Assign(&bitmap);
    TMemoryStream encoded;
    jpeg.WriteToStream(encoded);
    EXPECT_GT(encoded.Size(), 0);
    EXPECT_LT(PeakResident() - before, int64_t(48) << 20);
}

}  // namespace
