// The two windows driven as a user drives them: every command, the states it
// leaves behind and the messages it shows. Each test runs in a fresh folder.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QComboBox>
#include <QProcess>
#include <QStyle>
#include <QTimer>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <cstring>
#include <memory>
#include <sys/resource.h>

#include "codec/unit2.h"
#include "core/safe_write.h"
#include "core/streams.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "ui/application.h"
#include "ui/display_image.h"
#include "ui/formats.h"
#include "ui/qimage_convert.h"
#include "ui/Unit1.h"
#include "ui/Unit3.h"
#include "ui/scripted_user.h"
#include "ui/working_folder.h"

namespace {

QByteArray Contents(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& name, const QByteArray& data) {
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

// A 24-bit BMP file with a picture in it (not one flat colour).
void WriteBmp(const QString& name, int width, int height, QColor colour = QColor(200, 60, 40)) {
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.fillRect(QRect(width / 4, height / 4, width / 2, height / 2), colour);
    painter.setPen(Qt::blue);
    painter.drawLine(0, 0, width - 1, height - 1);
    painter.end();
    QVERIFY(image.save(name, "BMP"));
}

// What the image objects themselves make of a file: the written bytes of a
// `Target` assigned a `Source` loaded from it (the JPEG of a BMP file, the
// BMP of a JPEG file's decoded picture).
template <class Source, class Target>
QByteArray Converted(const QString& file) {
    Source source;
    source.LoadFromFile(file.toStdString());
    Target target;
    target.Assign(&source);
    TMemoryStream out;
    target.WriteToStream(out);
    return QByteArray(reinterpret_cast<const char*>(out.Data().data()), qsizetype(out.Size()));
}

// Notes for every paint of a widget whether the busy cursor was showing.
class TPaintWatch : public QObject {
public:
    QList<bool> Busy;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const QCursor* cursor = QApplication::overrideCursor();
            Busy << (cursor && cursor->shape() == Qt::WaitCursor);
        }
        return false;
    }
};

// Compresses a file with the codec directly, as another session would.
void CompressInto(const std::string& source, const std::string& target) {
    unit2::OpenInputFile(source);
    unit2::CreateOutputFile(target);
    unit2::CompressFile();
    unit2::CloseFiles();
}

// While it lives, writing a file beyond `bytes` fails as on a full disk.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, FOld.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = nullptr;
};

// The program itself, started in `folder` with `arguments` on the offscreen
// platform; `environment` adds to or replaces the test's own variables.
void StartProgram(QProcess& program, const QString& folder, const QStringList& arguments,
                  const QStringList& environment = {}) {
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString& variable : environment) {
        const qsizetype equals = variable.indexOf('=');
        variables.insert(variable.left(equals), variable.mid(equals + 1));
    }
    program.setProcessEnvironment(variables);
    program.setWorkingDirectory(folder);
    program.start(QStringLiteral(VENDARU_PROGRAM), arguments);
    QVERIFY(program.waitForStarted());
}

// The files of the folders named `prefix`* in `parent`, by their names.
QStringList FilesInFoldersOf(const QString& parent, const QString& prefix) {
    QStringList files;
    for (const QString& folder : QDir(parent).entryList({prefix + "*"}, QDir::Dirs | QDir::NoDotAndDotDot))
        files += QDir(parent + "/" + folder).entryList(QDir::Files);
    return files;
}

}  // namespace

class WindowTests : public QObject {
    Q_OBJECT

private:
    TScriptedUser FUser;
    std::unique_ptr<QTemporaryDir> FFolder;
    QString FPrevious;
    std::unique_ptr<TForm1> FForm1;
    std::unique_ptr<TForm2> FForm2;

    std::string Path(const QString& name) const { return FFolder->filePath(name).toStdString(); }
    TForm1& F() { return *FForm1; }

    // Opens `bmp` with "Open File Gambar" and gives "Kompres".
    void OpenAndCompress(const QString& bmp) {
        FUser.Answer(Path(bmp));
        F().OpenFileGambar1->trigger();
        F().proses->click();
    }

    // Saves the compressed file as <name>.234 and opens it for "Dekompres".
    void SaveAndOpenCompressed(const QString& name) {
        FUser.Answer(Path(name));
        F().SavefileKompres2->trigger();
        FUser.Answer(Path(name + ".234"));
        F().OpenFilekompres1->trigger();
    }

    struct TMenuState {
        bool SaveAs, SaveKompres, Tabel, Kompres, Dekompres;
        bool operator==(const TMenuState&) const = default;
    };
    TMenuState MenuState() {
        return {F().SaveAsGambar1->isEnabled(), F().SavefileKompres2->isEnabled(), F().Tabelkode1->isEnabled(),
                !F().proses->isHidden(), !F().dekompres->isHidden()};
    }

private slots:
    void initTestCase() {
        JpegStartup(24, 1);
        SetUserInteraction(&FUser);
    }
    void cleanupTestCase() {
        SetUserInteraction(nullptr);
        JpegShutdown();
    }

    void init() {
        FFolder = std::make_unique<QTemporaryDir>();
        FPrevious = QDir::currentPath();
        QVERIFY(QDir::setCurrent(FFolder->path()));
        ThousandSeparator = QLatin1Char(',');
        DecimalSeparator = QLatin1Char('.');
        BitmapFileSize = 0;
        CompressedFileSize = 0;
        FUser = TScriptedUser();
        FForm1 = std::make_unique<TForm1>();
        Form1 = FForm1.get();
        FForm2 = std::make_unique<TForm2>();
        Form2 = FForm2.get();
        FForm1->show();
        Application.Terminated = false;
    }

    void cleanup() {
        FForm2.reset();
        Form2 = nullptr;
        FForm1.reset();
        Form1 = nullptr;
        unit2::CloseFiles();
        QDir::setCurrent(FPrevious);
        FFolder.reset();
    }

    void startState() {
        QCOMPARE(F().windowTitle(), QStringLiteral("Vendaru Gambar"));
        QCOMPARE(F().font().pointSize(), 8);
        QCOMPARE(F().Kompres1->text(), QStringLiteral("File"));
        const QList<QAction*> file = F().Kompres1->menu()->actions();
        QCOMPARE(file.size(), 7);
        QCOMPARE(file[0], F().OpenFileGambar1);
        QCOMPARE(file[1], F().OpenFilekompres1);
        QVERIFY(file[2] == F().SaveFileKompres1 && file[2]->isSeparator());
        QCOMPARE(file[3], F().SaveAsGambar1);
        QCOMPARE(file[4], F().SavefileKompres2);
        QVERIFY(file[5] == F().N1 && file[5]->isSeparator());
        QCOMPARE(file[6], F().Exit1);
        QCOMPARE(F().OpenFileGambar1->text(), QStringLiteral("Open File Gambar"));
        QCOMPARE(F().OpenFilekompres1->text(), QStringLiteral("Open File kompres"));
        QCOMPARE(F().SaveAsGambar1->text(), QStringLiteral("Save As Gambar"));
        QCOMPARE(F().SavefileKompres2->text(), QStringLiteral("Save File Kompres"));
        QCOMPARE(F().Exit1->text(), QStringLiteral("Exit"));
        const QList<QAction*> bar = F().MainMenu1->actions();
        QCOMPARE(bar.size(), 2);
        QCOMPARE(bar[0], F().Kompres1);
        QCOMPARE(bar[1], F().Tabelkode1);
        QCOMPARE(F().Tabelkode1->text(), QStringLiteral("Tabel kode"));
        QVERIFY(F().Tabelkode1->menu() == nullptr);
        for (QAction* item : {F().OpenFileGambar1, F().OpenFilekompres1, F().Exit1, F().Kompres1})
            QVERIFY(item->isEnabled());
        QVERIFY((MenuState() == TMenuState{false, false, false, false, false}));

        QCOMPARE(F().Image1->geometry(), QRect(8, 8, 297, 273));
        QCOMPARE(F().Image2->geometry(), QRect(320, 8, 305, 273));
        QVERIFY(F().Image1->Stretch && F().Image2->Stretch);
        QVERIFY(!F().Image1->Picture().Graphic() && !F().Image2->Picture().Graphic());
        QCOMPARE(F().proses->geometry(), QRect(288, 392, 75, 25));
        QCOMPARE(F().dekompres->geometry(), QRect(288, 392, 75, 25));
        QCOMPARE(F().Button1->geometry(), QRect(552, 392, 75, 25));
        QCOMPARE(F().proses->text(), QStringLiteral("Kompres"));
        QCOMPARE(F().dekompres->text(), QStringLiteral("Dekompres"));
        QCOMPARE(F().Button1->text(), QStringLiteral("Keluar"));
        QVERIFY(F().Button1->isVisible());
        QCOMPARE(F().proses->nextInFocusChain(), F().Button1);
        QCOMPARE(F().Button1->nextInFocusChain(), F().dekompres);
        const struct {
            TLabel* Label;
            QPoint At;
            const char* Caption;
        } labels[] = {{F().Label4, {112, 296}, "Gambar BMP"}, {F().Label5, {440, 296}, "Gambar JPEG"},
                      {F().Label1, {262, 320}, ""},           {F().Label2, {262, 343}, ""},
                      {F().Label3, {264, 360}, "Rasio :"}};
        for (const auto& l : labels) {
            QCOMPARE(l.Label->pos(), l.At);
            QCOMPARE(l.Label->Caption(), QString::fromLatin1(l.Caption));
        }
        QVERIFY(F().Label3->isHidden());
        QVERIFY(!F().Label4->isHidden() && !F().Label5->isHidden());
        QVERIFY(!F().Bitmap() && !F().Jpeg());
        QCOMPARE(F().SourceSize(), 0);

        // Dialogs: filters, and the picture dialog starts in the program's folder.
        QCOMPARE(F().OpenPictureDialog1.Filter, std::string("Bitmaps (*.bmp)|*.bmp"));
        QCOMPARE(F().OpenDialog1.Filter, std::string("File Kompres *.234|*.234"));
        QCOMPARE(F().SavePictureDialog1.Filter, std::string("Bitmaps (*.bmp)|*.bmp"));
        QCOMPARE(F().SaveDialog1.Filter, std::string("File kompres *.234|*.234"));
        QVERIFY(F().OpenPictureDialog1.HasPreview() && F().SavePictureDialog1.HasPreview());
        QVERIFY(!F().OpenDialog1.HasPreview() && !F().SaveDialog1.HasPreview());
        QCOMPARE(QString::fromStdString(F().OpenPictureDialog1.InitialDir()), QCoreApplication::applicationDirPath());
        QVERIFY(F().OpenDialog1.InitialDir().empty() && F().SaveDialog1.InitialDir().empty());

        // A window manager matches the windows to the desktop entry and shows the icon.
        IdentifyApplication();
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("vendaru"));
        QVERIFY(!QApplication::windowIcon().isNull());

        // The code table window: hidden, empty, its controls in place.
        TForm2& f2 = *FForm2;
        QCOMPARE(f2.windowTitle(), QStringLiteral("Tabel kode"));
        QVERIFY(!f2.isVisible());
        QVERIFY(f2.editor->toPlainText().isEmpty());
        QCOMPARE(f2.keluar->geometry(), QRect(544, 416, 75, 25));
        QCOMPARE(f2.editor->geometry(), QRect(0, 0, 633, 409));
        QCOMPARE(f2.Button1->geometry(), QRect(280, 416, 75, 25));
        QCOMPARE(f2.keluar->text(), QStringLiteral("keluar"));
        QCOMPARE(f2.Button1->text(), QStringLiteral("Load Tabel"));
        QCOMPARE(f2.editor->lineWrapMode(), QTextEdit::WidgetWidth);
        QCOMPARE(f2.editor->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(f2.editor->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(f2.keluar->nextInFocusChain(), static_cast<QWidget*>(f2.editor));
        QVERIFY(FUser.Messages.isEmpty());
    }

    void wholeUserPath() {
        WriteBmp(QStringLiteral("picture.bmp"), 120, 90);
        const int32_t bmpSize = FileSizeOf("picture.bmp");

        FUser.Answer(Path("picture.bmp"));
        F().OpenFileGambar1->trigger();
        QCOMPARE(F().Label1->Caption(), "unkompres File = " + FormatSize(bmpSize) + " bytes");
        QCOMPARE(F().Image1->Picture().Graphic()->Width(), 120);
        QCOMPARE(Contents("temp.jpeg"), (Converted<TBitmap, TJPEGImage>("picture.bmp")));
        QCOMPARE(BitmapFileSize, bmpSize);
        QCOMPARE(F().OpenPictureDialog1.InitialDir(), FFolder->path().toStdString());

        F().proses->click();
        const int32_t komSize = FileSizeOf("kom.234");
        QVERIFY(komSize > 0);
        QCOMPARE(F().Label2->Caption(), "kompres File = " + FormatSize(komSize) + "  bytes");
        QCOMPARE(CompressedFileSize, komSize);
        QVERIFY(F().Label3->isVisible());
        QCOMPARE(F().Label3->Caption(),
                 "Rasio" + FormatRatio(static_cast<long double>(bmpSize) / komSize) + " : 1");
        QVERIFY(Contents("kode.txt").startsWith("Kode: "));
        QCOMPARE(QString::fromLatin1(F().Image2->Picture().Graphic()->ClassName()), QStringLiteral("TJPEGImage"));
        QVERIFY((MenuState() == TMenuState{false, true, true, true, false}));

        // The save dialogs start in the folder of the file opened.
        QVERIFY(QDir().mkdir("elsewhere") && QFile::copy("picture.bmp", "elsewhere/picture.bmp"));
        F().OpenFile(Path("elsewhere/picture.bmp"));
        F().proses->click();
        FUser.Answer(Path("saved"));
        F().SavefileKompres2->trigger();
        QCOMPARE(FUser.Asked.back().InitialDir, Path("elsewhere"));
        QCOMPARE(Contents("saved.234"), Contents("kom.234"));
        QVERIFY(!unit2::InputStream && !unit2::OutputStream);

        FUser.Answer(Path("saved.234"));
        F().OpenFilekompres1->trigger();
        QCOMPARE(F().Label1->Caption(), "kompres File = " + FormatSize(komSize) + " bytes");
        QCOMPARE(F().OpenDialog1.InitialDir(), FFolder->path().toStdString());

        F().dekompres->click();
        QVERIFY2(FUser.Messages.isEmpty(), qPrintable(FUser.Messages.join('\n')));
        QCOMPARE(Contents("dekom.jpeg"), Contents("temp.jpeg"));
        QCOMPARE(Contents("temp.bmp"), (Converted<TJPEGImage, TBitmap>("temp.jpeg")));
        QCOMPARE(F().Image1->Picture().Graphic()->Width(), 120);
        QCOMPARE(F().Image1->Picture().Graphic()->Height(), 90);
        QCOMPARE(F().Label2->Caption(), "Extrak File = " + FormatSize(FileSizeOf("temp.bmp")) + "  bytes");
        QVERIFY(FileSizeOf("temp.bmp") > 0);
        QVERIFY((MenuState() == TMenuState{true, false, true, false, true}));

        FUser.Answer(Path("out"));
        F().SaveAsGambar1->trigger();
        QCOMPARE(FUser.Asked.back().InitialDir, FFolder->path().toStdString());
        QCOMPARE(Contents("out.bmp"), Contents("temp.bmp"));

        F().Tabelkode1->trigger();
        QVERIFY(FForm2->isVisible());
        QVERIFY(FForm2->editor->toPlainText().isEmpty());
        FForm2->Button1->click();
        FForm2->Button1->click();
        const QString listing = QString::fromLatin1(Contents("kode.txt")).replace("\r\n", "\n").trimmed();
        QCOMPARE(FForm2->editor->toPlainText(), listing);
        FForm2->keluar->click();
        QVERIFY(!FForm2->isVisible());

        F().Exit1->trigger();
        QVERIFY(Application.Terminated);
        QVERIFY(FUser.Messages.isEmpty());
        FForm2.reset();
        FForm1.reset();
        for (const char* gone : {"temp.bmp", "temp.jpeg", "dekom.jpeg", "kom.234"}) QVERIFY(!QFile::exists(gone));
        for (const char* kept : {"kode.txt", "saved.234", "out.bmp", "picture.bmp"}) QVERIFY(QFile::exists(kept));
    }

    void openPictureKeepsThePreviousCompression() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        WriteBmp(QStringLiteral("b.bmp"), 64, 48, Qt::green);
        OpenAndCompress(QStringLiteral("a.bmp"));
        const QString ratio = F().Label3->Caption();
        const TGraphic* jpegShown = F().Image2->Picture().Graphic();

        FUser.Answer(Path("b.bmp"));
        F().OpenFileGambar1->trigger();
        QVERIFY((MenuState() == TMenuState{false, false, false, true, false}));
        QVERIFY(F().Label2->Caption().isEmpty());
        QVERIFY(F().Label3->isVisible());
        QCOMPARE(F().Label3->Caption(), ratio);
        QCOMPARE(F().Image2->Picture().Graphic(), jpegShown);
        QCOMPARE(F().Image1->Picture().Graphic()->Width(), 64);
        QCOMPARE(CompressedFileSize, 0);

        // "Kompres" twice in a row gives the same results.
        F().proses->click();
        const QByteArray kom = Contents("kom.234"), kode = Contents("kode.txt");
        const QString label2 = F().Label2->Caption(), label3 = F().Label3->Caption();
        F().proses->click();
        QCOMPARE(Contents("kom.234"), kom);
        QCOMPARE(Contents("kode.txt"), kode);
        QCOMPARE(F().Label2->Caption(), label2);
        QCOMPARE(F().Label3->Caption(), label3);
        QVERIFY(FUser.Messages.isEmpty());
    }

    void openCompressedEmptiesThePanes() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        FUser.Answer(Path("missing.234"));
        F().OpenFilekompres1->trigger();
        QVERIFY((MenuState() == TMenuState{false, false, false, false, true}));
        QCOMPARE(F().Label1->Caption(), QStringLiteral("kompres File =  bytes"));
        QVERIFY(F().Label2->Caption().isEmpty());
        QVERIFY(F().Label3->isHidden());
        QVERIFY(!F().Image1->Picture().Graphic() && !F().Image2->Picture().Graphic());
        QCOMPARE(F().SourceSize(), 0);

        // "Dekompres" of a name that does not exist; the menu changes stay.
        F().dekompres->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Invalid Filename."));
        QVERIFY((MenuState() == TMenuState{true, false, true, false, true}));

        // Nothing is shown, so there is nothing to save: no dialog, no file.
        F().SaveAsGambar1->trigger();
        const QStringList messages = FUser.TakeMessages();
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].startsWith("There is no picture to save"));
        QVERIFY(FUser.Asked.back().Dialog != "SavePictureDialog1");
        QCOMPARE(QDir().entryList({"*.bmp"}, QDir::Files), QStringList("a.bmp"));
    }

    void cancelledDialogsChangeNothing() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        const TMenuState before = MenuState();
        const QString label1 = F().Label1->Caption(), label2 = F().Label2->Caption();
        const QByteArray tempJpeg = Contents("temp.jpeg");
        const QStringList files = QDir().entryList(QDir::Files);

        FUser.Cancel();
        F().OpenFileGambar1->trigger();
        FUser.Cancel();
        F().OpenFilekompres1->trigger();
        FUser.Cancel();
        F().SavefileKompres2->trigger();
        QVERIFY(!unit2::InputStream);
        F().SaveAsGambar1->setEnabled(true);  // reachable after a "Dekompres"
        FUser.Cancel();
        F().SaveAsGambar1->trigger();
        F().SaveAsGambar1->setEnabled(false);

        QCOMPARE(FUser.Asked.size(), size_t(5));
        QCOMPARE(FUser.Asked[1].Dialog, std::string("OpenPictureDialog1"));
        QCOMPARE(FUser.Asked[2].Dialog, std::string("OpenDialog1"));
        QCOMPARE(FUser.Asked[3].Dialog, std::string("SaveDialog1"));
        QCOMPARE(FUser.Asked[4].Dialog, std::string("SavePictureDialog1"));
        QVERIFY(MenuState() == before);
        QCOMPARE(F().Label1->Caption(), label1);
        QCOMPARE(F().Label2->Caption(), label2);
        QVERIFY(F().Image1->Picture().Graphic() && F().Image2->Picture().Graphic());
        QCOMPARE(QDir().entryList(QDir::Files), files);
        QVERIFY(FUser.Messages.isEmpty());

        // After the cancelled save, opening a picture writes "temp.jpeg" again.
        WriteBmp(QStringLiteral("b.bmp"), 50, 50, Qt::green);
        FUser.Answer(Path("b.bmp"));
        F().OpenFileGambar1->trigger();
        QVERIFY(Contents("temp.jpeg") != tempJpeg);
        QVERIFY(FUser.Messages.isEmpty());
    }

    void savedNamesAlwaysGetTheirExtension() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        FUser.Answer(Path("x.234"));
        F().SavefileKompres2->trigger();
        QCOMPARE(Contents("x.234.234"), Contents("kom.234"));
        QVERIFY(!QFile::exists("x.234"));

        FUser.Answer(Path("x.234.234"));
        F().OpenFilekompres1->trigger();
        F().dekompres->click();
        FUser.Answer(Path("pic.bmp"));
        F().SaveAsGambar1->trigger();
        QVERIFY(QFile::exists("pic.bmp.bmp"));
        QVERIFY(!QFile::exists("pic.bmp"));
        QVERIFY2(FUser.Messages.isEmpty(), qPrintable(FUser.Messages.join('\n')));
    }

    void unreadableBitmapLeavesTheOldPicture() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        const TGraphic* shown = F().Image1->Picture().Graphic();
        const QByteArray tempJpeg = Contents("temp.jpeg");
        const std::string initialDir = F().OpenPictureDialog1.InitialDir();

        QDir().mkdir("other");
        WriteFile("other/text.bmp", "this is not a bitmap at all");
        FUser.Answer(Path("other/text.bmp"));
        F().OpenFileGambar1->trigger();
        QCOMPARE(FUser.TakeMessages().size(), 1);
        QCOMPARE(F().Label1->Caption(), QStringLiteral("unkompres File = 27 bytes"));
        QVERIFY(F().Bitmap() && F().Bitmap()->Empty());
        QCOMPARE(F().Image1->Picture().Graphic(), shown);
        QCOMPARE(BitmapFileSize, 0);
        QCOMPARE(CompressedFileSize, 0);
        QCOMPARE(Contents("temp.jpeg"), tempJpeg);
        QCOMPARE(F().OpenPictureDialog1.InitialDir(), initialDir);
        QVERIFY((MenuState() == TMenuState{false, false, false, true, false}));

        // "Kompres" then works on the old "temp.jpeg" and shows no ratio.
        F().proses->click();
        QVERIFY(FUser.Messages.isEmpty());
        QVERIFY(F().Label3->isHidden());
        QVERIFY(FileSizeOf("kom.234") > 0);

        // A typed name of a file that does not exist.
        FUser.Answer(Path("nothing.bmp"));
        F().OpenFileGambar1->trigger();
        QCOMPARE(FUser.TakeMessages(), QStringList(QString::fromStdString("Cannot open file " + Path("nothing.bmp") + ".")));
        QCOMPARE(F().Label1->Caption(), QStringLiteral("unkompres File =  bytes"));
    }

    void kompresWithoutTempJpeg() {
        // Reachable only by the hidden button; the menu changes come first.
        F().proses->show();
        F().proses->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Cannot open file temp.jpeg."));
        QVERIFY((MenuState() == TMenuState{false, true, true, true, false}));
        QVERIFY(!QFile::exists("kom.234") && !QFile::exists("kode.txt"));

        // "Save File Kompres" without "temp.jpeg": no dialog at all.
        F().SavefileKompres2->trigger();
        QCOMPARE(FUser.TakeMessages(), QStringList("Invalid Filename."));
        QVERIFY(FUser.Asked.empty());
    }

    void unwritableCodeListingStopsBeforeTheRatio() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        QVERIFY(QDir().mkdir("kode.txt"));
        OpenAndCompress(QStringLiteral("a.bmp"));
        QCOMPARE(FUser.Details, QStringList(QString::fromLatin1(std::strerror(EISDIR))));
        QCOMPARE(FUser.TakeMessages(), QStringList(QStringLiteral("I/O error %1.").arg(EISDIR)));
        QCOMPARE(F().Label2->Caption(), "kompres File = " + FormatSize(FileSizeOf("kom.234")) + "  bytes");
        QCOMPARE(CompressedFileSize, 0);
        QVERIFY(F().Label3->isHidden());
        QVERIFY(!unit2::InputStream && !unit2::OutputStream);
    }

    void writeProtectedCodeListingIsAccessDenied() {
        if (geteuid() == 0) QSKIP("file permissions do not bind the superuser");
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        WriteFile("kode.txt", "old");
        QFile::setPermissions("kode.txt", QFile::ReadOwner);
        OpenAndCompress(QStringLiteral("a.bmp"));
        QCOMPARE(FUser.TakeMessages(), QStringList("File access denied."));
        QCOMPARE(Contents("kode.txt"), QByteArray("old"));
    }

    void compressedFileThatIsNotAJpeg() {
        WriteFile("note.txt", "A few words that are certainly no JPEG stream, over and over.");
        CompressInto("note.txt", "note.234");

        FUser.Answer(Path("note.234"));
        F().OpenFilekompres1->trigger();
        F().dekompres->click();
        const QStringList messages = FUser.TakeMessages();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(Contents("dekom.jpeg"), Contents("note.txt"));
        QVERIFY(F().Bitmap() && F().Bitmap()->Empty());
        QVERIFY(!F().Image1->Picture().Graphic());
        QVERIFY(!QFile::exists("temp.bmp"));
        QVERIFY((MenuState() == TMenuState{true, false, true, false, true}));
    }

    void failedDekompresKeepsTheShownPicture() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        SaveAndOpenCompressed(QStringLiteral("good"));
        F().dekompres->click();
        const TGraphic* shown = F().Image1->Picture().Graphic();
        QVERIFY(shown && !shown->Empty());
        const QByteArray decoded = Contents("temp.bmp");

        // The chosen file changes under the same name.
        WriteFile("note.txt", "Plain words again, no picture in here, none at all.");
        CompressInto("note.txt", "good.234");
        F().dekompres->click();
        QCOMPARE(FUser.TakeMessages().size(), 1);
        QCOMPARE(F().Image1->Picture().Graphic(), shown);
        QVERIFY(F().Bitmap()->Empty());
        // The picture decoded before stays in "temp.bmp", with nothing beside it.
        QCOMPARE(Contents("temp.bmp"), decoded);
        QVERIFY(QDir().entryList({".temp.bmp*"}, QDir::Hidden | QDir::Files).isEmpty());

        // "Save As Gambar" saves the picture still shown.
        FUser.Answer(Path("kept"));
        F().SaveAsGambar1->trigger();
        QVERIFY(FUser.Messages.isEmpty());
        QCOMPARE(Contents("kept.bmp"), Contents("temp.bmp"));
    }

    void targetsThatCannotBeCreated() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        const TMenuState before = MenuState();
        FUser.Answer(Path("no/such/folder/x"));
        F().SavefileKompres2->trigger();
        QCOMPARE(FUser.TakeMessages(),
                 QStringList(QString::fromStdString("Cannot create file " + Path("no/such/folder/x.234") + ".")));
        QVERIFY(!unit2::InputStream && !unit2::OutputStream);
        QVERIFY(MenuState() == before);

        SaveAndOpenCompressed(QStringLiteral("good"));
        F().dekompres->click();
        FUser.Answer(Path("no/such/folder/y"));
        F().SaveAsGambar1->trigger();
        QCOMPARE(FUser.TakeMessages(),
                 QStringList(QString::fromStdString("Cannot create file " + Path("no/such/folder/y.bmp") + ".")));
    }

    void savesOntoAFullDiskKeepTheOldFiles() {
        WriteBmp(QStringLiteral("a.bmp"), 120, 90);
        WriteFile("old.234", "old");
        WriteFile("old.bmp", "old");
        OpenAndCompress(QStringLiteral("a.bmp"));
        const QStringList files = QDir().entryList(QDir::Files | QDir::Hidden);
        FUser.Answer(Path("old"));
        {
            TFileSizeLimit full(1024);
            F().SavefileKompres2->trigger();
        }
        SaveAndOpenCompressed(QStringLiteral("good"));
        F().dekompres->click();
        FUser.Answer(Path("old"));
        {
            TFileSizeLimit full(1024);
            F().SaveAsGambar1->trigger();
        }
        // The box gives the system's reason as its detail.
        const QString reason = QString::fromLatin1(std::strerror(EFBIG));
        QCOMPARE(FUser.Details.size(), 2);
        QCOMPARE(FUser.Details[0], "Cannot write " + QString::fromStdString(Path("old.234")) + ": " + reason);
        QVERIFY2(FUser.Details[1].endsWith(reason), qPrintable(FUser.Details[1]));
        QCOMPARE(FUser.TakeMessages(), QStringList({"Stream write error.", "Stream write error."}));
        QCOMPARE(Contents("old.234"), QByteArray("old"));
        QCOMPARE(Contents("old.bmp"), QByteArray("old"));
        QStringList expected = files + QStringList{"dekom.jpeg", "good.234", "temp.bmp"};
        expected.sort();
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), expected);

        // A "temp.jpeg" cut short is not left for later commands to take
        // for the picture.
        {
            TFileSizeLimit full(1024);
            FUser.Answer(Path("a.bmp"));
            F().OpenFileGambar1->trigger();
        }
        QCOMPARE(FUser.Details, QStringList("Cannot write temp.jpeg: " + reason));
        QCOMPARE(FUser.TakeMessages(), QStringList("Stream write error."));
        QVERIFY(!QFile::exists("temp.jpeg"));
        F().proses->click();
        F().SavefileKompres2->trigger();
        QCOMPARE(FUser.TakeMessages(), QStringList({"Cannot open file temp.jpeg.", "Invalid Filename."}));
    }

    void labelsUseTheLocaleSeparators() {
        WriteBmp(QStringLiteral("big.bmp"), 200, 150);
        const int32_t size = FileSizeOf("big.bmp");
        QVERIFY(size > 1000000 / 20);
        for (const auto& [thousands, decimal] : {std::pair{',', '.'}, std::pair{'.', ','}}) {
            ThousandSeparator = QLatin1Char(thousands);
            DecimalSeparator = QLatin1Char(decimal);
            OpenAndCompress(QStringLiteral("big.bmp"));
            QString digits = QString::number(size);
            for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, QLatin1Char(thousands));
            QCOMPARE(F().Label1->Caption(), "unkompres File = " + digits + " bytes");
            const QString ratio = F().Label3->Caption();
            QVERIFY(ratio.startsWith("Rasio") && ratio.endsWith(" : 1"));
            QCOMPARE(ratio.at(ratio.size() - 6), QLatin1Char(decimal));
            QVERIFY(ratio.size() >= int(strlen("Rasio") + 5 + strlen(" : 1")));
        }
        QVERIFY(FUser.Messages.isEmpty());
    }

    void codeTableWindow() {
        FForm2->Button1->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Cannot open file kode.txt."));
        QVERIFY(FForm2->editor->toPlainText().isEmpty());

        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        F().Tabelkode1->trigger();
        QVERIFY(FForm2->isVisible());
        QVERIFY(FForm2->editor->toPlainText().isEmpty());
        FForm2->Button1->click();
        const QString shown = FForm2->editor->toPlainText();
        QCOMPARE(shown.count("Kode: "), Contents("kode.txt").count("\r\n"));
        FForm2->close();  // the title bar hides it too
        QVERIFY(!FForm2->isVisible());

        // A later "Kompres" rewrites the listing but not the filled editor.
        WriteBmp(QStringLiteral("b.bmp"), 64, 64, Qt::green);
        OpenAndCompress(QStringLiteral("b.bmp"));
        F().Tabelkode1->trigger();
        QVERIFY(FForm2->isVisible());
        QCOMPARE(FForm2->editor->toPlainText(), shown);

        // An empty editor stays empty when the listing cannot be read.
        QFile::remove("kode.txt");
        FForm2->Button1->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Cannot open file kode.txt."));
        QVERIFY(FForm2->editor->toPlainText().isEmpty());
        QVERIFY(F().isVisible());

        // Something that is not a file under that name cannot be opened either.
        QVERIFY(QDir().mkdir("kode.txt"));
        FForm2->Button1->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Cannot open file kode.txt."));
    }

    void filesSavedUnderAWorkingNameAreKept() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        FUser.Answer(Path("kom"));
        F().SavefileKompres2->trigger();
        FUser.Answer(Path("kom.234"));
        F().OpenFilekompres1->trigger();
        F().dekompres->click();
        FUser.Answer(Path("temp"));
        F().SaveAsGambar1->trigger();
        QVERIFY2(FUser.Messages.isEmpty(), qPrintable(FUser.Messages.join('\n')));
        FForm2.reset();
        FForm1.reset();
        QVERIFY(QFile::exists("kom.234") && QFile::exists("temp.bmp"));
        QVERIFY(!QFile::exists("temp.jpeg") && !QFile::exists("dekom.jpeg"));
    }

    void pictureOpenedUnderAWorkingNameIsKept() {
        WriteBmp(QStringLiteral("temp.bmp"), 40, 30);
        const QByteArray picture = Contents("temp.bmp");
        OpenAndCompress(QStringLiteral("temp.bmp"));
        QVERIFY(FUser.Messages.isEmpty());
        FForm2.reset();
        FForm1.reset();
        QCOMPARE(Contents("temp.bmp"), picture);
        QVERIFY(!QFile::exists("temp.jpeg") && !QFile::exists("kom.234"));
    }

    void errorMessagesShowFileNamesAsTheyAre() {
        QString shown, detail;
        Qt::TextFormat format = Qt::AutoText;
        QWidget* owner = nullptr;
        const auto answer = [&] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(window); box && box->isVisible()) {
                    shown = box->text();
                    detail = box->detailedText();
                    format = box->textFormat();
                    owner = box->parentWidget();
                    box->accept();
                }
        };
        QTimer::singleShot(0, answer);
        // As after a file dialog: none of our windows is active yet.
        QApplication::setActiveWindow(nullptr);
        SetUserInteraction(nullptr);
        RunGuarded([] { throw EFOpenError("/pictures/<b>cat</b>.bmp"); });
        QCOMPARE(shown, QStringLiteral("Cannot open file /pictures/<b>cat</b>.bmp."));
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(owner, static_cast<QWidget*>(&F()));
        QVERIFY(detail.isEmpty());
        // The system's reason, where there is one, is the box's detail.
        QTimer::singleShot(0, answer);
        RunGuarded([] { throw EOutputError("Stream write error", "Cannot write x.234: No space left on device"); });
        SetUserInteraction(&FUser);
        QCOMPARE(shown, QStringLiteral("Stream write error."));
        QCOMPARE(detail, QStringLiteral("Cannot write x.234: No space left on device"));
    }

    void exitDeletesOnlyWhatThisRunWrote() {
        for (const char* name : {"temp.bmp", "dekom.jpeg"}) WriteFile(name, "the user's own");
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        OpenAndCompress(QStringLiteral("a.bmp"));
        QVERIFY(QFile::exists("temp.jpeg") && QFile::exists("kom.234"));
        // Working files of this run that the user then opens stay working files.
        FUser.Answer(Path("kom.234"));
        F().OpenFilekompres1->trigger();
        FUser.Answer(Path("temp.jpeg"));
        F().OpenFileGambar1->trigger();
        QCOMPARE(FUser.TakeMessages().size(), 1);  // no BMP file
        F().Exit1->trigger();
        FForm2.reset();
        FForm1.reset();
        QVERIFY(FUser.Messages.isEmpty());
        QVERIFY(!QFile::exists("temp.jpeg") && !QFile::exists("kom.234"));
        for (const char* name : {"temp.bmp", "dekom.jpeg"}) QCOMPARE(Contents(name), QByteArray("the user's own"));
    }

    void exitWithoutWorkingFiles() {
        F().Button1->click();
        QVERIFY(Application.Terminated);
        WriteFile("kode.txt", "Kode: 1- 0\r\n");
        FForm2.reset();
        FForm1.reset();
        QVERIFY(FUser.Messages.isEmpty());
        QVERIFY(QFile::exists("kode.txt"));
    }

    void closingTheMainWindowTerminates() {
        F().close();
        QVERIFY(Application.Terminated);
    }

    void exitEndsTheMessageLoop() {
        QTimer safety;
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        safety.start(5000);
        QTimer::singleShot(0, F().Exit1, &QAction::trigger);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(Application.Terminated);
    }

    void desktopPictureDialogPreviewsTheBitmap() {
        WriteBmp(QStringLiteral("shown.bmp"), 48, 36);
        TFileDialog& dialog = F().OpenPictureDialog1;
        dialog.SetInitialDir(FFolder->path().toStdString());
        QString preview;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!box) return;
            auto* name = box->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) return box->reject();
            // The dialog names the file a click points at, as it does once
            // its background read of the folder has found it.
            emit box->currentChanged(FFolder->filePath(QStringLiteral("shown.bmp")));
            for (QLabel* label : box->findChildren<QLabel*>())
                if (label->text().contains(" x ")) preview = label->text();
            name->setText(QStringLiteral("typed-but-missing.bmp"));
            static_cast<QDialog*>(box)->accept();
        });
        SetUserInteraction(nullptr);
        const bool confirmed = dialog.Execute();
        QVERIFY(confirmed);
        QCOMPARE(preview, QStringLiteral("48 x 36"));
        QCOMPARE(dialog.FileName, Path("typed-but-missing.bmp"));

        // Each filter shows its pattern once.
        QStringList filters;
        const auto readFilters = [&filters] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!box) return;
            if (auto* types = box->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
                filters << types->currentText();
            box->reject();
        };
        QTimer::singleShot(0, readFilters);
        F().SaveDialog1.Execute();
        QTimer::singleShot(0, readFilters);
        F().SavePictureDialog1.Execute();
        SetUserInteraction(&FUser);
        QCOMPARE(filters, QStringList({"File kompres *.234", "Bitmaps (*.bmp)"}));
    }

    void bitmapsConvertToQImagesAndPaint() {
        TBitmap bitmap;
        bitmap.SetPixelDepth(pd24);
        bitmap.SetSize(3, 2);
        const uint8_t top[9] = {0, 0, 0, 255, 255, 255, 0, 0, 255}, bottom[9] = {0, 255, 0, 255, 0, 0, 255, 255, 255};
        std::memcpy(bitmap.RowAddress(0), top, 9);
        std::memcpy(bitmap.RowAddress(1), bottom, 9);
        bitmap.SetPixelDepth(pd8);
        const QImage image = BitmapToQImage(bitmap);
        QCOMPARE(image.size(), QSize(3, 2));
        QCOMPARE(image.pixel(2, 0), qRgb(255, 0, 0));
        QCOMPARE(image.pixel(0, 1), qRgb(0, 255, 0));
        QCOMPARE(image.pixel(1, 1), qRgb(0, 0, 255));
        QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 0));
        QVERIFY(BitmapToQImage(TBitmap()).isNull());

        QImage target(6, 4, QImage::Format_RGB32);
        target.fill(Qt::gray);
        {
            QPainter painter(&target);
            TPainterCanvas canvas(painter);
            bitmap.Draw(canvas, ToRect(QRect(0, 0, 6, 4)));
        }
        QCOMPARE(target.pixel(5, 0), qRgb(255, 0, 0));
        QCOMPARE(target.pixel(0, 3), qRgb(0, 255, 0));
    }

    void panesStretchThePictureToFill() {
        QImage quarters(2, 2, QImage::Format_RGB888);
        quarters.setPixelColor(0, 0, Qt::red);
        quarters.setPixelColor(1, 0, Qt::green);
        quarters.setPixelColor(0, 1, Qt::blue);
        quarters.setPixelColor(1, 1, Qt::yellow);
        QVERIFY(quarters.save("quarters.bmp", "BMP"));
        const QImage empty = F().Image1->grab().toImage();
        FUser.Answer(Path("quarters.bmp"));
        F().OpenFileGambar1->trigger();
        const QImage shown = F().Image1->grab().toImage();
        QCOMPARE(shown.size(), QSize(297, 273));
        QCOMPARE(shown.pixelColor(3, 3), QColor(Qt::red));
        QCOMPARE(shown.pixelColor(293, 3), QColor(Qt::green));
        QCOMPARE(shown.pixelColor(3, 269), QColor(Qt::blue));
        QCOMPARE(shown.pixelColor(293, 269), QColor(Qt::yellow));
        QCOMPARE(empty.pixelColor(150, 136), F().palette().color(QPalette::Window));

        // The pane makes its display image once per picture and size, not at every paint.
        QVERIFY(QTest::qWaitForWindowExposed(&F()));
        TImage& pane = *F().Image1;
        const int made = pane.DisplayImagesMade();
        pane.repaint();
        pane.repaint();
        QCOMPARE(pane.DisplayImagesMade(), made);
        pane.resize(150, 100);
        pane.repaint();
        pane.repaint();
        QCOMPARE(pane.DisplayImagesMade(), made + 1);
        QCOMPARE(pane.grab().toImage().pixelColor(146, 96), QColor(Qt::yellow));

        // A JPEG four times the pane's size is shown from a reduced decode:
        // the same picture, and the pane's object is not decoded.
        QVERIFY(quarters.scaled(1240, 1100).save("big.bmp", "BMP"));
        OpenAndCompress(QStringLiteral("big.bmp"));
        const QImage jpegShown = F().Image2->grab().toImage();
        const QPoint corners[] = {{3, 3}, {301, 3}, {3, 269}, {301, 269}};
        const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
        for (int i = 0; i < 4; ++i) {
            const QColor got = jpegShown.pixelColor(corners[i]);
            QVERIFY2(qAbs(got.red() - colours[i].red()) <= 8 && qAbs(got.green() - colours[i].green()) <= 8 &&
                         qAbs(got.blue() - colours[i].blue()) <= 8,
                     qPrintable(got.name()));
        }
        auto* jpeg = static_cast<TJPEGImage*>(F().Image2->Picture().Graphic());
        QVERIFY(!jpeg->Bitmap());
        F().Image2->repaint();
        QCOMPARE(F().Image2->DisplayImagesMade(), 1);
        // Decoded small while "Open File Gambar" made it, it is shown exactly
        // as the pane shows it from the file; a "temp.jpeg" changed in between
        // is shown as the file holds it.
        QCOMPARE(jpegShown.convertToFormat(QImage::Format_RGB32), MakeDisplayImage(*jpeg, QSize(305, 273)));
        QVERIFY(QFile::copy("temp.jpeg", "quarters.jpeg"));
        QVERIFY(quarters.mirrored(true, true).scaled(1240, 1100).save("turned.bmp", "BMP"));
        FUser.Answer(Path("turned.bmp"));
        F().OpenFileGambar1->trigger();
        QVERIFY(QFile::remove("temp.jpeg") && QFile::copy("quarters.jpeg", "temp.jpeg"));
        F().proses->click();
        QCOMPARE(F().Image2->grab().toImage().pixelColor(3, 3), jpegShown.pixelColor(3, 3));
    }

    void commandsWorkUnderTheBusyCursorAfterARepaint() {
        QVERIFY(QTest::qWaitForWindowExposed(&F()));
        TPaintWatch watch;
        F().Image1->installEventFilter(&watch);
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        // Each command repaints the window with the busy cursor on before its
        // work, and takes the cursor back at its end, also when it fails.
        const std::function<void()> commands[] = {
            [&] { FUser.Answer(Path("a.bmp")); F().OpenFileGambar1->trigger(); },
            [&] { F().proses->click(); },
            [&] { SaveAndOpenCompressed(QStringLiteral("c")); watch.Busy = {true}; },
            [&] { F().dekompres->click(); },
            [&] { QFile::remove("temp.jpeg"); F().proses->show(); F().proses->click(); },
        };
        for (const auto& command : commands) {
            watch.Busy.clear();
            command();
            QVERIFY(!watch.Busy.isEmpty() && watch.Busy.first());
            QVERIFY(!QApplication::overrideCursor());
        }
        QCOMPARE(FUser.TakeMessages(), QStringList("Cannot open file temp.jpeg."));
        F().Image1->removeEventFilter(&watch);
    }

    // A file named on the command line or dropped on the window.
    void openFileAsTheOpenCommandsDo() {
        WriteBmp(QStringLiteral("picture.bmp"), 40, 30);
        F().OpenFile("picture.bmp");
        QCOMPARE(F().Label1->Caption(), "unkompres File = " + FormatSize(FileSizeOf("picture.bmp")) + " bytes");
        QCOMPARE(F().Image1->Picture().Graphic()->Width(), 40);
        QVERIFY((MenuState() == TMenuState{false, false, false, true, false}));
        QCOMPARE(F().OpenPictureDialog1.InitialDir(), FFolder->path().toStdString());
        F().proses->click();
        CompressInto("temp.jpeg", "picture.234");

        F().OpenFile("picture.234");
        QCOMPARE(F().Label1->Caption(), "kompres File = " + FormatSize(FileSizeOf("picture.234")) + " bytes");
        QVERIFY((MenuState() == TMenuState{false, false, false, false, true}));
        QVERIFY(!F().Image1->Picture().Graphic() && F().Label3->isHidden());
        F().dekompres->click();
        QCOMPARE(F().Image1->Picture().Graphic()->Height(), 30);
        QVERIFY2(FUser.Messages.isEmpty(), qPrintable(FUser.Messages.join('\n')));

        // A missing file: the same message as when its name is typed in the dialog.
        FUser.Answer(Path("missing.bmp"));
        F().OpenFileGambar1->trigger();
        const QStringList fromDialog = FUser.TakeMessages();
        QCOMPARE(fromDialog.size(), 1);
        RunGuarded([this] { F().OpenFile("missing.bmp"); });
        QCOMPARE(FUser.TakeMessages(), fromDialog);
        RunGuarded([this] { F().OpenFile("missing.234"); });
        QCOMPARE(F().Label1->Caption(), QStringLiteral("kompres File =  bytes"));
        F().dekompres->click();
        QCOMPARE(FUser.TakeMessages(), QStringList("Invalid Filename."));
        QVERIFY(FUser.Asked.size() == 1);
    }

    void droppedFileOpens() {
        WriteBmp(QStringLiteral("dropped.bmp"), 40, 30);
        QMimeData one, two;
        one.setUrls({QUrl::fromLocalFile(FFolder->filePath("dropped.bmp"))});
        two.setUrls({QUrl::fromLocalFile(FFolder->filePath("dropped.bmp")), QUrl::fromLocalFile("/etc/hostname")});
        QDragEnterEvent refused(QPoint(100, 100), Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&F(), &refused);
        QVERIFY(!refused.isAccepted());
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&F(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&F(), &drop);
        QVERIFY(drop.isAccepted());
        QTRY_VERIFY(F().Image1->Picture().Graphic() != nullptr);
        QCOMPARE(F().Image1->Picture().Graphic()->Width(), 40);
        QVERIFY(QFile::exists("temp.jpeg"));
        QVERIFY(!F().proses->isHidden());
    }

    void keyboardReachesTheMenuAndTheButtons() {
        QApplication::setActiveWindow(&F());
        QTest::keyClick(&F(), Qt::Key_F10);
        QTRY_VERIFY(F().Kompres1->menu()->isVisible());
        // With its first item selected, so that Return gives it.
        QCOMPARE(F().Kompres1->menu()->activeAction(), F().OpenFileGambar1);
        F().Kompres1->menu()->close();
        if (F().style()->styleHint(QStyle::SH_MenuBar_AltKeyNavigation, nullptr, F().MainMenu1)) {
            QTest::keyClick(&F(), Qt::Key_Alt);
            QCOMPARE(F().MainMenu1->activeAction(), F().Kompres1);
            QTest::keyClick(F().MainMenu1, Qt::Key_Escape);
        }
        for (QAction* item : F().Kompres1->menu()->actions()) QVERIFY(!item->text().contains('&'));

        // Ctrl+O opens a picture; after each open, however it is given, the
        // focus is on the button just shown, so that Return does not quit.
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        FUser.Answer(Path("a.bmp"));
        QTest::keyClick(&F(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(FUser.Asked.back().Dialog, std::string("OpenPictureDialog1"));
        QCOMPARE(F().focusWidget(), F().proses);
        QTest::keyClick(F().focusWidget(), Qt::Key_Return);
        QVERIFY(QFile::exists("kom.234") && !Application.Terminated);
        FUser.Answer(Path("kom.234"));
        F().OpenFilekompres1->trigger();
        QCOMPARE(F().focusWidget(), F().dekompres);
        QTest::keyClick(F().focusWidget(), Qt::Key_Return);
        QVERIFY(QFile::exists("temp.bmp") && !Application.Terminated);
        F().OpenFile("a.bmp");
        QCOMPARE(F().focusWidget(), F().proses);
        QVERIFY(FUser.Messages.isEmpty());
        QTest::keyClick(&F(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(Application.Terminated);
        Application.Terminated = false;

        F().Button1->setFocus();
        QTest::keyClick(F().Button1, Qt::Key_Return);
        QVERIFY(Application.Terminated);
        FForm2->show();
        QTest::keyClick(FForm2->Button1, Qt::Key_Enter);
        QVERIFY(FForm2->editor->toPlainText().startsWith("Kode: "));
        QVERIFY(FUser.Messages.isEmpty());
    }

    // Programs started one per file in one folder, as a file manager does:
    // the first works there, every further one in a private folder of its
    // own, and the claim on the folder goes with the first, however it ends.
    void runsInOneFolderKeepTheirFilesApart() {
        WriteBmp(QStringLiteral("a.bmp"), 40, 30);
        WriteBmp(QStringLiteral("b.bmp"), 64, 48, Qt::green);
        QTemporaryDir runtime;
        const QByteArray runtimeBefore = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const auto restore = qScopeGuard([&] {
            if (runtimeBefore.isNull()) qunsetenv("XDG_RUNTIME_DIR");
            else qputenv("XDG_RUNTIME_DIR", runtimeBefore);
        });
        // These windows are the first run in the folder.
        const TWorkingFolder first{std::string()};
        QVERIFY(first.Ready() && !first.Private() && first.Problem().empty());
        OpenAndCompress(QStringLiteral("a.bmp"));
        const QStringList files = QDir().entryList(QDir::Files);
        QStringList contents;
        for (const QString& file : files) contents << QString::fromLatin1(Contents(file).toBase64());

        // A second program opens "b.bmp" there and is killed.
        QProcess second;
        StartProgram(second, FFolder->path(), {"b.bmp"});
        QTRY_VERIFY_WITH_TIMEOUT(FilesInFoldersOf(runtime.path(), "vendaru-").contains("temp.jpeg"), 30000);
        second.kill();
        QVERIFY(second.waitForFinished());
        // A second run in this process works apart and ends normally; it
        // removes what a killed run left long ago, not what one left now.
        QVERIFY(QDir(runtime.path()).mkpath("vendaru-killed/old"));
        std::filesystem::last_write_time((runtime.path() + "/vendaru-killed").toStdString(),
                                         std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
        QString privateFolder;
        {
            const TWorkingFolder other{std::string()};
            QVERIFY(other.Ready() && other.Private() && other.Problem().empty());
            privateFolder = QString::fromStdString(WorkingFolder());
            QVERIFY(privateFolder.startsWith(runtime.path() + "/vendaru-"));
            TForm1 window;
            FUser.Answer(Path("b.bmp"));
            window.OpenFileGambar1->trigger();
            window.proses->click();
            QVERIFY(FileExists(WorkingFile("kode.txt")) && FileExists(WorkingFile("kom.234")));
        }
        QVERIFY(FUser.Messages.isEmpty());
        QVERIFY(!QFileInfo::exists(privateFolder));
        QVERIFY(!QFileInfo::exists(runtime.path() + "/vendaru-killed"));
        QVERIFY(FilesInFoldersOf(runtime.path(), "vendaru-").contains("temp.jpeg"));
        QCOMPARE(WorkingFolder(), std::string());
        QCOMPARE(QDir().entryList(QDir::Files), files);
        for (qsizetype i = 0; i < files.size(); ++i)
            QCOMPARE(QString::fromLatin1(Contents(files[i]).toBase64()), contents[i]);

        // The first program in a folder killed: its claim goes with it and
        // leaves no file behind.
        QVERIFY(QDir().mkdir("next"));
        QProcess killed;
        StartProgram(killed, FFolder->filePath("next"), {Path("a.bmp").c_str()});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists("next/temp.jpeg"), 30000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QCOMPARE(QDir("next").entryList(QDir::Files | QDir::Hidden), QStringList("temp.jpeg"));
        const TWorkingFolder after(FFolder->filePath("next").toStdString());
        QVERIFY(after.Ready() && !after.Private());
        // A folder that cannot be made is named with the reason.
        const TWorkingFolder blocked(Path("a.bmp") + "/work");
        QVERIFY(!blocked.Ready());
        QCOMPARE(QString::fromStdString(blocked.Problem()),
                 QString::fromStdString("Cannot make the working folder " + Path("a.bmp") + "/work: ") +
                     QString::fromLatin1(std::strerror(ENOTDIR)));

        // Started from the desktop it works in the user's cache folder.
        QProcess desktop;
        StartProgram(desktop, FFolder->path(), {"--from-desktop", Path("b.bmp").c_str()},
                     {"XDG_CACHE_HOME=" + runtime.path()});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.filePath("vendaru/temp.jpeg")), 30000);
        desktop.kill();
        QVERIFY(desktop.waitForFinished());
        QCOMPARE(QDir().entryList(QDir::Files), files);
    }

    void startedWithoutADisplay() {
        QProcess program;
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) variables.remove(name);
        program.setProcessEnvironment(variables);
        program.start(QStringLiteral(VENDARU_PROGRAM), QStringList());
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(program.readAllStandardError().startsWith("vendaru: no display found"));
    }

    void ctrlXStartsNothing() {
        QTest::keyClick(&F(), Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(F().Button1, Qt::Key_X, Qt::ControlModifier);
        QVERIFY(FUser.Asked.empty());
        QVERIFY(!Application.Terminated);
        QVERIFY(!FForm2->isVisible());
    }
};

QTEST_MAIN(WindowTests)
#include "test_ui_windows.moc"
