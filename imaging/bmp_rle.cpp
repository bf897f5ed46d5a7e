#include "imaging/bmp_rle.h"

namespace {

// Writes pixel indices into a bottom-up store, dropping those outside it.
class TPixelSink {
public:
    TPixelSink(TBitmapImage& image, int bits)
        : FImage(image), FBits(bits), FWidth(image.Header.biWidth), FRows(image.Rows()) {}

    void Put(unsigned index) {
        if (FX < FWidth && FY < FRows) {
            // Rows are counted from the bottom, the order in which the data comes.
            uint8_t* row = FImage.Pixels.data() + FImage.Stride() * FY;
            if (FBits == 8) {
                row[FX] = uint8_t(index);
            } else {
                const int shift = (FX & 1) ? 0 : 4;
                row[FX >> 1] = uint8_t((row[FX >> 1] & ~(0xF << shift)) | (index & 0xF) << shift);
            }
        }
        ++FX;
    }
    void EndOfLine() {
        FX = 0;
        ++FY;
    }
    void Delta(unsigned dx, unsigned dy) {
        FX += dx;
        FY += dy;
    }
    bool Done() const { return FY >= FRows; }

private:
    TBitmapImage& FImage;
    int FBits;
    int64_t FWidth, FRows;
    int64_t FX = 0, FY = 0;
};

}  // namespace

void ExpandRle(const std::vector<uint8_t>& data, int bits, TBitmapImage& image) {
    if (image.Pixels.empty()) return;
    TPixelSink sink(image, bits);
    const size_t n = data.size();
    size_t i = 0;
    while (i + 1 < n && !sink.Done()) {
        const unsigned count = data[i];
        const unsigned value = data[i + 1];
        i += 2;
        if (count > 0) {
            // An encoded run: one index repeated, or two 4-bit indices alternating.
            for (unsigned k = 0; k < count; ++k)
                sink.Put(bits == 8 ? value : (k & 1) ? value & 0xF : value >> 4);
            continue;
        }
        switch (value) {
            case 0: sink.EndOfLine(); break;
            case 1: return;  // end of bitmap
            case 2:
                if (i + 1 >= n) return;
                sink.Delta(data[i], data[i + 1]);
                i += 2;
                break;
            default: {
                // An absolute run of `value` indices, padded to a 16-bit boundary.
                const size_t bytes = bits == 8 ? value : (value + 1) / 2;
                for (unsigned k = 0; k < value; ++k) {
                    const size_t at = i + (bits == 8 ? k : k / 2);
                    if (at >= n) return;
                    sink.Put(bits == 8 ? data[at] : (k & 1) ? data[at] & 0xF : data[at] >> 4);
                }
                i += bytes + (bytes & 1);
            }
        }
    }
}
