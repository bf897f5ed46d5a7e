// Writing a file safely, and ending on a signal without leftovers: the
// signal cases run in a child process or run the windows' program itself.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/ending_signals.h"
#include "core/safe_write.h"
#include "core/streams.h"
#include "tests/core/process_checks.h"
#include "tests/support/temp_dir.h"

// fsync and rename are recorded (by the name of the file they are about)
// while a test asks for it, and then passed on to the system's own.
namespace {
bool Recording = false;
std::vector<std::string> Calls;

std::string NameOfHandle(int handle) {
    char name[PATH_MAX] = {};
    const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(handle)).c_str(), name, sizeof name - 1);
    return length > 0 ? std::string(name, static_cast<size_t>(length)) : std::string();
}
}  // namespace

extern "C" int fsync(int handle) {
    static const auto system = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    if (Recording) Calls.push_back("fsync " + std::filesystem::path(NameOfHandle(handle)).filename().string());
    return system(handle);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    static const auto system = reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
    if (Recording)
        Calls.push_back("rename " + std::filesystem::path(from).filename().string() + " " +
                        std::filesystem::path(to).filename().string());
    return system(from, to);
}

namespace {

void WriteText(const std::string& name, const std::string& text) {
    TFileStream file(name, TFileStream::fmCreate);
    file.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

TEST(SafeWrite, TheDataIsOnDiskBeforeItTakesTheTargetsPlace) {
    const TempDir dir;
    std::string temporary;
    Calls.clear();
    Recording = true;
    WriteFileSafely(dir / "out", [&](const std::string& name) {
        temporary = std::filesystem::path(name).filename().string();
        WriteText(name, "new");
    });
    Recording = false;
    ASSERT_FALSE(Calls.empty());
    EXPECT_EQ(Calls.back(), "rename " + temporary + " out");
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "fsync " + temporary), Calls.end());
}

// A child that ends by SIGTERM while its tenth save is being written, after
// nine that succeeded (more than there are places for temporary files at
// once): nothing but the nine saved files is left. SIGHUP, ignored when the
// child starts, stays ignored.
TEST(EndingSignals, ASignalDuringASaveLeavesNothingBehind) {
    const TempDir dir;
    const int status = RunInChild([&] {
        ::signal(SIGHUP, SIG_IGN);
        HoldBackEndingSignals();
        WaitForEndingSignals();
        for (int i = 0; i < 9; ++i)
            WriteFileSafely(dir / ("saved" + std::to_string(i)),
                            [](const std::string& name) { WriteText(name, "x"); });
        WriteFileSafely(dir / "cut", [](const std::string& name) {
            WriteText(name, "half");
            ::kill(::getpid(), SIGHUP);
            ::kill(::getpid(), SIGTERM);
            for (;;) ::pause();
        });
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    std::vector<std::string> saved;
    for (int i = 0; i < 9; ++i) saved.push_back("saved" + std::to_string(i));
    EXPECT_EQ(dir.Names(), saved);
}

// The windows' program, ended by SIGTERM, ends as at any exit (the working
// file it wrote goes, the user's picture stays) and then by the signal. All
// its threads hold the ending signals back but the one that waits for them.
TEST(EndingSignals, TheWindowsEndOnASignalAsOnExit) {
    const TempDir dir;
    // A 2 x 2 picture, 24 bits a pixel.
    std::string bmp = "BM";
    const auto u32 = [&bmp](uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp.push_back(static_cast<char>(v >> 8 * i & 0xFF));
    };
    const auto u16 = [&bmp](uint32_t v) {
        for (int i = 0; i < 2; ++i) bmp.push_back(static_cast<char>(v >> 8 * i & 0xFF));
    };
    u32(54 + 16), u32(0), u32(54), u32(40), u32(2), u32(2), u16(1), u16(24);
    u32(0), u32(16), u32(2835), u32(2835), u32(0), u32(0);
    bmp.append(std::string("\x10\x20\x30\x40\x50\x60\0\0\x70\x80\x90\xA0\xB0\xC0\0\0", 16));
    WriteText(dir / "pic.bmp", bmp);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.path.c_str()) != 0) ::_exit(126);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_DFL);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
        ::execl(VG_VENDARU_PATH, VG_VENDARU_PATH, "pic.bmp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code error;
    while (std::filesystem::file_size(dir / "temp.jpeg", error) == 0 || error) {
        if (std::chrono::steady_clock::now() >= until) break;
        ::usleep(5000);
    }
    EXPECT_GT(std::filesystem::file_size(dir / "temp.jpeg", error), 0u) << "the picture was not opened";
    // The thread in sigwait is shown taking the signals it waits for.
    int taking = 0;
    for (const uint64_t set : BlockedSignalsByThread(std::to_string(pid)))
        taking += !(Blocks(set, SIGINT) && Blocks(set, SIGTERM) && Blocks(set, SIGHUP));
    EXPECT_EQ(taking, 1);
    ::kill(pid, SIGTERM);
    const int status = WaitForChild(pid, 30);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"pic.bmp"});
}

}  // namespace
