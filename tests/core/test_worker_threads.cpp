#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/thread_cap.h"
#include "core/worker_threads.h"
#include "tests/core/process_checks.h"
#include "tests/support/temp_dir.h"

// Allocations on a thread fail on request: the allocation after the next
// `FailAfter` ones on this thread throws std::bad_alloc.
namespace {
thread_local int FailAfter = -1;
}  // namespace

// The pair below replaces the global one: memory from this operator new
// goes back through std::free, which the compiler cannot see at the places
// it inlines a delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (FailAfter == 0) {
        FailAfter = -1;
        throw std::bad_alloc();
    }
    if (FailAfter > 0) --FailAfter;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

// Waits until `arrived` counts two or 5 seconds have passed; false then.
bool MeetAnother(std::atomic<int>& arrived) {
    ++arrived;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (arrived.load() < 2)
        if (std::chrono::steady_clock::now() >= until) return false;
    return true;
}

// True when the two parts of a call run at the same time, on two threads.
bool PartsRunSideBySide(TWorkerThreads& threads) {
    std::atomic<int> arrived{0};
    std::atomic<bool> met{true};
    threads.RunParts(2, [&](int) {
        if (!MeetAnother(arrived)) met = false;
    }, 2);
    return met;
}

TEST(WorkerThreads, EachPartRunsOnceAndTheLowestFailureIsPassedOn) {
    WithinTenSeconds([] {
        // Many short calls in a row (a missed wake-up hangs one of them),
        // each with two failing parts, wherever they fall.
        for (int round = 0; round < 300; ++round) {
            std::vector<std::atomic<int>> runs(37);
            const int first = round % 37, second = (round * 7 + 3) % 37;
            try {
                RunParts(37, [&](int k) {
                    ++runs[static_cast<size_t>(k)];
                    if (k == first || k == second) throw EError(std::to_string(k));
                }, 3);
                ADD_FAILURE() << "no exception in round " << round;
            } catch (const EError& e) {
                ASSERT_EQ(e.Message(), std::to_string(std::min(first, second))) << round;
            }
            for (const auto& count : runs) ASSERT_EQ(count.load(), 1) << round;
        }
        // A call from a part runs by itself on that part's thread.
        std::atomic<int> inner{0};
        RunParts(4, [&](int) { RunParts(3, [&](int) { ++inner; }, 3); }, 3);
        EXPECT_EQ(inner.load(), 12);
    });
}

TEST(WorkerThreads, AFailureWhileStartingThreadsLeavesThemToLaterCalls) {
    WithinTenSeconds([] {
        // Every allocation of the first call fails in turn, until one call
        // gets through; whatever failed, the next call shares its parts.
        for (int failAfter = 0;; ++failAfter) {
            TWorkerThreads threads("test worker");
            bool failed = false;
            FailAfter = failAfter;
            try {
                threads.RunParts(2, [](int) {}, 2);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            FailAfter = -1;
            EXPECT_TRUE(PartsRunSideBySide(threads)) << "after allocation " << failAfter << " failed";
            if (!failed) break;
        }
    });
}

TEST(WorkerThreads, RunAlongsideRunsBothAtOnceAndPassesOnAFailure) {
    SetThreadCap(2);
    WithinTenSeconds([] {
        std::atomic<int> arrived{0};
        bool otherMet = false, meanwhileMet = false;
        const std::thread::id caller = std::this_thread::get_id();
        std::thread::id meanwhileOn;
        EXPECT_TRUE(RunAlongside([&] { otherMet = MeetAnother(arrived); },
                                 [&] {
                                     meanwhileOn = std::this_thread::get_id();
                                     meanwhileMet = MeetAnother(arrived);
                                 }));
        EXPECT_TRUE(otherMet && meanwhileMet);
        EXPECT_EQ(meanwhileOn, caller);
        EXPECT_THROW(RunAlongside([] { throw EError("other"); }, [] {}), EError);
        try {
            RunAlongside([] { throw EError("other"); }, [] { throw EError("meanwhile"); });
            ADD_FAILURE() << "no exception";
        } catch (const EError& e) {
            EXPECT_EQ(e.Message(), "meanwhile");
        }
    });
    SetThreadCap(0);
}

// With the cap at 1 nothing starts a thread: not compressing and expanding
// (large enough to be split otherwise), nor a task alongside.
TEST(WorkerThreads, WithTheCapAtOneNoThreadStarts) {
    const TempDir dir;
    const int status = RunInChild([&] {
        SetThreadCap(1);
        std::vector<uint8_t> data(size_t{12} << 20);
        std::mt19937 random(5);
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random() % 7 == 0 ? random() : 'a');
        FILE* file = std::fopen((dir / "in").c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), file);
        std::fclose(file);
        for (const auto& [from, to] : {std::pair{"in", "in.234"}, std::pair{"in.234", "out"}}) {
            unit2::ResetCodec();
            unit2::OpenInputFile(dir / from);
            unit2::CreateOutputFile(dir / to);
            if (std::string(to) == "out")
                unit2::DecompressFile();
            else
                unit2::CompressFile();
            unit2::CloseFiles();
        }
        const bool alongside = RunAlongside([] {}, [] {});
        const size_t threads = BlockedSignalsByThread().size();
        return std::filesystem::file_size(dir / "out") == data.size() && !alongside && threads == 1 ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
