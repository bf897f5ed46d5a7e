// Any bytes read as a BMP file give a bitmap or one of the reading errors.
// A bitmap that was read is written, and what was written reads back to
// the same pixels and writes to the same bytes again. Converting a copy to
// the depth chosen by the file header's first reserved byte (which the
// reader ignores) keeps its size and leaves the bitmap as it was.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/streams.h"
#include "fuzz/fuzz_check.h"
#include "imaging/bitmap.h"

namespace {

// Larger pictures are only read: writing and converting them would make
// each run slow without reaching other code.
constexpr int64_t kMostPixels = int64_t(1) << 20;

std::vector<uint8_t> Written(TBitmap& bitmap) {
    TMemoryStream stream;
    bitmap.WriteToStream(stream);
    return stream.Data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TBitmap bitmap;
    try {
        TMemoryStream in(std::vector<uint8_t>(data, data + size));
        bitmap.ReadFromStream(in);
    } catch (const EInvalidGraphic&) {
        return 0;
    } catch (const EReadError&) {
        return 0;
    }
    if (int64_t(bitmap.Width()) * bitmap.Height() > kMostPixels) return 0;

    static const TPixelDepth kDepths[] = {pd1, pd4, pd8, pd15, pd16, pd24, pd32};
    const TPixelDepth depth = size > 6 ? kDepths[data[6] % 7] : pd24;
    TBitmap converted;
    converted.Assign(&bitmap);
    converted.SetPixelDepth(depth);
    FUZZ_CHECK(converted.Width() == bitmap.Width() && converted.Height() == bitmap.Height());
    FUZZ_CHECK(converted.PixelDepth() == depth);
    if (depth != bitmap.PixelDepth()) FUZZ_CHECK(&bitmap.Image() != &converted.Image());

    // A picture without pixels (no width or no rows) is written as nothing.
    const std::vector<uint8_t> first = Written(bitmap);
    FUZZ_CHECK(first.empty() == bitmap.Empty());
    if (first.empty()) return 0;
    TBitmap back;
    {
        TMemoryStream in(first);
        back.ReadFromStream(in);
    }
    FUZZ_CHECK(back.Width() == bitmap.Width() && back.Height() == bitmap.Height());
    FUZZ_CHECK(back.PixelDepth() == bitmap.PixelDepth());
    const TPixelBuffer& a = bitmap.Image().Pixels;
    const TPixelBuffer& b = back.Image().Pixels;
    FUZZ_CHECK(a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0));
    FUZZ_CHECK(Written(back) == first);
    return 0;
}
