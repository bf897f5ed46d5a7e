// Inside the codec: how work is split over threads, and the settings that
// choose between the plain one-thread path and the split ones. Callers of
// the codec need none of this; tests and benchmarks use the settings to
// force or forbid splitting.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <functional>

#include "core/large_buffer.h"

namespace unit2 {

struct TCodecTuning {
    // Threads to use; 0 means one per processor core.
    int Threads = 0;
    // Compressing: the input is read, counted and encoded in blocks of
    // this many bytes, and no part of a block is made smaller than
    // MinPartBytes.
    int64_t BlockBytes = int64_t{4} << 20;
    int64_t MinPartBytes = 1 << 20;
    // Expanding: parts of the data decoded side by side within one thread.
    int Lanes = 4;
    // Expanding: no part of the data bits is made smaller than this, and
    // the parts decoded at one time span at most RoundBits.
    int64_t MinLaneBits = 1 << 18;
    int64_t RoundBits = int64_t{1} << 25;
};

TCodecTuning& CodecTuning();

// The number of threads CodecTuning asks for (at least 1), or the
// program's thread cap when it asks for none.
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

// Large buffers of bytes that keep their memory from run to run.
using ::TLargeBuffer;

// Runs work(0) .. work(count - 1) on up to CodecThreads() threads, the
// calling thread among them, as the program's RunParts does (in
// core/worker_threads.h): returns when all have ended and passes on the
// exception of the lowest-numbered part that failed. Calls may come from
// any thread; a call made while another is running (from a part, or from
// another thread) runs all its parts on the calling thread.
void RunParts(int count, const std::function<void(int)>& work);

}  // namespace unit2
