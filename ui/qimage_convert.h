// Showing bitmaps with Qt: conversion of any pixel store to a QImage, and the
// canvas through which graphics draw themselves on a QPainter.
#pragma once

#include <QImage>
#include <QRect>

#include "imaging/bitmap.h"

class QPainter;

// The bitmap's pixels as a 24-bit QImage (a null image when it is empty).
QImage BitmapToQImage(const TBitmap& bitmap);

inline TRect ToRect(const QRect& r) { return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()}; }
inline QRect ToQRect(const TRect& r) { return QRect(r.Left, r.Top, r.Width(), r.Height()); }

// Draws bitmaps scaled smoothly to the rectangle (ScaleBitmap).
class TPainterCanvas : public TCanvas {
public:
    explicit TPainterCanvas(QPainter& painter) : FPainter(painter) {}
    void StretchDraw(const TRect& rect, const TBitmap& bitmap) override;

private:
    QPainter& FPainter;
};
