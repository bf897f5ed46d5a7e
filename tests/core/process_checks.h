// What the tests of threads and signals share: a deadline for calls that
// wait on other threads, a child process with a deadline, and the threads
// of a process as /proc lists them.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

// Runs `call` on a thread of its own and ends the test program at once when
// it has not returned within 10 seconds: a missed wake-up fails in seconds,
// not at the test's overall time limit. An exception of `call` is passed on.
template <class F>
void WithinTenSeconds(F&& call) {
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread thread([&] {
        try {
            call();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (ended.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "A call that waits on other threads has not returned within 10 seconds\n");
        std::abort();
    }
    thread.join();
    ended.get();
}

// Waits up to `seconds` for the child `pid` to end and returns its raw
// status; a child that is still running then is killed and -1 returned.
inline int WaitForChild(pid_t pid, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(2000);
    }
    return status;
}

// Runs `body` in a child process, which ends with the status it returns
// (or by a signal), and returns the raw status as WaitForChild does.
template <class F>
int RunInChild(F&& body, int seconds = 30) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid < 0 ? -1 : WaitForChild(pid, seconds);
}

// The threads of process `pid` ("self" for this one) with the signals each
// holds back, as bits (bit n - 1 for signal n).
inline std::vector<uint64_t> BlockedSignalsByThread(const std::string& pid = "self") {
    std::vector<uint64_t> blocked;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", error)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("SigBlk:\t", 0) == 0) blocked.push_back(std::stoull(line.substr(8), nullptr, 16));
    }
    return blocked;
}

inline bool Blocks(uint64_t blocked, int signal) { return (blocked >> (signal - 1) & 1) != 0; }
