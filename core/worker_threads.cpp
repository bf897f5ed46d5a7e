#include "core/worker_threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__unix__)
#include <pthread.h>
#endif

#include "core/signals_held_back.h"

namespace {

// Waits in a processor-friendly way without giving up the processor.
inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// How long a thread that waits for news keeps its processor before it
// sleeps on the value: long enough to bridge the short serial steps between
// two calls of one run (a Huffman tree, the joining of encoded parts), short
// enough that a thread with nothing to do takes next to no time from other
// processes when every core is busy.
constexpr auto kSpinTime = std::chrono::microseconds(50);

// Waits until `value` differs from `old` and returns the new value: checks
// for a moment, then sleeps until a notify_all on `value` wakes it.
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

// Starts a thread that takes none of the process's signals, named `name`
// where the system keeps thread names.
template <typename F>
std::thread StartThread(const char* name, F&& body) {
    const TSignalsHeldBack held;
    std::thread thread(std::forward<F>(body));
#if defined(__linux__)
    pthread_setname_np(thread.native_handle(), name);
#else
    (void)name;
#endif
    return thread;
}

// One call of RunParts, on the calling thread's stack.
struct TJob {
    const std::function<void(int)>* Work;
    int Count;
    int Helpers;  // the kept threads that may take parts
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
            // Release: the part's results (and its failure) are seen by the
            // caller that acquires the last count.
            if (Done.fetch_add(1, std::memory_order_acq_rel) + 1 == Count) Done.notify_all();
        }
    }
};

// Sets a flag back to false when it goes, however its scope is left.
class TClearOnExit {
public:
    explicit TClearOnExit(std::atomic<bool>& flag) : FFlag(flag) {}
    ~TClearOnExit() { FFlag.store(false, std::memory_order_release); }
    TClearOnExit(const TClearOnExit&) = delete;
    TClearOnExit& operator=(const TClearOnExit&) = delete;

private:
    std::atomic<bool>& FFlag;
};

}  // namespace

// How a call meets the kept threads:
//
// The caller publishes its job in FJob and bumps FGeneration; a thread that
// sees a new generation counts itself into FLooking, reads FJob and takes
// parts. Once every part is done the caller must not let its job (on its
// stack) go while a thread may still read it, so it clears FJob and waits
// until FLooking is 0.
//
// That handshake is a store followed by a load of another variable on each
// side (caller: store FJob, load FLooking; thread: add to FLooking, load
// FJob), and it is only correct if the four accesses fall into one order
// that both sides agree on: then either the thread's count comes first and
// the caller waits for it, or the cleared FJob comes first and the thread
// finds no job. Acquire and release give no such order between a store and
// a later load of a different variable (each side could see the other's old
// value), so these accesses are sequentially consistent. Everything else
// only hands data from one thread to another and needs no more than
// acquire and release: the generation (publishes FJob's job before it), the
// parts' results (released by each part's count of Done, acquired by the
// caller that sees the last one), the busy flag (a lock).
struct TWorkerThreads::TState {
    std::string FName;
    std::atomic<bool> FBusy{false};
    std::atomic<bool> FStopping{false};
    std::atomic<unsigned> FGeneration{0};
    std::atomic<TJob*> FJob{nullptr};
    std::atomic<int> FLooking{0};
    std::vector<std::thread> FThreads;

    // Runs `job` on the calling thread and up to job.Helpers of the kept
    // threads; false, with nothing run, while another call is running.
    bool Run(TJob& job) {
        if (FBusy.exchange(true, std::memory_order_acquire)) return false;
        // Free again however this call ends (a failure to grow included),
        // or every later call would run on the caller alone.
        const TClearOnExit notBusy(FBusy);
        if (FStopping.load(std::memory_order_relaxed)) return false;
        Grow(job.Helpers);
        job.Helpers = std::min<int>(job.Helpers, static_cast<int>(FThreads.size()));
        if (job.Helpers > 0) {
            FJob.store(&job, std::memory_order_seq_cst);
            FGeneration.fetch_add(1, std::memory_order_release);
            FGeneration.notify_all();
        }
        job.TakeParts();
        for (int done = job.Done.load(std::memory_order_acquire); done != job.Count;)
            done = WaitForChange(job.Done, done);
        if (job.Helpers > 0) {
            // A thread that saw the job may still be looking at it (finding
            // no part left); the job must outlive that look.
            FJob.store(nullptr, std::memory_order_seq_cst);
            for (int looking = FLooking.load(std::memory_order_seq_cst); looking != 0;
                 looking = FLooking.load(std::memory_order_seq_cst))
                WaitForChange(FLooking, looking);
        }
        return true;
    }

    void Grow(int helpers) {
        if (static_cast<int>(FThreads.size()) >= helpers) return;
        FThreads.reserve(static_cast<size_t>(helpers));
        while (static_cast<int>(FThreads.size()) < helpers) {
            try {
                // The new thread takes the next call as news even when it
                // starts looking only after the call has begun.
                const int index = static_cast<int>(FThreads.size());
                const unsigned generation = FGeneration.load(std::memory_order_relaxed);
                const auto serve = [this, index, generation] { Serve(index, generation); };
                FThreads.push_back(StartThread(FName.c_str(), serve));
            } catch (const std::system_error&) {
                return;  // no more threads to be had: fewer take the parts
            }
        }
    }

    void Serve(int index, unsigned seen) {
        for (;;) {
            seen = WaitForChange(FGeneration, seen);
            if (FStopping.load(std::memory_order_acquire)) return;
            FLooking.fetch_add(1, std::memory_order_seq_cst);
            TJob* const job = FJob.load(std::memory_order_seq_cst);
            if (job && index < job->Helpers) job->TakeParts();
            if (FLooking.fetch_sub(1, std::memory_order_seq_cst) == 1) FLooking.notify_all();
        }
    }

    void Stop() noexcept {
        // Waits for a running call: its threads are still at work.
        while (FBusy.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
        FStopping.store(true, std::memory_order_release);
        FGeneration.fetch_add(1, std::memory_order_release);
        FGeneration.notify_all();
        for (std::thread& thread : FThreads) thread.join();
        FThreads.clear();
        FBusy.store(false, std::memory_order_release);
    }
};

TWorkerThreads::TWorkerThreads(const char* name) : FState(new TState) { FState->FName = name; }

TWorkerThreads::~TWorkerThreads() {
    Stop();
    delete FState;
}

void TWorkerThreads::Stop() noexcept { FState->Stop(); }

void TWorkerThreads::RunParts(int count, const std::function<void(int)>& work, int threads) {
    if (count <= 0) return;
    threads = std::clamp(std::min(count, threads), 1, kMostThreads);
    if (threads == 1) {
        for (int part = 0; part < count; ++part) work(part);
        return;
    }
    std::vector<std::exception_ptr> failures(static_cast<size_t>(count));
    TJob job;
    job.Work = &work;
    job.Count = count;
    job.Helpers = threads - 1;
    job.Failures = failures.data();
    if (!FState->Run(job)) {
        job.Helpers = 0;
        job.TakeParts();
    }
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

namespace {

// The program's kept threads (the codec is what shares its work with them,
// hence their name). They are ended and joined when the program ends; the
// set itself stays, so that work done by destructors of other
// static objects after that still runs (on the calling thread alone).
TWorkerThreads& KeptThreads() {
    static TWorkerThreads* const threads = new TWorkerThreads("codec worker");
    static const struct TStopAtExit {
        ~TStopAtExit() { threads->Stop(); }
    } stopAtExit;
    return *threads;
}

}  // namespace

void RunParts(int count, const std::function<void(int)>& work, int threads) {
    if (count <= 0) return;
    if (std::min(count, threads) <= 1) {
        for (int part = 0; part < count; ++part) work(part);
        return;
    }
    KeptThreads().RunParts(count, work, threads);
}

bool RunAlongside(const std::function<void()>& other, const std::function<void()>& meanwhile) {
    if (ThreadCap() <= 1) return false;
    std::exception_ptr failure;
    std::thread thread;
    try {
        thread = StartThread("worker", [&other, &failure] {
            try {
                other();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return false;  // no thread to be had
    }
    try {
        meanwhile();
    } catch (...) {
        thread.join();
        throw;
    }
    thread.join();
    if (failure) std::rethrow_exception(failure);
    return true;
}
