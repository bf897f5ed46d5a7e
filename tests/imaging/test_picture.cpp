#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "bmp_builder.h"
#include "imaging/picture.h"
#include "tests/support/temp_dir.h"

namespace {

// A graphic class derived from TBitmap, to tell which class a load picked.
class TOtherBitmap : public TBitmap {
public:
    static TGraphicClass StaticClass() {
        static const TGraphicClassInfo info{"TOtherBitmap", TBitmap::StaticClass(),
                                            []() -> std::unique_ptr<TGraphic> {
                                                return std::make_unique<TOtherBitmap>();
                                            }};
        return &info;
    }
    TGraphicClass ClassType() const override { return StaticClass(); }
};

// Restores the process-wide format list after each test.
class PictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = PictureFormats();
        TBitmap bitmap;
        bitmap.SetSize(2, 2);
        bitmap.SaveToFile(dir / "white.bmp");
        bitmap.SaveToFile(dir / "WHITE.BMP");
    }
    void TearDown() override { PictureFormats() = saved; }

    void ExpectUnknown(TPicture& picture, const std::string& name, const std::string& extension) {
        TGraphic* before = picture.Graphic();
        try {
            picture.LoadFromFile(name);
            ADD_FAILURE() << name;
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Unknown picture file extension (." + extension + ")");
        }
        EXPECT_EQ(picture.Graphic(), before);
    }

    std::vector<TPictureFormat> saved;
    TempDir dir;
};

TEST_F(PictureTest, BmpIsKnownFromTheStart) {
    ASSERT_FALSE(PictureFormats().empty());
    EXPECT_EQ(PictureFormats().front().Extension, "bmp");
    EXPECT_EQ(PictureFormats().front().Class, TBitmap::StaticClass());
}

TEST_F(PictureTest, LoadPicksTheClassByLowerCasedExtension) {
    TPicture picture;
    int changes = 0;
    picture.OnChange = [&](TPicture*) { ++changes; };
    picture.LoadFromFile(dir / "WHITE.BMP");
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(picture.Graphic()->ClassType(), TBitmap::StaticClass());
    EXPECT_EQ(picture.Graphic()->Width(), 2);
    EXPECT_EQ(changes, 1);

    // A change of the held graphic reaches the picture's handler.
    static_cast<TBitmap*>(picture.Graphic())->SetSize(3, 3);
    EXPECT_EQ(changes, 2);
}

TEST_F(PictureTest, UnknownExtensionsKeepThePreviousGraphic) {
    TPicture picture;
    picture.LoadFromFile(dir / "white.bmp");
    ExpectUnknown(picture, dir / "noextension", "");
    ExpectUnknown(picture, dir / "image.png", "png");
    ExpectUnknown(picture, dir / "image.Png", "Png");
    ExpectUnknown(picture, "folder.bmp\\file", "");        // a backslash after the dot
    ExpectUnknown(picture, dir / "folder.bmp/file", "");  // a slash after the dot
    ExpectUnknown(picture, "c.bmp:stream", "");            // a colon after the dot
}

TEST_F(PictureTest, AFailedLoadKeepsThePreviousGraphic) {
    TPicture picture;
    picture.LoadFromFile(dir / "white.bmp");
    TGraphic* before = picture.Graphic();
    EXPECT_THROW(picture.LoadFromFile(dir / "missing.bmp"), EFOpenError);
    EXPECT_EQ(picture.Graphic(), before);
    {
        TFileStream bad(dir / "bad.bmp", TFileStream::fmCreate);
        bad.WriteBuffer("BMxxxxxxxxxxxxxxxx", 18);
    }
    EXPECT_THROW(picture.LoadFromFile(dir / "bad.bmp"), EInvalidGraphic);
    EXPECT_EQ(picture.Graphic(), before);
    EXPECT_EQ(before->Width(), 2);
}

TEST_F(PictureTest, LaterFormatsWinAndRemovingTakesDerivedClasses) {
    AddPictureFormat("BMP", "Other bitmaps", TOtherBitmap::StaticClass());
    EXPECT_EQ(PictureFormats().back().Extension, "bmp");
    TPicture picture;
    picture.LoadFromFile(dir / "white.bmp");
    EXPECT_EQ(picture.Graphic()->ClassType(), TOtherBitmap::StaticClass());

    RemoveGraphicClass(TOtherBitmap::StaticClass());
    picture.LoadFromFile(dir / "white.bmp");
    EXPECT_EQ(picture.Graphic()->ClassType(), TBitmap::StaticClass());

    AddPictureFormat("obm", "Other bitmaps", TOtherBitmap::StaticClass());
    RemoveGraphicClass(TBitmap::StaticClass());  // the derived class goes too
    EXPECT_TRUE(PictureFormats().empty());
}

TEST_F(PictureTest, SetGraphicHoldsACopySharingThePixels) {
    TBitmap bitmap;
    bitmap.LoadFromFile(dir / "white.bmp");
    TPicture picture;
    int changes = 0;
    picture.OnChange = [&](TPicture*) { ++changes; };
    picture.SetGraphic(&bitmap);
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_NE(picture.Graphic(), &bitmap);
    EXPECT_EQ(&static_cast<TBitmap*>(picture.Graphic())->Image(), &bitmap.Image());
    picture.SetGraphic(nullptr);
    EXPECT_EQ(picture.Graphic(), nullptr);
    EXPECT_EQ(changes, 2);
}

TEST_F(PictureTest, BitmapFileErrors) {
    TBitmap bitmap;
    const std::string missing = dir / "missing.bmp";
    try {
        bitmap.LoadFromFile(missing);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + missing);
    }
    const std::string nowhere = dir / "no/such/folder.bmp";
    try {
        bitmap.SaveToFile(nowhere);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + nowhere);
    }
    // An empty bitmap saves as a zero-byte file, which loads as an empty bitmap.
    TBitmap empty;
    empty.SaveToFile(dir / "empty.bmp");
    EXPECT_EQ(std::filesystem::file_size(dir / "empty.bmp"), 0u);
    bitmap.LoadFromFile(dir / "white.bmp");
    bitmap.LoadFromFile(dir / "empty.bmp");
    EXPECT_TRUE(bitmap.Empty());
}

}  // namespace
