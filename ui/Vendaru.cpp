// The program's main block: the command line, start-up, the message loop and
// shut-down.
#include <QApplication>
#include <QMetaObject>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
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

    QApplication app(argc, argv);
    AskToEndOnSignals(AskToEnd);
    // What the toolkit left of the command line: at most one file.
    std::string file;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options && word == "--") {
            options = false;
        } else if (options && word.size() > 1 && word[0] == '-') {
            return Print(stderr, "vendaru: unknown option " + word + " (see vendaru --help)\n", 1);
        } else if (!file.empty()) {
            return Print(stderr, "vendaru: only one file can be opened (see vendaru --help)\n", 1);
        } else {
            file = word;
        }
    }

    // Closing the main window ends the program; closing "Tabel kode" only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
    ReadLocaleSeparators();
    const QScreen* screen = QGuiApplication::primaryScreen();
    JpegStartup(screen ? screen->depth() : 24, 1);
    {
        auto form1 = std::make_unique<TForm1>();
        Form1 = form1.get();
        auto form2 = std::make_unique<TForm2>();
        Form2 = form2.get();

        form1->show();
        // The file is opened once the window is up, so that a message about
        // it is shown on the window.
        if (!file.empty())
            QTimer::singleShot(0, form1.get(), [&file] { RunGuarded([&] { Form1->OpenFile(file); }); });
        if (!Application.Terminated) QApplication::exec();

        // The windows go in the reverse order of their creation.
        form2.reset();
        Form2 = nullptr;
        form1.reset();
        Form1 = nullptr;
    }
    JpegShutdown();
    EndIfSignalled();
    return 0;
}
