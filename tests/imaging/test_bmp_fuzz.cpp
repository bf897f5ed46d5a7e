// Thousands of damaged BMP files: every load ends with a bitmap or with one
// of the reading errors, never with anything else.
#include <gtest/gtest.h>

#include <random>

#include "bmp_builder.h"

namespace {

// Well-formed files of every kind the reader knows, to be damaged.
std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds;
    auto table = [](Bytes& b, int n) {
        for (int i = 0; i < n; ++i) b.u8(i * 7).u8(i * 13).u8(i * 29).u8(0);
    };
    {
        Bytes b;
        b.fileHeader().infoHeader(5, 3, 24);
        for (int i = 0; i < 48; ++i) b.u8(i * 5);
        seeds.push_back(b.data);
    }
    for (int bits : {1, 4, 8}) {
        Bytes b;
        b.fileHeader().infoHeader(7, -3, unsigned(bits), 0, 3);
        table(b, 3);
        for (int i = 0; i < 12; ++i) b.u8(i * 37);
        seeds.push_back(b.data);
    }
    {
        Bytes b;
        b.fileHeader().u32(12).u16(4).u16(2).u16(1).u16(8);
        for (int i = 0; i < 256; ++i) b.u8(i).u8(255 - i).u8(i / 2);
        b.raw({1, 2, 3, 4, 5, 6, 7, 8});
        seeds.push_back(b.data);
    }
    {
        Bytes b;
        b.fileHeader().infoHeader(3, 2, 16, 3).u32(0xF800).u32(0x07E0).u32(0x001F);
        for (int i = 0; i < 8; ++i) b.u16(i * 0x1234);
        seeds.push_back(b.data);
    }
    {
        Bytes b;
        b.fileHeader().infoHeader(2, 2, 32, 3, 0, 0, 124).u32(0xFF0000).u32(0xFF00).u32(0xFF);
        b.zeros(124 - 52);
        for (int i = 0; i < 16; ++i) b.u8(i * 16);
        seeds.push_back(b.data);
    }
    {
        Bytes b;
        b.fileHeader().infoHeader(6, 4, 8, 1, 4);
        table(b, 4);
        b.raw({3, 1, 0, 4, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 5, 3, 0, 0, 6, 2, 0, 1});
        seeds.push_back(b.data);
    }
    {
        Bytes b;
        b.fileHeader().infoHeader(7, 3, 4, 2, 4);
        table(b, 4);
        b.raw({0, 5, 0x12, 0x31, 0x20, 0, 4, 0x23, 0, 0, 0, 2, 1, 1, 9, 0x13, 0, 1});
        seeds.push_back(b.data);
    }
    return seeds;
}

std::vector<uint8_t> Mutate(std::vector<uint8_t> bytes, std::mt19937& rng) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    static const uint8_t kInteresting[] = {0, 1, 2, 3, 4, 8, 12, 16, 24, 32, 40, 0x7F, 0x80, 0xFE, 0xFF};
    const size_t edits = 1 + pick(4);
    for (size_t e = 0; e < edits && !bytes.empty(); ++e) {
        switch (pick(6)) {
            case 0:  // any byte, any value
                bytes[pick(bytes.size())] = uint8_t(pick(256));
                break;
            case 1:  // a header field gets an interesting value
                bytes[std::min(bytes.size() - 1, 14 + pick(40))] = kInteresting[pick(sizeof kInteresting)];
                break;
            case 2:  // flip a bit
                bytes[pick(bytes.size())] ^= uint8_t(1u << pick(8));
                break;
            case 3:  // cut the file short
                bytes.resize(pick(bytes.size() + 1));
                break;
            case 4:  // insert or drop bytes
                if (pick(2))
                    bytes.insert(bytes.begin() + long(pick(bytes.size() + 1)), pick(8) + 1, uint8_t(pick(256)));
                else
                    bytes.erase(bytes.begin() + long(pick(bytes.size())));
                break;
            default:  // a large 32-bit value in a header field
                if (bytes.size() >= 54) {
                    const size_t at = 18 + 4 * pick(9);
                    const uint32_t v = uint32_t(rng());
                    for (int k = 0; k < 4; ++k) bytes[at + k] = uint8_t(v >> (8 * k));
                }
        }
    }
    return bytes;
}

TEST(BmpFuzz, DamagedFilesLoadOrFailCleanly) {
    const auto seeds = Seeds();
    std::mt19937 rng(20261208);
    int loaded = 0, readErrors = 0, invalid = 0;
    for (int round = 0; round < 10000; ++round) {
        const std::vector<uint8_t> bytes = Mutate(seeds[size_t(round) % seeds.size()], rng);
        TBitmap bitmap;
        try {
            LoadBytes(bitmap, bytes);
        } catch (const EReadError& e) {
            EXPECT_EQ(e.Message(), "Stream read error");
            ++readErrors;
            continue;
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Bitmap image is not valid");
            ++invalid;
            continue;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "round " << round << ": " << e.what();
            continue;
        }
        ++loaded;
        const TBitmapImage& image = bitmap.Image();
        ASSERT_EQ(int64_t(image.Pixels.size()), image.Stride() * image.Rows()) << "round " << round;
        if (image.Pixels.size() > (1u << 20)) continue;  // large but lazily zeroed: do not touch
        // A loaded bitmap converts, writes and reads back.
        TBitmap copy;
        copy.Assign(&bitmap);
        copy.SetPixelDepth(pd24);
        bitmap.SetPixelDepth(pd8);
        TBitmap back;
        LoadBytes(back, SaveBytes(bitmap));
        EXPECT_EQ(back.Width(), bitmap.Empty() ? 0 : bitmap.Width()) << "round " << round;
    }
    // The damage reaches every outcome.
    EXPECT_GT(loaded, 1000);
    EXPECT_GT(readErrors, 200);
    EXPECT_GT(invalid, 1000);
}

}  // namespace
