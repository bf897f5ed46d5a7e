#include <gtest/gtest.h>

#include "imaging/picture.h"
#include "jpeg_test_support.h"
#include "tests/support/other_graphic.h"

using namespace jpegtest;

namespace {

TEST(JpegObject, StartupRegistersBothExtensionsAndShutdownRemovesThem) {
    const TJPEGDefaults saved = JpegPresets;
    JpegStartup(8, 1);
    EXPECT_TRUE(JpegPresets.EightBitOutput);
    JpegShutdown();
    JpegStartup(4, 2);
    EXPECT_TRUE(JpegPresets.EightBitOutput);
    JpegShutdown();
    JpegStartup(24, 1);
    EXPECT_FALSE(JpegPresets.EightBitOutput);
    EXPECT_FALSE(TJPEGImage().Settings.EightBitOutput);

    std::vector<std::string> jpegExtensions;
    for (const auto& f : PictureFormats()) {
        if (f.Class == TJPEGImage::StaticClass()) {
            jpegExtensions.push_back(f.Extension);
            EXPECT_EQ(f.Description, "JPEG Image File");
        }
    }
    EXPECT_EQ(jpegExtensions, (std::vector<std::string>{"jpeg", "jpg"}));

    TempDir dir;
    const std::string name = dir / "temp.JPG";
    WriteFile(name, Encode(*MakePhoto(20, 10)));
    TPicture picture;
    picture.LoadFromFile(name);
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(picture.Graphic()->ClassType(), TJPEGImage::StaticClass());
    EXPECT_EQ(picture.Graphic()->Width(), 20);

    JpegShutdown();
    for (const auto& f : PictureFormats()) EXPECT_NE(f.Class, TJPEGImage::StaticClass());
    EXPECT_THROW(picture.LoadFromFile(name), EInvalidGraphic);
    JpegPresets = saved;
}

TEST(JpegObject, NewObjectsTakeThePresets) {
    const TJPEGDefaults saved = JpegPresets;
    JpegPresets.Quality = 42;
    JpegPresets.BlockSmoothing = false;
    TJPEGImage jpeg;
    EXPECT_EQ(jpeg.Settings.Quality, 42);
    EXPECT_FALSE(jpeg.Settings.BlockSmoothing);
    JpegPresets = saved;
    EXPECT_EQ(TJPEGImage().Settings.Quality, 90);
}

TEST(JpegObject, SizeCannotBeSet) {
    TJPEGImage jpeg;
    try {
        jpeg.SetWidth(5);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_EQ(e.Message(), "Cannot change the size of a JPEG image");
    }
    EXPECT_THROW(jpeg.SetHeight(5), EInvalidGraphicOperation);
}

TEST(JpegObject, AssignFromAnotherJpegSharesItsData) {
    const auto bytes = Encode(*MakePhoto(24, 16));
    TJPEGImage source;
    Load(source, bytes);
    TBitmap decoded;
    decoded.Assign(&source);

    TJPEGImage copy;
    copy.Settings.Quality = 10;
    copy.Assign(&source);
    EXPECT_EQ(&copy.Data(), &source.Data());
    EXPECT_EQ(copy.Settings.Quality, 10);  // settings are not copied
    ASSERT_NE(copy.Bitmap(), nullptr);
    EXPECT_EQ(&copy.Bitmap()->Image(), &source.Bitmap()->Image());
    EXPECT_TRUE(copy.Equals(&source));

    // Re-encoding the copy leaves the shared record alone.
    const auto other = MakePhoto(8, 8);
    copy.Assign(other.get());
    TMemoryStream out;
    copy.WriteToStream(out);
    EXPECT_EQ(*source.Data().Data, bytes);
    EXPECT_FALSE(copy.Equals(&source));

    // A source without a bitmap leaves no stale bitmap behind.
    TJPEGImage loadedOnly;
    TMemoryStream again(bytes);
    loadedOnly.ReadFromStream(again);
    copy.Assign(&loadedOnly);
    EXPECT_EQ(copy.Bitmap(), nullptr);
    EXPECT_EQ(copy.Width(), 24);
}

TEST(JpegObject, ForeignTargetsAndSourcesAreRefused) {
    TOther other;
    TJPEGImage a;
    const auto refusal = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const EConvertError& e) {
            return e.Message();
        }
        return std::string("no EConvertError");
    };
    EXPECT_NE(refusal([&] { a.Assign(nullptr); }).find("TJPEGImage"), std::string::npos);
    EXPECT_EQ(refusal([&] { a.Assign(&other); }), "Cannot assign a TOther to a TJPEGImage");
    EXPECT_EQ(refusal([&] { other.Assign(&a); }), "Cannot assign a TJPEGImage to a TOther");
}

TEST(JpegObject, LoadingReplacesTheBitmapAndNotifies) {
    const auto photo = MakePhoto(12, 12);
    TJPEGImage jpeg;
    jpeg.Assign(photo.get());
    EXPECT_EQ(jpeg.Width(), 12);
    int changes = 0;
    jpeg.OnChange = [&](TGraphic*) { ++changes; };
    TMemoryStream in(Encode(*MakePhoto(30, 20)));
    jpeg.ReadFromStream(in);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(jpeg.Bitmap(), nullptr);
    EXPECT_EQ(jpeg.Width(), 30);
    EXPECT_EQ(jpeg.Height(), 20);
    EXPECT_TRUE(jpeg.Modified);
}

TEST(JpegObject, ReadsFromTheStreamPositionToItsEnd) {
    const auto bytes = Encode(*MakePhoto(10, 10));
    std::vector<uint8_t> framed = {1, 2, 3};
    framed.insert(framed.end(), bytes.begin(), bytes.end());
    TMemoryStream in(framed);
    in.SetPosition(3);
    TJPEGImage jpeg;
    jpeg.ReadFromStream(in);
    EXPECT_EQ(*jpeg.Data().Data, bytes);
}

}  // namespace
