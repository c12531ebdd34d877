#include "dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <cstdint>

int MulDiv(int number, int numerator, int denominator) {
    const std::int64_t product = std::int64_t{number} * numerator;
    const std::int64_t half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

DialogBaseUnits MeasureBaseUnits(const QFontMetrics& metrics) {
    // Not averageCharWidth(): Windows averages these letters, and the fonts' own average
    // widths differ from that enough to move controls by several pixels.
    const int advance = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(advance / 26 + 1) / 2, metrics.height()};
}

QRect DialogRectToPixels(const DialogRect& dialogUnits, DialogBaseUnits base) {
    return {MulDiv(dialogUnits.x, base.x, 4), MulDiv(dialogUnits.y, base.y, 8),
            MulDiv(dialogUnits.width, base.x, 4), MulDiv(dialogUnits.height, base.y, 8)};
}
