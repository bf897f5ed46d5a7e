#include "ui/qimage_convert.h"

#include <QPainter>

#include "imaging/pixel_format.h"
#include "ui/display_image.h"

QImage BitmapToQImage(const TBitmap& bitmap) {
    const TBitmapImage& image = bitmap.Image();
    if (image.Pixels.empty()) return {};
    const int width = image.Header.biWidth;
    const int rows = image.Rows();
    QImage result(width, rows, QImage::Format_BGR888);
    if (result.isNull()) return result;
    // Blue, green, red in memory order, as the store's 24-bit rows.
    TRowReader reader(image);
    for (int r = 0; r < rows; ++r) reader.Read(r, result.scanLine(r));
    return result;
}

void TPainterCanvas::StretchDraw(const TRect& rect, const TBitmap& bitmap) {
    FPainter.drawImage(ToQRect(rect), ScaleBitmap(bitmap, QSize(rect.Width(), rect.Height())));
}
