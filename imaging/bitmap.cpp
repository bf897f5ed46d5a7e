// TBitmap: the shared pixel store, copy on write, sizes and palettes.
// Reading and writing BMP files lives in bmp_file.cpp, depth conversion in
// pixel_format.cpp.
#include "imaging/bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "imaging/pixel_format.h"

// ---------------------------------------------------------------------------

TPixelBuffer::TPixelBuffer(const TPixelBuffer& other) : TPixelBuffer(other.FSize) {
    if (FSize != 0) std::memcpy(data(), other.data(), FSize);
}

TPixelBuffer& TPixelBuffer::operator=(const TPixelBuffer& other) {
    if (this != &other) *this = TPixelBuffer(other);
    return *this;
}

std::unique_ptr<TBitmapImage> TBitmapImage::Clone() const {
    auto copy = std::make_unique<TBitmapImage>();
    copy->Header = Header;
    copy->Masks = Masks;
    copy->ColorTable = ColorTable;
    copy->Pixels = Pixels;
    copy->CoreHeader = CoreHeader;
    copy->Palette = Palette;
    copy->OwnPalette = OwnPalette;
    return copy;
}

// ---------------------------------------------------------------------------

void TRowsArriving::Started() noexcept {
    {
        std::lock_guard lock(FLock);
        if (FEnded) return;
        FStarted = true;
    }
    FChanged.notify_all();
}

bool TRowsArriving::WaitStarted() noexcept {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FEnded || FStarted; });
    return FStarted;
}

void TRowsArriving::Arrived(int count) noexcept {
    {
        std::lock_guard lock(FLock);
        if (FEnded || count <= FCount) return;
        FCount = count;
    }
    FChanged.notify_all();
}

void TRowsArriving::End(bool complete) noexcept {
    {
        std::lock_guard lock(FLock);
        if (FEnded) return;
        FEnded = true;
        // Rows announced before a failure are whole, but the picture is not.
        if (!complete) FCount = 0;
    }
    FChanged.notify_all();
}

int TRowsArriving::WaitFor(int row) noexcept {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FEnded || FCount > row; });
    return FCount > row ? FCount : 0;
}

// ---------------------------------------------------------------------------

namespace {
bool HasPalette(const TBitmapImage& image) {
    return !image.ColorTable.empty() || !image.Palette.empty();
}
}  // namespace

TBitmap::TBitmap() : FImage(std::make_unique<TBitmapImage>()) {}

TBitmap::~TBitmap() = default;

TGraphicClass TBitmap::StaticClass() {
    static const TGraphicClassInfo info{"TBitmap", TGraphic::StaticClass(),
                                        []() -> std::unique_ptr<TGraphic> {
                                            return std::make_unique<TBitmap>();
                                        }};
    return &info;
}

void TBitmap::ReplaceImage(TSharedRef<TBitmapImage> image) {
    FImage = std::move(image);
    PaletteModified = HasPalette(*FImage);
    Changed();
}

void TBitmap::ReplaceImage(std::unique_ptr<TBitmapImage> image) {
    ReplaceImage(TSharedRef<TBitmapImage>(std::move(image)));
}

void TBitmap::MakePrivate() {
    if (FImage->RefCount() >= 2) FImage = TSharedRef<TBitmapImage>(FImage->Clone());
    FImage->Header.biClrUsed = 0;
    FImage->Header.biClrImportant = 0;
}

void TBitmap::Assign(const TGraphic* source) {
    if (source == this) return;
    if (source == nullptr) {
        ReplaceImage(std::make_unique<TBitmapImage>());
    } else if (source->ClassType()->InheritsFrom(TBitmap::StaticClass())) {
        ReplaceImage(static_cast<const TBitmap*>(source)->FImage);
    } else {
        source->CopyInto(this);
    }
}

bool TBitmap::Empty() const { return FImage->Pixels.empty(); }
int TBitmap::Width() const { return FImage->Header.biWidth; }
int TBitmap::Height() const { return FImage->Rows(); }

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    if (Empty() || rect.IsEmpty()) return;
    canvas.StretchDraw(rect, *this);
}

void TBitmap::SetWidth(int value) { SetSize(value, Height()); }
void TBitmap::SetHeight(int value) { SetSize(Width(), value); }

void TBitmap::SetSize(int width, int height) { Resize(width, height, true); }

void TBitmap::SetSizeForRows(int width, int height) { Resize(width, height, false); }

void TBitmap::FillWhiteFrom(int row) {
    if (row < 0 || row >= Height()) return;
    MakePrivate();
    FillWhite(*FImage, row);
}

void TBitmap::Resize(int width, int height, bool fill) {
    if (fill && width == Width() && height == Height() && FImage->Header.biHeight >= 0) return;
    if (width < 0 || height < 0 || width > MaxBitmapDimension || height > MaxBitmapDimension)
        throw EInvalidGraphic();
    const TBitmapImage& old = *FImage;
    // A bitmap without a description yet gets the usual 24 bits.
    const int bits = old.Header.biBitCount == 0 ? 24 : old.Header.biBitCount;
    const int64_t stride = BitmapStride(width, bits);
    if (stride * height > MaxBitmapBytes) throw EInvalidGraphic();

    auto image = std::make_unique<TBitmapImage>();
    image->Header.biWidth = width;
    image->Header.biHeight = height;
    image->Header.biBitCount = static_cast<uint16_t>(bits);
    image->Header.biCompression = old.Header.biCompression;
    image->Header.biSizeImage = static_cast<uint32_t>(stride * height);
    image->Masks = old.Masks;
    image->ColorTable = old.ColorTable;
    image->Palette = old.Palette;
    image->OwnPalette = old.OwnPalette;
    if (bits <= 8 && image->ColorTable.empty())
        image->ColorTable = bits == 1 ? std::vector<TRGBQuad>{{0, 0, 0, 0}, {255, 255, 255, 0}}
                            : bits == 4 ? SystemPalette16()
                                        : HalftonePalette();
    image->Pixels = TPixelBuffer(static_cast<size_t>(stride * height));
    if (fill) {
        FillWhite(*image);
        CopyTopLeft(old, *image);
    }
    ReplaceImage(std::move(image));
}

void TBitmap::SetPalette(const std::vector<TRGBQuad>& entries) {
    MakePrivate();
    TBitmapImage& image = *FImage;
    const size_t count = std::min<size_t>(entries.size(), 256);
    if (image.Header.biBitCount >= 1 && image.Header.biBitCount <= 8) {
        // The given entries replace the first ones of the table (as many as
        // the depth can index); the entries after them stay as they were.
        const size_t limit = size_t(1) << image.Header.biBitCount;
        const size_t n = std::min(count, limit);
        if (image.ColorTable.size() < n) image.ColorTable.resize(n);
        std::copy_n(entries.begin(), n, image.ColorTable.begin());
    } else {
        image.Palette.assign(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(count));
        image.OwnPalette = true;
    }
    PaletteModified = true;
    Changed();
}

uint8_t* TBitmap::RowAddress(int r) {
    if (r < 0 || r > Height())
        throw EInvalidGraphicOperation("Scan line index out of range");
    MakePrivate();
    return FImage->Row(r);
}

const uint8_t* TBitmap::RowAddress(int r) const {
    if (r < 0 || r > Height())
        throw EInvalidGraphicOperation("Scan line index out of range");
    return FImage->Row(r);
}

TPixelDepth TBitmap::PixelDepth() const {
    const TBitmapInfoHeader& h = FImage->Header;
    const TMasks& m = FImage->Masks;
    const bool fields = h.biCompression == BmpBitFields;
    switch (h.biBitCount) {
        case 1: return pd1;
        case 4: return pd4;
        case 8: return pd8;
        case 16:
            if (!fields) return pd15;
            // Masks left at 0 are read and written as 5-6-5.
            if (m[1] == Masks565[1] || m == TMasks{}) return pd16;
            return pdOther;
        case 24: return pd24;
        case 32: return fields ? pdOther : pd32;
        default: return pdDevice;
    }
}

void TBitmap::SetPixelDepth(TPixelDepth depth) {
    if (depth == PixelDepth()) return;
    switch (depth) {
        case pd1: case pd4: case pd8: case pd15: case pd16: case pd24: case pd32: break;
        case pdDevice: return;  // the stores are shown as they are
        default: throw EInvalidGraphic("Invalid pixel format");
    }
    ReplaceImage(ConvertImage(*FImage, depth));
}
