// The program as a person runs it: build/vendaru in a real X server (Xvfb)
// with a window manager (openbox), driven with real keyboard input
// (xdotool), each run in a scratch folder of its own as current folder.
// Here Qt starts its threads, windows get the focus and the window manager
// closes them, which the offscreen tests cannot show.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The longest any one step may take (a window to show, a file to appear,
// the program to end): a hang fails after this, not at the suite's timeout.
constexpr auto kStepLimit = 10s;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kStepLimit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::string InPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string file = (folder.empty() ? "." : folder) + "/" + name;
        if (::access(file.c_str(), X_OK) == 0) return file;
    }
    return {};
}

std::string ReadFile(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// This process's environment with `changes` (NAME=value) replacing or adding.
std::vector<std::string> Environment(const std::vector<std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        variables[text.substr(0, text.find('='))] = text;
    }
    for (const std::string& change : changes) variables[change.substr(0, change.find('='))] = change;
    std::vector<std::string> result;
    for (const auto& [name, text] : variables) result.push_back(text);
    return result;
}

// A child process; stopped (SIGTERM, then SIGKILL) when the object goes.
class TProcess {
public:
    // Runs argv[0] (a full path) in `folder` with `environment`, its
    // standard output into `output` and its errors into `errors` (-1:
    // nowhere). The descriptor `inherited` stays open in the child.
    TProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& folder, int output, int errors, int inherited = -1) {
        std::vector<char*> args, env;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
        args.push_back(nullptr);
        env.push_back(nullptr);
        FPid = ::fork();
        if (FPid != 0) return;
        // The child: only calls that are safe after fork.
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
        const int none = ::open("/dev/null", O_RDWR);
        ::dup2(none, 0);
        ::dup2(output >= 0 ? output : none, 1);
        ::dup2(errors >= 0 ? errors : none, 2);
        if (inherited >= 0) ::fcntl(inherited, F_SETFD, 0);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    ~TProcess() { Stop(); }
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    pid_t Pid() const { return FPid; }
    bool Running() {
        if (FStatus || FPid <= 0) return false;
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) != FPid) return true;
        FStatus = status;
        return false;
    }
    // The wait status once it has ended, or nothing when it still runs after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit = kStepLimit) {
        WaitUntil([this] { return !Running(); }, limit);
        return FStatus;
    }
    void Signal(int signal) {
        if (Running()) ::kill(FPid, signal);
    }
    void Stop() {
        Signal(SIGTERM);
        if (!Wait(3s)) {
            Signal(SIGKILL);
            Wait(3s);
        }
    }

private:
    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// Runs a tool to its end (stopped after a few seconds) and returns its
// standard output.
std::string RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    std::string text;
    {
        TProcess tool(argv, environment, "", out[1], -1);
        ::close(out[1]);
        const auto end = Clock::now() + 5s;
        char buffer[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{out[0], POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) break;
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, size_t(n));
        }
        tool.Wait(2s);
    }
    ::close(out[0]);
    return text;
}

// Width and height from the frame header of a complete JPEG file.
std::optional<std::pair<int, int>> JpegSize(const fs::path& file) {
    const std::string b = ReadFile(file);
    auto at = [&b](size_t i) { return unsigned(static_cast<unsigned char>(b[i])); };
    if (b.size() < 4 || at(0) != 0xFF || at(1) != 0xD8 || at(b.size() - 2) != 0xFF || at(b.size() - 1) != 0xD9)
        return std::nullopt;
    for (size_t i = 2; i + 9 < b.size() && at(i) == 0xFF;) {
        const unsigned marker = at(i + 1);
        if (marker >= 0xC0 && marker <= 0xC2) return std::pair{int(at(i + 7) << 8 | at(i + 8)), int(at(i + 5) << 8 | at(i + 6))};
        i += 2 + (at(i + 2) << 8 | at(i + 3));
    }
    return std::nullopt;
}

// A 24-bit BMP file of `width` x `height` pixels in many colours.
void WriteBmp(const fs::path& file, int width, int height) {
    const uint32_t stride = uint32_t(width * 3 + 3) / 4 * 4, pixels = stride * uint32_t(height);
    std::string b;
    auto put = [&b](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(char(v >> (8 * i)));
    };
    b = "BM";
    put(54 + pixels, 4), put(0, 4), put(54, 4);
    put(40, 4), put(uint32_t(width), 4), put(uint32_t(height), 4), put(1, 2), put(24, 2), put(0, 4);
    put(pixels, 4), put(0, 4), put(0, 4), put(0, 4), put(0, 4);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            put(uint32_t(x * 255 / width) | uint32_t(y * 255 / height) << 8 | (noise >> 16 & 0x3F) << 16, 3);
        }
        b.append(stride - uint32_t(width) * 3, '\0');
    }
    std::ofstream(file, std::ios::binary).write(b.data(), std::streamsize(b.size()));
}

// Every file of a folder (not below it) by name, with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadFile(entry.path());
    return files;
}

// The files named `name` anywhere below `folder`.
std::vector<fs::path> FilesBelow(const fs::path& folder, const std::string& name) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().filename() == name) found.push_back(it->path());
    return found;
}

const char* const kOpenboxSettings = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <desktops><number>1</number></desktops>
  <keyboard><keybind key="A-F4"><action name="Close"/></keybind></keyboard>
</openbox_config>
)";

class RealX : public testing::Test {
protected:
    // One X server with its window manager for the tests of this process.
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop"})
            if (InPath(tool).empty()) Missing += std::string(Missing.empty() ? "" : ", ") + tool;
        if (!Missing.empty()) return;
        Server = new TempDir;
        std::ofstream(*Server / "rc.xml") << kOpenboxSettings;
        const std::string log = *Server / "server.log";
        const int logFile = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);

        // Xvfb picks a free display number and writes it to the pipe.
        int number[2];
        if (::pipe2(number, O_CLOEXEC) != 0) {
            StartError = "no pipe";
            ::close(logFile);
            return;
        }
        XServer = new TProcess({InPath("Xvfb"), "-displayfd", std::to_string(number[1]), "-screen", "0",
                                "1024x768x24", "-nolisten", "tcp", "-noreset"},
                               Environment({}), "", logFile, logFile, number[1]);
        ::close(number[1]);
        std::string display;
        const auto end = Clock::now() + kStepLimit;
        while (display.empty() || display.back() != '\n') {
            pollfd p{number[0], POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            char c;
            if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 || ::read(number[0], &c, 1) != 1) break;
            display.push_back(c);
        }
        ::close(number[0]);
        if (display.empty() || display.back() != '\n') {
            StartError = "Xvfb gave no display number; see " + log;
            ::close(logFile);
            return;
        }
        display.pop_back();
        Display = "DISPLAY=:" + display;
        WindowManager = new TProcess({InPath("openbox"), "--config-file", *Server / "rc.xml"},
                                     Environment({Display, "HOME=" + Server->path.string(),
                                                  "XDG_CACHE_HOME=" + (*Server / "cache")}),
                                     "", logFile, logFile);
        ::close(logFile);
        const bool managed = WaitUntil([] {
            return RunTool({InPath("xprop"), "-root", "_NET_SUPPORTING_WM_CHECK"}, Environment({Display}))
                       .find("window id") != std::string::npos;
        });
        if (!managed) StartError = "openbox did not start; see " + log;
    }
    static void TearDownTestSuite() {
        delete WindowManager;
        delete XServer;
        delete Server;
        WindowManager = XServer = nullptr;
        Server = nullptr;
    }

    void SetUp() override {
        if (!Missing.empty()) {
            // Without an X server the group cannot run; continuous integration
            // installs one, so there that is a failure. The tools come with it.
            const char* ci = std::getenv("CI");
            const bool noServer = Missing.rfind("Xvfb", 0) == 0;
            if (!noServer || (ci && std::string(ci) == "true")) FAIL() << "missing for the real-X tests: " << Missing;
            GTEST_SKIP() << "no real X server: " << Missing << " not installed (apt-get install xvfb "
                         << "openbox xdotool x11-utils)";
        }
        ASSERT_TRUE(StartError.empty()) << StartError;
        for (const char* folder : {"runtime", "config", "cache"}) fs::create_directory(Private / folder);
        fs::permissions(Private / "runtime", fs::perms::owner_all);
    }
    void TearDown() override {
        for (auto& program : Programs) program->Stop();
        if (HasFailure())
            std::cerr << "The program's output:\n" << ReadFile(Private / "vendaru.log") << "\n";
    }

    // Starts the program in the test's folder with `arguments`.
    TProcess& Start(const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> argv{VG_PROGRAM_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const std::string log = Private / "vendaru.log";
        const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        Programs.push_back(std::make_unique<TProcess>(
            argv,
            Environment({Display, "QT_QPA_PLATFORM=xcb", "XDG_RUNTIME_DIR=" + (Private / "runtime"),
                         "XDG_CONFIG_HOME=" + (Private / "config"), "XDG_CACHE_HOME=" + (Private / "cache"),
                         "ASAN_OPTIONS=detect_leaks=0"}),
            Folder.path.string(), output, output));
        ::close(output);
        return *Programs.back();
    }

    std::string Tool(const std::vector<std::string>& argv) {
        std::vector<std::string> full = argv;
        full[0] = InPath(full[0]);
        return RunTool(full, Environment({Display}));
    }

    // The visible window of `program` captioned `caption`, once there is
    // one; "" when none shows in time.
    std::string WindowOf(TProcess& program, const std::string& caption,
                         std::chrono::milliseconds limit = kStepLimit) {
        std::string window;
        WaitUntil(
            [&] {
                std::stringstream found(Tool({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                                              std::to_string(program.Pid()), "--name", "^" + caption + "$"}));
                return found >> window && window.find_first_not_of("0123456789") == std::string::npos;
            },
            limit);
        return window;
    }
    bool Shows(TProcess& program, const std::string& caption) { return !WindowOf(program, caption, 0ms).empty(); }

    // Gives `window` the focus through the window manager.
    void Activate(const std::string& window) {
        const bool active = WaitUntil([&] {
            if (Tool({"xdotool", "getactivewindow"}) == window + "\n") return true;
            Tool({"xdotool", "windowactivate", window});
            return false;
        });
        ASSERT_TRUE(active) << "window " << window << " did not get the focus";
    }
    // Types the keys (xdotool's names) into `window`, as a person does.
    void Press(const std::string& window, const std::vector<std::string>& keys) {
        ASSERT_NO_FATAL_FAILURE(Activate(window));
        std::vector<std::string> argv{"xdotool", "key", "--delay", "40"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        Tool(argv);
    }
    void Type(const std::string& window, const std::string& text) {
        ASSERT_NO_FATAL_FAILURE(Activate(window));
        Tool({"xdotool", "type", "--delay", "10", text});
    }

    // Types `file` into the name field of the program's "Open" or "Save As"
    // dialog, over what it holds; returns the dialog.
    std::string FillDialog(TProcess& program, const std::string& caption, const std::string& file) {
        const std::string dialog = WindowOf(program, caption);
        EXPECT_FALSE(dialog.empty()) << "no \"" << caption << "\" dialog";
        if (dialog.empty()) return dialog;
        Press(dialog, {"ctrl+a"});
        Type(dialog, file);
        return dialog;
    }
    // The same, confirmed with Return.
    void AnswerDialog(TProcess& program, const std::string& caption, const std::string& file) {
        const std::string dialog = FillDialog(program, caption, file);
        ASSERT_FALSE(dialog.empty() || HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(Press(dialog, {"Return"}));
        ASSERT_TRUE(WaitUntil([&] { return !Shows(program, caption); })) << "the dialog stays";
    }

    // Starts the program with pic.bmp (made here, `width` x `height`) and
    // waits for its main window and its JPEG.
    void StartWithPicture(TProcess*& program, std::string& window, int width = 40, int height = 30) {
        WriteBmp(Folder.path / "pic.bmp", width, height);
        program = &Start({"pic.bmp"});
        window = WindowOf(*program, "Vendaru Gambar");
        ASSERT_FALSE(window.empty()) << "the main window does not show";
        ASSERT_TRUE(WaitUntil([&] { return JpegSize(Folder.path / "temp.jpeg") == std::pair{width, height}; }))
            << "no complete temp.jpeg of the picture";
    }
    // The same, and then Return, which presses "Kompres" (the focus is on
    // it), until "kode.txt" is written, after "kom.234".
    void StartAndCompress(TProcess*& program, std::string& window, int width = 40, int height = 30) {
        ASSERT_NO_FATAL_FAILURE(StartWithPicture(program, window, width, height));
        ASSERT_NO_FATAL_FAILURE(Press(window, {"Return"}));
        ASSERT_TRUE(Made("kode.txt") && Made("kom.234")) << "Return did not press \"Kompres\"";
    }
    bool Made(const std::string& name) {
        return WaitUntil([&] { return fs::exists(Folder.path / name); });
    }
    static bool EndedWith(const std::optional<int>& status, int code) {
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
    }

    TempDir Folder;   // the programs' current folder
    TempDir Private;  // their runtime, settings and cache folders, and their output
    std::vector<std::unique_ptr<TProcess>> Programs;

    static inline std::string Missing, StartError, Display;
    static inline TempDir* Server = nullptr;
    static inline TProcess* XServer = nullptr;
    static inline TProcess* WindowManager = nullptr;
};

TEST_F(RealX, AFileArgumentIsShownAndEncodedAtStart) {
    TProcess* program = nullptr;
    std::string window;
    ASSERT_NO_FATAL_FAILURE(StartWithPicture(program, window, 123, 45));
    EXPECT_TRUE(program->Running());
    EXPECT_EQ(Folder.Names(), (std::vector<std::string>{"pic.bmp", "temp.jpeg"}));
}

TEST_F(RealX, ReturnPressesKompresAndF10OpensFile) {
    TProcess* program = nullptr;
    std::string window;
    ASSERT_NO_FATAL_FAILURE(StartAndCompress(program, window));
    EXPECT_TRUE(program->Running());
    // F10 opens "File"; going up from its top wraps to "Exit" at the bottom,
    // a second step to "Save File Kompres" and its dialog.
    ASSERT_NO_FATAL_FAILURE(Press(window, {"F10", "Up", "Up", "Return"}));
    const std::string dialog = WindowOf(*program, "Save As");
    ASSERT_FALSE(dialog.empty());
    ASSERT_NO_FATAL_FAILURE(Press(dialog, {"Escape"}));
    ASSERT_TRUE(WaitUntil([&] { return !Shows(*program, "Save As"); }));
    ASSERT_NO_FATAL_FAILURE(Press(window, {"F10", "Up", "Return"}));
    EXPECT_TRUE(EndedWith(program->Wait(), 0));
    EXPECT_EQ(Folder.Names(), (std::vector<std::string>{"kode.txt", "pic.bmp"}));
}

TEST_F(RealX, AWindowManagerCloseRunsTheExitRule) {
    // A file of the user's under a working file's name, which this run never writes.
    std::ofstream(Folder.path / "temp.bmp") << "mine";
    TProcess* program = nullptr;
    std::string window;
    ASSERT_NO_FATAL_FAILURE(StartAndCompress(program, window));
    // Alt+F4 is the window manager's Close: a WM_DELETE_WINDOW message.
    ASSERT_NO_FATAL_FAILURE(Press(window, {"alt+F4"}));
    EXPECT_TRUE(EndedWith(program->Wait(), 0));
    EXPECT_EQ(Folder.Names(), (std::vector<std::string>{"kode.txt", "pic.bmp", "temp.bmp"}));
    EXPECT_EQ(ReadFile(Folder.path / "temp.bmp"), "mine");
}

TEST_F(RealX, AfterEachOpenReturnPressesTheButtonJustShown) {
    TProcess* program = nullptr;
    std::string window;
    ASSERT_NO_FATAL_FAILURE(StartAndCompress(program, window));
    fs::copy_file(Folder.path / "kom.234", Folder.path / "saved.234");

    // "Open File kompres" (File, up past "Exit" and "Save File Kompres"):
    // Return then expands, and the program goes on.
    ASSERT_NO_FATAL_FAILURE(Press(window, {"F10", "Up", "Up", "Up", "Return"}));
    ASSERT_NO_FATAL_FAILURE(AnswerDialog(*program, "Open", Folder / "saved.234"));
    ASSERT_NO_FATAL_FAILURE(Press(window, {"Return"}));
    ASSERT_TRUE(Made("temp.bmp") && Made("dekom.jpeg")) << "Return did not press \"Dekompres\"";
    EXPECT_TRUE(program->Running());

    // "Open File Gambar" ("Save As Gambar" is enabled now, "Save File
    // Kompres" not): Enter then compresses anew.
    fs::remove(Folder.path / "kode.txt");
    ASSERT_NO_FATAL_FAILURE(Press(window, {"F10", "Up", "Up", "Up", "Up", "Return"}));
    ASSERT_NO_FATAL_FAILURE(AnswerDialog(*program, "Open", Folder / "pic.bmp"));
    ASSERT_NO_FATAL_FAILURE(Press(window, {"KP_Enter"}));
    ASSERT_TRUE(Made("kode.txt")) << "Enter did not press \"Kompres\"";
    EXPECT_TRUE(program->Running());
}

TEST_F(RealX, SigtermDuringASaveEndsTheProgramByTheExitRule) {
    // A picture large enough that its ".234" takes a while to write.
    TProcess* program = nullptr;
    std::string window;
    ASSERT_NO_FATAL_FAILURE(StartAndCompress(program, window, 2400, 1800));
    const std::string compressed = ReadFile(Folder.path / "kom.234");
    ASSERT_NO_FATAL_FAILURE(Press(window, {"F10", "Up", "Up", "Return"}));  // "Save File Kompres"
    const std::string dialog = FillDialog(*program, "Save As", Folder / "out");
    ASSERT_FALSE(dialog.empty() || HasFailure());

    // SIGTERM the moment the save's temporary file appears.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, Folder.path.c_str(), IN_CREATE), 0);
    ASSERT_NO_FATAL_FAILURE(Press(dialog, {"Return"}));
    bool hidden = false;
    const auto end = Clock::now() + kStepLimit;
    alignas(inotify_event) char events[4096];
    while (!hidden && Clock::now() < end) {
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(watch, events, sizeof events);
        for (ssize_t i = 0; i < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + i);
            if (event->len > 0 && event->name[0] == '.') hidden = true;
            i += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (hidden) program->Signal(SIGTERM);
    ::close(watch);
    ASSERT_TRUE(hidden) << "the save made no temporary file";

    // The signal's own status; the working files go, "kode.txt" stays, and
    // the save is either not there or whole.
    const std::optional<int> status = program->Wait();
    ASSERT_TRUE(status) << "SIGTERM did not end the program";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    if (fs::exists(Folder.path / "out.234")) {
        EXPECT_TRUE(ReadFile(Folder.path / "out.234") == compressed);
        fs::remove(Folder.path / "out.234");
    }
    EXPECT_EQ(Folder.Names(), (std::vector<std::string>{"kode.txt", "pic.bmp"}));
}

TEST_F(RealX, ASecondProgramInTheFolderNeverTouchesTheFirstOnesFiles) {
    TProcess* first = nullptr;
    std::string firstWindow;
    ASSERT_NO_FATAL_FAILURE(StartAndCompress(first, firstWindow));
    WriteBmp(Folder.path / "other.bmp", 20, 10);
    const std::map<std::string, std::string> before = Snapshot(Folder.path);
    const fs::path runtime = Private.path / "runtime";

    // The second one works on its own picture in a folder of its own, and
    // leaves nothing there when it is closed.
    TProcess& second = Start({"other.bmp"});
    const std::string secondWindow = WindowOf(second, "Vendaru Gambar");
    ASSERT_FALSE(secondWindow.empty());
    ASSERT_TRUE(WaitUntil([&] {
        const std::vector<fs::path> made = FilesBelow(runtime, "temp.jpeg");
        return made.size() == 1 && JpegSize(made[0]) == std::pair{20, 10};
    })) << "the second program's JPEG is not in a folder of its own";
    ASSERT_NO_FATAL_FAILURE(Press(secondWindow, {"Return"}));
    ASSERT_TRUE(WaitUntil([&] { return FilesBelow(runtime, "kom.234").size() == 1; }));
    EXPECT_EQ(Snapshot(Folder.path), before);
    ASSERT_NO_FATAL_FAILURE(Press(secondWindow, {"alt+F4"}));
    EXPECT_TRUE(EndedWith(second.Wait(), 0));
    EXPECT_EQ(Snapshot(Folder.path), before);
    EXPECT_TRUE(FilesBelow(runtime, "temp.jpeg").empty());

    // A third one killed outright leaves the first one's files as they were.
    TProcess& third = Start({"other.bmp"});
    ASSERT_TRUE(WaitUntil([&] { return !FilesBelow(runtime, "temp.jpeg").empty(); }));
    third.Signal(SIGKILL);
    ASSERT_TRUE(third.Wait());
    EXPECT_EQ(Snapshot(Folder.path), before);

    // The first one still compresses its own picture.
    fs::remove(Folder.path / "kode.txt");
    ASSERT_NO_FATAL_FAILURE(Press(firstWindow, {"Return"}));
    ASSERT_TRUE(Made("kode.txt"));
    EXPECT_EQ(Snapshot(Folder.path), before);
    ASSERT_NO_FATAL_FAILURE(Press(firstWindow, {"alt+F4"}));
    EXPECT_TRUE(EndedWith(first->Wait(), 0));
    EXPECT_EQ(Folder.Names(), (std::vector<std::string>{"kode.txt", "other.bmp", "pic.bmp"}));
}

}  // namespace
