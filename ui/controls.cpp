#include "ui/controls.h"

#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <exception>

#include "ui/application.h"
#include "ui/display_image.h"

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
        FReduced = {};
        FDisplay = QImage();
        FDisplaySize = QSize();
        update();
    };
}

TImage::~TImage() { FPicture.OnChange = nullptr; }

QRect TImage::TargetRect(QSize pictureSize) const {
    QRect target = rect();
    if (!Stretch) {
        target.setSize(pictureSize);
        if (Center) target.moveCenter(rect().center());
    }
    return target;
}

QSize TImage::DisplaySize(QSize pictureSize) const {
    return (QSizeF(TargetRect(pictureSize).size()) * devicePixelRatioF()).toSize();
}

void TImage::UseReduced(TReducedPicture reduced) { FReduced = std::move(reduced); }

void TImage::paintEvent(QPaintEvent*) {
    TGraphic* graphic = FPicture.Graphic();
    if (!graphic || FDrawFailed) return;
    try {
        if (graphic->Empty()) return;
        const QRect target = TargetRect(QSize(graphic->Width(), graphic->Height()));
        const qreal ratio = devicePixelRatioF();
        if (target.size() != FDisplaySize || ratio != FDisplayRatio) {
            // Drawn in device pixels, so that it stays sharp on a dense screen.
            FDisplay = MakeDisplayImage(*graphic, (QSizeF(target.size()) * ratio).toSize(), &FReduced);
            FDisplay.setDevicePixelRatio(ratio);
            FDisplaySize = target.size();
            FDisplayRatio = ratio;
            ++FDisplayImagesMade;
        }
        if (FDisplay.isNull()) return;
        QPainter painter(this);
        painter.drawImage(target.topLeft(), FDisplay);
    } catch (...) {
        // Report outside the paint event, once for this graphic.
        FDrawFailed = true;
        std::exception_ptr error = std::current_exception();
        QTimer::singleShot(0, [error] {
            RunGuarded([&] { std::rethrow_exception(error); });
        });
    }
}

TBusyCursor::TBusyCursor(QWidget* window) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    window->repaint();
}

TBusyCursor::~TBusyCursor() { QApplication::restoreOverrideCursor(); }

namespace {
constexpr int kDesignBorder = 4;
constexpr int kDesignCaption = 19;
}  // namespace

void PlaceWindow(QWidget* window, int left, int top, int outerWidth, int outerHeight) {
    window->move(left, top);
    window->resize(outerWidth - 2 * kDesignBorder, outerHeight - 2 * kDesignBorder - kDesignCaption);
}
