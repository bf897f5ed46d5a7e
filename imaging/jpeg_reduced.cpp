// Decoding at a reduced size, for showing a large picture small.
#include <algorithm>

#include "imaging/jpeg.h"

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(int scaleShift) const {
    const std::vector<uint8_t>* data = FData->Data.get();
    return DecodeReduced(data ? data->data() : nullptr, data ? data->size() : 0, Settings, scaleShift);
}

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(const uint8_t* data, size_t size, const TJPEGDefaults& settings,
                                                   int scaleShift) {
    // A private image object without handlers, decoding at the reduced scale
    // with the same settings otherwise. The bytes go to libjpeg all at once.
    TJPEGImage reduced(settings);
    reduced.Settings.ScaleShift = uint8_t(std::clamp(scaleShift, 0, 3));
    reduced.DecodeFrom(data, size, 0);
    return std::move(reduced.FBitmap);
}
