// Packing and unpacking a 6000 x 4000 photo-like 24-bit BMP with vendaru-cli,
// side by side with the reference tools on the same file:
//   pack   (BMP -> JPEG quality 90 -> .234)  against  cjpeg -quality 90
//   unpack (.234 -> JPEG -> BMP)             against  djpeg -bmp
// Every program runs as its own process; each of 15 iterations runs both of
// a pair, one after the other, so that both see the same machine load. The
// worst of ours is set against the worst of the reference (target: at most
// 1.0), the medians likewise. The peak resident memory of each command is
// checked against BMP size + JPEG size + 64 MB.
//
// Also, in-process: encoding and decoding through TJPEGImage alone.
#include <benchmark/benchmark.h>

#include <algorithm>
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
constexpr double kTargetRatio = 1.0;
constexpr int64_t kMemorySlack = 64 << 20;

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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One iteration: ours, then the reference; manual time is ours.
void SideBySide(benchmark::State& state, const std::vector<std::string>& ours,
                const std::vector<std::string>& reference) {
    Workspace& w = Files();
    std::vector<double> oursSeconds, referenceSeconds;
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
        oursSeconds.push_back(a.seconds);
        referenceSeconds.push_back(b.seconds);
        cpuOurs = std::min(cpuOurs, a.cpuSeconds);
        cpuReference = std::min(cpuReference, b.cpuSeconds);
        peak = std::max(peak, a.peakBytes);
    }
    const double worstOurs = *std::max_element(oursSeconds.begin(), oursSeconds.end());
    const double worstReference = *std::max_element(referenceSeconds.begin(), referenceSeconds.end());
    state.counters["ours_median_ms"] = Median(oursSeconds) * 1000;
    state.counters["ours_worst_ms"] = worstOurs * 1000;
    state.counters["reference_median_ms"] = Median(referenceSeconds) * 1000;
    state.counters["reference_worst_ms"] = worstReference * 1000;
    state.counters["worst_ratio"] = worstOurs / worstReference;
    state.counters["median_ratio"] = Median(oursSeconds) / Median(referenceSeconds);
    state.counters["cpu_ratio"] = cpuOurs / cpuReference;
    state.counters["ratio_target"] = kTargetRatio;
    state.counters["peak_MB"] = double(peak) / (1 << 20);
    const int64_t jpegSize = int64_t(std::filesystem::file_size(w.refJpeg));
    state.counters["peak_limit_MB"] = double(w.bmpSize + jpegSize + kMemorySlack) / (1 << 20);
    state.counters["bmp_MB"] = double(w.bmpSize) / (1 << 20);
}

void BM_PackVsCjpeg(benchmark::State& state) {
    Workspace& w = Files();
    SideBySide(state, {VG_CLI_PATH, "pack", "-f", w.bmp, w.packed},
               {"cjpeg", "-quality", "90", "-outfile", w.refJpeg, w.bmp});
}

void BM_UnpackVsDjpeg(benchmark::State& state) {
    Workspace& w = Files();
    if (!std::filesystem::exists(w.packed)) RunProgram({VG_CLI_PATH, "pack", w.bmp, w.packed});
    if (!std::filesystem::exists(w.refJpeg)) RunProgram({"cjpeg", "-quality", "90", "-outfile", w.refJpeg, w.bmp});
    SideBySide(state, {VG_CLI_PATH, "unpack", "-f", w.packed, w.unpacked},
               {"djpeg", "-bmp", "-outfile", w.refBmp, w.refJpeg});
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

BENCHMARK(BM_PackVsCjpeg)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackVsDjpeg)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeInProcess)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeInProcess)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
