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

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"

extern char** environ;

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

    // Smooth shapes and gradients with fine texture, like a photograph.
    void WritePhoto() const {
        TBitmap bitmap;
        bitmap.SetPixelDepth(pd24);
        bitmap.SetSize(kWidth, kHeight);
        std::vector<double> cx(kWidth), sx(kWidth);
        for (int x = 0; x < kWidth; ++x) {
            cx[size_t(x)] = std::cos(x / 310.0);
            sx[size_t(x)] = std::sin(x / 170.0);
        }
        uint32_t noise = 1;
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = bitmap.RowAddress(y);
            const double cy = std::cos(y / 230.0), sy = std::sin(y / 410.0);
            for (int x = 0; x < kWidth; ++x) {
                noise = noise * 1664525u + 1013904223u;
                const int grain = int(noise >> 28) - 8;
                auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
                row[3 * x] = clamp(128 + 90 * cx[size_t(x)] * sy + grain);
                row[3 * x + 1] = clamp(128 + 80 * sx[size_t(x)] * cy + grain);
                row[3 * x + 2] = clamp(128 + 100 * cx[size_t(x)] * cy + grain);
            }
        }
        bitmap.SaveToFile(bmp);
    }
};

Workspace& Files() {
    static Workspace workspace;
    return workspace;
}

struct RunResult {
    bool ok;
    double seconds;     // wall-clock
    double cpuSeconds;  // user + system: less disturbed by other load
    int64_t peakBytes;
};

// Runs a program to its end; output is discarded.
RunResult Run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return {false, 0, 0, 0};
    int status = 0;
    rusage usage{};
    while (true) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            return {false, 0, 0, 0};
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    auto toSeconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {ok, seconds, toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime), int64_t(usage.ru_maxrss) * 1024};
}

// One iteration: ours, then the reference; manual time is ours.
void SideBySide(benchmark::State& state, const std::vector<std::string>& ours,
                const std::vector<std::string>& reference, bool checkMemory) {
    Workspace& w = Files();
    double bestOurs = 1e9, bestReference = 1e9, sumOurs = 0, sumReference = 0;
    double cpuOurs = 1e9, cpuReference = 1e9;
    int64_t peak = 0;
    for (auto _ : state) {
        const RunResult a = Run(ours);
        const RunResult b = Run(reference);
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
    if (!std::filesystem::exists(w.packed)) Run({VG_CLI_PATH, "pack", w.bmp, w.packed});
    if (!std::filesystem::exists(w.refJpeg)) Run({"cjpeg", "-quality", "90", "-outfile", w.refJpeg, w.bmp});
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
