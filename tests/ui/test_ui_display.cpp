// What the image panes show: the reduced JPEG decode they use and the
// scaling of bitmaps to the pane's size.
#include <QtTest>
#include <vector>

#include "../imaging/bmp_builder.h"
#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "ui/display_image.h"

class DisplayTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { JpegStartup(24, 1); }
    void cleanupTestCase() { JpegShutdown(); }

    void jpegReductionRoundsTheReducedSizeUp() {
        // 17 / 2 is 9 in libjpeg's reduced decode: enough for 9 pixels.
        QCOMPARE(JpegReductionFor(17, 17, QSize(9, 9)), 1);
        QCOMPARE(JpegReductionFor(17, 17, QSize(10, 9)), 0);
        // An exact half is that half.
        QCOMPARE(JpegReductionFor(16, 16, QSize(8, 8)), 1);
        QCOMPARE(JpegReductionFor(16, 16, QSize(9, 8)), 0);
        // 100 / 8 is 13.
        QCOMPARE(JpegReductionFor(100, 100, QSize(13, 13)), 3);
        QCOMPARE(JpegReductionFor(100, 100, QSize(14, 13)), 2);
        // Each direction on its own; never below 1/8.
        QCOMPARE(JpegReductionFor(64, 17, QSize(8, 9)), 1);
        QCOMPARE(JpegReductionFor(4000, 4000, QSize(2, 2)), 3);
        QCOMPARE(JpegReductionFor(16, 16, QSize(17, 16)), 0);
    }

    void scalingAveragesToTheNearestLevel() {
        // Three pixels into one: thirds round down, two thirds up, per channel.
        TBitmap three;
        Fill24(three, 3, 1, {0x000AC8, 0x010BC9, 0x010DCB});
        QCOMPARE(ScaleBitmap(three, QSize(1, 1)).pixel(0, 0), qRgb(1, 11, 201));
        // A half goes up.
        TBitmap two;
        Fill24(two, 2, 1, {0x000000, 0x010101});
        QCOMPARE(ScaleBitmap(two, QSize(1, 1)).pixel(0, 0), qRgb(1, 1, 1));
        // Cells covered in part: three into two, each a whole and a half
        // pixel, (0 + 2 / 2) / 1.5 = 0.67 and (2 / 2 + 0) / 1.5.
        TBitmap partly;
        Fill24(partly, 3, 1, {0x000000, 0x020202, 0x000000});
        const QImage shown = ScaleBitmap(partly, QSize(2, 1));
        QCOMPARE(shown.pixel(0, 0), qRgb(1, 1, 1));
        QCOMPARE(shown.pixel(1, 0), qRgb(1, 1, 1));
        // Growing repeats every pixel exactly.
        QCOMPARE(ScaleBitmap(two, QSize(4, 3)).pixel(3, 2), qRgb(1, 1, 1));
        QCOMPARE(ScaleBitmap(two, QSize(4, 3)).pixel(1, 0), qRgb(0, 0, 0));
    }

    void aReducedPictureIsUsedOnlyAtItsScaleAndSettings() {
        // A gray JPEG of 64 x 64 read back from its bytes (no decoded bitmap).
        TBitmap source;
        Fill24(source, 64, 64, std::vector<uint32_t>(64 * 64, 0x808080));
        TJPEGImage encoder;
        encoder.Assign(&source);
        TMemoryStream bytes;
        encoder.WriteToStream(bytes);
        bytes.SetPosition(0);
        TJPEGImage jpeg;
        jpeg.ReadFromStream(bytes);
        QVERIFY(!jpeg.Bitmap());

        // Shown at 16 x 16 it is decoded at 1/4; a red stand-in made at that
        // scale with its settings is what shows.
        const QSize size(16, 16);
        QCOMPARE(JpegReductionFor(64, 64, size), 2);
        const QImage own = MakeDisplayImage(jpeg, size);
        QVERIFY(qAbs(qRed(own.pixel(8, 8)) - 0x80) <= 4);
        auto standIn = [&](int shift, const TJPEGDefaults& settings) {
            TReducedPicture reduced{std::make_unique<TBitmap>(), shift, settings};
            Fill24(*reduced.Bitmap, 16, 16, std::vector<uint32_t>(16 * 16, 0xFF0000));
            return reduced;
        };
        const TReducedPicture atScale = standIn(2, jpeg.Settings);
        QCOMPARE(MakeDisplayImage(jpeg, size, &atScale).pixel(8, 8), qRgb(255, 0, 0));
        // Made at another scale, or with other settings: decoded anew.
        for (const int shift : {1, 3}) {
            const TReducedPicture other = standIn(shift, jpeg.Settings);
            QCOMPARE(MakeDisplayImage(jpeg, size, &other), own);
        }
        TJPEGDefaults gray = jpeg.Settings;
        gray.GrayOutput = !gray.GrayOutput;
        const TReducedPicture otherSettings = standIn(2, gray);
        QCOMPARE(MakeDisplayImage(jpeg, size, &otherSettings), own);
        QVERIFY(!jpeg.Bitmap());
    }
};

QTEST_GUILESS_MAIN(DisplayTests)
#include "test_ui_display.moc"
