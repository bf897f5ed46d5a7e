#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

#include "failing_allocation.h"
#include "imaging/jpeg_feed.h"
#include "jpeg_test_support.h"

using namespace jpegtest;

namespace {

struct Segment {
    uint8_t marker;
    std::vector<uint8_t> body;  // after the length field
};

// The marker segments of a JPEG file up to its first scan, then EOI when the
// file ends with it.
std::vector<Segment> ParseSegments(const std::vector<uint8_t>& b) {
    std::vector<Segment> out;
    size_t i = 0;
    if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xD8) return out;
    out.push_back({0xD8, {}});
    i = 2;
    while (i + 4 <= b.size() && b[i] == 0xFF) {
        const uint8_t marker = b[i + 1];
        const size_t length = size_t(b[i + 2]) << 8 | b[i + 3];
        if (i + 2 + length > b.size()) break;
        out.push_back({marker, std::vector<uint8_t>(b.begin() + long(i + 4), b.begin() + long(i + 2 + length))});
        i += 2 + length;
        if (marker == 0xDA) break;
    }
    if (b.size() >= 2 && b[b.size() - 2] == 0xFF && b.back() == 0xD9) out.push_back({0xD9, {}});
    return out;
}

// Natural-order position of the first row's eight entries in zig-zag order.
constexpr int kFirstRowZigZag[8] = {0, 1, 5, 6, 14, 15, 27, 28};

TEST(JpegEncode, WritesTheBaselineJfifLayout) {
    const auto bitmap = MakePhoto(40, 24);
    const auto bytes = Encode(*bitmap);
    const auto seg = ParseSegments(bytes);
    const std::vector<uint8_t> expectedMarkers = {0xD8, 0xE0, 0xDB, 0xDB, 0xC0, 0xC4,
                                                  0xC4, 0xC4, 0xC4, 0xDA, 0xD9};
    std::vector<uint8_t> markers;
    for (const auto& s : seg) markers.push_back(s.marker);
    ASSERT_EQ(markers, expectedMarkers);

    // APP0: "JFIF" 0, version 1.01, units 0, densities 1 and 1, no thumbnail.
    EXPECT_EQ(seg[1].body, (std::vector<uint8_t>{'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));

    // DQT: table 0 then table 1, 8-bit entries; table 0 scaled for quality 90.
    ASSERT_EQ(seg[2].body.size(), 65u);
    ASSERT_EQ(seg[3].body.size(), 65u);
    EXPECT_EQ(seg[2].body[0], 0x00);
    EXPECT_EQ(seg[3].body[0], 0x01);
    const int firstRow[8] = {3, 2, 2, 3, 5, 8, 10, 12};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(seg[2].body[1 + kFirstRowZigZag[k]], firstRow[k]) << k;

    // SOF0: precision 8, height, width, Y 2x2 table 0, Cb and Cr 1x1 table 1.
    EXPECT_EQ(seg[4].body, (std::vector<uint8_t>{8, 0, 24, 0, 40, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));

    // DHT: DC 0, AC 0, DC 1, AC 1.
    EXPECT_EQ(seg[5].body[0], 0x00);
    EXPECT_EQ(seg[6].body[0], 0x10);
    EXPECT_EQ(seg[7].body[0], 0x01);
    EXPECT_EQ(seg[8].body[0], 0x11);

    // SOS: three components, Y tables 0/0, Cb and Cr 1/1, full spectrum.
    EXPECT_EQ(seg[9].body, (std::vector<uint8_t>{3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}));
}

// The output of a widely used encoder at the same settings, on the same file.
TEST(JpegEncode, MatchesTheReferenceEncoderByteForByte) {
    if (std::system("command -v cjpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "cjpeg is not installed";
    TempDir dir;
    for (const auto& size : {std::pair{1, 1}, std::pair{37, 23}, std::pair{301, 203}}) {
        const auto bitmap = MakePhoto(size.first, size.second);
        ASSERT_EQ(bitmap->Image().Header.biXPelsPerMeter, 0);
        const std::string bmp = dir / "in.bmp";
        const std::string ref = dir / "ref.jpg";
        bitmap->SaveToFile(bmp);
        const std::string command = "cjpeg -quality 90 -outfile '" + ref + "' '" + bmp + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);

        TBitmap loaded;
        loaded.LoadFromFile(bmp);
        TJPEGImage jpeg;
        jpeg.Assign(&loaded);
        jpeg.SaveToFile(dir / "ours.jpg");
        EXPECT_EQ(ReadFile(dir / "ours.jpg"), ReadFile(ref)) << size.first << " x " << size.second;
    }
}

TEST(JpegEncode, EmptyBitmapGivesZeroByteFile) {
    TempDir dir;
    TBitmap empty;
    TJPEGImage jpeg;
    jpeg.Assign(&empty);
    jpeg.SaveToFile(dir / "empty.jpeg");
    EXPECT_TRUE(ReadFile(dir / "empty.jpeg").empty());
    EXPECT_EQ(jpeg.Width(), 0);
    EXPECT_EQ(jpeg.Height(), 0);

    // A fresh object has nothing to write either.
    TJPEGImage fresh;
    EXPECT_TRUE(fresh.Empty());
    fresh.SaveToFile(dir / "fresh.jpeg");
    EXPECT_TRUE(ReadFile(dir / "fresh.jpeg").empty());
}

TEST(JpegEncode, OtherDepthsEncodeFromTheir24BitConversionAndStayAsTheyWere) {
    const auto photo = MakePhoto(33, 17);
    for (TPixelDepth depth : {pd1, pd8, pd16, pd32}) {
        TBitmap source;
        source.Assign(photo.get());
        source.SetPixelDepth(depth);
        const std::vector<uint8_t> pixelsBefore(source.Image().Pixels.data(),
                                                source.Image().Pixels.data() + source.Image().Pixels.size());

        TBitmap converted;
        converted.Assign(&source);
        converted.SetPixelDepth(pd24);
        EXPECT_EQ(Encode(source), Encode(converted)) << depth;

        EXPECT_EQ(source.PixelDepth(), depth);
        const std::vector<uint8_t> pixelsAfter(source.Image().Pixels.data(),
                                               source.Image().Pixels.data() + source.Image().Pixels.size());
        EXPECT_EQ(pixelsAfter, pixelsBefore) << depth;
    }
}

TEST(JpegEncode, AssignedBitmapIsSharedNotCopied) {
    const auto photo = MakePhoto(64, 64);
    TJPEGImage jpeg;
    jpeg.Assign(photo.get());
    ASSERT_NE(jpeg.Bitmap(), nullptr);
    EXPECT_EQ(&jpeg.Bitmap()->Image(), &photo->Image());
    TMemoryStream out;
    jpeg.WriteToStream(out);
    // Encoding reads the rows; it does not take a private copy of them.
    EXPECT_EQ(&jpeg.Bitmap()->Image(), &photo->Image());
    EXPECT_EQ(jpeg.Width(), 64);
    EXPECT_FALSE(jpeg.Empty());
}

TEST(JpegEncode, SavingTwiceEncodesOnceAndWritesTheSameBytes) {
    TempDir dir;
    const auto photo = MakePhoto(50, 30);
    TJPEGImage jpeg;
    int starts = 0;
    jpeg.OnProgress = [&](TGraphic*, TProgressStage stage, int) {
        if (stage == TProgressStage::psStarting) ++starts;
    };
    jpeg.Assign(photo.get());
    jpeg.SaveToFile(dir / "a.jpeg");
    jpeg.SaveToFile(dir / "b.jpeg");
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(ReadFile(dir / "a.jpeg"), ReadFile(dir / "b.jpeg"));
    EXPECT_FALSE(ReadFile(dir / "a.jpeg").empty());
}

TEST(JpegEncode, ReportsStartAndEndAndStopsQuietlyOnAbort) {
    const auto photo = MakePhoto(20, 20);
    {
        TJPEGImage jpeg;
        std::vector<std::pair<TProgressStage, int>> seen;
        jpeg.OnProgress = [&](TGraphic* sender, TProgressStage stage, int percent) {
            EXPECT_EQ(sender, &jpeg);
            seen.emplace_back(stage, percent);
        };
        jpeg.Assign(photo.get());
        jpeg.EncodeJpeg();
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen.front(), std::make_pair(TProgressStage::psStarting, 0));
        EXPECT_EQ(seen.back(), std::make_pair(TProgressStage::psEnding, 100));
    }
    {
        TJPEGImage jpeg;
        jpeg.OnProgress = [](TGraphic*, TProgressStage stage, int) {
            if (stage == TProgressStage::psStarting) throw EAbort();
        };
        jpeg.Assign(photo.get());
        EXPECT_NO_THROW(jpeg.EncodeJpeg());
        EXPECT_EQ(jpeg.Data().Data, nullptr);  // the partial data is dropped
        TMemoryStream out;
        EXPECT_NO_THROW(jpeg.WriteToStream(out));
        EXPECT_EQ(out.Size(), 0);
    }
    {
        // Reports while the library works: a failure there ends with 0 done.
        FastProgressClock clock;
        TJPEGImage jpeg;
        std::vector<std::pair<TProgressStage, int>> seen;
        jpeg.OnProgress = [&](TGraphic*, TProgressStage stage, int percent) {
            seen.emplace_back(stage, percent);
            if (stage == TProgressStage::psRunning) throw EWriteError();
        };
        jpeg.Assign(photo.get());
        EXPECT_THROW(jpeg.EncodeJpeg(), EWriteError);
        EXPECT_EQ(jpeg.Data().Data, nullptr);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[1].first, TProgressStage::psRunning);
        EXPECT_EQ(seen.back(), std::make_pair(TProgressStage::psEnding, 0));
    }
}

TEST(JpegEncode, FeedIsClosedWhenDroppingAFailedEncodingFailsToo) {
    FastProgressClock clock;
    TJPEGImage jpeg;
    jpeg.Assign(MakePhoto(64, 64).get());
    // The encoding fails, and then so does taking a new record for the
    // dropped data.
    jpeg.OnProgress = [](TGraphic*, TProgressStage stage, int) {
        if (stage != TProgressStage::psRunning) return;
        FailAllocationOfSize = sizeof(TJPEGData);
        throw EWriteError();
    };
    TJPEGFeed feed;
    EXPECT_THROW(jpeg.EncodeJpegFeeding(feed), std::bad_alloc);
    FailAllocationOfSize = 0;
    // A reader of the feed is not left waiting for bytes that never come.
    auto done = std::make_shared<std::promise<bool>>();
    std::thread([&feed, done] { done->set_value(feed.WaitComplete()); }).detach();
    auto closed = done->get_future();
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the feed was never closed";
    EXPECT_FALSE(closed.get());
}

TEST(JpegEncode, LargeImagesGrowTheBufferWithoutError) {
    // Noise compresses badly: several hundred kilobytes of encoded data.
    uint32_t state = 12345;
    const auto noisy = MakeBitmap(640, 480, [&](int, int) {
        state = state * 1664525u + 1013904223u;
        return Rgb{uint8_t(state >> 24), uint8_t(state >> 16), uint8_t(state >> 8)};
    });
    const auto bytes = Encode(*noisy);
    EXPECT_GT(bytes.size(), 200000u);
    EXPECT_EQ(bytes[bytes.size() - 2], 0xFF);
    EXPECT_EQ(bytes.back(), 0xD9);
    const auto back = Decode(bytes);
    EXPECT_EQ(back->Width(), 640);
    EXPECT_EQ(back->Height(), 480);
}

TEST(JpegEncode, TooWideForTheFormatIsRefusedBeforeEncodingAndSaysWhy) {
    const auto wide = MakeFlat(65501, 1, {1, 2, 3});
    TJPEGImage jpeg;
    jpeg.Assign(wide.get());
    // A second write fails the same way; it does not write an empty file.
    for (int attempt = 0; attempt < 2; ++attempt) {
        TMemoryStream out;
        try {
            jpeg.WriteToStream(out);
            ADD_FAILURE() << "no error on write " << attempt;
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), JERR_IMAGE_TOO_BIG);
            EXPECT_EQ(e.Message().rfind("JPEG error #" + std::to_string(JERR_IMAGE_TOO_BIG) + ": ", 0), 0u);
            EXPECT_NE(e.Message().find("65501 x 1"), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("65500"), std::string::npos) << e.Message();
        }
        EXPECT_EQ(jpeg.Data().Data, nullptr);
    }
}

TEST(JpegEncode, GrayAndProgressiveSettings) {
    const auto photo = MakePhoto(48, 32);
    const auto gray = Encode(*photo, [](TJPEGImage& j) { j.Settings.GrayOutput = true; });
    const auto grayBack = Decode(gray);
    EXPECT_EQ(grayBack->PixelDepth(), pd8);
    // The frame header: baseline (SOF0), one component.
    const auto frameOf = [](const std::vector<uint8_t>& bytes) {
        for (const Segment& s : ParseSegments(bytes))
            if (s.marker >= 0xC0 && s.marker <= 0xC2) return s;
        return Segment{0, {}};
    };
    EXPECT_EQ(frameOf(gray).marker, 0xC0);
    ASSERT_GE(frameOf(gray).body.size(), 6u);
    EXPECT_EQ(frameOf(gray).body[5], 1);

    const auto progressive = Encode(*photo, [](TJPEGImage& j) { j.Settings.WriteProgressive = true; });
    EXPECT_EQ(frameOf(progressive).marker, 0xC2);
    TJPEGImage loaded;
    TMemoryStream in(progressive);
    loaded.ReadFromStream(in);
    EXPECT_TRUE(loaded.Settings.WriteProgressive);
    TBitmap back;
    back.Assign(&loaded);
    EXPECT_EQ(back.PixelDepth(), pd24);
    EXPECT_GT(Psnr(*photo, back), 35.0);
}

}  // namespace
