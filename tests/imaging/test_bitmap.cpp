#include <gtest/gtest.h>

#include <utility>

#include "bmp_builder.h"
#include "tests/support/other_graphic.h"

namespace {

// Colours every depth holds exactly: black, white, pure red/green/blue.
const std::vector<uint32_t> kPure = {0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

TEST(Bitmap, FreshBitmapIsEmpty) {
    TBitmap bitmap;
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.Width(), 0);
    EXPECT_EQ(bitmap.Height(), 0);
    EXPECT_EQ(bitmap.PixelDepth(), pdDevice);
}

TEST(Bitmap, AssignSharesTheStoreAndCopiesOnWrite) {
    TBitmap a, b;
    Fill24(a, 3, 2, kPure);
    b.Assign(&a);
    EXPECT_EQ(&a.Image(), &b.Image());
    EXPECT_EQ(a.Image().RefCount(), 2);

    // Reading rows through a const bitmap does not unshare.
    const TBitmap& view = b;
    EXPECT_EQ(view.RowAddress(0), a.Image().Row(0));

    // Writing through RowAddress makes b's store private; a keeps its pixels.
    b.RowAddress(0)[0] = 0x77;
    EXPECT_NE(&a.Image(), &b.Image());
    EXPECT_EQ(a.Image().RefCount(), 1);
    EXPECT_EQ(Colors(a), kPure);
    EXPECT_EQ(Colors(b)[0], 0x000077u);
}

TEST(Bitmap, ConvertingOneOfTwoSharingBitmapsLeavesTheOther) {
    TBitmap a, b;
    Fill24(a, 3, 2, kPure);
    a.SetPixelDepth(pd8);
    b.Assign(&a);
    const TBitmapImage* shared = &a.Image();
    b.SetPixelDepth(pd24);
    EXPECT_EQ(&a.Image(), shared);
    EXPECT_EQ(a.PixelDepth(), pd8);
    EXPECT_EQ(b.PixelDepth(), pd24);
    EXPECT_EQ(Colors(a), kPure);
    EXPECT_EQ(Colors(b), kPure);
    // Already 24 bits: nothing changes and the store stays shared.
    TBitmap c;
    c.Assign(&b);
    c.SetPixelDepth(pd24);
    EXPECT_EQ(&c.Image(), &b.Image());
}

TEST(Bitmap, AssignFromNullAndSelf) {
    TBitmap a;
    Fill24(a, 2, 3, kPure);
    a.Assign(&a);
    EXPECT_EQ(a.Width(), 2);
    a.Assign(nullptr);
    EXPECT_TRUE(a.Empty());
}

TEST(Bitmap, AssignFromAForeignClassRaisesConvertError) {
    TOther other;
    TBitmap bitmap;
    try {
        bitmap.Assign(&other);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TOther to a TBitmap");
    }
}

TEST(Bitmap, ChangesAreNotified) {
    TBitmap bitmap;
    int changes = 0;
    bitmap.OnChange = [&](TGraphic* sender) {
        EXPECT_EQ(sender, &bitmap);
        ++changes;
    };
    bitmap.SetPixelDepth(pd8);
    EXPECT_TRUE(bitmap.PaletteModified);
    bitmap.SetSize(2, 2);
    bitmap.SetPalette({{1, 2, 3, 0}});
    EXPECT_EQ(changes, 3);
    EXPECT_TRUE(bitmap.Modified);
}

TEST(Bitmap, EveryDepthHoldsPureColors) {
    // 3 x 2, and narrow pictures of several rows, where a row's last pixel
    // lies next to the first pixel of the row after it in memory.
    for (const auto& [width, height] : {std::pair{3, 2}, {1, 3}, {2, 3}, {4, 3}, {5, 2}}) {
        std::vector<uint32_t> colors, nearestTwo;
        for (size_t i = 0; i < size_t(width * height); ++i) {
            colors.push_back(kPure[(i + 1) % kPure.size()]);
            // Two colours: black and white; red, green and blue are nearest to black.
            nearestTwo.push_back(colors.back() == 0xFFFFFF ? 0xFFFFFF : 0);
        }
        for (TPixelDepth d : {pd1, pd4, pd8, pd15, pd16, pd24, pd32}) {
            TBitmap bitmap;
            Fill24(bitmap, width, height, colors);
            bitmap.SetPixelDepth(d);
            EXPECT_EQ(bitmap.PixelDepth(), d);
            EXPECT_EQ(bitmap.Image().Header.biHeight, height);
            EXPECT_EQ(Colors(bitmap), d == pd1 ? nearestTwo : colors) << "depth " << d << ", width " << width;
            // And every depth reads back what it writes.
            TBitmap back;
            LoadBytes(back, SaveBytes(bitmap));
            EXPECT_EQ(Colors(back), Colors(bitmap)) << "depth " << d << ", width " << width;
        }
    }
}

TEST(Bitmap, ConversionPicksNearestColorsAndWidensChannels) {
    TBitmap bitmap;
    Fill24(bitmap, 2, 1, {0x34CC66, 0x7F7F7F});
    TBitmap eight;
    eight.Assign(&bitmap);
    eight.SetPixelDepth(pd8);
    EXPECT_EQ(eight.Image().ColorTable, HalftonePalette());
    EXPECT_EQ(Colors(eight), (std::vector<uint32_t>{0x33CC66, 0x7C7C7C}));

    TBitmap four;
    four.Assign(&bitmap);
    four.SetPixelDepth(pd4);
    EXPECT_EQ(four.Image().ColorTable, SystemPalette16());
    EXPECT_EQ(Colors(four), (std::vector<uint32_t>{0x008080, 0x808080}));

    TBitmap sixteen;
    sixteen.Assign(&bitmap);
    sixteen.SetPixelDepth(pd16);
    EXPECT_EQ(sixteen.Image().Header.biCompression, 3u);
    EXPECT_EQ(sixteen.Image().Masks[1], 0x07E0u);
    // 5 and 6 bits widen to the nearest 8-bit level.
    EXPECT_EQ(Colors(sixteen)[0], 0x31CE63u);
}

TEST(Bitmap, InvalidPixelFormat) {
    TBitmap bitmap;
    Fill24(bitmap, 1, 1, {0});
    try {
        bitmap.SetPixelDepth(pdOther);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Invalid pixel format");
    }
    bitmap.SetPixelDepth(pdDevice);
    EXPECT_EQ(bitmap.PixelDepth(), pd24);
}

TEST(Bitmap, SetSizeKeepsTheTopLeftAndFillsWhite) {
    TBitmap bitmap;
    Fill24(bitmap, 2, 2, {0x010203, 0x040506, 0x070809, 0x0A0B0C});
    bitmap.SetWidth(3);
    bitmap.SetHeight(3);
    const uint32_t W = 0xFFFFFF;
    EXPECT_EQ(Colors(bitmap), (std::vector<uint32_t>{0x010203, 0x040506, W, 0x070809, 0x0A0B0C, W,
                                                     W, W, W}));
    bitmap.SetSize(1, 1);
    EXPECT_EQ(Colors(bitmap), std::vector<uint32_t>{0x010203});

    // Four bits: the pixels move nibble by nibble.
    TBitmap four;
    Fill24(four, 3, 1, {0xFF0000, 0x000000, 0x0000FF});
    four.SetPixelDepth(pd4);
    four.SetSize(4, 2);
    EXPECT_EQ(Colors(four), (std::vector<uint32_t>{0xFF0000, 0, 0x0000FF, W, W, W, W, W}));
    EXPECT_THROW(four.SetSize(-1, 2), EInvalidGraphic);
    EXPECT_THROW(four.SetSize(70000, 2), EInvalidGraphic);
}

TEST(Bitmap, RowAddressRange) {
    TBitmap bitmap;
    Fill24(bitmap, 3, 2, kPure);
    const uint8_t* base = bitmap.Image().Pixels.data();
    EXPECT_EQ(bitmap.RowAddress(0), base + 12);  // bottom-up: the top row is stored last
    EXPECT_EQ(bitmap.RowAddress(1), base);
    // Where a further row would begin: below the bottom row, before the buffer.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bitmap.RowAddress(2)), reinterpret_cast<uintptr_t>(base) - 12);
    for (int r : {-1, 3}) {
        try {
            bitmap.RowAddress(r);
            FAIL() << r;
        } catch (const EInvalidGraphicOperation& e) {
            EXPECT_EQ(e.Message(), "Scan line index out of range");
        }
    }
}

TEST(Bitmap, PaletteOfAnEightBitDecodedBitmapIsWrittenWith256Entries) {
    TBitmap bitmap;
    bitmap.SetPixelDepth(pd8);
    bitmap.SetSize(2, 1);
    bitmap.SetPalette({{10, 20, 30, 0}, {40, 50, 60, 0}});
    bitmap.RowAddress(0)[1] = 1;
    const std::vector<uint8_t> bytes = SaveBytes(bitmap);
    ASSERT_EQ(bytes.size(), 1078u + 4);
    EXPECT_EQ(bytes[10], 0x36);  // pixel data offset 1078
    EXPECT_EQ(bytes[11], 0x04);
    EXPECT_EQ(bytes[46], 0);     // colours used 256
    EXPECT_EQ(bytes[47], 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 54, bytes.begin() + 62),
              (std::vector<uint8_t>{10, 20, 30, 0, 40, 50, 60, 0}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()),
              (std::vector<uint8_t>{215, 1, 0, 0}));  // white from the sizing, then index 1
}

TEST(Bitmap, SixteenBitMasksAreFilledInWhenWriting) {
    Bytes b;
    b.fileHeader().infoHeader(1, 1, 16, 3, 0, 0, 44).zeros(4).u16(0xFFFF).u16(0);
    TBitmap bitmap;
    LoadBytes(bitmap, b.data);
    const std::vector<uint8_t> out = SaveBytes(bitmap);
    ASSERT_EQ(out.size(), 14u + 52 + 4);
    EXPECT_EQ(out[10], 66);
    EXPECT_EQ(out[54], 0x00);
    EXPECT_EQ(out[55], 0xF8);  // red mask F800
}

TEST(Bitmap, DrawingStretchesOntoTheCanvasUnlessThereIsNothingToShow) {
    struct TRecordingCanvas : TCanvas {
        std::vector<std::pair<TRect, const TBitmap*>> Calls;
        void StretchDraw(const TRect& rect, const TBitmap& bitmap) override { Calls.push_back({rect, &bitmap}); }
    } canvas;
    TBitmap bitmap;
    bitmap.Draw(canvas, {0, 0, 6, 4});
    EXPECT_TRUE(canvas.Calls.empty());
    Fill24(bitmap, 3, 2, kPure);
    bitmap.Draw(canvas, {2, 1, 2, 5});
    EXPECT_TRUE(canvas.Calls.empty());
    bitmap.Draw(canvas, {2, 1, 8, 5});
    ASSERT_EQ(canvas.Calls.size(), 1u);
    EXPECT_EQ(canvas.Calls[0].first, (TRect{2, 1, 8, 5}));
    EXPECT_EQ(canvas.Calls[0].second, &bitmap);
}

}  // namespace
