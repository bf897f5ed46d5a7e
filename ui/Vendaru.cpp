// The program's main block: start-up, the message loop and shut-down.
#include <QApplication>
#include <QScreen>
#include <memory>

#include "core/safe_write.h"
#include "imaging/jpeg.h"
#include "ui/application.h"
#include "ui/formats.h"
#include "ui/Unit1.h"
#include "ui/Unit3.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // A save cut short by a signal leaves no temporary file behind.
    RemoveTemporaryFilesOnSignals();
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
