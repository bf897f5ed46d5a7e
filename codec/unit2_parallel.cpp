// The threads that RunParts shares its parts with.
#include "codec/unit2_parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__unix__)
#include <pthread.h>
#endif

#include "core/signals_held_back.h"

namespace unit2 {

namespace {

// Waits in a processor-friendly way without giving up the processor.
inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// How long a thread checks for news before it sleeps: long enough to
// bridge the short serial steps between two calls of one run, short
// enough to cost nothing worth noting when the codec is idle.
constexpr auto kSpinTime = std::chrono::microseconds(200);

// Waits until `value` differs from `old` and returns the new value.
template <typename T>
T WaitForChange(const std::atomic<T>& value, T old) {
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    for (int round = 0;; ++round) {
        const T now = value.load(std::memory_order_acquire);
        if (now != old) return now;
        Pause();
        if ((round & 63) == 63 && std::chrono::steady_clock::now() >= until) break;
    }
    for (;;) {
        value.wait(old, std::memory_order_acquire);
        const T now = value.load(std::memory_order_acquire);
        if (now != old) return now;
    }
}

// One call of RunParts, on the calling thread's stack.
struct TJob {
    const std::function<void(int)>* Work;
    int Count;
    int Helpers;  // the pool's threads that may take parts
    std::exception_ptr* Failures;
    std::atomic<int> Next{0};
    std::atomic<int> Done{0};

    // Takes parts until none is left.
    void TakeParts() {
        for (;;) {
            const int part = Next.fetch_add(1, std::memory_order_relaxed);
            if (part >= Count) return;
            try {
                (*Work)(part);
            } catch (...) {
                Failures[part] = std::current_exception();
            }
            if (Done.fetch_add(1, std::memory_order_acq_rel) + 1 == Count) Done.notify_all();
        }
    }
};

class TPool {
public:
    ~TPool() {
        FStopping.store(true);
        FGeneration.fetch_add(1);
        FGeneration.notify_all();
        for (std::thread& thread : FThreads) thread.join();
    }

    // Runs `job` on the calling thread and up to job.Helpers of the pool's
    // threads; false, with nothing run, while another call is running.
    bool Run(TJob& job) {
        if (FBusy.exchange(true, std::memory_order_acquire)) return false;
        Grow(job.Helpers);
        job.Helpers = std::min<int>(job.Helpers, static_cast<int>(FThreads.size()));
        if (job.Helpers > 0) {
            FJob.store(&job);
            FGeneration.fetch_add(1, std::memory_order_release);
            FGeneration.notify_all();
        }
        job.TakeParts();
        for (int done = job.Done.load(std::memory_order_acquire); done != job.Count;)
            done = WaitForChange(job.Done, done);
        if (job.Helpers > 0) {
            // A thread that saw the job may still be looking at it (finding
            // no part left); the job must outlive that look.
            FJob.store(nullptr);
            for (int round = 1; FLooking.load() != 0; ++round) {
                Pause();
                if (round % 1024 == 0) std::this_thread::yield();
            }
        }
        FBusy.store(false, std::memory_order_release);
        return true;
    }

private:
    void Grow(int helpers) {
        while (static_cast<int>(FThreads.size()) < helpers) {
            try {
                // The new thread takes the next call as news even when it
                // starts looking only after the call has begun.
                const int index = static_cast<int>(FThreads.size());
                const unsigned generation = FGeneration.load();
                const TSignalsHeldBack held;
                FThreads.emplace_back([this, index, generation] { Serve(index, generation); });
#if defined(__linux__)
                pthread_setname_np(FThreads.back().native_handle(), "codec worker");
#endif
            } catch (const std::system_error&) {
                return;  // no more threads to be had: fewer take the parts
            }
        }
    }

    void Serve(int index, unsigned seen) {
        for (;;) {
            seen = WaitForChange(FGeneration, seen);
            if (FStopping.load()) return;
            FLooking.fetch_add(1);
            TJob* const job = FJob.load();
            if (job && index < job->Helpers) job->TakeParts();
            FLooking.fetch_sub(1);
        }
    }

    std::atomic<bool> FBusy{false};
    std::atomic<bool> FStopping{false};
    std::atomic<unsigned> FGeneration{0};
    std::atomic<TJob*> FJob{nullptr};
    std::atomic<int> FLooking{0};
    std::vector<std::thread> FThreads;
};

TPool& Pool() {
    static TPool pool;
    return pool;
}

}  // namespace

void RunParts(int count, const std::function<void(int)>& work) {
    if (count <= 0) return;
    const int threads = std::min(count, CodecThreads());
    if (threads <= 1) {
        for (int part = 0; part < count; ++part) work(part);
        return;
    }
    std::vector<std::exception_ptr> failures(static_cast<size_t>(count));
    TJob job;
    job.Work = &work;
    job.Count = count;
    job.Helpers = threads - 1;
    job.Failures = failures.data();
    if (!Pool().Run(job)) {
        job.Helpers = 0;
        job.TakeParts();
    }
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace unit2
