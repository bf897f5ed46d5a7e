// Helpers shared by the benchmarks: a photo-like test picture, and running a
// program as its own process with its time and peak memory.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "imaging/bitmap.h"

extern char** environ;

namespace benchsupport {

// Writes a 24-bit BMP file of smooth shapes and gradients with fine texture,
// like a photograph.
inline void WritePhotoBmp(const std::string& fileName, int width, int height) {
    TBitmap bitmap;
    bitmap.SetPixelDepth(pd24);
    bitmap.SetSize(width, height);
    std::vector<double> cx(static_cast<size_t>(width)), sx(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
        cx[size_t(x)] = std::cos(x / 310.0);
        sx[size_t(x)] = std::sin(x / 170.0);
    }
    uint32_t noise = 1;
    auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap.RowAddress(y);
        const double cy = std::cos(y / 230.0), sy = std::sin(y / 410.0);
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28) - 8;
            row[3 * x] = clamp(128 + 90 * cx[size_t(x)] * sy + grain);
            row[3 * x + 1] = clamp(128 + 80 * sx[size_t(x)] * cy + grain);
            row[3 * x + 2] = clamp(128 + 100 * cx[size_t(x)] * cy + grain);
        }
    }
    bitmap.SaveToFile(fileName);
}

struct RunResult {
    bool ok;
    double seconds;     // wall-clock
    double cpuSeconds;  // user + system: less disturbed by other load
    int64_t peakBytes;
};

// Runs a program to its end (at most a minute); its output is discarded.
inline RunResult RunProgram(const std::vector<std::string>& arguments) {
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

}  // namespace benchsupport
