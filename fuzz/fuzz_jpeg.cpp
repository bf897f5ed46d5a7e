// Any bytes read as JPEG data and then decoded give a bitmap of the size
// the header announced, or EJPEG; never a crash, a leak or a hang. The
// first byte chooses the decoding settings, the rest is the JPEG data.
#include <cstdint>
#include <vector>

#include "core/streams.h"
#include "fuzz/fuzz_check.h"
#include "imaging/jpeg.h"

namespace {

// Larger pictures are only read up to their header: decoding them would
// make each run slow without reaching other code.
constexpr int64_t kMostPixels = int64_t(1) << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t choice = data[0];
    TJPEGImage jpeg;
    jpeg.Settings.ScaleShift = choice & 3;
    jpeg.Settings.GrayOutput = (choice & 4) != 0;
    jpeg.Settings.FastDecode = (choice & 8) != 0;
    jpeg.Settings.EightBitOutput = (choice & 16) != 0;
    jpeg.Settings.BlockSmoothing = (choice & 32) == 0;
    try {
        TMemoryStream in(std::vector<uint8_t>(data + 1, data + size));
        jpeg.ReadFromStream(in);
    } catch (const EJPEG&) {
        return 0;
    }
    const int width = jpeg.Width(), height = jpeg.Height();
    if (int64_t(width) * height > kMostPixels) return 0;
    try {
        jpeg.DecodeJpeg();
    } catch (const EJPEG&) {
        return 0;
    }
    const TBitmap* bitmap = jpeg.Bitmap();
    FUZZ_CHECK(bitmap != nullptr);
    FUZZ_CHECK(bitmap->Width() == width && bitmap->Height() == height);
    const TPixelDepth depth = bitmap->PixelDepth();
    FUZZ_CHECK(depth == pd8 || depth == pd24);
    return 0;
}
