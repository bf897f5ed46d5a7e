#include "ui/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QVBoxLayout>
#include <memory>

#include "imaging/bitmap.h"
#include "ui/display_image.h"

TFileDialog::TFileDialog(QWidget* owner, std::string name, TKind kind, bool preview)
    : FOwner(owner), FName(std::move(name)), FKind(kind), FPreview(preview) {}

void TFileDialog::SetInitialDir(const std::string& folder) {
    std::string value = folder;
    if (value.size() > 1 && value.back() == '/' && value[value.size() - 2] != ':')
        value.pop_back();
    FInitialDir = value;
}

bool TFileDialog::Execute() { return UserInteraction().ExecuteFileDialog(*this); }

bool DescriptionNamesPattern(const std::string& filter) {
    const size_t bar = filter.find('|');
    if (bar == std::string::npos) return false;
    const std::string description = filter.substr(0, bar), pattern = filter.substr(bar + 1);
    return description.find(pattern) != std::string::npos && description.find('(') == std::string::npos;
}

QString QtNameFilter(const std::string& filter) {
    const size_t bar = filter.find('|');
    if (bar == std::string::npos) return QString::fromStdString(filter);
    const QString description = QString::fromStdString(filter.substr(0, bar));
    const QString pattern = QString::fromStdString(filter.substr(bar + 1));
    // Qt takes the patterns from the description's last parenthesised part.
    if (description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')'))) return description;
    return description + QStringLiteral(" (") + pattern + QLatin1Char(')');
}

namespace {

// Shows the BMP file selected in a dialog, read through our own bitmap
// class and scaled to fit, keeping its proportions. Only what a thumbnail
// needs is read: the description and a few hundred rows spread over the
// picture, whatever the file's size.
class TPreviewPane : public QWidget {
public:
    explicit TPreviewPane(QWidget* parent) : QWidget(parent) {
        setMinimumSize(180, 180);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addStretch(1);
        FSizeText = new QLabel(this);
        FSizeText->setAlignment(Qt::AlignHCenter);
        layout->addWidget(FSizeText);
    }

    void ShowFile(const QString& path) {
        FPreview = TBmpPreview();
        FShown = QImage();
        FSizeText->clear();
        const QFileInfo info(path);
        if (info.isFile() && info.suffix().compare(QStringLiteral("bmp"), Qt::CaseInsensitive) == 0) {
            try {
                TBmpPreview preview = ReadBmpPreview(path.toStdString());
                if (!preview.Rows->Empty()) {
                    FSizeText->setText(QStringLiteral("%1 x %2").arg(preview.Width).arg(preview.Height));
                    FPreview = std::move(preview);
                }
            } catch (...) {
                // Not a bitmap we can read: the preview stays empty.
            }
        }
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!FPreview.Rows) return;
        QRect area = rect().adjusted(4, 4, -4, -4 - FSizeText->height());
        QSize size(FPreview.Width, FPreview.Height);
        size.scale(area.size(), Qt::KeepAspectRatio);
        if (size.isEmpty()) return;
        const QRect target(area.x() + (area.width() - size.width()) / 2,
                           area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
        try {
            if (FShown.size() != size) FShown = ScaleBitmap(*FPreview.Rows, size);
            QPainter painter(this);
            painter.drawImage(target.topLeft(), FShown);
        } catch (...) {
            // A preview is a courtesy: one that cannot be drawn is left out.
            FPreview = TBmpPreview();
        }
    }

private:
    TBmpPreview FPreview;
    QImage FShown;
    QLabel* FSizeText;
};

// The window of ours that a message box belongs to: the active one or,
// while none is (the focus has not come back from a file dialog that just
// closed), the main window. A box without a parent would be placed by the
// toolkit's hidden leader window, off our windows.
QWidget* MessageOwner() {
    if (QWidget* active = QApplication::activeWindow(); active && active->isVisible()) return active;
    QWidget* shown = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip)
            continue;
        if (qobject_cast<QMainWindow*>(window)) return window;
        if (!shown) shown = window;
    }
    return shown;
}

class TDesktopInteraction : public TUserInteraction {
public:
    bool ExecuteFileDialog(TFileDialog& dialog) override {
        QFileDialog box(dialog.Owner());
        // Qt's own dialog, so that the preview pane can be added; the
        // defaults of the program: no overwrite prompt, typed names of files
        // that do not exist are accepted.
        box.setOption(QFileDialog::DontUseNativeDialog, true);
        box.setOption(QFileDialog::DontConfirmOverwrite, true);
        box.setAcceptMode(dialog.Kind() == TFileDialog::dkOpen ? QFileDialog::AcceptOpen
                                                               : QFileDialog::AcceptSave);
        box.setFileMode(QFileDialog::AnyFile);
        box.setNameFilter(QtNameFilter(dialog.Filter));
        // A description that names its pattern already shows it once.
        box.setOption(QFileDialog::HideNameFilterDetails, DescriptionNamesPattern(dialog.Filter));
        box.setWindowTitle(dialog.Kind() == TFileDialog::dkOpen ? QStringLiteral("Open")
                                                                : QStringLiteral("Save As"));
        box.setDirectory(dialog.InitialDir().empty() ? QDir::currentPath()
                                                     : QString::fromStdString(dialog.InitialDir()));
        if (!dialog.FileName.empty())
            box.selectFile(QFileInfo(QString::fromStdString(dialog.FileName)).fileName());
        if (dialog.HasPreview()) {
            if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
                auto* preview = new TPreviewPane(&box);
                grid->addWidget(preview, 0, grid->columnCount(), grid->rowCount(), 1);
                QObject::connect(&box, &QFileDialog::currentChanged, preview,
                                 [preview](const QString& path) { preview->ShowFile(path); });
            }
        }
        if (box.exec() != QDialog::Accepted) return false;
        const QStringList chosen = box.selectedFiles();
        if (chosen.isEmpty()) return false;
        dialog.FileName = chosen.front().toStdString();
        return true;
    }

    void ShowErrorMessage(const QString& caption, const QString& text, const QString& detail) override {
        QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, MessageOwner());
        // Messages carry file names, which may look like markup: show them as they are.
        box.setTextFormat(Qt::PlainText);
        if (!detail.isEmpty()) box.setDetailedText(detail);
        box.exec();
    }
};

TDesktopInteraction DesktopInteraction;
TUserInteraction* Installed = nullptr;

}  // namespace

TUserInteraction& UserInteraction() { return Installed ? *Installed : DesktopInteraction; }

TUserInteraction* SetUserInteraction(TUserInteraction* interaction) {
    TUserInteraction* previous = Installed;
    Installed = interaction;
    return previous;
}
