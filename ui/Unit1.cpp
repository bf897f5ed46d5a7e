#include "ui/Unit1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <unistd.h>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/file_names.h"
#include "core/safe_write.h"
#include "core/streams.h"
#include "core/worker_threads.h"
#include "imaging/jpeg_feed.h"
#include "pack/pack_steps.h"
#include "ui/application.h"
#include "ui/formats.h"
#include "ui/Unit3.h"
#include "ui/working_folder.h"

TForm1* Form1 = nullptr;
int32_t BitmapFileSize = 0;
int32_t CompressedFileSize = 0;

namespace {

const char* const kTempJpeg = "temp.jpeg";
const char* const kCompressed = "kom.234";
const char* const kExpandedJpeg = "dekom.jpeg";
const char* const kTempBmp = "temp.bmp";
const char* const kCodeListing = "kode.txt";

QString SizeText(const char* prefix, int32_t size, const char* suffix) {
    return QString::fromLatin1(prefix) + FormatSize(size) + QString::fromLatin1(suffix);
}

// The local file of a drag that carries exactly one, or "".
QString DraggedFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) return QString();
    const QList<QUrl> urls = data->urls();
    return urls.size() == 1 && urls.front().isLocalFile() ? urls.front().toLocalFile() : QString();
}

// Encodes `jpeg` on a thread of its own while this thread runs `load`,
// which reads the picture and announces its rows to `arriving` (the thread
// starts on them once the picture's store is there), and then, for a
// `shift` above 0 that `load` sets, decodes the new bytes at 1/2^shift as
// they are made. Returns that small picture (none where it could not be
// made); a failure of `load`, else of the encoding, is raised here, as on
// this thread.
TReducedPicture EncodeAlongside(TJPEGImage& jpeg, TRowsArriving& arriving, int& shift,
                                const std::function<void()>& load) {
    TJPEGFeed feed;
    TReducedPicture reduced{nullptr, 0, jpeg.Settings};
    const bool alongside = RunAlongside(
        [&] {
            if (arriving.WaitStarted()) jpeg.EncodeJpegFeeding(feed, arriving);
        },
        [&] {
            try {
                load();
            } catch (...) {
                // Ended before the picture's rows were read (the file did not
                // open, say): the encoding waits for them no longer.
                arriving.End(false);
                throw;
            }
            reduced.Shift = shift;
            try {
                if (shift > 0) reduced.Bitmap = TJPEGImage::DecodeReduced(feed, jpeg.Settings, shift);
            } catch (...) {
                // Only the encoding's own failure counts; the pane decodes the
                // picture itself when it shows it.
                reduced.Bitmap.reset();
            }
        });
    if (alongside) return reduced;
    // No second thread: one after the other.
    load();
    jpeg.EncodeJpeg();
    return {};
}

// True when both names lead to one existing file.
bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error);
}

}  // namespace

int32_t FileSizeOf(const std::string& name) noexcept {
    try {
        TFileStream stream(name, TFileStream::fmOpenRead);
        const int64_t size = stream.Size();
        if (size < 0 || size > std::numeric_limits<int32_t>::max()) return 0;
        return static_cast<int32_t>(size);
    } catch (...) {
        return 0;
    }
}

void WriteCodeListing() {
    const std::string text = unit2::FormatCodeListing();
    const int handle = ::open(WorkingFile(kCodeListing).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (handle < 0) throw EInOutError(errno);
    if (const int error = WriteAllBytes(handle, text.data(), text.size()); error != 0) {
        ::close(handle);
        throw EInOutError(error);
    }
    if (::close(handle) != 0) throw EInOutError(errno);
}

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent),
      OpenPictureDialog1(this, "OpenPictureDialog1", TFileDialog::dkOpen, true),
      OpenDialog1(this, "OpenDialog1", TFileDialog::dkOpen, false),
      SavePictureDialog1(this, "SavePictureDialog1", TFileDialog::dkSave, true),
      SaveDialog1(this, "SaveDialog1", TFileDialog::dkSave, false) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Vendaru Gambar"));
    setFont(FormFont());
    PlaceWindow(this, 67, 97, 647, 472);
    MakeMenu();
    MakeControls();
    MakeKeys();
    setAcceptDrops(true);

    OpenPictureDialog1.Filter = "Bitmaps (*.bmp)|*.bmp";
    OpenDialog1.Filter = "File Kompres *.234|*.234";
    SavePictureDialog1.Filter = "Bitmaps (*.bmp)|*.bmp";
    SaveDialog1.Filter = "File kompres *.234|*.234";

    ConnectHandlers();
    RunGuarded([this] { FormCreate(this); });
}

// Menu bar: "File" with its submenu, and "Tabel kode" as a command.
void TForm1::MakeMenu() {
    MainMenu1 = new TMainMenu(this);
    MainMenu1->setNativeMenuBar(false);
    setMenuBar(MainMenu1);
    QMenu* fileMenu = MainMenu1->addMenu(QStringLiteral("File"));
    Kompres1 = fileMenu->menuAction();
    OpenFileGambar1 = fileMenu->addAction(QStringLiteral("Open File Gambar"));
    OpenFilekompres1 = fileMenu->addAction(QStringLiteral("Open File kompres"));
    SaveFileKompres1 = fileMenu->addSeparator();
    SaveAsGambar1 = fileMenu->addAction(QStringLiteral("Save As Gambar"));
    SavefileKompres2 = fileMenu->addAction(QStringLiteral("Save File Kompres"));
    N1 = fileMenu->addSeparator();
    Exit1 = fileMenu->addAction(QStringLiteral("Exit"));
    Tabelkode1 = MainMenu1->addAction(QStringLiteral("Tabel kode"));
    SaveAsGambar1->setEnabled(false);
    SavefileKompres2->setEnabled(false);
    Tabelkode1->setEnabled(false);
}

// The image panes, the labels and the buttons, at their designed places.
void TForm1::MakeControls() {
    auto* client = new QWidget(this);
    setCentralWidget(client);

    Image1 = new TImage(client);
    PlaceControl(Image1, 8, 8, 297, 273);
    Image1->Stretch = Image1->Center = true;
    Image2 = new TImage(client);
    PlaceControl(Image2, 320, 8, 305, 273);
    Image2->Stretch = Image2->Center = true;
    Label4 = new TLabel(client, 112, 296, 63, 13, QStringLiteral("Gambar BMP"));
    Label5 = new TLabel(client, 440, 296, 67, 13, QStringLiteral("Gambar JPEG"));
    Label1 = new TLabel(client, 262, 320, 3, 13, QString());
    Label2 = new TLabel(client, 262, 343, 3, 13, QString());
    Label3 = new TLabel(client, 264, 360, 33, 13, QStringLiteral("Rasio :"));
    Label3->hide();
    proses = new TButton(QStringLiteral("Kompres"), client);
    PlaceControl(proses, 288, 392, 75, 25);
    proses->hide();
    Button1 = new TButton(QStringLiteral("Keluar"), client);
    PlaceControl(Button1, 552, 392, 75, 25);
    dekompres = new TButton(QStringLiteral("Dekompres"), client);
    PlaceControl(dekompres, 288, 392, 75, 25);
    dekompres->hide();
    QWidget::setTabOrder(proses, Button1);
    QWidget::setTabOrder(Button1, dekompres);
    for (TButton* button : {proses, Button1, dekompres}) button->setAutoDefault(true);  // Return presses it
}

// Keys without a menu item that shows them: F10 (and Alt+F, the captions
// having no mnemonics) opens "File" with its first item selected, Ctrl+O
// gives "Open File Gambar" and Ctrl+Q "Exit". Ctrl+X, the shortcut of the
// "File" item itself, starts nothing.
void TForm1::MakeKeys() {
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_F10), QKeySequence(Qt::ALT | Qt::Key_F)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            MainMenu1->setActiveAction(Kompres1);
            Kompres1->menu()->setActiveAction(OpenFileGambar1);
        });
    }
    const std::pair<QKeySequence, QAction*> commands[] = {{QKeySequence(Qt::CTRL | Qt::Key_O), OpenFileGambar1},
                                                          {QKeySequence(Qt::CTRL | Qt::Key_Q), Exit1}};
    for (const auto& [keys, item] : commands) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, item, &QAction::trigger);
    }
}

void TForm1::ConnectHandlers() {
    connect(OpenFileGambar1, &QAction::triggered, this,
            Guarded(this, &TForm1::OpenFileGambar1Click, OpenFileGambar1));
    connect(OpenFilekompres1, &QAction::triggered, this,
            Guarded(this, &TForm1::OpenFilekompres1Click, OpenFilekompres1));
    connect(SaveAsGambar1, &QAction::triggered, this,
            Guarded(this, &TForm1::SaveAsGambar1Click, SaveAsGambar1));
    connect(SavefileKompres2, &QAction::triggered, this,
            Guarded(this, &TForm1::SavefileKompres2Click, SavefileKompres2));
    connect(Exit1, &QAction::triggered, this, Guarded(this, &TForm1::Exit1Click, Exit1));
    connect(Tabelkode1, &QAction::triggered, this, Guarded(this, &TForm1::Tabelkode1Click, Tabelkode1));
    connect(proses, &QPushButton::clicked, this, Guarded(this, &TForm1::prosesClick, proses));
    connect(dekompres, &QPushButton::clicked, this, Guarded(this, &TForm1::dekompresClick, dekompres));
    connect(Button1, &QPushButton::clicked, this, Guarded(this, &TForm1::Button1Click, Button1));
}

TForm1::~TForm1() {
    RunGuarded([this] { FormDestroy(this); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    Application.Terminate();
}

void TForm1::FormCreate(QObject*) {
    // The picture dialog starts in the program's own folder.
    OpenPictureDialog1.SetInitialDir(FolderOf(QCoreApplication::applicationFilePath().toStdString()));
    FSourceSize = 0;
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!DraggedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const QString file = DraggedFile(event->mimeData());
    if (file.isEmpty()) return;
    event->acceptProposedAction();
    // Opened once the drop is over, so that a message box does not hold up
    // the program the file came from.
    QTimer::singleShot(0, this, [this, name = file.toStdString()] { RunGuarded([&] { OpenFile(name); }); });
}

void TForm1::FormDestroy(QObject*) {
    FBitmap.reset();
    FJpeg.reset();
    // Only what this run wrote goes; a file of the user's under a working
    // file's name that this run never wrote stays.
    for (const char* name : {kTempBmp, kTempJpeg, kExpandedJpeg, kCompressed}) {
        for (const std::string& written : FWrittenFiles) {
            if (std::filesystem::path(written).filename() != name) continue;
            // So does one the user chose in a dialog after this run wrote it
            // (a picture "temp.bmp" opened, a compressed file saved as "kom").
            const bool usersOwn = std::any_of(FUserFiles.begin(), FUserFiles.end(),
                                              [&written](const std::string& file) { return SameFile(written, file); });
            if (!usersOwn) DeleteFile(written);
        }
    }
}

void TForm1::OpenedUserFile(const std::string& name) {
    // A working file this run wrote stays one when the user opens it (this
    // run's "kom.234" through "Open File kompres"): it goes at exit.
    const bool working = std::any_of(FWrittenFiles.begin(), FWrittenFiles.end(),
                                     [&name](const std::string& written) { return SameFile(written, name); });
    if (!working) FUserFiles.push_back(name);
}

void TForm1::WroteWorkingFile(const std::string& name) {
    std::error_code error;
    std::string file = std::filesystem::absolute(name, error).lexically_normal().string();
    if (error) file = name;
    if (std::find(FWrittenFiles.begin(), FWrittenFiles.end(), file) == FWrittenFiles.end())
        FWrittenFiles.push_back(file);
}

void TForm1::OpenFile(const std::string& name) {
    const std::string file = QFileInfo(QString::fromStdString(name)).absoluteFilePath().toStdString();
    if (file.size() >= 4 && file.compare(file.size() - 4, 4, ".234") == 0) {
        OpenDialog1.FileName = file;
        OpenChosenCompressedFile();
    } else {
        OpenPictureDialog1.FileName = file;
        OpenChosenPicture();
    }
}

// The first steps of both open commands once a file has been chosen.
void TForm1::ClearForNewFile() {
    SaveAsGambar1->setEnabled(false);
    Tabelkode1->setEnabled(false);
    SavefileKompres2->setEnabled(false);
    Label1->SetCaption(QString());
    Label2->SetCaption(QString());
    FReducedJpeg = {};
}

void TForm1::OpenFileGambar1Click(QObject*) {
    if (!OpenPictureDialog1.Execute()) return;
    OpenChosenPicture();
}

void TForm1::OpenChosenPicture() {
    OpenedUserFile(OpenPictureDialog1.FileName);
    ClearForNewFile();
    proses->show();
    dekompres->hide();
    // Return gives "Kompres" next, not "Keluar".
    proses->setFocus();
    TBusyCursor busy(this);
    LoadBitmapFile(OpenPictureDialog1.FileName);
    OpenPictureDialog1.SetInitialDir(FolderOf(OpenPictureDialog1.FileName));
    SavesStartBeside(OpenPictureDialog1.FileName);
}

void TForm1::SavesStartBeside(const std::string& opened) {
    const std::string folder = FolderOf(opened);
    SavePictureDialog1.SetInitialDir(folder);
    SaveDialog1.SetInitialDir(folder);
}

void TForm1::LoadBitmapFile(const std::string& name) {
    CompressedFileSize = 0;
    BitmapFileSize = 0;
    FSourceSize = FileSizeOf(name);
    Label1->SetCaption(SizeText("unkompres File = ", FSourceSize, " bytes"));
    FBitmap.reset();
    FBitmap = std::make_unique<TBitmap>();
    // The JPEG is made on a thread of its own from the rows as they are
    // read; meanwhile the picture shows and the file is created, and its
    // bytes are decoded at the size the other pane shows them at as they
    // come, ready for "Kompres". It becomes FJpeg once the file has loaded.
    auto jpeg = std::make_unique<TJPEGImage>();
    TJPEGImage& encoder = *jpeg;
    TRowsArriving arriving;
    const std::string tempJpeg = WorkingFile(kTempJpeg);
    std::optional<TFileStream> file;
    int shift = 0;
    try {
        FReducedJpeg = EncodeAlongside(encoder, arriving, shift, [&] {
            {
                TFileStream stream(name, TFileStream::fmOpenRead);
                FBitmap->ReadArriving(stream, arriving, [&] { encoder.Assign(FBitmap.get()); });
            }
            BitmapFileSize = FileSizeOf(name);
            Image1->Picture().SetGraphic(FBitmap.get());
            FJpeg.reset();
            FJpeg = std::move(jpeg);
            const QSize size(FBitmap->Width(), FBitmap->Height());
            shift = JpegReductionFor(size.width(), size.height(), Image2->DisplaySize(size));
            Image1->repaint();
            WriteForTarget(tempJpeg, [&] { file.emplace(tempJpeg, TFileStream::fmCreate); });
            WroteWorkingFile(tempJpeg);
        });
        WriteForTarget(tempJpeg, [&] { FJpeg->WriteToStream(*file); });
    } catch (...) {
        // A JPEG cut short (a full disk) is not left for "Kompres" or "Save
        // File Kompres" to take for the picture.
        if (file) {
            file.reset();
            DeleteFile(tempJpeg);
        }
        throw;
    }
}

void TForm1::OpenFilekompres1Click(QObject*) {
    if (!OpenDialog1.Execute()) return;
    OpenChosenCompressedFile();
}

void TForm1::OpenChosenCompressedFile() {
    OpenedUserFile(OpenDialog1.FileName);
    ClearForNewFile();
    proses->hide();
    dekompres->show();
    // Hiding a focused "Kompres" hands the focus on to "Keluar"; Return
    // gives "Dekompres" next.
    dekompres->setFocus();
    Image1->Picture().SetGraphic(nullptr);
    Image2->Picture().SetGraphic(nullptr);
    Label3->hide();
    ShowCompressedFile(OpenDialog1.FileName);
    // The next "Open File kompres" starts in the folder of this file.
    OpenDialog1.SetInitialDir(FolderOf(OpenDialog1.FileName));
    SavesStartBeside(OpenDialog1.FileName);
}

void TForm1::ShowCompressedFile(const std::string& name) {
    FSourceSize = FileSizeOf(name);
    Label1->SetCaption(SizeText("kompres File = ", FSourceSize, " bytes"));
    dekompres->show();
}

void TForm1::prosesClick(QObject*) {
    SaveAsGambar1->setEnabled(false);
    Tabelkode1->setEnabled(true);
    SavefileKompres2->setEnabled(true);
    TBusyCursor busy(this);
    const std::string tempJpeg = WorkingFile(kTempJpeg), compressed = WorkingFile(kCompressed);
    Image2->Picture().LoadFromFile(tempJpeg);
    // The file still holds the bytes decoded small when they were made:
    // the pane shows them from that.
    if (FReducedJpeg.Bitmap && FJpeg && FJpeg->Equals(Image2->Picture().Graphic()))
        Image2->UseReduced(std::move(FReducedJpeg));
    FReducedJpeg = {};
    {
        unit2::TCodecFiles files;
        unit2::OpenInputFile(tempJpeg);
        WriteForTarget(compressed, [&] {
            pack::CompressInputInto(compressed, [&] { WroteWorkingFile(compressed); });
        });
    }
    Label2->SetCaption(SizeText("kompres File = ", FileSizeOf(compressed), "  bytes"));
    WriteCodeListing();
    CompressedFileSize = FileSizeOf(compressed);
    if (CompressedFileSize <= 0 || BitmapFileSize <= 0) {
        Label3->hide();
    } else {
        const long double ratio =
            static_cast<long double>(FSourceSize) / static_cast<long double>(CompressedFileSize);
        Label3->SetCaption(QStringLiteral("Rasio") + FormatRatio(ratio) + QStringLiteral(" : 1"));
        Label3->show();
    }
}

void TForm1::dekompresClick(QObject*) {
    SaveAsGambar1->setEnabled(true);
    Tabelkode1->setEnabled(true);
    SavefileKompres2->setEnabled(false);
    TBusyCursor busy(this);
    const std::string expandedJpeg = WorkingFile(kExpandedJpeg), tempBmp = WorkingFile(kTempBmp);
    unit2::ResetCodec();
    {
        unit2::TCodecFiles files;
        unit2::OpenInputFile(OpenDialog1.FileName);
        WriteForTarget(expandedJpeg, [&] {
            pack::ExpandInputInto(expandedJpeg, [&] { WroteWorkingFile(expandedJpeg); });
        });
    }
    FBitmap.reset();
    FBitmap = std::make_unique<TBitmap>();
    FJpeg.reset();
    FJpeg = std::make_unique<TJPEGImage>();
    FJpeg->LoadFromFile(expandedJpeg);
    WriteForTarget(tempBmp, [&] {
        pack::DecodeJpegToFile(*FJpeg, *FBitmap, tempBmp, [&] { WroteWorkingFile(tempBmp); });
    });
    Image1->Picture().SetGraphic(FBitmap.get());
    Label2->SetCaption(SizeText("Extrak File = ", FileSizeOf(tempBmp), "  bytes"));
}

void TForm1::SaveAsGambar1Click(QObject*) {
    // After a failed "Dekompres" the item is enabled while the pane shows
    // nothing; say so rather than write an empty file.
    const TGraphic* shown = Image1->Picture().Graphic();
    if (!shown || shown->Empty())
        throw EError("There is no picture to save; \"Dekompres\" a compressed file first");
    if (!SavePictureDialog1.Execute()) return;
    TBusyCursor busy(this);
    const std::string target = SavePictureDialog1.FileName + ".bmp";
    TBitmap picture;
    picture.Assign(shown);
    // Written beside the target first: a failure keeps the old file whole.
    WriteFileSafely(target, [&](const std::string& temporaryName) { picture.SaveToFile(temporaryName); });
    FUserFiles.push_back(target);
}

void TForm1::SavefileKompres2Click(QObject*) {
    unit2::TCodecFiles files;
    unit2::OpenInputFile(WorkingFile(kTempJpeg));
    if (!SaveDialog1.Execute()) return;  // the guard closes the input
    TBusyCursor busy(this);
    const std::string target = SaveDialog1.FileName + ".234";
    // Written beside the target first: a failure keeps the old file whole.
    WriteFileSafely(target, [](const std::string& temporaryName) { pack::CompressInputInto(temporaryName); });
    FUserFiles.push_back(target);
}

void TForm1::Exit1Click(QObject*) { Application.Terminate(); }

void TForm1::Button1Click(QObject*) { Application.Terminate(); }

void TForm1::Tabelkode1Click(QObject*) {
    Form2->show();
    Form2->raise();
    Form2->activateWindow();
}
