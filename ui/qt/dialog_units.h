#pragma once

// Dialog units as the Windows dialog manager converts them, so that the dialog templates keep
// their proportions with whatever font the desktop offers.

#include <QRect>

#include "dialog_templates.h"

class QFontMetrics;

// One horizontal dialog unit is x / 4 pixels, one vertical dialog unit y / 8 pixels.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

// number * numerator / denominator, rounded to the nearest integer with halves away from zero
// (Win32 MulDiv), computed without intermediate overflow. denominator > 0.
int MulDiv(int number, int numerator, int denominator);

// The base units of a font: x from the advance of the 52 Latin letters, y the font's height.
DialogBaseUnits MeasureBaseUnits(const QFontMetrics& metrics);

// Pixel rectangle of a template rectangle given in dialog units; x, y, width and height are
// each converted on their own, as the dialog manager does when it creates the controls.
QRect DialogRectToPixels(const DialogRect& dialogUnits, DialogBaseUnits base);
