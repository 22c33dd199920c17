// Methods 3 and 6: bilinear demosaic in which green at red and blue sites is the mean of the two
// horizontal neighbours (method 3) or of the horizontal and vertical pair means (method 6, away
// from the edges). Means are sums shifted right by one; nothing leaves 0 to 255.
//
// The frame is done in two sweeps over the destination. The row sweep writes, for every pixel,
// the two colours its source row holds (green and the row colour): the sample itself and the
// mean of its left and right neighbours (the one neighbour at either end). The column sweep then
// fills each pixel's cross colour from the row values of that colour in the rows above and
// below, which the row sweep has already written into the destination.
#include "convert/mosaic.h"

namespace {

// The mean of a row's neighbours of x, or the one neighbour at either end.
inline UCHAR HorizontalMean(const UCHAR* row, ULONG x, ULONG width) {
    if (x == 0)
        return row[1];
    if (x == width - 1)
        return row[width - 2];
    return Mean2(row[x - 1], row[x + 1]);
}

// Methods 3 and 6 differ only in green at inner red and blue sites (four neighbours for method
// 6) and in the edge columns of code 3 (method 3 takes the row below alone there).
template <USHORT Arrangement, BOOLEAN FourNeighbourGreen>
ULONG ConvertBilinear(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    constexpr MosaicPhase phase = PhaseOfArrangement(Arrangement);
    constexpr BOOLEAN edgeColumnsFromBelow = !FourNeighbourGreen && Arrangement == ARRANGEMENT_GRBG;
    const SIZE_T stride = static_cast<SIZE_T>(width) * 3;

    // Row sweep: green and the row colour of every pixel.
    for (ULONG y = 0; y < height; y++) {
        const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
        UCHAR* out = destination + y * stride;
        const ULONG rowColour = RowColour(phase, y);
        const BOOLEAN innerRow = y > 0 && y + 1 < height;
        for (ULONG x = 0; x < width; x++) {
            const UCHAR sample = row[x];
            const UCHAR mean = HorizontalMean(row, x, width);
            UCHAR* pixel = out + 3 * static_cast<SIZE_T>(x);
            if (SampleColour(phase, x, y) == PIXEL_GREEN) {
                pixel[PIXEL_GREEN] = sample;
                pixel[rowColour] = mean;
            } else {
                pixel[rowColour] = sample;
                pixel[PIXEL_GREEN] = mean;
                if (FourNeighbourGreen && innerRow && x > 0 && x + 1 < width)
                    pixel[PIXEL_GREEN] = Mean2(mean, Mean2((row - width)[x], (row + width)[x]));
            }
        }
    }

    // Column sweep: the cross colour of row y is the row colour of rows y - 1 and y + 1.
    for (ULONG y = 0; y < height; y++) {
        const ULONG cross = PIXEL_RED + PIXEL_BLUE - RowColour(phase, y);
        UCHAR* out = destination + y * stride;
        const UCHAR* above = y > 0 ? out - stride : nullptr;
        const UCHAR* below = y + 1 < height ? out + stride : nullptr;
        for (ULONG x = 0; x < width; x++) {
            const SIZE_T at = 3 * static_cast<SIZE_T>(x) + cross;
            UCHAR value;
            if (above == nullptr) {
                value = below[at];
            } else if (below == nullptr) {
                value = above[at];
            } else if (edgeColumnsFromBelow && (x == 0 || x == width - 1)) {
                value = below[at];
            } else {
                value = Mean2(above[at], below[at]);
            }
            out[at] = value;
        }
    }
    return 1;
}

}  // namespace

ULONG ConvertBilinearHorizontal2(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_RGGB, FALSE>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal3(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_GRBG, FALSE>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal4(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_GBRG, FALSE>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal5(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_BGGR, FALSE>(width, height, source, destination);
}

ULONG ConvertBilinearFourNeighbour2(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_RGGB, TRUE>(width, height, source, destination);
}
ULONG ConvertBilinearFourNeighbour3(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_GRBG, TRUE>(width, height, source, destination);
}
ULONG ConvertBilinearFourNeighbour4(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_GBRG, TRUE>(width, height, source, destination);
}
ULONG ConvertBilinearFourNeighbour5(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination) {
    return ConvertBilinear<ARRANGEMENT_BGGR, TRUE>(width, height, source, destination);
}
