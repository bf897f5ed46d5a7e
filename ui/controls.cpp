#include "ui/controls.h"

#include <QPainter>
#include <QTimer>
#include <exception>

#include "ui/application.h"
#include "ui/qimage_convert.h"

QFont FormFont() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

void PlaceControl(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(left, top, width, height);
}

TLabel::TLabel(QWidget* parent, int left, int top, int width, int height, const QString& caption)
    : QLabel(parent) {
    PlaceControl(this, left, top, width, height);
    SetCaption(caption);
}

void TLabel::SetCaption(const QString& caption) {
    setText(caption);
    const int left = x(), top = y();
    adjustSize();
    move(left, top);
}

TImage::TImage(QWidget* parent) : QWidget(parent) {
    FPicture.OnChange = [this](TPicture*) {
        FDrawFailed = false;
        update();
    };
}

TImage::~TImage() { FPicture.OnChange = nullptr; }

void TImage::paintEvent(QPaintEvent*) {
    TGraphic* graphic = FPicture.Graphic();
    if (!graphic || FDrawFailed) return;
    QPainter painter(this);
    try {
        if (graphic->Empty()) return;
        QRect target = rect();
        if (!Stretch) {
            target.setSize(QSize(graphic->Width(), graphic->Height()));
            if (Center) target.moveCenter(rect().center());
        }
        TPainterCanvas canvas(painter);
        graphic->Draw(canvas, ToRect(target));
    } catch (...) {
        // Report outside the paint event, once for this graphic.
        FDrawFailed = true;
        std::exception_ptr error = std::current_exception();
        QTimer::singleShot(0, [error] {
            RunGuarded([&] { std::rethrow_exception(error); });
        });
    }
}

namespace {
constexpr int kDesignBorder = 4;
constexpr int kDesignCaption = 19;
}  // namespace

void PlaceWindow(QWidget* window, int left, int top, int outerWidth, int outerHeight) {
    window->move(left, top);
    window->resize(outerWidth - 2 * kDesignBorder, outerHeight - 2 * kDesignBorder - kDesignCaption);
}

std::string FolderOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}
