// The main window "Vendaru Gambar": the menu, the buttons, the two image
// panes and the labels, and the commands behind them.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/display_image.h"

class TForm1 : public QMainWindow {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    TMainMenu* MainMenu1;
    TMenuItem* Kompres1;  // the "File" menu, not a compress command
    TImage* Image1;
    TButton* proses;
    TLabel* Label1;
    TLabel* Label2;
    TFileDialog OpenPictureDialog1;
    TButton* Button1;
    TFileDialog OpenDialog1;
    TMenuItem* OpenFileGambar1;
    TMenuItem* SaveFileKompres1;  // a separator, not a save command
    TMenuItem* OpenFilekompres1;
    TMenuItem* SaveAsGambar1;
    TMenuItem* SavefileKompres2;
    TMenuItem* N1;
    TMenuItem* Exit1;
    TButton* dekompres;
    TFileDialog SavePictureDialog1;
    TFileDialog SaveDialog1;
    TMenuItem* Tabelkode1;
    TLabel* Label3;
    TImage* Image2;
    TLabel* Label4;
    TLabel* Label5;

    void FormCreate(QObject* Sender);
    void prosesClick(QObject* Sender);
    void Button1Click(QObject* Sender);
    void OpenFileGambar1Click(QObject* Sender);
    void OpenFilekompres1Click(QObject* Sender);
    void dekompresClick(QObject* Sender);
    void FormDestroy(QObject* Sender);
    void SaveAsGambar1Click(QObject* Sender);
    void SavefileKompres2Click(QObject* Sender);
    void Exit1Click(QObject* Sender);
    void Tabelkode1Click(QObject* Sender);

    // Opens a file named outside the dialogs (the program's argument, a file
    // dropped on the window): a ".234" file as "Open File kompres" opens the
    // one chosen in its dialog, any other file as "Open File Gambar" does.
    void OpenFile(const std::string& name);

    // Read access to the private state, for inspection.
    const TBitmap* Bitmap() const { return FBitmap.get(); }
    const TJPEGImage* Jpeg() const { return FJpeg.get(); }
    int32_t SourceSize() const { return FSourceSize; }

    // The ShortCut value of Kompres1 (Ctrl+X); the item has no click
    // handler, so it is not bound to any command.
    static constexpr int Kompres1ShortCut = 16472;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The steps of making the window.
    void MakeMenu();
    void MakeControls();
    void MakeKeys();
    void ConnectHandlers();

    void ClearForNewFile();
    // The steps of the two open commands after their dialog, for the name
    // in OpenPictureDialog1 and OpenDialog1.
    void OpenChosenPicture();
    void OpenChosenCompressedFile();
    // Notes that this run has created or replaced the working file `name`.
    void WroteWorkingFile(const std::string& name);
    // Notes a file the user opened: one of the user's, unless this run
    // wrote it as a working file.
    void OpenedUserFile(const std::string& name);
    // The save dialogs start in the folder of the file opened last.
    void SavesStartBeside(const std::string& opened);
    void LoadBitmapFile(const std::string& name);
    void ShowCompressedFile(const std::string& name);

    std::unique_ptr<TBitmap> FBitmap;
    std::unique_ptr<TJPEGImage> FJpeg;
    // FJpeg decoded at the size the right pane shows it at, while it was
    // made; kept for "Kompres" to show.
    TReducedPicture FReducedJpeg;
    int32_t FSourceSize = 0;
    // Files the user chose to open or saved; one that is also a working
    // file stays at exit.
    std::vector<std::string> FUserFiles;
    // The working files this run wrote, by their full names; only these are
    // deleted at exit.
    std::vector<std::string> FWrittenFiles;
};

extern TForm1* Form1;
// Size of the BMP file loaded last; 0 until one has loaded.
extern int32_t BitmapFileSize;
// Size of "kom.234" at the end of the last compression that got that far.
extern int32_t CompressedFileSize;

// Size of a file in bytes; 0 when it is missing, not a regular file, cannot
// be opened, or is too large to count in 32 bits. Never throws.
int32_t FileSizeOf(const std::string& name) noexcept;

// Writes the code listing of the codec's CodeTable to "kode.txt" in the
// current folder; raises EInOutError when a file operation fails.
void WriteCodeListing();
