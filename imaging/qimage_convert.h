// Showing bitmaps: conversion of any pixel store to a QImage.
#pragma once

#include <QImage>

#include "imaging/bitmap.h"

// The bitmap's pixels as a 24-bit QImage (a null image when it is empty).
QImage BitmapToQImage(const TBitmap& bitmap);
