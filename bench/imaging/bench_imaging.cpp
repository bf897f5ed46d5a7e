// Loading and writing a 6000 x 4000 24-bit BMP file (72 MB, page cache) and
// converting an 8-bit bitmap of that size to 24 bits.
// Targets: load and write at least 1 GB/s each, 8 to 24 bits at least
// 300 Mpixel/s (items per second below).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/streams.h"
#include "imaging/bitmap.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Files live in memory where the system offers it, so that the figures show
// this code and the page cache rather than the disk's write-back.
std::string BenchFile(const char* name) {
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path dir =
        std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    return (dir /
            (std::string("vg-bench-") + std::to_string(::getpid()) + "-" + name))
        .string();
}

// A picture with some variety in every row.
void Paint(TBitmap& bitmap, int bitsPerPixel) {
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.RowAddress(y);
        const int bytes = kWidth * bitsPerPixel / 8;
        for (int x = 0; x < bytes; ++x) row[x] = uint8_t(x * 7 + y * 3);
    }
}

void MakePicture(TBitmap& bitmap, TPixelDepth depth) {
    bitmap.SetPixelDepth(depth);
    bitmap.SetSize(kWidth, kHeight);
    Paint(bitmap, depth);
}

void BM_Load24(benchmark::State& state) {
    const std::string name = BenchFile("load.bmp");
    {
        TBitmap source;
        MakePicture(source, pd24);
        source.SaveToFile(name);
    }
    const auto size = int64_t(std::filesystem::file_size(name));
    for (auto _ : state) {
        TBitmap bitmap;
        bitmap.LoadFromFile(name);
        benchmark::DoNotOptimize(bitmap.Image().Pixels.data());
    }
    state.SetBytesProcessed(state.iterations() * size);
    std::filesystem::remove(name);
}
BENCHMARK(BM_Load24)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Write24(benchmark::State& state) {
    const std::string name = BenchFile("write.bmp");
    TBitmap bitmap;
    MakePicture(bitmap, pd24);
    for (auto _ : state) bitmap.SaveToFile(name);
    state.SetBytesProcessed(state.iterations() * int64_t(std::filesystem::file_size(name)));
    std::filesystem::remove(name);
}
BENCHMARK(BM_Write24)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Convert8To24(benchmark::State& state) {
    TBitmap source;
    MakePicture(source, pd8);
    for (auto _ : state) {
        TBitmap bitmap;
        bitmap.Assign(&source);
        bitmap.SetPixelDepth(pd24);
        benchmark::DoNotOptimize(bitmap.Image().Pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}
BENCHMARK(BM_Convert8To24)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
