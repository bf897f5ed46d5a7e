#include <gtest/gtest.h>


#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "core/thread_cap.h"
#include "imaging/jpeg_feed.h"
#include "pack/pack_steps.h"
#include "jpeg_test_support.h"

using namespace jpegtest;

namespace {

// Runs `f`, expecting EJPEG with `code`; returns the message.
template <class F>
std::string ExpectJpegError(F&& f, int code) {
    try {
        f();
    } catch (const EJPEG& e) {
        EXPECT_EQ(e.Code(), code) << e.Message();
        return e.Message();
    }
    ADD_FAILURE() << "no EJPEG raised";
    return {};
}

int MaxIndex(const TBitmap& bitmap) {
    int most = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.RowAddress(y);
        for (int x = 0; x < bitmap.Width(); ++x) most = std::max<int>(most, row[x]);
    }
    return most;
}

void ExpectNear(Rgb got, Rgb want, int tolerance) {
    EXPECT_NEAR(got.r, want.r, tolerance);
    EXPECT_NEAR(got.g, want.g, tolerance);
    EXPECT_NEAR(got.b, want.b, tolerance);
}

TEST(JpegDecode, ColourImageRoundTripsTo24Bits) {
    const auto photo = MakePhoto(123, 77);
    const auto back = Decode(Encode(*photo));
    EXPECT_EQ(back->PixelDepth(), pd24);
    EXPECT_EQ(back->Width(), 123);
    EXPECT_EQ(back->Height(), 77);
    EXPECT_GT(Psnr(*photo, *back), 35.0);

    // Colours keep their channels: a red picture comes back red.
    const auto red = Decode(Encode(*MakeFlat(16, 16, {200, 30, 10})));
    ExpectNear(PixelOf(*red, 5, 5), {200, 30, 10}, 4);
}

TEST(JpegDecode, OnePixelRoundTrip) {
    TempDir dir;
    const auto pixel = MakeFlat(1, 1, {10, 200, 90});
    TJPEGImage jpeg;
    jpeg.Assign(pixel.get());
    jpeg.SaveToFile(dir / "one.jpeg");

    TJPEGImage loaded;
    loaded.LoadFromFile(dir / "one.jpeg");
    EXPECT_EQ(loaded.Width(), 1);
    EXPECT_EQ(loaded.Height(), 1);
    TBitmap back;
    back.Assign(&loaded);
    ASSERT_EQ(back.Width(), 1);
    ASSERT_EQ(back.Height(), 1);
    ExpectNear(PixelOf(back, 0, 0), {10, 200, 90}, 6);
}

TEST(JpegDecode, ZeroByteFileLoadsAsEmptyAndRefusesToDecode) {
    TempDir dir;
    WriteFile(dir / "zero.jpeg", {});
    TJPEGImage jpeg;
    bool changed = false;
    jpeg.OnChange = [&](TGraphic*) { changed = true; };
    jpeg.LoadFromFile(dir / "zero.jpeg");
    EXPECT_TRUE(changed);
    EXPECT_EQ(jpeg.Width(), 0);
    EXPECT_EQ(jpeg.Height(), 0);
    EXPECT_FALSE(jpeg.Empty());  // an empty buffer is still loaded data
    TBitmap bitmap;
    const auto message = ExpectJpegError([&] { bitmap.Assign(&jpeg); }, JERR_INPUT_EMPTY);
    EXPECT_EQ(message, "JPEG error #" + std::to_string(JERR_INPUT_EMPTY));
}

TEST(JpegDecode, NonJpegFailsAtLoadAndKeepsTheBytes) {
    TempDir dir;
    WriteFile(dir / "bogus.jpeg", {'B', 'M', 1, 2, 3, 4, 5, 6});
    TJPEGImage jpeg;
    const auto message = ExpectJpegError([&] { jpeg.LoadFromFile(dir / "bogus.jpeg"); }, JERR_NO_SOI);
    // The number for the windows, the library's own words besides.
    EXPECT_EQ(message, "JPEG error #" + std::to_string(JERR_NO_SOI));
    try {
        jpeg.LoadFromFile(dir / "bogus.jpeg");
    } catch (const EJPEGExplained& e) {
        EXPECT_EQ(e.Reason(), "Not a JPEG file: starts with 0x42 0x4d");
    }
    ASSERT_NE(jpeg.Data().Data, nullptr);
    EXPECT_EQ(jpeg.Data().Data->size(), 8u);

    EXPECT_THROW(jpeg.LoadFromFile(dir / "missing.jpeg"), EFOpenError);
}

TEST(JpegDecode, HeaderWithoutScanIsReported) {
    // Everything up to the scan of a real file, nothing after it.
    auto bytes = Encode(*MakePhoto(16, 16));
    const size_t sos = [&] {
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) return i;
        return bytes.size();
    }();
    bytes.resize(sos);
    bytes.push_back(0xFF);
    bytes.push_back(0xD9);
    TJPEGImage jpeg;
    TMemoryStream in(bytes);
    ExpectJpegError([&] { jpeg.ReadFromStream(in); }, JERR_SOF_NO_SOS);

    // Start and end of an image and nothing between.
    TMemoryStream bare(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9});
    ExpectJpegError([&] { jpeg.ReadFromStream(bare); }, JERR_NO_IMAGE);
}

// The library's one-pass quantiser with its default dithering on gray data,
// 236 colours: the indices of every row, top row first, and the colour map.
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> LibraryQuantized(const std::vector<uint8_t>& bytes) {
    jpeg_decompress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&c, TRUE);
    c.quantize_colors = TRUE;
    c.desired_number_of_colors = 236;
    jpeg_start_decompress(&c);
    std::vector<uint8_t> indices(size_t(c.output_width) * c.output_height);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = &indices[size_t(c.output_scanline) * c.output_width];
        jpeg_read_scanlines(&c, &row, 1);
    }
    std::vector<uint8_t> map(c.colormap[0], c.colormap[0] + c.actual_number_of_colors);
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return {indices, map};
}

TEST(JpegDecode, GrayDataGivesAnEightBitGrayBitmap) {
    const auto bytes = EncodeRaw(40, 30, 1, JCS_GRAYSCALE, JCS_GRAYSCALE,
                                 [](int x, int y, uint8_t* p) { p[0] = uint8_t((x * 6 + y * 3) & 0xFF); });
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    EXPECT_TRUE(jpeg.Data().Grayscale);
    TBitmap back;
    back.Assign(&jpeg);
    ASSERT_EQ(back.PixelDepth(), pd8);
    EXPECT_EQ(back.Width(), 40);
    EXPECT_LT(MaxIndex(back), 236);
    const auto& table = back.Image().ColorTable;
    ASSERT_GE(table.size(), 2u);
    for (size_t i = 0; i < std::min<size_t>(table.size(), 236); ++i) {
        EXPECT_EQ(table[i].rgbRed, table[i].rgbGreen);
        EXPECT_EQ(table[i].rgbRed, table[i].rgbBlue);
    }

    // Gray rows are dithered without the library's quantiser, to the same
    // indices and colours: on every gray level (a ramp with grain) and on a
    // gray photo, with odd widths so that the alternating rows end unevenly.
    const auto photo = MakePhoto(641, 203);
    const std::vector<std::vector<uint8_t>> grays = {
        EncodeRaw(257, 120, 1, JCS_GRAYSCALE, JCS_GRAYSCALE,
                  [](int x, int y, uint8_t* p) { p[0] = uint8_t(std::clamp(x + (x * 7 + y * 13) % 5 - 2, 0, 255)); }),
        EncodeRaw(641, 203, 3, JCS_RGB, JCS_GRAYSCALE, [&](int x, int y, uint8_t* p) {
            const Rgb c = PixelOf(*photo, x, y);
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        })};
    for (const auto& gray : grays) {
        const auto [indices, map] = LibraryQuantized(gray);
        const auto ours = Decode(gray);
        ASSERT_EQ(ours->PixelDepth(), pd8);
        const size_t width = size_t(ours->Width());
        ASSERT_EQ(indices.size(), width * size_t(ours->Height()));
        for (int y = 0; y < ours->Height(); ++y)
            ASSERT_EQ(std::memcmp(ours->Image().Row(y), &indices[size_t(y) * width], width), 0) << "row " << y;
        const auto& colors = ours->Image().ColorTable;
        ASSERT_GE(colors.size(), map.size());
        for (size_t i = 0; i < map.size(); ++i) EXPECT_EQ(colors[i].rgbRed, map[i]) << i;
    }
}

TEST(JpegDecode, EightBitOutputReducesColours) {
    const auto photo = MakePhoto(64, 48);
    const auto bytes = Encode(*photo);
    for (bool fast : {false, true}) {
        const auto back = Decode(bytes, [fast](TJPEGImage& j) {
            j.Settings.EightBitOutput = true;
            j.Settings.FastDecode = fast;
        });
        ASSERT_EQ(back->PixelDepth(), pd8);
        EXPECT_EQ(back->Width(), 64);
        EXPECT_LT(MaxIndex(*back), 236);
        EXPECT_GT(Psnr(*photo, *back), 20.0) << fast;
    }
}

TEST(JpegDecode, ScaledDecodingReportsAndDeliversTheScaledSize) {
    const auto bytes = Encode(*MakePhoto(100, 60));
    TJPEGImage jpeg;
    jpeg.Settings.ScaleShift = 2;
    Load(jpeg, bytes);
    EXPECT_EQ(jpeg.Width(), 25);
    EXPECT_EQ(jpeg.Height(), 15);
    EXPECT_EQ(jpeg.Data().Width, 100);
    TBitmap back;
    back.Assign(&jpeg);
    EXPECT_EQ(back.Width(), 25);
    EXPECT_EQ(back.Height(), 15);
}

TEST(JpegDecode, ReducedDecodingShowsThePictureAndLeavesTheObjectAsItWas) {
    const auto bytes = Encode(*MakePhoto(100, 60));
    const BitmapPtr full = Decode(bytes);
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    int reports = 0;
    jpeg.OnProgress = [&](TGraphic*, TProgressStage, int) { ++reports; };
    jpeg.OnChange = [&](TGraphic*) { ++reports; };
    for (const int shift : {1, 2, 3}) {
        const int step = 1 << shift;
        const auto reduced = jpeg.DecodeReduced(shift);
        ASSERT_EQ(reduced->Width(), (100 + step - 1) / step);
        ASSERT_EQ(reduced->Height(), (60 + step - 1) / step);
        // Each pixel stands for the average of its block of the full picture.
        auto block = MakeBitmap(reduced->Width(), reduced->Height(), [&](int x, int y) {
            int r = 0, g = 0, b = 0, n = 0;
            for (int fy = y * step; fy < std::min(60, (y + 1) * step); ++fy)
                for (int fx = x * step; fx < std::min(100, (x + 1) * step); ++fx, ++n) {
                    const Rgb c = PixelOf(*full, fx, fy);
                    r += c.r, g += c.g, b += c.b;
                }
            return Rgb{uint8_t(r / n), uint8_t(g / n), uint8_t(b / n)};
        });
        EXPECT_GT(Psnr(*reduced, *block), 40.0) << shift;
    }
    // From bytes cut short, handed to the decoder all at once: the same
    // picture as the object decoding at that scale, piece by piece.
    const auto large = Encode(*MakePhoto(640, 480));
    const std::vector<uint8_t> cut(large.begin(), large.begin() + std::ptrdiff_t(large.size() / 2));
    const auto partial = TJPEGImage::DecodeReduced(cut.data(), cut.size(), jpeg.Settings, 1);
    TJPEGImage scaled;
    Load(scaled, cut);
    scaled.Settings.ScaleShift = 1;
    scaled.DecodeJpeg();
    ASSERT_GT(cut.size(), 8192u);  // more than one refill of the piecewise source
    EXPECT_TRUE(SamePixels(*partial, *scaled.Bitmap()));
    // From a feed while another thread encodes: the same picture as from
    // the finished bytes. A feed that ends before its encoding gives none.
    TJPEGImage encoder;
    encoder.Assign(MakePhoto(640, 480).get());
    TJPEGFeed feed;
    std::thread encoding([&] { encoder.EncodeJpegFeeding(feed); });
    const auto fed = TJPEGImage::DecodeReduced(feed, jpeg.Settings, 2);
    encoding.join();
    ASSERT_NE(fed, nullptr);
    const std::vector<uint8_t>& made = *encoder.Data().Data;
    EXPECT_TRUE(SamePixels(*fed, *TJPEGImage::DecodeReduced(made.data(), made.size(), jpeg.Settings, 2)));
    TJPEGFeed broken;
    broken.Append(cut.data(), cut.size());
    broken.Close(false);
    EXPECT_EQ(TJPEGImage::DecodeReduced(broken, jpeg.Settings, 1), nullptr);
    // The object neither decoded nor changed: its full bitmap is the usual one.
    EXPECT_EQ(jpeg.Bitmap(), nullptr);
    EXPECT_EQ(jpeg.Width(), 100);
    EXPECT_EQ(reports, 0);
    TBitmap back;
    back.Assign(&jpeg);
    EXPECT_EQ(back.Image().Header.biHeight, full->Image().Header.biHeight);
    EXPECT_TRUE(SamePixels(back, *full));
}

TEST(JpegDecode, DecodesOnceAndSharesThePixels) {
    const auto bytes = Encode(*MakePhoto(30, 30));
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    EXPECT_EQ(jpeg.Bitmap(), nullptr);
    int starts = 0;
    jpeg.OnProgress = [&](TGraphic*, TProgressStage stage, int) {
        if (stage == TProgressStage::psStarting) ++starts;
    };
    TBitmap a, b;
    a.Assign(&jpeg);
    b.Assign(&jpeg);
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(&a.Image(), &b.Image());
    EXPECT_EQ(&a.Image(), &jpeg.Bitmap()->Image());
}

TEST(JpegDecode, AbortFromProgressKeepsThePartialBitmapQuietly) {
    const auto bytes = Encode(*MakePhoto(30, 30));
    const auto whole = Decode(bytes);
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    jpeg.OnProgress = [](TGraphic*, TProgressStage stage, int) {
        if (stage == TProgressStage::psStarting) throw EAbort();
    };
    TBitmap back;
    EXPECT_NO_THROW(back.Assign(&jpeg));
    ASSERT_NE(jpeg.Bitmap(), nullptr);
    EXPECT_TRUE(back.Empty());

    // Ended among the rows: the rows read so far stay, the rest is white.
    FastProgressClock clock;
    TJPEGImage partly;
    TMemoryStream again(bytes);
    partly.ReadFromStream(again);
    int running = 0;
    partly.OnProgress = [&](TGraphic*, TProgressStage stage, int) {
        if (stage == TProgressStage::psRunning && ++running == 10) throw EAbort();
    };
    EXPECT_NO_THROW(back.Assign(&partly));
    ASSERT_EQ(back.Height(), 30);
    const std::vector<uint8_t> white(90, 0xFF);
    const auto rowOf = [](const TBitmap& b, int y) { return std::vector<uint8_t>(b.RowAddress(y), b.RowAddress(y) + 90); };
    EXPECT_EQ(rowOf(back, 0), rowOf(*whole, 0));
    EXPECT_NE(rowOf(back, 0), white);
    EXPECT_EQ(rowOf(back, 29), white);
}

TEST(JpegDecode, TruncatedDataDecodesToFullSize) {
    const auto photo = MakePhoto(160, 120);
    const auto bytes = Encode(*photo);
    jpeg_error_mgr library{};
    jpeg_std_error(&library);
    for (size_t keep : {bytes.size() - 2, bytes.size() / 2, size_t(700)}) {
        const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + long(keep));
        TJPEGImage jpeg;
        Load(jpeg, cut);
        TBitmap back;
        ASSERT_NO_THROW(back.Assign(&jpeg)) << keep;
        EXPECT_EQ(back.Width(), 160);
        EXPECT_EQ(back.Height(), 120);
        // A caller can tell it from a whole picture: the data ends early,
        // inside the entropy-coded data too where it is cut there.
        const TJPEGWarnings& warnings = jpeg.Warnings();
        EXPECT_EQ(warnings.Count, keep == bytes.size() - 2 ? 1 : 2) << keep;
        EXPECT_EQ(warnings.LastMessage,
                  library.jpeg_message_table[keep == bytes.size() - 2 ? JWRN_JPEG_EOF : JWRN_HIT_MARKER])
            << keep;
    }
    TJPEGImage whole;
    Load(whole, bytes);
    TBitmap back;
    back.Assign(&whole);
    EXPECT_EQ(whole.Warnings().Count, 0);
    EXPECT_EQ(whole.Warnings().LastMessage, "");
}

TEST(JpegDecode, ProgressiveDecodeReportsRisingProgressThatEndsAtAHundred) {
    FastProgressClock clock;
    const auto bytes = Encode(*MakePhoto(160, 120), [](TJPEGImage& j) { j.Settings.WriteProgressive = true; });
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    std::vector<int> running;
    int ending = -1;
    jpeg.OnProgress = [&](TGraphic*, TProgressStage stage, int percent) {
        if (stage == TProgressStage::psRunning) running.push_back(percent);
        if (stage == TProgressStage::psEnding) ending = percent;
    };
    TBitmap back;
    back.Assign(&jpeg);
    ASSERT_GE(running.size(), 3u);
    EXPECT_TRUE(std::is_sorted(running.begin(), running.end()));
    EXPECT_LT(running.front(), running.back());
    EXPECT_LE(running.back(), 100);
    EXPECT_EQ(ending, 100);
}

// Damaged data of every kind: each load and decode ends with a bitmap or
// with EJPEG, never anything else (the sanitizer build checks the memory).
// A bitmap has the size the header states and the depth the settings ask
// for, and the same bytes decode to the same pixels again.
TEST(JpegDecode, DamagedDataNeverCrashes) {
    const auto good = Encode(*MakePhoto(48, 40));
    const auto progressive = Encode(*MakePhoto(48, 40), [](TJPEGImage& j) { j.Settings.WriteProgressive = true; });
    std::mt19937 random(20261208);
    int decoded = 0;
    for (int round = 0; round < 600; ++round) {
        std::vector<uint8_t> bytes = round % 2 ? good : progressive;
        const int changes = 1 + int(random() % 8);
        for (int k = 0; k < changes; ++k) {
            const size_t at = random() % bytes.size();
            switch (random() % 3) {
                case 0: bytes[at] = uint8_t(random()); break;
                case 1: bytes[at] ^= uint8_t(1u << (random() % 8)); break;
                default: bytes.resize(std::max<size_t>(at, 2)); break;
            }
        }
        const bool eightBit = round % 5 == 0;
        const auto adjust = [eightBit](TJPEGImage& j) { j.Settings.EightBitOutput = eightBit; };
        TJPEGImage header;
        std::unique_ptr<TBitmap> first, second;
        try {
            TMemoryStream in(bytes);
            header.ReadFromStream(in);
            first = Decode(bytes, adjust);
        } catch (const EJPEG&) {
            continue;
        }
        ++decoded;
        EXPECT_EQ(first->Width(), header.Data().Width) << round;
        EXPECT_EQ(first->Height(), header.Data().Height) << round;
        EXPECT_EQ(first->PixelDepth(), eightBit || header.Data().Grayscale ? pd8 : pd24) << round;
        ASSERT_NO_THROW(second = Decode(bytes, adjust)) << round;
        const size_t size = first->Image().Pixels.size();
        ASSERT_EQ(second->Image().Pixels.size(), size) << round;
        EXPECT_EQ(std::memcmp(first->Image().Pixels.data(), second->Image().Pixels.data(), size), 0) << round;
    }
    EXPECT_GT(decoded, 100);
}

TEST(JpegDecode, FourComponentInksBecomeColours) {
    // Adobe-style inverted inks as most programs write them: 255 = no ink.
    auto inverted = [](uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
        return [=](int, int, uint8_t* p) {
            p[0] = uint8_t(255 - c);
            p[1] = uint8_t(255 - m);
            p[2] = uint8_t(255 - y);
            p[3] = uint8_t(255 - k);
        };
    };
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        // Full magenta and yellow, no cyan, no black: red.
        const auto red = EncodeRaw(16, 16, 4, JCS_CMYK, stored, inverted(0, 255, 255, 0));
        const auto back = Decode(red);
        ASSERT_EQ(back->PixelDepth(), pd24);
        ExpectNear(PixelOf(*back, 8, 8), {255, 0, 0}, 8);

        // Half black: middle gray.
        const auto gray = Decode(EncodeRaw(16, 16, 4, JCS_CMYK, stored, inverted(0, 0, 0, 128)));
        ExpectNear(PixelOf(*gray, 8, 8), {127, 127, 127}, 8);

        const auto eight = Decode(red, [](TJPEGImage& j) { j.Settings.EightBitOutput = true; });
        EXPECT_EQ(eight->PixelDepth(), pd8);
        ExpectNear(PixelOf(*eight, 8, 8), {255, 0, 0}, 60);
    }
}

TEST(JpegDecode, ThreeComponentsStoredAsRgbKeepTheirColours) {
    const auto bytes = EncodeRaw(16, 16, 3, JCS_RGB, JCS_RGB, [](int x, int, uint8_t* p) {
        p[0] = x < 8 ? 220 : 20;  // red on the left
        p[1] = 40;
        p[2] = x < 8 ? 20 : 220;  // blue on the right
    });
    const auto back = Decode(bytes);
    ASSERT_EQ(back->PixelDepth(), pd24);
    ExpectNear(PixelOf(*back, 2, 8), {220, 40, 20}, 6);
    ExpectNear(PixelOf(*back, 13, 8), {20, 40, 220}, 6);
}

TEST(JpegDecode, UnshowableColourSpaceIsAClearError) {
    const auto bytes = EncodeRaw(16, 16, 2, JCS_UNKNOWN, JCS_UNKNOWN, [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x * 9);
        p[1] = uint8_t(y * 9);
    });
    TJPEGImage jpeg;
    Load(jpeg, bytes);  // the header itself is fine
    TBitmap back;
    const auto message = ExpectJpegError([&] { back.Assign(&jpeg); }, JERR_CONVERSION_NOTIMPL);
    EXPECT_NE(message.find("colour space"), std::string::npos) << message;
}

// Decodes `bytes` with the frame header declaring `width` x `height`
// pixels; the decoding fails with `code`, whose message is returned.
std::string DeclaredSizeError(std::vector<uint8_t> bytes, unsigned width, unsigned height, int code) {
    for (size_t i = 0; i + 8 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
            bytes[i + 5] = uint8_t(height >> 8), bytes[i + 6] = uint8_t(height);
            bytes[i + 7] = uint8_t(width >> 8), bytes[i + 8] = uint8_t(width);
            break;
        }
    }
    TJPEGImage jpeg;
    Load(jpeg, bytes);
    EXPECT_EQ(jpeg.Width(), int(width));
    TBitmap back;
    return ExpectJpegError([&] { back.Assign(&jpeg); }, code);
}

TEST(JpegDecode, TinyFileDeclaringAHugeProgressivePictureFailsEarly) {
    // Its whole-picture buffers would take a gigabyte.
    const auto bytes = Encode(*MakePhoto(16, 16), [](TJPEGImage& jpeg) { jpeg.Settings.WriteProgressive = true; });
    const auto message = DeclaredSizeError(bytes, 42512, 7948, JERR_NO_BACKING_STORE);
    EXPECT_NE(message.find("42512 x 7948"), std::string::npos) << message;
}

TEST(JpegDecode, OversizedHeaderIsRefusedBeforeAllocating) {
    // Far beyond what a bitmap may hold.
    const auto message = DeclaredSizeError(Encode(*MakePhoto(16, 16)), 60000, 60000, JERR_IMAGE_TOO_BIG);
    EXPECT_NE(message.find("60000 x 60000"), std::string::npos) << message;
}

}  // namespace

TEST(JpegDecode, RowsWrittenWhileDecodingGiveTheSavedFile) {
    // Several bands of rows each, colour and gray (8 bits with a palette).
    const auto photo = MakePhoto(700, 1700);
    const std::vector<std::vector<uint8_t>> pictures = {
        Encode(*photo), EncodeRaw(1201, 1900, 1, JCS_GRAYSCALE, JCS_GRAYSCALE, [](int x, int y, uint8_t* p) {
            p[0] = uint8_t((x * 5 + y * 3 + (x * y) % 7) & 0xFF);
        })};
    TempDir dir;
    const int cap = ThreadCap();
    for (int threads : {2, 1}) {
        SetThreadCap(threads);
        for (const auto& bytes : pictures) {
            TBitmap plain;
            plain.Assign(Decode(bytes).get());
            plain.SaveToFile(dir / "plain.bmp");
            TJPEGImage jpeg;
            Load(jpeg, bytes);
            TBitmap written;
            int created = 0;
            pack::DecodeJpegToFile(jpeg, written, dir / "written.bmp", [&] { ++created; });
            EXPECT_EQ(created, 1);
            EXPECT_TRUE(ReadFile(dir / "written.bmp") == ReadFile(dir / "plain.bmp")) << threads;
            EXPECT_EQ(&written.Image(), &jpeg.Bitmap()->Image());
        }
    }

    // A decode that fails among the rows leaves no file behind.
    FastProgressClock clock;
    for (int threads : {2, 1}) {
        SetThreadCap(threads);
        TJPEGImage jpeg;
        Load(jpeg, pictures[0]);
        jpeg.OnProgress = [](TGraphic*, TProgressStage stage, int percent) {
            if (stage == TProgressStage::psRunning && percent >= 70) throw EError("stopped");
        };
        TBitmap written;
        EXPECT_THROW(pack::DecodeJpegToFile(jpeg, written, dir / "failed.bmp"), EError);
        EXPECT_FALSE(std::filesystem::exists(dir / "failed.bmp")) << threads;
    }
    SetThreadCap(cap);
}

