#include "core/ending_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "core/safe_write.h"
#include "core/signals_held_back.h"

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The signals held back and waited for: those not ignored at start.
sigset_t Waited;

// What a signal does now. The lock and the plain values below have trivial
// destructors, so the waiting thread may still use them while static
// objects are destroyed at exit.
enum class TStage { EndAtOnce, AskToEnd, Ending };
std::mutex StageLock;
TStage Stage = TStage::EndAtOnce;
void (*AskToEnd)(int) = nullptr;
int AskedBy = 0;  // the signal that asked to end

std::atomic<bool> WaitOnceNeeded{false};
std::once_flag WaitingStarted;

// Enough for removing files and posting a call to the windows' event loop.
constexpr size_t kWaiterStack = size_t{128} << 10;

void* WaitForSignals(void*) {
    for (;;) {
        int signal = 0;
        if (::sigwait(&Waited, &signal) != 0) continue;
        void (*ask)(int) = nullptr;
        {
            const std::lock_guard<std::mutex> lock(StageLock);
            if (Stage == TStage::AskToEnd) {
                Stage = TStage::Ending;
                AskedBy = signal;
                ask = AskToEnd;
            }
        }
        if (!ask) EndBySignal(signal);
        try {
            ask(signal);
        } catch (...) {
            EndBySignal(signal);  // the program could not be asked
        }
    }
}

}  // namespace

void HoldBackEndingSignals() {
    sigemptyset(&Waited);
    for (const int signal : kEndingSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&Waited, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &Waited, nullptr);
}

void WaitForEndingSignals() {
    if (sigisemptyset(&Waited)) return;  // all three ignored
    // A thread with a small stack and no name: it only waits, and a short
    // command (vendaru-cli --help) should not pay for more.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kWaiterStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int result;
    {
        const TSignalsHeldBack held;
        result = ::pthread_create(&thread, &attributes, WaitForSignals, nullptr);
    }
    pthread_attr_destroy(&attributes);
    // Without a thread the signals take their usual course.
    if (result != 0) ::pthread_sigmask(SIG_UNBLOCK, &Waited, nullptr);
}

void WaitForEndingSignalsOnceNeeded() { WaitOnceNeeded.store(true, std::memory_order_relaxed); }

void EndingSignalsNeeded() {
    if (!WaitOnceNeeded.load(std::memory_order_relaxed)) return;
    std::call_once(WaitingStarted, [] {
        HoldBackEndingSignals();
        WaitForEndingSignals();
    });
}

void AskToEndOnSignals(void (*askToEnd)(int signal)) {
    const std::lock_guard<std::mutex> lock(StageLock);
    AskToEnd = askToEnd;
    if (Stage == TStage::EndAtOnce) Stage = TStage::AskToEnd;
}

void EndIfSignalled() {
    int signal;
    {
        const std::lock_guard<std::mutex> lock(StageLock);
        signal = Stage == TStage::Ending ? AskedBy : 0;
        Stage = TStage::EndAtOnce;
    }
    if (signal != 0) EndBySignal(signal);
}

void EndBySignal(int signal) {
    RemoveTemporaryFilesForGood();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    // Only where the signal does not end a process by default.
    ::_exit(128 + signal);
}
