// Helpers shared by the JPEG image tests: test images, encoding and decoding
// through TJPEGImage, a picture distance, and JPEG data of kinds this program
// never writes itself, made with the library directly.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "imaging/jpeg_session.h"
#include "tests/support/temp_dir.h"

namespace jpegtest {

// A 24-bit bitmap whose pixel (x, y) is pixel(x, y) -> {r, g, b}.
struct Rgb {
    uint8_t r, g, b;
};
using BitmapPtr = std::unique_ptr<TBitmap>;

inline BitmapPtr MakeBitmap(int width, int height, const std::function<Rgb(int, int)>& pixel) {
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelDepth(pd24);
    bitmap->SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap->RowAddress(y);
        for (int x = 0; x < width; ++x) {
            const Rgb c = pixel(x, y);
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }
    return bitmap;
}

// Smooth colour gradients with some gentle texture, like a photograph.
inline BitmapPtr MakePhoto(int width, int height) {
    return MakeBitmap(width, height, [](int x, int y) {
        const double fx = x / 37.0, fy = y / 23.0;
        auto channel = [](double v) { return uint8_t(std::lround(127.5 + 100.0 * v)); };
        return Rgb{channel(std::sin(fx) * std::cos(fy * 0.7)),
                   channel(std::sin(fx * 0.5 + fy * 0.8)),
                   channel(std::cos(fx * 0.3 - fy) * 0.9 + 0.05 * std::sin(x * 1.3 + y * 0.9))};
    });
}

inline BitmapPtr MakeFlat(int width, int height, Rgb c) {
    return MakeBitmap(width, height, [c](int, int) { return c; });
}

// Pixel (x, y) of a bitmap of any depth, as red, green, blue.
inline Rgb PixelOf(const TBitmap& source, int x, int y) {
    TBitmap bitmap;
    bitmap.Assign(&source);
    bitmap.SetPixelDepth(pd24);
    const uint8_t* p = static_cast<const TBitmap&>(bitmap).RowAddress(y) + 3 * x;
    return Rgb{p[2], p[1], p[0]};
}

// The encoded bytes of `bitmap` as TJPEGImage writes them.
inline std::vector<uint8_t> Encode(const TBitmap& bitmap,
                                   const std::function<void(TJPEGImage&)>& adjust = nullptr) {
    TJPEGImage jpeg;
    if (adjust) adjust(jpeg);
    jpeg.Assign(&bitmap);
    TMemoryStream out;
    jpeg.WriteToStream(out);
    return out.Data();
}

// Loads encoded bytes into `jpeg`, as reading a file of them does.
inline void Load(TJPEGImage& jpeg, const std::vector<uint8_t>& bytes) {
    TMemoryStream in(bytes);
    jpeg.ReadFromStream(in);
}

// True when two bitmaps hold the same pixel bytes.
inline bool SamePixels(const TBitmap& a, const TBitmap& b) {
    const auto& x = a.Image().Pixels;
    const auto& y = b.Image().Pixels;
    return x.size() == y.size() && std::equal(x.data(), x.data() + x.size(), y.data());
}

// Loads encoded bytes into a TJPEGImage and decodes them into a bitmap.
inline BitmapPtr Decode(const std::vector<uint8_t>& bytes,
                        const std::function<void(TJPEGImage&)>& adjust = nullptr) {
    TJPEGImage jpeg;
    if (adjust) adjust(jpeg);
    Load(jpeg, bytes);
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->Assign(&jpeg);
    return bitmap;
}

// While it lives, the progress clock moves on 500 ms at every reading, so
// that libjpeg's progress calls reach the handler.
struct FastProgressClock {
    static int64_t Tick() {
        static int64_t now = 0;
        return now += 500;
    }
    jpegsession::ProgressClock previous = jpegsession::SetProgressClock(Tick);
    ~FastProgressClock() { jpegsession::SetProgressClock(previous); }
};

// Peak signal-to-noise ratio between two pictures of the same size, in dB.
inline double Psnr(const TBitmap& a, const TBitmap& b) {
    TBitmap a24, b24;
    a24.Assign(&a);
    a24.SetPixelDepth(pd24);
    b24.Assign(&b);
    b24.SetPixelDepth(pd24);
    const TBitmap& ca = a24;
    const TBitmap& cb = b24;
    double sum = 0;
    for (int y = 0; y < ca.Height(); ++y) {
        const uint8_t* ra = ca.RowAddress(y);
        const uint8_t* rb = cb.RowAddress(y);
        for (int i = 0; i < 3 * ca.Width(); ++i) {
            const double d = double(ra[i]) - double(rb[i]);
            sum += d * d;
        }
    }
    const double mse = sum / (3.0 * ca.Width() * ca.Height());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// JPEG data made by the library directly: `components` samples per pixel of
// `inputSpace`, stored as `storedSpace`. `pixel` fills one pixel's samples.
inline std::vector<uint8_t> EncodeRaw(int width, int height, int components, J_COLOR_SPACE inputSpace,
                                      J_COLOR_SPACE storedSpace,
                                      const std::function<void(int, int, uint8_t*)>& pixel,
                                      bool progressive = false) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = components;
    c.in_color_space = inputSpace;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, storedSpace);
    jpeg_set_quality(&c, 95, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(width) * components);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < width; ++x) pixel(x, int(c.next_scanline), &row[size_t(x) * components]);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(buffer, buffer + size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::string& name) {
    TMemoryStream s;
    s.LoadFromFile(name);
    return s.Data();
}

inline void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    TMemoryStream s(bytes);
    s.SaveToFile(name);
}

}  // namespace jpegtest
