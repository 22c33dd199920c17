// Method 4: the separable demosaic of method 3 with a four-tap interpolation. Where the wanted
// colour has values at distance 1 and 3 on both sides of a position, the estimate weighs the
// near pair by 5/8 and the far pair by -1/8 (through two tables of pair sums), rounded and
// clamped; nearer the edge it takes the mean of the pair, and at the edge the one neighbour.
#include "convert/mosaic.h"

namespace {

// Entry n: 5n/8 rounded half up (near pair) and -(n/8 rounded half up) (far pair), for every sum
// of two samples.
struct WeightTables {
    SHORT near[512];
    SHORT far[512];
};

constexpr WeightTables MakeWeightTables() {
    WeightTables t{};
    for (int n = 0; n < 512; n++) {
        t.near[n] = static_cast<SHORT>((5 * n + 4) / 8);
        t.far[n] = static_cast<SHORT>(-((n + 4) / 8));
    }
    return t;
}

constexpr WeightTables g_Weights = MakeWeightTables();

// The estimate at position i of a line of n values spaced `step` bytes apart.
inline UCHAR FourTap(const UCHAR* line, SIZE_T step, ULONG i, ULONG n) {
    if (i >= 3 && i + 3 <= n - 1) {
        const int e = g_Weights.near[line[(i - 1) * step] + line[(i + 1) * step]] +
                      g_Weights.far[line[(i - 3) * step] + line[(i + 3) * step]];
        return static_cast<UCHAR>(e < 0 ? 0 : e > 255 ? 255 : e);
    }
    if (i >= 1 && i + 1 <= n - 1)
        return Mean2(line[(i - 1) * step], line[(i + 1) * step]);
    return i == 0 ? line[step] : line[(n - 2) * step];
}

// Row pass: every pixel's sample in its own colour, and the four-tap estimate along the row of
// the row's other colour.
ULONG FourTapRows(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                  const MosaicPhase& phase) {
    for (ULONG y = 0; y < height; y++) {
        const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
        UCHAR* out = destination + static_cast<SIZE_T>(y) * width * 3;
        const ULONG rowColour = RowColour(phase, y);
        for (ULONG x = 0; x < width; x++) {
            const ULONG own = SampleColour(phase, x, y);
            const ULONG other = own == PIXEL_GREEN ? rowColour : PIXEL_GREEN;
            out[3 * x + own] = row[x];
            out[3 * x + other] = FourTap(row, 1, x, width);
        }
    }
    return 1;
}

// Column pass, in place: the cross colour of every pixel, the four-tap estimate down its column
// over the row colour values of the other rows. Row 0's cross colour is given; rows alternate.
ULONG FourTapColumns(ULONG width, ULONG height, UCHAR* destination, ULONG rowZeroCross) {
    const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
    for (ULONG y = 0; y < height; y++) {
        const ULONG cross = (y & 1) == 0 ? rowZeroCross : PIXEL_RED + PIXEL_BLUE - rowZeroCross;
        for (ULONG x = 0; x < width; x++) {
            UCHAR* column = destination + 3 * static_cast<SIZE_T>(x) + cross;
            column[y * stride] = FourTap(column, stride, y, height);
        }
    }
    return 1;
}

}  // namespace

ULONG ConvertFourTap(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                     USHORT arrangement) {
    if (!IsMosaic(arrangement))
        return 0;
    const MosaicPhase phase = PhaseOfArrangement(arrangement);
    if (!FourTapRows(width, height, source, destination, phase))
        return 0;
    const ULONG rowZeroCross = PIXEL_RED + PIXEL_BLUE - phase.evenRowColour;
    return FourTapColumns(width, height, destination, rowZeroCross) != 0 ? 1 : 0;
}
