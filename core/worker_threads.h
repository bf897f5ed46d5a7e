// The program's own worker threads: the kept threads that share the parts
// of a piece of work with the thread that asks for it, and a thread of its
// own for one task that runs alongside the caller.
//
// Every such thread starts with all the signals meant for the process held
// back (they go to the thread that waits for them, see ending_signals.h),
// takes only work that a caller waits for, and hands a failure back to that
// caller, which raises it as if the work had run on its own thread. No
// thread is started where ThreadCap() (or the count a caller gives) is 1.
#pragma once

#include <functional>

#include "core/thread_cap.h"

// Runs work(0) .. work(count - 1) on up to `threads` threads, the calling
// thread among them: each thread takes the next part not yet taken until
// none is left. Returns when all parts have ended and passes on the
// exception of the lowest-numbered part that failed. The other threads are
// kept from call to call and sleep while no call needs them; they end when
// the program does. A call made while another is running (from a part, or
// from another thread) runs all its parts on the calling thread.
void RunParts(int count, const std::function<void(int)>& work, int threads = ThreadCap());

// Runs `other` on a thread of its own while the calling thread runs
// `meanwhile`, and returns once both have ended. A failure of `meanwhile`
// is passed on, else one of `other`. Returns false, having run neither,
// where no second thread may be used (ThreadCap() is 1) or none can be
// started: the caller then does the work by itself.
bool RunAlongside(const std::function<void()>& other, const std::function<void()>& meanwhile);

// A set of kept threads, for RunParts and for tests that need one of their
// own. Its threads are named `name` and started on the first call that
// needs them; the destructor (or Stop) ends and joins them.
class TWorkerThreads {
public:
    explicit TWorkerThreads(const char* name);
    ~TWorkerThreads();
    TWorkerThreads(const TWorkerThreads&) = delete;
    TWorkerThreads& operator=(const TWorkerThreads&) = delete;

    // As the plain RunParts, on this set's threads.
    void RunParts(int count, const std::function<void(int)>& work, int threads);
    // Ends and joins the threads; later calls run on the caller alone.
    void Stop() noexcept;

private:
    struct TState;
    TState* FState;
};
