// Method 3: bilinear demosaic in which green at red and blue sites is the mean of the two
// horizontal neighbours. Means are sums shifted right by one; nothing leaves 0 to 255.
//
// The frame is done in two sweeps over the destination. The row sweep writes, for every pixel,
// the two colours its source row holds (green and the row colour): the sample itself and the
// mean of its left and right neighbours (the one neighbour at either end). The column sweep then
// fills each pixel's cross colour from the row values of that colour in the rows above and
// below, which the row sweep has already written into the destination.
#include "convert/convert_raw_frame.h"

namespace {

// Destination byte offsets within a pixel.
constexpr ULONG kBlue = 0;
constexpr ULONG kGreen = 1;
constexpr ULONG kRed = 2;

// The phase of a mosaic: the colour of the non-green samples of even rows, and whether the
// first sample of an even row is green.
struct Phase {
    ULONG evenRowColour;  // kRed or kBlue; odd rows hold the other
    BOOLEAN greenFirstInEvenRow;
};

template <USHORT Arrangement>
constexpr Phase PhaseOf() {
    static_assert(Arrangement >= ARRANGEMENT_RGGB && Arrangement <= ARRANGEMENT_BGGR);
    switch (Arrangement) {
        case ARRANGEMENT_RGGB:
            return {kRed, FALSE};
        case ARRANGEMENT_GRBG:
            return {kRed, TRUE};
        case ARRANGEMENT_GBRG:
            return {kBlue, TRUE};
        default:
            return {kBlue, FALSE};
    }
}

// The mean of a row's neighbours of x, or the one neighbour at either end.
inline UCHAR HorizontalMean(const UCHAR* row, ULONG x, ULONG width) {
    if (x == 0)
        return row[1];
    if (x == width - 1)
        return row[width - 2];
    return static_cast<UCHAR>((row[x - 1] + row[x + 1]) >> 1);
}

template <USHORT Arrangement>
ULONG ConvertBilinearHorizontal(ULONG width, ULONG height, const UCHAR* source,
                                UCHAR* destination) {
    constexpr Phase phase = PhaseOf<Arrangement>();
    const SIZE_T stride = static_cast<SIZE_T>(width) * 3;

    // Row sweep: green and the row colour of every pixel.
    for (ULONG y = 0; y < height; y++) {
        const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
        UCHAR* out = destination + y * stride;
        const BOOLEAN evenRow = (y & 1) == 0;
        const ULONG rowColour =
            evenRow ? phase.evenRowColour : (kRed + kBlue - phase.evenRowColour);
        // Green sits at even x in rows where it comes first.
        const ULONG greenParity = (phase.greenFirstInEvenRow == evenRow) ? 0 : 1;
        for (ULONG x = 0; x < width; x++) {
            const UCHAR sample = row[x];
            const UCHAR mean = HorizontalMean(row, x, width);
            UCHAR* pixel = out + 3 * static_cast<SIZE_T>(x);
            if ((x & 1) == greenParity) {
                pixel[kGreen] = sample;
                pixel[rowColour] = mean;
            } else {
                pixel[rowColour] = sample;
                pixel[kGreen] = mean;
            }
        }
    }

    // Column sweep: the cross colour of row y is the row colour of rows y - 1 and y + 1.
    for (ULONG y = 0; y < height; y++) {
        const BOOLEAN evenRow = (y & 1) == 0;
        const ULONG rowColour =
            evenRow ? phase.evenRowColour : (kRed + kBlue - phase.evenRowColour);
        const ULONG cross = kRed + kBlue - rowColour;
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
            } else if (Arrangement == ARRANGEMENT_GRBG && (x == 0 || x == width - 1)) {
                // This phase takes its edge columns from the row below alone.
                value = below[at];
            } else {
                value = static_cast<UCHAR>((above[at] + below[at]) >> 1);
            }
            out[at] = value;
        }
    }
    return 1;
}

}  // namespace

ULONG ConvertBilinearHorizontal2(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinearHorizontal<ARRANGEMENT_RGGB>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal3(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinearHorizontal<ARRANGEMENT_GRBG>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal4(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinearHorizontal<ARRANGEMENT_GBRG>(width, height, source, destination);
}
ULONG ConvertBilinearHorizontal5(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination) {
    return ConvertBilinearHorizontal<ARRANGEMENT_BGGR>(width, height, source, destination);
}
