// Methods 3 and 6: bilinear demosaic in which green at red and blue sites is the mean of the two
// horizontal neighbours (method 3) or of the horizontal and vertical pair means (method 6, away
// from the edges). Means are sums shifted right by one; nothing leaves 0 to 255.
//
// The plain routine does the frame in two sweeps over the destination. The row sweep writes, for
// every pixel, the two colours its source row holds (green and the row colour): the sample itself
// and the mean of its left and right neighbours (the one neighbour at either end). The column
// sweep then fills each pixel's cross colour from the row values of that colour in the rows above
// and below, which the row sweep has already written into the destination.
//
// The fast routine gives the same bytes pixel by pixel from the source: the cross colour of a
// pixel is the mean of the row values in the rows above and below, and a row value is the sample
// where the site has the row colour and the mean of its horizontal neighbours where it is green.
// The interior runs sixteen pixels at a time; edges and the last few columns take the same
// formula one pixel at a time.
#include "convert/mosaic.h"
#include "convert/simd.h"

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
ULONG ConvertBilinearPlain(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
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

// The row value of row y at x: the row colour there, sampled or between two samples.
template <USHORT Arrangement>
inline UCHAR RowValue(const UCHAR* row, ULONG x, ULONG y, ULONG width) {
    constexpr MosaicPhase phase = PhaseOfArrangement(Arrangement);
    return SampleColour(phase, x, y) == PIXEL_GREEN ? HorizontalMean(row, x, width) : row[x];
}

// One pixel, for the edges and the columns the sixteen-pixel steps leave. `row` is source row y;
// `up` and `down` the rows above and below it (when there are such rows).
template <USHORT Arrangement, BOOLEAN FourNeighbourGreen>
inline VOID BilinearPixel(ULONG width, ULONG height, const UCHAR* row, const UCHAR* up,
                          const UCHAR* down, ULONG x, ULONG y, UCHAR* pixel) {
    constexpr MosaicPhase phase = PhaseOfArrangement(Arrangement);
    constexpr BOOLEAN edgeColumnsFromBelow = !FourNeighbourGreen && Arrangement == ARRANGEMENT_GRBG;
    const ULONG rowColour = RowColour(phase, y);
    const UCHAR sample = row[x];
    const UCHAR mean = HorizontalMean(row, x, width);
    if (SampleColour(phase, x, y) == PIXEL_GREEN) {
        pixel[PIXEL_GREEN] = sample;
        pixel[rowColour] = mean;
    } else {
        pixel[rowColour] = sample;
        pixel[PIXEL_GREEN] = mean;
        if (FourNeighbourGreen && y > 0 && y + 1 < height && x > 0 && x + 1 < width)
            pixel[PIXEL_GREEN] = Mean2(mean, Mean2(up[x], down[x]));
    }
    const ULONG cross = PIXEL_RED + PIXEL_BLUE - rowColour;
    if (y == 0) {
        pixel[cross] = RowValue<Arrangement>(down, x, y + 1, width);
    } else if (y + 1 == height) {
        pixel[cross] = RowValue<Arrangement>(up, x, y - 1, width);
    } else if (edgeColumnsFromBelow && (x == 0 || x == width - 1)) {
        pixel[cross] = RowValue<Arrangement>(down, x, y + 1, width);
    } else {
        pixel[cross] = Mean2(RowValue<Arrangement>(up, x, y - 1, width),
                             RowValue<Arrangement>(down, x, y + 1, width));
    }
}

// The frame whose row y starts at firstRow + y x stride (a negative stride reads a frame stored
// bottom-up, as if it had been flipped).
template <USHORT Arrangement, BOOLEAN FourNeighbourGreen>
ULONG ConvertBilinearRows(ULONG width, ULONG height, const UCHAR* firstRow, SSIZE_T stride,
                          UCHAR* destination) {
    constexpr MosaicPhase phase = PhaseOfArrangement(Arrangement);
    const SIZE_T outStride = static_cast<SIZE_T>(width) * 3;
#if HALVEX_SSE2
    // Lanes of odd and of even columns.
    const __m128i oddLanes = _mm_set1_epi16(static_cast<SHORT>(0xFF00));
    const __m128i evenLanes = _mm_set1_epi16(0x00FF);
#endif
#if HALVEX_SSE2
    // One output row's sixteen pixels from its own row's samples and horizontal means and those of
    // the rows above and below. At green sites green is the sample and the row colour the mean;
    // at the others the other way round.
    auto emit = [](UCHAR* pixel, BOOLEAN redRow, __m128i notGreen, __m128i s, __m128i h, __m128i u,
                   __m128i hu, __m128i d, __m128i hd) HALVEX_INLINE_LAMBDA {
        const __m128i swap = _mm_and_si128(_mm_xor_si128(s, h), notGreen);
        __m128i g = _mm_xor_si128(s, swap);
        const __m128i own = _mm_xor_si128(h, swap);
        if (FourNeighbourGreen)
            g = Select(notGreen, FloorMean(h, FloorMean(u, d)), s);
        const __m128i cross = FloorMean(Select(notGreen, hu, u), Select(notGreen, hd, d));
        if (redRow)
            StoreBgr16(pixel, cross, g, own);
        else
            StoreBgr16(pixel, own, g, cross);
    };
#endif
    for (ULONG y = 0; y < height; y++) {
        UCHAR* out = destination + y * outStride;
        const UCHAR* row = firstRow + static_cast<SSIZE_T>(y) * stride;
        const UCHAR* up = y > 0 ? row - stride : nullptr;
        const UCHAR* down = y + 1 < height ? row + stride : nullptr;
        ULONG x = 0;
#if HALVEX_SSE2
        if (y > 0 && y + 1 < height && width >= 18) {
            // Two rows at once when both are inner rows: they share the four source rows.
            const BOOLEAN pair = y + 2 < height;
            UCHAR* out2 = out + outStride;
            const UCHAR* below2 = pair ? down + stride : nullptr;
            const BOOLEAN redRow = RowColour(phase, y) == PIXEL_RED;
            // Lanes of sites other than green for steps starting at an odd column (row y).
            const __m128i notGreenOdd =
                SampleColour(phase, 1, y) == PIXEL_GREEN ? oddLanes : evenLanes;
            const __m128i greenOdd = _mm_xor_si128(notGreenOdd, _mm_set1_epi8(-1));
            auto step = [&](ULONG at, __m128i notGreen, __m128i notGreenNext) HALVEX_INLINE_LAMBDA {
                const __m128i u = Load16(up + at);
                const __m128i hu = FloorMean(Load16(up + at - 1), Load16(up + at + 1));
                const __m128i s = Load16(row + at);
                const __m128i h = FloorMean(Load16(row + at - 1), Load16(row + at + 1));
                const __m128i d = Load16(down + at);
                const __m128i hd = FloorMean(Load16(down + at - 1), Load16(down + at + 1));
                emit(out + 3 * static_cast<SIZE_T>(at), redRow, notGreen, s, h, u, hu, d, hd);
                if (pair) {
                    const __m128i e = Load16(below2 + at);
                    const __m128i he = FloorMean(Load16(below2 + at - 1), Load16(below2 + at + 1));
                    emit(out2 + 3 * static_cast<SIZE_T>(at), !redRow, notGreenNext, d, hd, s, h, e,
                         he);
                }
            };
            // Column 0 is the first pixel; the steps start at column 1.
            BilinearPixel<Arrangement, FourNeighbourGreen>(width, height, row, up, down, 0, y, out);
            if (pair)
                BilinearPixel<Arrangement, FourNeighbourGreen>(width, height, down, row, below2, 0,
                                                               y + 1, out2);
            for (x = 1; x + 17 <= width; x += 16) step(x, notGreenOdd, greenOdd);
            // The columns left before the last: one more step ending at column W-2, over pixels
            // already written (its extra two bytes land on the last pixel, written below).
            if (x + 1 < width) {
                const ULONG last = width - 17;
                if ((last & 1) != 0)
                    step(last, notGreenOdd, greenOdd);
                else
                    step(last, greenOdd, notGreenOdd);
            }
            x = width - 1;
            if (pair) {
                BilinearPixel<Arrangement, FourNeighbourGreen>(width, height, down, row, below2, x,
                                                               y + 1, out2 + 3 * SIZE_T{x});
                BilinearPixel<Arrangement, FourNeighbourGreen>(width, height, row, up, down, x, y,
                                                               out + 3 * SIZE_T{x});
                y++;
                continue;
            }
        }
#endif
        for (; x < width; x++)
            BilinearPixel<Arrangement, FourNeighbourGreen>(width, height, row, up, down, x, y,
                                                           out + 3 * static_cast<SIZE_T>(x));
    }
    return 1;
}

template <USHORT Arrangement, BOOLEAN FourNeighbourGreen>
ULONG ConvertBilinear(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
#if HALVEX_SSE2
    return ConvertBilinearRows<Arrangement, FourNeighbourGreen>(
        width, height, source, static_cast<SSIZE_T>(width), destination);
#else
    return ConvertBilinearPlain<Arrangement, FourNeighbourGreen>(width, height, source,
                                                                 destination);
#endif
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

namespace {

typedef ULONG (*ROWS_ROUTINE)(ULONG width, ULONG height, const UCHAR* firstRow, SSIZE_T stride,
                              UCHAR* destination);
typedef ULONG (*PLAIN_ROUTINE)(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);

// By method (3, 6) and arrangement code (2 to 5).
const ROWS_ROUTINE g_Rows[2][4] = {
    {ConvertBilinearRows<ARRANGEMENT_RGGB, FALSE>, ConvertBilinearRows<ARRANGEMENT_GRBG, FALSE>,
     ConvertBilinearRows<ARRANGEMENT_GBRG, FALSE>, ConvertBilinearRows<ARRANGEMENT_BGGR, FALSE>},
    {ConvertBilinearRows<ARRANGEMENT_RGGB, TRUE>, ConvertBilinearRows<ARRANGEMENT_GRBG, TRUE>,
     ConvertBilinearRows<ARRANGEMENT_GBRG, TRUE>, ConvertBilinearRows<ARRANGEMENT_BGGR, TRUE>},
};
const PLAIN_ROUTINE g_Plain[2][4] = {
    {ConvertBilinearPlain<ARRANGEMENT_RGGB, FALSE>, ConvertBilinearPlain<ARRANGEMENT_GRBG, FALSE>,
     ConvertBilinearPlain<ARRANGEMENT_GBRG, FALSE>, ConvertBilinearPlain<ARRANGEMENT_BGGR, FALSE>},
    {ConvertBilinearPlain<ARRANGEMENT_RGGB, TRUE>, ConvertBilinearPlain<ARRANGEMENT_GRBG, TRUE>,
     ConvertBilinearPlain<ARRANGEMENT_GBRG, TRUE>, ConvertBilinearPlain<ARRANGEMENT_BGGR, TRUE>},
};

}  // namespace

ULONG ConvertBilinearBottomUp(USHORT arrangement, BOOLEAN fourNeighbourGreen, ULONG width,
                              ULONG height, const UCHAR* source, UCHAR* destination) {
    if (!IsMosaic(arrangement))
        return 0;
    return g_Rows[fourNeighbourGreen ? 1 : 0][arrangement - ARRANGEMENT_RGGB](
        width, height, source + static_cast<SIZE_T>(height - 1) * width,
        -static_cast<SSIZE_T>(width), destination);
}

ULONG ConvertBilinearReference(USHORT arrangement, BOOLEAN fourNeighbourGreen, ULONG width,
                               ULONG height, const UCHAR* source, UCHAR* destination) {
    if (!IsMosaic(arrangement))
        return 0;
    return g_Plain[fourNeighbourGreen ? 1 : 0][arrangement - ARRANGEMENT_RGGB](width, height,
                                                                               source, destination);
}
