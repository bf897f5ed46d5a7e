#include "imaging/jpeg.h"

#include <algorithm>
#include <string>

#include "imaging/jpeg_feed.h"
#include "imaging/jpeg_session.h"
#include "imaging/picture.h"
#include "imaging/pixel_format.h"

using jpegsession::Compressor;
using jpegsession::Decompressor;

TJPEGDefaults JpegPresets;

namespace {

constexpr int kQuantizedColors = 236;

int ScaleShiftOf(const TJPEGDefaults& settings) { return std::min<int>(settings.ScaleShift, 3); }

// Our own failure with a library code: "JPEG error #N: " and the detail.
[[noreturn]] void RaiseOwnJpegError(int code, const std::string& detail) {
    throw EJPEGExplained(code, EJPEG(code).Message() + ": " + detail, detail);
}

// A session's warnings as the image object keeps them.
template <class Session>
TJPEGWarnings WarningsOf(const Session& session) {
    const jpegsession::SessionWarnings warnings = session.Warnings();
    return {warnings.count, warnings.lastMessage};
}

// Closes a feed when the encoding ends, however it ends.
class TFeedCloser {
public:
    explicit TFeedCloser(TJPEGFeed* feed) : FFeed(feed) {}
    ~TFeedCloser() {
        if (FFeed) FFeed->Close(FComplete);
    }
    TFeedCloser(const TFeedCloser&) = delete;
    TFeedCloser& operator=(const TFeedCloser&) = delete;
    void SetComplete(bool complete) { FComplete = complete; }

private:
    TJPEGFeed* FFeed;
    bool FComplete = false;
};

// Refuses an output size the pixel store cannot hold, before any pixel
// memory is taken.
void CheckOutputSize(JDIMENSION width, JDIMENSION height, int bitsPerPixel) {
    const bool tooLarge = width > JDIMENSION(MaxBitmapDimension) ||
                          height > JDIMENSION(MaxBitmapDimension) ||
                          BitmapStride(width, bitsPerPixel) * int64_t(height) > MaxBitmapBytes;
    if (tooLarge)
        RaiseOwnJpegError(JERR_IMAGE_TOO_BIG, "the image of " + std::to_string(width) + " x " +
                                                  std::to_string(height) + " pixels is too large to decode");
}

// Four-component pixels (C, M, Y, K as the decoder delivers them) to blue,
// green, red. Files written with an Adobe marker store the inks inverted,
// which is by far the common case; others store them plainly.
void CmykRowToBgr(const uint8_t* cmyk, uint8_t* bgr, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        bgr[0] = uint8_t((y * k + 127) / 255);
        bgr[1] = uint8_t((m * k + 127) / 255);
        bgr[2] = uint8_t((c * k + 127) / 255);
    }
}

// The image size, the row layout and the settings, for rows of `bitmap`.
void SetEncoderParameters(Compressor& session, const TJPEGDefaults& settings, const TBitmap& bitmap) {
    jpeg_compress_struct& c = session.cinfo;
    c.image_width = JDIMENSION(bitmap.Width());
    c.image_height = JDIMENSION(bitmap.Height());
    // The rows go to the library as blue, green, red.
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    const int quality = settings.Quality;
    const bool gray = settings.GrayOutput;
    const bool progressive = settings.WriteProgressive;
    session.Run([&] {
        jpeg_set_defaults(&c);
        jpeg_set_quality(&c, quality, TRUE);
        if (gray) jpeg_set_colorspace(&c, JCS_GRAYSCALE);
        if (progressive) jpeg_simple_progression(&c);
    });
}

// Hands the rows of the store to the library, top row first, and finishes:
// 24-bit rows as they are stored, others converted one at a time as the
// library takes them, so that no second picture is made. With `arriving`
// each row is waited for; when reading ends without it, EAbort.
void WriteRows(Compressor& session, const TBitmapImage& image, TRowsArriving* arriving) {
    jpeg_compress_struct& c = session.cinfo;
    const bool stored = image.Header.biBitCount == 24;
    const TRowReader reader(image);
    std::vector<uint8_t> line(stored ? 0 : size_t(image.Header.biWidth) * 3);
    uint8_t* const converted = line.data();
    int ready = arriving ? 0 : int(c.image_height);
    session.Run([&] {
        jpeg_start_compress(&c, TRUE);
        while (c.next_scanline < c.image_height) {
            const int r = int(c.next_scanline);
            if (r >= ready && (ready = arriving->WaitFor(r)) == 0) throw EAbort();
            JSAMPROW row;
            if (stored) {
                // The library only reads the rows it is handed.
                row = const_cast<JSAMPROW>(image.Row(r));
            } else {
                reader.Read(r, converted);
                row = converted;
            }
            jpeg_write_scanlines(&c, &row, 1);
        }
        jpeg_finish_compress(&c);
    });
}

// How the decoder's output becomes bitmap rows.
struct TOutputPlan {
    bool Inks = false;      // four components (CMYK, YCCK), made colours row by row
    bool Quantize = false;  // 8 bits per pixel through a colour map
    bool GrayDither = false;  // the colour map of grays made here, row by row
    int Components() const { return Inks ? 4 : Quantize ? 1 : 3; }
    int BitsPerPixel() const { return Quantize ? 8 : 24; }
};

// Sets the decoding parameters from the settings, once the header is read;
// refuses colour spaces that cannot be shown.
TOutputPlan ChooseOutput(jpeg_decompress_struct& c, const TJPEGDefaults& settings) {
    TOutputPlan plan;
    plan.Inks = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
    if (!plan.Inks && c.out_color_space != JCS_GRAYSCALE && c.out_color_space != JCS_RGB)
        RaiseOwnJpegError(JERR_CONVERSION_NOTIMPL, "the image's colour space (" +
                                                       std::to_string(c.num_components) +
                                                       " components) cannot be shown");
    c.scale_num = 1;
    c.scale_denom = 1u << ScaleShiftOf(settings);
    c.do_block_smoothing = settings.BlockSmoothing;
    if (plan.Inks) {
        // Printing inks: decoded as they are and turned into colours per row.
        c.out_color_space = JCS_CMYK;
    } else {
        if (settings.GrayOutput) c.out_color_space = JCS_GRAYSCALE;
        plan.Quantize = settings.EightBitOutput || c.out_color_space == JCS_GRAYSCALE;
        if (plan.Quantize) {
            c.quantize_colors = TRUE;
            c.desired_number_of_colors = kQuantizedColors;
        } else {
            c.out_color_space = JCS_EXT_BGR;
        }
    }
    if (settings.FastDecode) {
        c.dct_method = JDCT_IFAST;
        c.two_pass_quantize = FALSE;
        c.dither_mode = JDITHER_ORDERED;
    }
    // Grays with the library's default dithering: the same indices come
    // from plain gray rows dithered here, several times faster.
    if (plan.Quantize && c.out_color_space == JCS_GRAYSCALE && c.dither_mode == JDITHER_FS) {
        plan.GrayDither = true;
        c.quantize_colors = FALSE;
    }
    return plan;
}

// The decoder's colour map as palette entries (a gray map gives grays).
std::vector<TRGBQuad> ColorMapPalette(const jpeg_decompress_struct& c) {
    std::vector<TRGBQuad> palette(size_t(c.actual_number_of_colors));
    const bool mapGray = c.out_color_components == 1;
    for (size_t i = 0; i < palette.size(); ++i) {
        palette[i].rgbRed = c.colormap[0][i];
        palette[i].rgbGreen = c.colormap[mapGray ? 0 : 1][i];
        palette[i].rgbBlue = c.colormap[mapGray ? 0 : 2][i];
    }
    return palette;
}

// Starts decompressing. A picture whose whole-image buffers would take
// more than the decoder's memory limit is refused here, saying so.
void StartDecompress(Decompressor& session) {
    jpeg_decompress_struct& c = session.cinfo;
    try {
        session.Run([&] { jpeg_start_decompress(&c); });
    } catch (const EJPEG& e) {
        if (e.Code() != JERR_NO_BACKING_STORE && e.Code() != JERR_OUT_OF_MEMORY) throw;
        RaiseOwnJpegError(e.Code(), "the image of " + std::to_string(c.image_width) + " x " +
                                        std::to_string(c.image_height) +
                                        " pixels needs more memory to decode than the " +
                                        std::to_string(jpegsession::kMaxDecoderMemory >> 20) + " MB allowed");
    }
}

// Reads the rows, top row first, into the bitmap of the output size, and
// finishes the decompression.
void ReadRows(Decompressor& session, const TOutputPlan& plan, TBitmap& bitmap,
              const std::function<void(const TBitmap&, int, int)>& rowsDone) {
    jpeg_decompress_struct& c = session.cinfo;
    std::vector<uint8_t> sourceRow(plan.Inks ? size_t(c.output_width) * 4 : plan.GrayDither ? c.output_width : 0);
    uint8_t* const source = sourceRow.data();
    const bool invertedInks = c.saw_Adobe_marker;
    TGrayDither dither(plan.GrayDither ? int(c.output_width) : 0, kQuantizedColors);
    // Bands of about a megabyte.
    const int bandRows = int(std::max<int64_t>(1, (int64_t(1) << 20) / std::max<int64_t>(1, bitmap.Image().Stride())));
    int bandStart = 0;
    session.Run([&] {
        while (c.output_scanline < c.output_height) {
            uint8_t* target = bitmap.RowAddress(int(c.output_scanline));
            JSAMPROW row = plan.Inks || plan.GrayDither ? source : target;
            if (jpeg_read_scanlines(&c, &row, 1) != 1) break;
            if (plan.Inks) CmykRowToBgr(source, target, c.output_width, invertedInks);
            if (plan.GrayDither) dither.Row(source, target);
            const int done = int(c.output_scanline);
            if (rowsDone && done - bandStart >= bandRows) {
                rowsDone(bitmap, bandStart, done);
                bandStart = done;
            }
        }
        jpeg_finish_decompress(&c);
    });
}

}  // namespace

// --- start-up and shut-down ------------------------------------------------

void JpegStartup(int displayBitsPerPixel, int displayPlanes) {
    JpegPresets.EightBitOutput = displayBitsPerPixel * displayPlanes <= 8;
    AddPictureFormat("jpeg", "JPEG Image File", TJPEGImage::StaticClass());
    AddPictureFormat("jpg", "JPEG Image File", TJPEGImage::StaticClass());
}

void JpegShutdown() { RemoveGraphicClass(TJPEGImage::StaticClass()); }

// --- the image object --------------------------------------------------------

TGraphicClass TJPEGImage::StaticClass() {
    static const TGraphicClassInfo info{"TJPEGImage", TGraphic::StaticClass(),
                                        []() -> std::unique_ptr<TGraphic> {
                                            return std::make_unique<TJPEGImage>();
                                        }};
    return &info;
}

TJPEGImage::TJPEGImage() : TJPEGImage(JpegPresets) {}

TJPEGImage::TJPEGImage(const TJPEGDefaults& settings) : Settings(settings) { NewData(); }

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::NewData() { FData = TSharedRef<TJPEGData>(std::make_unique<TJPEGData>()); }

void TJPEGImage::Assign(const TGraphic* source) {
    if (source && source->ClassType()->InheritsFrom(TBitmap::StaticClass())) {
        auto bitmap = std::make_unique<TBitmap>();
        bitmap->Assign(source);
        NewData();
        FBitmap = std::move(bitmap);
        return;
    }
    if (source && source->ClassType()->InheritsFrom(TJPEGImage::StaticClass())) {
        const auto* other = static_cast<const TJPEGImage*>(source);
        if (other == this) return;
        std::unique_ptr<TBitmap> bitmap;
        if (other->FBitmap) {
            bitmap = std::make_unique<TBitmap>();
            bitmap->Assign(other->FBitmap.get());
        }
        FData = other->FData;
        // A bitmap of the old data would no longer match the new one.
        FBitmap = std::move(bitmap);
        return;
    }
    TGraphic::Assign(source);
}

void TJPEGImage::CopyInto(TGraphic* target) const {
    if (target && target->ClassType()->InheritsFrom(TBitmap::StaticClass())) {
        // Decoding on request fills in the bitmap the data stands for; the
        // image the object shows stays the same.
        if (!FBitmap) const_cast<TJPEGImage*>(this)->DecodeJpeg();
        target->Assign(FBitmap.get());
        return;
    }
    TGraphic::CopyInto(target);
}

bool TJPEGImage::Equals(const TGraphic* other) const {
    if (other == this) return true;
    if (!other || !other->ClassType()->InheritsFrom(TJPEGImage::StaticClass())) return false;
    const auto* jpeg = static_cast<const TJPEGImage*>(other);
    if (jpeg->FData.get() == FData.get()) return true;
    const auto* mine = FData->Data.get();
    const auto* theirs = jpeg->FData->Data.get();
    return mine && theirs && *mine == *theirs;
}

bool TJPEGImage::Empty() const {
    return !FData->Data && (!FBitmap || FBitmap->Empty());
}

int TJPEGImage::Width() const {
    if (FBitmap) return FBitmap->Width();
    if (ScaleShiftOf(Settings) == 0) return FData->Width;
    return ScaledSize().first;
}

int TJPEGImage::Height() const {
    if (FBitmap) return FBitmap->Height();
    if (ScaleShiftOf(Settings) == 0) return FData->Height;
    return ScaledSize().second;
}

std::pair<int, int> TJPEGImage::ScaledSize() const {
    const std::vector<uint8_t>* data = FData->Data.get();
    if (!data || data->empty()) return {0, 0};
    JDIMENSION width = 0, height = 0;
    try {
        Decompressor session(data->data(), data->size());
        jpeg_decompress_struct& c = session.cinfo;
        const unsigned denom = 1u << ScaleShiftOf(Settings);
        session.Run([&] {
            jpeg_read_header(&c, TRUE);
            c.scale_num = 1;
            c.scale_denom = denom;
            jpeg_calc_output_dimensions(&c);
            width = c.output_width;
            height = c.output_height;
        });
    } catch (const Exception&) {
        // Data whose header cannot be read has no size to report.
        return {0, 0};
    }
    return {int(width), int(height)};
}

void TJPEGImage::SetWidth(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

void TJPEGImage::SetHeight(int) {
    throw EInvalidGraphicOperation("Cannot change the size of a JPEG image");
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& rect) {
    if (!FBitmap) DecodeJpeg();
    FBitmap->Draw(canvas, rect);
}

void TJPEGImage::ReportFailedEnd() {
    try {
        Progress(TProgressStage::psEnding, 0);
    } catch (...) {
        // The failure that ended the work is the one to report.
    }
}

// --- streams ---------------------------------------------------------------

void TJPEGImage::WriteToStream(TStream& stream) {
    if (!FData->Data) EncodeJpeg();
    // An encoding ended by the user leaves no bytes to write.
    if (FData->Data && !FData->Data->empty())
        stream.WriteBuffer(FData->Data->data(), int64_t(FData->Data->size()));
}

void TJPEGImage::ReadFromStream(TStream& stream) {
    const int64_t count = std::max<int64_t>(0, stream.Size() - stream.Position());
    FWarnings = {};
    NewData();
    FBitmap.reset();
    FData->Data = std::make_unique<std::vector<uint8_t>>(size_t(count));
    if (count > 0) {
        stream.ReadBuffer(FData->Data->data(), count);

        Decompressor session(FData->Data->data(), FData->Data->size());
        jpeg_decompress_struct& c = session.cinfo;
        try {
            session.Run([&] { jpeg_read_header(&c, TRUE); });
        } catch (...) {
            FWarnings = WarningsOf(session);
            throw;
        }
        FWarnings = WarningsOf(session);
        FData->Width = int32_t(c.image_width);
        FData->Height = int32_t(c.image_height);
        FData->Grayscale = c.jpeg_color_space == JCS_GRAYSCALE;
        Settings.WriteProgressive = jpeg_has_multiple_scans(&c);
    }
    PaletteModified = true;
    Changed();
}

// --- encoding ----------------------------------------------------------------

void TJPEGImage::EncodeJpeg() { EncodeOrDrop(nullptr, nullptr); }

void TJPEGImage::EncodeJpegFeeding(TJPEGFeed& feed) { EncodeOrDrop(&feed, nullptr); }

void TJPEGImage::EncodeJpegFeeding(TJPEGFeed& feed, TRowsArriving& arriving) { EncodeOrDrop(&feed, &arriving); }

void TJPEGImage::EncodeOrDrop(TJPEGFeed* feed, TRowsArriving* arriving) {
    // A reader of the feed waits until it is closed: closed on every path,
    // also when dropping the data fails in turn.
    TFeedCloser closer(feed);
    try {
        EncodeIntoNewData(feed, arriving);
    } catch (const EAbort&) {
        // Ended by a progress handler: drop the partial data.
        NewData();
        return;
    } catch (...) {
        // Partial data must not pass for the image: the next write encodes
        // again and reports the failure again.
        NewData();
        throw;
    }
    closer.SetComplete(FData->Data != nullptr);
}

void TJPEGImage::EncodeIntoNewData(TJPEGFeed* mirror, TRowsArriving* arriving) {
    // A record shared with another image is never changed.
    if (FData->Data || FData->RefCount() > 1) NewData();
    FData->Data = std::make_unique<std::vector<uint8_t>>();
    FWarnings = {};
    if (!FBitmap || FBitmap->Width() == 0 || FBitmap->Height() == 0) return;
    // Refused before any work: the library would find out only after the
    // picture's conversion, with a bare error number.
    if (FBitmap->Width() > JPEG_MAX_DIMENSION || FBitmap->Height() > JPEG_MAX_DIMENSION)
        RaiseOwnJpegError(JERR_IMAGE_TOO_BIG, "the picture of " + std::to_string(FBitmap->Width()) + " x " +
                                                  std::to_string(FBitmap->Height()) +
                                                  " pixels is too large for JPEG, which holds at most " +
                                                  std::to_string(JPEG_MAX_DIMENSION) + " pixels each way");
    // Room at once for the bytes of a photo of this size, so that they are
    // not copied again and again as they grow; memory that the bytes do not
    // reach is never touched.
    constexpr size_t kMostRoom = size_t(64) << 20;
    FData->Data->reserve(std::min(size_t(FBitmap->Width()) * size_t(FBitmap->Height()) / 2, kMostRoom) +
                         jpegsession::kGrowStep);

    Compressor session(
        *FData->Data, [this](int percent) { Progress(TProgressStage::psRunning, percent); }, mirror);
    FData->Width = FBitmap->Width();
    FData->Height = FBitmap->Height();
    if (Settings.GrayOutput) FData->Grayscale = true;
    SetEncoderParameters(session, Settings, *FBitmap);

    Progress(TProgressStage::psStarting, 0);
    try {
        WriteRows(session, FBitmap->Image(), arriving);
    } catch (...) {
        FWarnings = WarningsOf(session);
        ReportFailedEnd();
        throw;
    }
    FWarnings = WarningsOf(session);
    Progress(TProgressStage::psEnding, 100);
}

// --- decoding ----------------------------------------------------------------

void TJPEGImage::DecodeJpeg() {
    const std::vector<uint8_t>* data = FData->Data.get();
    DecodeFrom(data ? data->data() : nullptr, data ? data->size() : 0, jpegsession::kChunkSize);
}

void TJPEGImage::DecodeFrom(const uint8_t* data, size_t size, size_t chunk) {
    // Attached at once: a failure leaves what was decoded so far.
    FBitmap = std::make_unique<TBitmap>();
    // Without a handler no hook either: nothing global (the progress clock)
    // is read then, and the reduced decode runs on other threads.
    jpegsession::ProgressFn running;
    if (OnProgress) running = [this](int percent) { Progress(TProgressStage::psRunning, percent); };
    Decompressor session(data, size, std::move(running), chunk);
    try {
        DecodeWith(session);
    } catch (...) {
        FWarnings = WarningsOf(session);
        throw;
    }
    FWarnings = WarningsOf(session);
}

void TJPEGImage::DecodeWith(Decompressor& session) {
    try {
        jpeg_decompress_struct& c = session.cinfo;
        session.Run([&] { jpeg_read_header(&c, TRUE); });
        const TOutputPlan plan = ChooseOutput(c, Settings);
        session.Run([&] { jpeg_calc_output_dimensions(&c); });
        CheckOutputSize(c.output_width, c.output_height, plan.BitsPerPixel());
        FBitmap->SetPixelDepth(plan.Quantize ? pd8 : pd24);

        bool paletteChanged = false;
        Progress(TProgressStage::psStarting, 0);
        try {
            StartDecompress(session);
            if (c.output_components != plan.Components())
                RaiseOwnJpegError(JERR_CONVERSION_NOTIMPL, "unexpected decoder output");
            // Not filled first: the decoder writes every row, and only the
            // rows it does not reach are made white, below.
            FBitmap->SetSizeForRows(int(c.output_width), int(c.output_height));
            if (plan.GrayDither) {
                FBitmap->SetPalette(TGrayDither(0, kQuantizedColors).Palette());
                paletteChanged = true;
            } else if (plan.Quantize && c.colormap) {
                FBitmap->SetPalette(ColorMapPalette(c));
                paletteChanged = true;
            }
            // A bitmap that changes its depth below has no final rows before then.
            const bool depthKept = !(plan.Inks && Settings.EightBitOutput);
            ReadRows(session, plan, *FBitmap, depthKept ? OnRowsDone : nullptr);
        } catch (...) {
            FBitmap->FillWhiteFrom(int(c.output_scanline));
            ReportFailedEnd();
            throw;
        }
        FBitmap->FillWhiteFrom(int(c.output_scanline));
        if (plan.Inks && Settings.EightBitOutput) FBitmap->SetPixelDepth(pd8);
        Progress(TProgressStage::psEnding, 100);
        if (paletteChanged) {
            PaletteModified = true;
            Changed();
        }
    } catch (const EAbort&) {
        // Ended by a progress handler: the bitmap keeps what was decoded.
    }
}
