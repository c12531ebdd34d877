// Dialog-unit conversion, with base units whose Windows results are known (6 x 13 is
// "MS Shell Dlg" 8 pt at 96 DPI).

#include <gtest/gtest.h>

#include <QRect>

#include "dialog_units.h"
#include "qtview_support.h"

namespace {

struct MulDivCase {
    int number, numerator, denominator, expected;
};

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    const MulDivCase cases[] = {
        {1, 6, 4, 2},     // 1.5
        {4, 13, 8, 7},    // 6.5
        {-1, 6, 4, -2},   // -1.5
        {-4, 13, 8, -7},  // -6.5
        {3, 13, 8, 5},    // 4.875
        {10, 13, 8, 16},  // 16.25
        {11, 13, 8, 18},  // 17.875
        {0, 13, 8, 0},
        // The product does not fit in 32 bits.
        {1'000'000, 3000, 1000, 3'000'000},
    };
    for (const MulDivCase& c : cases) {
        EXPECT_EQ(MulDiv(c.number, c.numerator, c.denominator), c.expected)
            << c.number << " * " << c.numerator << " / " << c.denominator;
    }
}

struct RectCase {
    DialogBaseUnits base;
    DialogRect dialogUnits;
    QRect pixels;
};

TEST(DialogUnits, EachCoordinateIsConvertedOnItsOwn) {
    const RectCase cases[] = {
        {{6, 13}, {0, 0, 310, 166}, {0, 0, 465, 270}},      // the main dialog
        {{6, 13}, {243, 135, 50, 16}, {365, 219, 75, 26}},  // EXIT
        {{6, 13}, {31, 88, 50, 14}, {47, 143, 75, 23}},     // first SET
        {{6, 13}, {31, 60, 50, 14}, {47, 98, 75, 23}},      // first edit box
        {{6, 13}, {96, 39, 34, 8}, {144, 63, 51, 13}},      // "1310Burst"
        {{7, 15}, {0, 0, 310, 166}, {0, 0, 543, 311}},
        // Width and height are converted, not the right and bottom edges: 161 + 50 = 211
        // would give 369 - 282 = 87 pixels of width here, the template's width gives 88.
        {{7, 15}, {161, 60, 50, 14}, {282, 113, 88, 26}},
    };
    for (const RectCase& c : cases) {
        EXPECT_EQ(DialogRectToPixels(c.dialogUnits, c.base), c.pixels)
            << "base " << c.base.x << "x" << c.base.y << ", rect " << c.dialogUnits.x << ","
            << c.dialogUnits.y << "," << c.dialogUnits.width << "," << c.dialogUnits.height;
    }
}

}  // namespace
