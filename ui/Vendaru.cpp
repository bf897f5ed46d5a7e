// The program's main block: the command line, start-up, the message loop and
// shut-down.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/safe_write.h"
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

}  // namespace

int main(int argc, char** argv) {
    // Help and version need no display, so they come before the toolkit.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return Print(stdout, kUsage, 0);
        if (std::strcmp(argv[i], "--version") == 0)
            return Print(stdout, std::string("vendaru ") + VENDARU_VERSION + "\n", 0);
    }

    QApplication app(argc, argv);
    // A save cut short by a signal leaves no temporary file behind.
    RemoveTemporaryFilesOnSignals();
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
    return 0;
}
