#include "core/thread_cap.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

std::atomic<int> GivenCap{0};

int ProcessorsAvailable() {
#if defined(__linux__)
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#endif
    return static_cast<int>(std::thread::hardware_concurrency());
}

int DefaultCap() {
    static const int cap = [] {
        const int fromEnvironment = ParseThreadCount(std::getenv("VENDARU_THREADS"));
        return fromEnvironment > 0 ? fromEnvironment : ProcessorsAvailable();
    }();
    return cap;
}

}  // namespace

int ThreadCap() {
    const int given = GivenCap.load(std::memory_order_relaxed);
    return std::clamp(given > 0 ? given : DefaultCap(), 1, kMostThreads);
}

void SetThreadCap(int threads) { GivenCap.store(std::max(threads, 0), std::memory_order_relaxed); }

int ParseThreadCount(const char* text) {
    if (!text || *text < '0' || *text > '9') return 0;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1) return 0;
    return static_cast<int>(std::min<long>(value, kMostThreads));
}
