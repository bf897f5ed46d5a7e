// Packing and unpacking a 6000 x 4000 photo-like 24-bit BMP with vendaru-cli,
// side by side with the reference tools on the same file:
//   pack   (BMP -> JPEG quality 90 -> .234)  against  cjpeg -quality 90
//   unpack (.234 -> JPEG -> BMP)             against  djpeg -bmp
// Every program runs as its own process; each iteration runs both of a pair,
// one after the other, so that both see the same machine load. The peak
// resident memory of pack is checked against BMP size + JPEG size + 32 MB.
//
// Also, in-process: encoding and decoding through TJPEGImage alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/bench_support.h"
#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr double kTargetRatio = 1.15;
constexpr int64_t kMemorySlack = 32 << 20;

struct Workspace {
    std::filesystem::path dir;
    std::string bmp, packed, unpacked, refJpeg, refBmp;
    int64_t bmpSize = 0;

    Workspace() {
        char tmpl[] = "/tmp/vg-bench-jpeg-XXXXXX";
        dir = mkdtemp(tmpl);
        bmp = (dir / "photo.bmp").string();
        packed = (dir / "photo.234").string();
        unpacked = (dir / "back.bmp").string();
        refJpeg = (dir / "ref.jpg").string();
        refBmp = (dir / "ref.bmp").string();
        WritePhoto();
        bmpSize = int64_t(std::filesystem::file_size(bmp));
    }
    ~Workspace() { std::filesystem::remove_all(dir); }

    void WritePhoto() const { benchsupport::WritePhotoBmp(bmp, kWidth, kHeight); }
};

Workspace& Files() {
    static Workspace workspace;
    return workspace;
}

using benchsupport::RunProgram;
using benchsupport::RunResult;

// One iteration: ours, then the reference; manual time is ours.
void SideBySide(benchmark::State& state, const std::vector<std::string>& ours,
                const std::vector<std::string>& reference, bool checkMemory) {
    Workspace& w = Files();
    double bestOurs = 1e9, bestReference = 1e9, sumOurs = 0, sumReference = 0;
    double cpuOurs = 1e9, cpuReference = 1e9;
    int64_t peak = 0;
    for (auto _ : state) {
        const RunResult a = RunProgram(ours);
        const RunResult b = RunProgram(reference);
        if (!a.ok || !b.ok) {
            state.SkipWithError(!a.ok ? "vendaru-cli failed or timed out" : "reference tool failed");
            return;
        }
        state.SetIterationTime(a.seconds);
        bestOurs = std::min(bestOurs, a.seconds);
        bestReference = std::min(bestReference, b.seconds);
        cpuOurs = std::min(cpuOurs, a.cpuSeconds);
        cpuReference = std::min(cpuReference, b.cpuSeconds);
        sumOurs += a.seconds;
        sumReference += b.seconds;
        peak = std::max(peak, a.peakBytes);
    }
    state.counters["ours_ms"] = bestOurs * 1000;
    state.counters["reference_ms"] = bestReference * 1000;
    state.counters["ratio"] = bestOurs / bestReference;  // fastest runs
    state.counters["mean_ratio"] = sumOurs / sumReference;
    state.counters["cpu_ratio"] = cpuOurs / cpuReference;
    state.counters["ratio_target"] = kTargetRatio;
    state.counters["peak_MB"] = double(peak) / (1 << 20);
    if (checkMemory) {
        const int64_t jpegSize = int64_t(std::filesystem::file_size(w.refJpeg));
        state.counters["peak_limit_MB"] = double(w.bmpSize + jpegSize + kMemorySlack) / (1 << 20);
    }
    state.counters["bmp_MB"] = double(w.bmpSize) / (1 << 20);
}

void BM_PackVsCjpeg(benchmark::State& state) {
    Workspace& w = Files();
    SideBySide(state, {VG_CLI_PATH, "pack", w.bmp, w.packed},
               {"cjpeg", "-quality", "90", "-outfile", w.refJpeg, w.bmp}, true);
}

void BM_UnpackVsDjpeg(benchmark::State& state) {
    Workspace& w = Files();
    if (!std::filesystem::exists(w.packed)) RunProgram({VG_CLI_PATH, "pack", w.bmp, w.packed});
    if (!std::filesystem::exists(w.refJpeg)) RunProgram({"cjpeg", "-quality", "90", "-outfile", w.refJpeg, w.bmp});
    SideBySide(state, {VG_CLI_PATH, "unpack", w.packed, w.unpacked},
               {"djpeg", "-bmp", "-outfile", w.refBmp, w.refJpeg}, false);
}

// The image object alone: encoding a loaded bitmap, decoding loaded data.
void BM_EncodeInProcess(benchmark::State& state) {
    TBitmap bitmap;
    bitmap.LoadFromFile(Files().bmp);
    for (auto _ : state) {
        TJPEGImage jpeg;
        jpeg.Assign(&bitmap);
        TMemoryStream out;
        jpeg.WriteToStream(out);
        benchmark::DoNotOptimize(out.Size());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

void BM_DecodeInProcess(benchmark::State& state) {
    TBitmap source;
    source.LoadFromFile(Files().bmp);
    TJPEGImage encoder;
    encoder.Assign(&source);
    TMemoryStream encoded;
    encoder.WriteToStream(encoded);
    for (auto _ : state) {
        encoded.SetPosition(0);
        TJPEGImage jpeg;
        jpeg.ReadFromStream(encoded);
        TBitmap bitmap;
        bitmap.Assign(&jpeg);
        benchmark::DoNotOptimize(bitmap.Width());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

BENCHMARK(BM_PackVsCjpeg)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackVsDjpeg)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeInProcess)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeInProcess)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
