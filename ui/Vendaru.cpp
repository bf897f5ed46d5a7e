// The program's main block: the command line, start-up, the message loop and
// shut-down.
#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "core/ending_signals.h"
#include "imaging/jpeg.h"
#include "ui/application.h"
#include "ui/formats.h"
#include "ui/Unit1.h"
#include "ui/Unit3.h"
#include "ui/working_folder.h"

#ifndef VENDARU_VERSION
#define VENDARU_VERSION "unknown"
#endif

namespace {

const char* const kUsage =
    "Usage: vendaru [FILE]\n"
    "\n"
    "Shows a BMP picture, encodes it as JPEG (quality 90) and compresses that\n"
    "into a \".234\" file, and expands such files back into pictures.\n"
    "\n"
    "FILE is opened at start: a \".234\" file as \"Open File kompres\" opens it,\n"
    "any other file as \"Open File Gambar\" does.\n"
    "\n"
    "  --help     Show this help\n"
    "  --version  Show the version\n"
    "\n"
    "The toolkit's own options (-platform, -style, ...) are taken as well.\n";

// The desktop entry starts the program with this option first: it then
// works in a folder of its own in the user's cache folder rather than in the
// home folder a file manager starts it in.
const char* const kDesktopStart = "--from-desktop";

const char* const kNoDisplay =
    "vendaru: no display found: the windows need a desktop session (DISPLAY or\n"
    "WAYLAND_DISPLAY set to a display that can be opened)\n";

int Print(std::FILE* stream, const std::string& text, int status) {
    std::fputs(text.c_str(), stream);
    return std::fflush(stream) == 0 ? status : 1;
}

// A signal ends the windows as "Keluar" does, once the handler that is
// running has finished: the windows go and take this run's working files
// with them, and main then ends the process by the signal.
void AskToEnd(int) {
    QMetaObject::invokeMethod(qApp, [] { Application.Terminate(); }, Qt::QueuedConnection);
}

bool Set(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// True when the toolkit has a display to try: one named in the environment,
// or a platform chosen for it.
bool DisplayNamed(int argc, char** argv) {
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) return true;
    return false;
}

// While the application is made, the toolkit's fatal error (a display that
// cannot be opened) ends the program with our message and status 1 rather
// than an abort.
QtMessageHandler OtherHandler = nullptr;
void NoDisplayHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs(kNoDisplay, stderr);
        std::_Exit(1);
    }
    OtherHandler(type, context, text);
}

// Runs `action` once `window` is on the screen and painted, so that it is
// not left black while the action works; after two seconds without that,
// all the same.
void WhenPainted(QWidget* window, std::function<void()> action) {
    auto* poll = new QTimer(window);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(poll, &QTimer::timeout, window, [=] {
        const QWindow* handle = window->windowHandle();
        if (!(handle && handle->isExposed()) && started->elapsed() < 2000) return;
        poll->stop();
        poll->deleteLater();
        window->repaint();
        action();
    });
    poll->start(10);
}

// What the toolkit left of the command line: at most one file, and the
// mark of a start from the desktop.
struct TCommandLine {
    std::string File;
    bool FromDesktop = false;
};

// Fills `line`; returns what is wrong with the command line, or "".
std::string ReadCommandLine(int argc, char** argv, TCommandLine& line) {
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options && word == kDesktopStart) {
            line.FromDesktop = true;
        } else if (options && word == "--") {
            options = false;
        } else if (options && word.size() > 1 && word[0] == '-') {
            return "unknown option " + word;
        } else if (!line.File.empty()) {
            return "only one file can be opened";
        } else {
            line.File = word;
        }
    }
    return std::string();
}

// Makes both windows, runs the message loop and ends the windows; returns
// the program's exit status.
int RunWindows(const TCommandLine& line) {
    int status = 0;
    // Started from the desktop it works in the user's cache folder, from a
    // terminal in the current folder.
    const TWorkingFolder working(line.FromDesktop ? DesktopWorkingFolder() : std::string());
    auto form1 = std::make_unique<TForm1>();
    Form1 = form1.get();
    auto form2 = std::make_unique<TForm2>();
    Form2 = form2.get();

    form1->show();
    // A problem of the working folder and the file are taken once the window
    // is up and painted, so that a message is shown on the window.
    WhenPainted(form1.get(), [&] {
        if (!working.Problem().empty()) Application.ShowException(working.Problem());
        if (!working.Ready()) {
            status = 1;
            Application.Terminate();
        } else if (!line.File.empty()) {
            RunGuarded([&] { Form1->OpenFile(line.File); });
        }
    });
    if (!Application.Terminated) QApplication::exec();

    // The windows go in the reverse order of their creation.
    form2.reset();
    Form2 = nullptr;
    form1.reset();
    Form1 = nullptr;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts (the toolkit starts its own): the threads
    // all hold back the ending signals, which one thread waits for.
    HoldBackEndingSignals();
    WaitForEndingSignals();
#if defined(__GLIBC__)
    // Large blocks (a picture's pixels, its encoded bytes) are often made
    // on one thread and freed much later on another. Left to itself, the C
    // library serves them from a heap of the thread that asked and keeps
    // them there once freed; with a fixed threshold every large block comes
    // from the system and goes back to it when freed.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    // Help and version need no display, so they come before the toolkit.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return Print(stdout, kUsage, 0);
        if (std::strcmp(argv[i], "--version") == 0)
            return Print(stdout, std::string("vendaru ") + VENDARU_VERSION + "\n", 0);
    }

    if (!DisplayNamed(argc, argv)) return Print(stderr, kNoDisplay, 1);
    OtherHandler = qInstallMessageHandler(NoDisplayHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(OtherHandler);
    IdentifyApplication();
    AskToEndOnSignals(AskToEnd);
    TCommandLine line;
    if (const std::string error = ReadCommandLine(argc, argv, line); !error.empty())
        return Print(stderr, "vendaru: " + error + " (see vendaru --help)\n", 1);

    // Closing the main window ends the program; closing "Tabel kode" only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
    ReadLocaleSeparators();
    const QScreen* screen = QGuiApplication::primaryScreen();
    JpegStartup(screen ? screen->depth() : 24, 1);
    const int status = RunWindows(line);
    JpegShutdown();
    EndIfSignalled();
    return status;
}
