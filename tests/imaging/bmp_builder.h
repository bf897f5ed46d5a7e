// Builds BMP files byte by byte for the tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "core/streams.h"
#include "imaging/bitmap.h"

class Bytes {
public:
    Bytes& u8(unsigned v) {
        data.push_back(uint8_t(v));
        return *this;
    }
    Bytes& u16(unsigned v) { return u8(v & 0xFF).u8(v >> 8 & 0xFF); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& i32(int32_t v) { return u32(uint32_t(v)); }
    Bytes& raw(std::initializer_list<unsigned> values) {
        for (unsigned v : values) u8(v);
        return *this;
    }
    Bytes& append(const std::vector<uint8_t>& more) {
        data.insert(data.end(), more.begin(), more.end());
        return *this;
    }
    Bytes& zeros(size_t n) {
        data.insert(data.end(), n, 0);
        return *this;
    }
    // 14-byte file header; the size and offset fields are not read back.
    Bytes& fileHeader(uint32_t offset = 0) {
        return raw({'B', 'M'}).u32(0).u32(0).u32(offset);
    }
    // 40-byte information header.
    Bytes& infoHeader(int32_t width, int32_t height, unsigned bits, uint32_t compression = 0,
                      uint32_t clrUsed = 0, uint32_t sizeImage = 0, uint32_t headerSize = 40) {
        u32(headerSize).i32(width).i32(height).u16(1).u16(bits).u32(compression).u32(sizeImage);
        return i32(2835).i32(2835).u32(clrUsed).u32(0);
    }
    std::vector<uint8_t> data;
};

// The same description, colours and pixel bytes.
inline void ExpectSameStore(const TBitmapImage& a, const TBitmapImage& b) {
    EXPECT_EQ(std::memcmp(&a.Header, &b.Header, sizeof a.Header), 0);
    EXPECT_EQ(a.Masks, b.Masks);
    EXPECT_EQ(a.ColorTable, b.ColorTable);
    EXPECT_EQ(a.Palette, b.Palette);
    EXPECT_EQ(a.OwnPalette, b.OwnPalette);
    EXPECT_EQ(a.CoreHeader, b.CoreHeader);
    ASSERT_EQ(a.Pixels.size(), b.Pixels.size());
    if (!a.Pixels.empty()) {
        EXPECT_EQ(std::memcmp(a.Pixels.data(), b.Pixels.data(), a.Pixels.size()), 0);
    }
}

// Loads bytes as a bitmap. They are read a second time with the rows
// announced as they arrive, which must fail alike or give the same store
// with every row announced.
inline void LoadBytes(TBitmap& bitmap, const std::vector<uint8_t>& bytes) {
    TBitmap arrived;
    TRowsArriving rows;
    int started = 0;
    bool failed = false;
    try {
        TMemoryStream stream(bytes);
        arrived.ReadArriving(stream, rows, [&] { ++started; });
    } catch (const Exception&) {
        failed = true;
        EXPECT_TRUE(arrived.Empty());
        EXPECT_EQ(rows.WaitFor(0), 0);
    }
    TMemoryStream stream(bytes);
    try {
        bitmap.ReadFromStream(stream);
    } catch (const Exception&) {
        EXPECT_TRUE(failed);
        throw;
    }
    ASSERT_FALSE(failed);
    EXPECT_EQ(started, 1);
    if (bitmap.Height() > 0) {
        EXPECT_EQ(rows.WaitFor(bitmap.Height() - 1), bitmap.Height());
    }
    ExpectSameStore(bitmap.Image(), arrived.Image());
}

inline std::vector<uint8_t> SaveBytes(TBitmap& bitmap) {
    TMemoryStream stream;
    bitmap.WriteToStream(stream);
    return stream.Data();
}

// Makes the bitmap 24 bits of the given colours (0xRRGGBB), top row first.
inline void Fill24(TBitmap& bitmap, int width, int height, const std::vector<uint32_t>& colors) {
    bitmap.SetPixelDepth(pd24);
    bitmap.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap.RowAddress(y);
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colors[size_t(y * width + x)];
            row[x * 3] = uint8_t(c), row[x * 3 + 1] = uint8_t(c >> 8), row[x * 3 + 2] = uint8_t(c >> 16);
        }
    }
}

// Colour of pixel (x, y), y = 0 the top row, of a 24-bit bitmap as 0xRRGGBB.
inline uint32_t Pixel24(const TBitmap& bitmap, int x, int y) {
    const uint8_t* p = bitmap.RowAddress(y) + x * 3;
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Every pixel of the bitmap converted to 24 bits, top row first, 0xRRGGBB.
inline std::vector<uint32_t> Colors(const TBitmap& source) {
    TBitmap copy;
    copy.Assign(&source);
    copy.SetPixelDepth(pd24);
    std::vector<uint32_t> out;
    const TBitmap& view = copy;
    for (int y = 0; y < view.Height(); ++y)
        for (int x = 0; x < view.Width(); ++x) out.push_back(Pixel24(view, x, y));
    return out;
}
