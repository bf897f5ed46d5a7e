// Display images: a picture scaled smoothly to the size it is shown at, made
// once and then only copied to the screen.
#pragma once

#include <QImage>
#include <QSize>
#include <memory>
#include <string>

#include "imaging/jpeg.h"

class TBitmap;
class TGraphic;

// The bitmap scaled to `size`, width and height independently: every pixel
// is the average of the area of the bitmap it covers (so a large picture
// shrinks smoothly and a small one grows without blur inside its pixels).
// Format_RGB32; a null image for an empty bitmap or an empty size.
QImage ScaleBitmap(const TBitmap& bitmap, QSize size);

// How many times a JPEG of `width` x `height` can be halved (at most three
// times, libjpeg's 1/8) and still cover `size` in both directions.
int JpegReductionFor(int width, int height, QSize size);

// A JPEG picture decoded at 1/2^Shift of its size beforehand, with the
// settings it was decoded with.
struct TReducedPicture {
    std::unique_ptr<TBitmap> Bitmap;
    int Shift = 0;
    TJPEGDefaults Settings;
};

// The graphic as shown at `size` (device pixels). A JPEG image without a
// decoded bitmap that is at least twice as large as `size` both ways is
// decoded at 1/2, 1/4 or 1/8 of its size for this (or taken from `reduced`,
// which must hold the same picture, where that was decoded at the same scale
// and settings); the object itself is left as it was. Raises what decoding
// raises.
QImage MakeDisplayImage(TGraphic& graphic, QSize size, const TReducedPicture* reduced = nullptr);

// What a preview of a BMP file shows: its size, and a few hundred of its rows
// spread evenly over the picture (read by seeking to them, however large the
// file), to be scaled to the preview's size like the whole picture.
struct TBmpPreview {
    std::unique_ptr<TBitmap> Rows;
    int Width = 0;
    int Height = 0;
};
// Raises what reading a BMP file raises.
TBmpPreview ReadBmpPreview(const std::string& fileName);
