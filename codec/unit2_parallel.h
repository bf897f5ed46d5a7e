// Inside the codec: how work is split over threads, and the settings that
// choose between the plain one-thread path and the split ones. Callers of
// the codec need none of this; tests and benchmarks use the settings to
// force or forbid splitting.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace unit2 {

struct TCodecTuning {
    // Threads to use; 0 means one per processor core.
    int Threads = 0;
    // Compressing: the input is read, counted and encoded in blocks of
    // this many bytes, and no part of a block is made smaller than
    // MinPartBytes.
    int64_t BlockBytes = int64_t{8} << 20;
    int64_t MinPartBytes = 1 << 20;
    // Expanding: parts of the data decoded side by side within one thread.
    int Lanes = 4;
    // Expanding: no part of the data bits is made smaller than this, and
    // the parts decoded at one time span at most RoundBits.
    int64_t MinLaneBits = 1 << 18;
    int64_t RoundBits = int64_t{1} << 28;
};

TCodecTuning& CodecTuning();

// The number of threads CodecTuning asks for, at least 1.
int CodecThreads();

// Hot loops are built twice where the processor may offer shifts by a
// register count that need not go through one fixed register: once for any
// processor and once for those (chosen at run time).
#if defined(__x86_64__) && defined(__GNUC__)
#define VG_FAST_SHIFTS [[gnu::target("bmi,bmi2")]]
inline bool HasFastShifts() {
    static const bool has = __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("bmi");
    return has;
}
#else
#define VG_FAST_SHIFTS
inline bool HasFastShifts() { return false; }
#endif

// Runs work(0) .. work(count - 1), work(0) on the calling thread and each
// other on a thread of its own; returns when all have ended and passes on
// the exception of the lowest-numbered part that failed.
inline void RunParts(int count, const std::function<void(int)>& work) {
    if (count <= 1) {
        work(0);
        return;
    }
    std::vector<std::exception_ptr> failures(static_cast<size_t>(count));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(count - 1));
    const auto guarded = [&](int part) {
        try {
            work(part);
        } catch (...) {
            failures[static_cast<size_t>(part)] = std::current_exception();
        }
    };
    int started = 1;
    try {
        for (; started < count; ++started) threads.emplace_back(guarded, started);
    } catch (const std::system_error&) {
        // No more threads to be had: the calling thread does the rest.
    }
    guarded(0);
    for (int part = started; part < count; ++part) guarded(part);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace unit2
