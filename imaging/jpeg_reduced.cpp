// Decoding at a reduced size, for showing a large picture small.
#include <algorithm>

#include "imaging/jpeg.h"

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(int scaleShift) const {
    // A second image object on the same encoded bytes (shared, not copied),
    // decoding at the reduced scale with the same settings otherwise.
    TJPEGImage reduced;
    reduced.Settings = Settings;
    reduced.Settings.ScaleShift = uint8_t(std::clamp(scaleShift, 0, 3));
    reduced.FData = FData;
    reduced.DecodeJpeg();
    return std::move(reduced.FBitmap);
}
