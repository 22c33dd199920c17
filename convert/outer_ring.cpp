// The outer ring of a method-5 destination, filled with method 3's values for code 2 so that
// the picture never shows what the buffer held before.
#include "convert/mosaic.h"

namespace {

constexpr MosaicPhase kPhase = PhaseOfArrangement(ARRANGEMENT_RGGB);

// Method 3's value of `colour` in source row y at column x, as its row pass gives it: the sample
// when it is that colour, else the mean of its horizontal neighbours (the one at either end).
// Only green and the row colour have row values.
UCHAR RowValue(ULONG width, const UCHAR* source, ULONG x, ULONG y, ULONG colour) {
    const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
    if (SampleColour(kPhase, x, y) == colour)
        return row[x];
    if (x == 0)
        return row[1];
    if (x == width - 1)
        return row[width - 2];
    return Mean2(row[x - 1], row[x + 1]);
}

VOID FillPixel(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination, ULONG x,
               ULONG y) {
    UCHAR* pixel = destination + (static_cast<SIZE_T>(y) * width + x) * 3;
    const ULONG rowColour = RowColour(kPhase, y);
    const ULONG cross = PIXEL_RED + PIXEL_BLUE - rowColour;
    pixel[PIXEL_GREEN] = RowValue(width, source, x, y, PIXEL_GREEN);
    pixel[rowColour] = RowValue(width, source, x, y, rowColour);
    if (y == 0) {
        pixel[cross] = RowValue(width, source, x, 1, cross);
    } else if (y == height - 1) {
        pixel[cross] = RowValue(width, source, x, height - 2, cross);
    } else {
        pixel[cross] = Mean2(RowValue(width, source, x, y - 1, cross),
                             RowValue(width, source, x, y + 1, cross));
    }
}

}  // namespace

VOID FillRingBilinear(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    if (width < 2 || height < 4 || (width & 1) != 0 || (height & 1) != 0)
        return;
    for (ULONG x = 0; x < width; x++) {
        FillPixel(width, height, source, destination, x, 0);
        FillPixel(width, height, source, destination, x, height - 1);
    }
    for (ULONG y = 1; y + 1 < height; y++) {
        FillPixel(width, height, source, destination, 0, y);
        FillPixel(width, height, source, destination, width - 1, y);
    }
}
