// Decoding at a reduced size, for showing a large picture small.
#include <algorithm>

#include "imaging/jpeg.h"
#include "imaging/jpeg_feed.h"
#include "imaging/jpeg_session.h"

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(int scaleShift) const {
    const std::vector<uint8_t>* data = FData->Data.get();
    return DecodeReduced(data ? data->data() : nullptr, data ? data->size() : 0, Settings, scaleShift);
}

TJPEGImage::TJPEGImage(const TJPEGDefaults& settings, int scaleShift) : TJPEGImage(settings) {
    Settings.ScaleShift = uint8_t(std::clamp(scaleShift, 0, 3));
}

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(const uint8_t* data, size_t size, const TJPEGDefaults& settings,
                                                   int scaleShift) {
    // The bytes go to libjpeg all at once.
    TJPEGImage reduced(settings, scaleShift);
    reduced.DecodeFrom(data, size, 0);
    return std::move(reduced.FBitmap);
}

std::unique_ptr<TBitmap> TJPEGImage::DecodeReduced(TJPEGFeed& feed, const TJPEGDefaults& settings, int scaleShift) {
    TJPEGImage reduced(settings, scaleShift);
    reduced.FBitmap = std::make_unique<TBitmap>();
    jpegsession::Decompressor session(feed);
    reduced.DecodeWith(session);
    // The decoder may see the end of the image before the encoder has
    // finished: only a whole encoding counts.
    if (!feed.WaitComplete()) return nullptr;
    return std::move(reduced.FBitmap);
}
