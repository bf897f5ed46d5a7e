// The four standard file dialogs of the main window, and the single point
// through which the program asks the person at the screen for anything (a
// file name, or acknowledging an error message).
#pragma once

#include <QString>
#include <string>

class QWidget;

class TFileDialog {
public:
    enum TKind { dkOpen, dkSave };

    // `name` is the component's name ("OpenPictureDialog1", ...); `preview`
    // adds a preview pane of the selected BMP file.
    TFileDialog(QWidget* owner, std::string name, TKind kind, bool preview);

    const std::string& Name() const { return FName; }
    TKind Kind() const { return FKind; }
    bool HasPreview() const { return FPreview; }
    QWidget* Owner() const { return FOwner; }

    // One description, a bar and one pattern: "Bitmaps (*.bmp)|*.bmp".
    std::string Filter;
    // The chosen full file name after a confirmed Execute.
    std::string FileName;

    // Folder the dialog starts in; empty: where the platform decides.
    const std::string& InitialDir() const { return FInitialDir; }
    // Stores `folder` without one trailing separator (a lone "/" stays).
    void SetInitialDir(const std::string& folder);

    // Runs the dialog; true when the user confirmed a name (then in
    // FileName), false when cancelled. The dialogs run with the defaults:
    // no overwrite prompt and no check that a typed name exists.
    bool Execute();

private:
    QWidget* FOwner;
    std::string FName;
    TKind FKind;
    bool FPreview;
    std::string FInitialDir;
};

// Qt's form of a "description|pattern" filter.
QString QtNameFilter(const std::string& filter);
// True for a filter whose description shows its pattern without
// parentheses ("File kompres *.234|*.234"): Qt's form would show it twice.
bool DescriptionNamesPattern(const std::string& filter);

// Everything that needs an answer from a person goes through here. The
// desktop implementation shows real dialogs and message boxes; another one
// can be installed to drive the windows unattended.
class TUserInteraction {
public:
    virtual ~TUserInteraction() = default;
    // Sets dialog.FileName and returns true, or returns false for cancel.
    virtual bool ExecuteFileDialog(TFileDialog& dialog) = 0;
    // `detail`, where not empty, is the system's reason for the failure.
    virtual void ShowErrorMessage(const QString& caption, const QString& text, const QString& detail) = 0;
};

TUserInteraction& UserInteraction();
// Installs `interaction` (null: the desktop dialogs again); returns the
// one installed before.
TUserInteraction* SetUserInteraction(TUserInteraction* interaction);
