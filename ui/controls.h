// The controls the two windows are made of, on Qt widgets: self-sizing
// labels, image panes over a TPicture, and the form font.
#pragma once

#include <QAction>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTextEdit>
#include <QWidget>

#include "imaging/picture.h"
#include "ui/display_image.h"

using TMainMenu = QMenuBar;
using TMenuItem = QAction;
using TButton = QPushButton;
using TRichEdit = QTextEdit;

// The windows' font: the platform's sans-serif face at 8 points.
QFont FormFont();

// Places a control at its designed client position and size.
void PlaceControl(QWidget* control, int left, int top, int width, int height);

// A label that sizes itself to its text; its left edge stays where it is.
class TLabel : public QLabel {
public:
    TLabel(QWidget* parent, int left, int top, int width, int height, const QString& caption);
    QString Caption() const { return text(); }
    void SetCaption(const QString& caption);
};

// An image pane: holds its own copy of what it is given (sharing the
// pixels) and, with Stretch, scales it to fill the pane, width and height
// independently. An empty pane shows nothing.
//
// The pane shows a display image: the picture scaled smoothly to the size it
// is shown at, made at the first paint after the picture or the pane's size
// changed. Every other paint only copies it to the screen.
class TImage : public QWidget {
public:
    explicit TImage(QWidget* parent);
    ~TImage() override;

    TPicture& Picture() { return FPicture; }
    const TPicture& Picture() const { return FPicture; }

    bool Stretch = false;
    // No visible effect while Stretch is set.
    bool Center = false;

    // How many display images the pane has made so far.
    int DisplayImagesMade() const { return FDisplayImagesMade; }

    // The size in device pixels that a picture of `pictureSize` is shown at.
    QSize DisplaySize(QSize pictureSize) const;
    // The picture the pane shows, decoded small beforehand: display images
    // are made from it where they would be decoded at its scale. Dropped
    // when the picture changes.
    void UseReduced(TReducedPicture reduced);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Where a picture of `pictureSize` goes in the pane (in the pane's coordinates).
    QRect TargetRect(QSize pictureSize) const;

    TPicture FPicture;
    // A graphic that failed to draw is reported once, not at every repaint.
    bool FDrawFailed = false;
    TReducedPicture FReduced;
    QImage FDisplay;
    // What FDisplay was made for; an empty size: nothing made yet.
    QSize FDisplaySize;
    qreal FDisplayRatio = 0;
    int FDisplayImagesMade = 0;
};

// While it lives, the busy cursor shows over the program's windows. Made
// when a command starts its work on files: the window is repainted at once,
// the area a closed dialog left behind included, so that it shows the
// command's first changes before the work.
class TBusyCursor {
public:
    explicit TBusyCursor(QWidget* window);
    ~TBusyCursor();
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// Moves a window to its designed screen position and gives it the client
// size that its designed outer size leaves inside the frame the design was
// drawn with (4 pixels of border, a 19-pixel caption).
void PlaceWindow(QWidget* window, int left, int top, int outerWidth, int outerHeight);
