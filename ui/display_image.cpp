#include "ui/display_image.h"

#include <QPainter>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "imaging/pixel_format.h"
#include "ui/qimage_convert.h"

namespace {

// The source cells one destination cell covers: cells First, First + 1, ...
// with their overlaps. A destination cell is `srcLength` units long and a
// source cell `dstLength` units, so the weights of a span add up to
// srcLength and a fully covered source cell weighs dstLength.
struct TSpan {
    int First = 0;
    std::vector<uint32_t> Weights;
};

std::vector<TSpan> Spans(int srcLength, int dstLength) {
    std::vector<TSpan> spans(static_cast<size_t>(dstLength));
    for (int j = 0; j < dstLength; ++j) {
        const int64_t begin = int64_t(j) * srcLength, end = begin + srcLength;
        TSpan& span = spans[size_t(j)];
        span.First = int(begin / dstLength);
        for (int64_t i = span.First; i * dstLength < end; ++i) {
            const int64_t cellBegin = i * dstLength, cellEnd = cellBegin + dstLength;
            span.Weights.push_back(uint32_t(std::min(end, cellEnd) - std::max(begin, cellBegin)));
        }
    }
    return spans;
}

// Box-filter scaling of a bitmap into a QImage, one destination row at a
// time: the source rows it covers summed column by column (SumRows), then
// each destination pixel's columns summed with their weights (WriteRow).
class TScaler {
public:
    TScaler(const TBitmap& bitmap, QSize size)
        : FImage(bitmap.Image()),
          FReader(FImage),
          FColumns(Spans(bitmap.Width(), size.width())),
          FRows(Spans(bitmap.Height(), size.height())),
          FSamples(size_t(bitmap.Width()) * 3),
          FDirect(FImage.Header.biBitCount == 24),
          FConverted(FDirect ? 0 : FSamples),
          FWhole16(FSamples),
          FWhole(FSamples),
          FPartial(FSamples),
          FFullRow(uint32_t(size.height())),
          FFullColumn(uint32_t(size.width())),
          FScale(1.0 / (double(bitmap.Width()) * double(bitmap.Height()))),
          FBottomUp(FImage.Header.biHeight > 0) {}

    void Scale(QImage& result) {
        const int dstHeight = result.height();
        // Rows are visited in the order they lie in memory.
        for (int jj = 0; jj < dstHeight; ++jj) {
            const int j = FBottomUp ? dstHeight - 1 - jj : jj;
            SumRows(FRows[size_t(j)]);
            WriteRow(reinterpret_cast<QRgb*>(result.scanLine(j)), result.width());
        }
    }

private:
    // 24-bit rows are read in place; other depths are read as colours first.
    const uint8_t* RowAt(int r) {
        if (FDirect) return FImage.Row(r);
        FReader.Read(r, FConverted.data());
        return FConverted.data();
    }

    // The source rows of `span` summed into FPartial, with the fully covered
    // ones (most of them when shrinking) summed without weights, in 16 bits
    // as long as they cannot overflow.
    void SumRows(const TSpan& span) {
        constexpr int kRowsIn16Bits = 257;  // 257 * 255 = 65535
        std::fill(FWhole16.begin(), FWhole16.end(), uint16_t(0));
        std::fill(FWhole.begin(), FWhole.end(), 0u);
        std::fill(FPartial.begin(), FPartial.end(), 0u);
        uint16_t* const w16 = FWhole16.data();
        uint32_t* const w = FWhole.data();
        uint32_t* const p = FPartial.data();
        // Locals, so that the stores through p cannot be taken to change them.
        const size_t samples = FSamples;
        const uint32_t fullRow = FFullRow;
        int pending = 0;
        const size_t count = span.Weights.size();
        for (size_t kk = 0; kk < count; ++kk) {
            const size_t k = FBottomUp ? count - 1 - kk : kk;
            const uint8_t* src = RowAt(span.First + int(k));
            const uint32_t weight = span.Weights[k];
            if (weight != fullRow) {
                for (size_t x = 0; x < samples; ++x) p[x] += weight * src[x];
                continue;
            }
            for (size_t x = 0; x < samples; ++x) w16[x] = uint16_t(w16[x] + src[x]);
            if (++pending == kRowsIn16Bits) {
                for (size_t x = 0; x < samples; ++x) w[x] += w16[x];
                std::fill(FWhole16.begin(), FWhole16.end(), uint16_t(0));
                pending = 0;
            }
        }
        // At most 255 * srcHeight each from here on.
        for (size_t x = 0; x < samples; ++x) p[x] += (w[x] + w16[x]) * fullRow;
    }

    // Each destination pixel of a row from FPartial's columns.
    void WriteRow(QRgb* out, int dstWidth) const {
        const uint32_t fullColumn = FFullColumn;
        const double scale = FScale;
        auto channel = [scale, fullColumn](uint64_t part, uint64_t whole) {
            return int(double(part + whole * fullColumn) * scale + 0.5);
        };
        for (int i = 0; i < dstWidth; ++i) {
            const TSpan& cols = FColumns[size_t(i)];
            uint64_t blue = 0, green = 0, red = 0;
            uint64_t wholeBlue = 0, wholeGreen = 0, wholeRed = 0;
            const uint32_t* s = FPartial.data() + size_t(cols.First) * 3;
            for (const uint32_t weight : cols.Weights) {
                if (weight == fullColumn) {
                    wholeBlue += s[0];
                    wholeGreen += s[1];
                    wholeRed += s[2];
                } else {
                    blue += uint64_t(weight) * s[0];
                    green += uint64_t(weight) * s[1];
                    red += uint64_t(weight) * s[2];
                }
                s += 3;
            }
            out[i] = qRgb(channel(red, wholeRed), channel(green, wholeGreen), channel(blue, wholeBlue));
        }
    }

    const TBitmapImage& FImage;
    const TRowReader FReader;
    const std::vector<TSpan> FColumns, FRows;
    const size_t FSamples;
    const bool FDirect;
    std::vector<uint8_t> FConverted;
    std::vector<uint16_t> FWhole16;
    std::vector<uint32_t> FWhole, FPartial;
    const uint32_t FFullRow, FFullColumn;
    const double FScale;
    const bool FBottomUp;
};

}  // namespace

QImage ScaleBitmap(const TBitmap& bitmap, QSize size) {
    if (bitmap.Empty() || size.isEmpty()) return {};
    QImage result(size, QImage::Format_RGB32);
    if (result.isNull()) return result;
    TScaler(bitmap, size).Scale(result);
    return result;
}

int JpegReductionFor(int width, int height, QSize size) {
    int shift = 0;
    while (shift < 3) {
        const int next = 1 << (shift + 1);
        // libjpeg rounds a reduced size up.
        if ((width + next - 1) / next < size.width() || (height + next - 1) / next < size.height()) break;
        ++shift;
    }
    return shift;
}

QImage MakeDisplayImage(TGraphic& graphic, QSize size, const TReducedPicture* reduced) {
    if (size.isEmpty() || graphic.Empty()) return {};
    const TGraphicClass kind = graphic.ClassType();
    if (kind->InheritsFrom(TBitmap::StaticClass())) return ScaleBitmap(static_cast<const TBitmap&>(graphic), size);
    if (kind->InheritsFrom(TJPEGImage::StaticClass())) {
        const auto& jpeg = static_cast<const TJPEGImage&>(graphic);
        if (const TBitmap* decoded = jpeg.Bitmap()) return ScaleBitmap(*decoded, size);
        // Reduced from the size the data holds, whatever scale the object itself decodes at.
        const int shift = JpegReductionFor(jpeg.Data().Width, jpeg.Data().Height, size);
        if (reduced && reduced->Bitmap && reduced->Shift == shift && reduced->Settings == jpeg.Settings)
            return ScaleBitmap(*reduced->Bitmap, size);
        return ScaleBitmap(*jpeg.DecodeReduced(shift), size);
    }
    // Any other graphic draws itself.
    QImage result(size, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    TPainterCanvas canvas(painter);
    graphic.Draw(canvas, TRect{0, 0, size.width(), size.height()});
    return result;
}

TBmpPreview ReadBmpPreview(const std::string& fileName) {
    // A row of its own for every row of a preview up to this tall; a file
    // that is not in the page cache yet takes one seek for each.
    constexpr int kPreviewRows = 256;
    TBmpPreview preview;
    preview.Rows = std::make_unique<TBitmap>();
    TFileStream file(fileName, TFileStream::fmOpenRead);
    preview.Rows->ReadRowSample(file, kPreviewRows, preview.Width, preview.Height);
    return preview;
}
