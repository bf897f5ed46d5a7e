#include <gtest/gtest.h>

#include "bmp_builder.h"

namespace {

// A 3 x 2 24-bit bitmap as the JPEG decoder makes one.
TBitmap* Make3x2() {
    auto* bitmap = new TBitmap;
    bitmap->SetPixelDepth(pd24);
    bitmap->SetSize(3, 2);
    uint8_t* top = bitmap->RowAddress(0);
    uint8_t* bottom = bitmap->RowAddress(1);
    for (int i = 0; i < 9; ++i) {
        top[i] = uint8_t(i + 1);
        bottom[i] = uint8_t(0x10 + i);
    }
    return bitmap;
}

TEST(BmpWrite, ThreeByTwo24BitGivesThe78ByteFile) {
    std::unique_ptr<TBitmap> bitmap(Make3x2());
    const std::vector<uint8_t> expected =
        Bytes()
            .raw({'B', 'M'}).u32(78).u32(0).u32(54)
            .u32(40).i32(3).i32(2).u16(1).u16(24).u32(0).u32(24).i32(0).i32(0).u32(0).u32(0)
            // bottom row first, each padded to 12 bytes
            .raw({0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0, 0, 0})
            .raw({1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0})
            .data;
    EXPECT_EQ(SaveBytes(*bitmap), expected);
}

TEST(BmpWrite, FreshStoreIsWhiteAndReadsBackUnchanged) {
    TBitmap bitmap;
    bitmap.SetPixelDepth(pd24);
    bitmap.SetSize(5, 3);
    EXPECT_EQ(Colors(bitmap), std::vector<uint32_t>(15, 0xFFFFFF));
    const std::vector<uint8_t> bytes = SaveBytes(bitmap);
    ASSERT_EQ(bytes.size(), 54u + 16 * 3);
    EXPECT_EQ(bytes[54 + 15], 0);  // fill byte at the row end
    TBitmap back;
    LoadBytes(back, bytes);
    EXPECT_EQ(back.Width(), 5);
    EXPECT_EQ(back.Height(), 3);
    EXPECT_EQ(SaveBytes(back), bytes);
}

}  // namespace
