// Threads of the program's own that do work for a caller take no signals
// meant for the process: the signals that end it go to the thread that waits
// for them (ending_signals.h), others to the threads the program began with.
// Start such a thread while a TSignalsHeldBack lives.
#pragma once

#if defined(__unix__)
#include <pthread.h>

#include <csignal>
#endif

// While it lives, the calling thread holds back every signal but those that
// a fault raises (or the signals of `set`); a thread started meanwhile keeps
// that mask for good.
class TSignalsHeldBack {
public:
#if defined(__unix__)
    TSignalsHeldBack() : TSignalsHeldBack(AllButFaults()) {}
    explicit TSignalsHeldBack(const sigset_t& set) { pthread_sigmask(SIG_BLOCK, &set, &FPrevious); }
    ~TSignalsHeldBack() { pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr); }

private:
    static sigset_t AllButFaults() {
        sigset_t set;
        sigfillset(&set);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&set, fault);
        return set;
    }
    sigset_t FPrevious;
#endif

public:
    TSignalsHeldBack(const TSignalsHeldBack&) = delete;
    TSignalsHeldBack& operator=(const TSignalsHeldBack&) = delete;
};
