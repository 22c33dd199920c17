// Method 5: every missing value estimated from four neighbours of its colour with
// AdaptiveEstimate, which prefers the combination of three (or of a pair) that stands out most
// from the rest when the neighbourhood is uneven, and the mean of the four when it is even. The
// mosaic is always read as red, green / green, blue; only the interior is written.
//
// The plain routine makes the two passes as they are defined: the first from the source, the
// second from the blue and red values the first wrote into the destination. The fast routine
// gives the same bytes in one pass, sixteen estimates at a time: the blue and red values that the
// second pass reads at red and blue sites are kept in small per-row caches, and the ring values it
// reads next to rows 0 and H-1 are gathered from the destination into the same caches. The green
// sites next to columns 0 and W-1, whose second-pass neighbours include the ring, are redone one
// at a time from the destination at the end.
#include "convert/mosaic.h"
#include "convert/simd.h"

namespace {

// A difference of candidate and reference above this marks an uneven neighbourhood.
constexpr ULONG kEvenThreshold = 15;

inline ULONG Difference(ULONG p, ULONG q) {
    return p > q ? p - q : q - p;
}

}  // namespace

UCHAR AdaptiveEstimate(UCHAR a, UCHAR b, UCHAR c, UCHAR d) {
    const ULONG p[6] = {(ULONG{a} + c + d) / 3u,
                        (ULONG{b} + c + d) / 3u,
                        (ULONG{a} + b + d) / 3u,
                        (ULONG{a} + b + c) / 3u,
                        Mean2(a, b),
                        Mean2(a, c)};
    const ULONG q[6] = {b, a, c, d, Mean2(c, d), Mean2(b, d)};
    ULONG best = 0;
    ULONG bestDifference = 0;
    for (ULONG k = 0; k < 6; k++) {
        const ULONG difference = Difference(p[k], q[k]);
        if (difference > bestDifference) {
            bestDifference = difference;
            best = k;
        }
    }
    if (bestDifference > kEvenThreshold)
        return static_cast<UCHAR>(p[best]);
    return static_cast<UCHAR>((ULONG{a} + b + c + d) / 4u);
}

namespace {

// Neighbourhoods of byte `at` of pixel (x, y) in an image of `stride` bytes per row and `step`
// bytes per pixel: above, left, right, below; and upper left, upper right, lower left, lower
// right.
inline UCHAR Plus(const UCHAR* image, SIZE_T stride, SIZE_T step, ULONG x, ULONG y) {
    const UCHAR* p = image + y * stride + x * step;
    return AdaptiveEstimate(p[-static_cast<SSIZE_T>(stride)], p[-static_cast<SSIZE_T>(step)],
                            p[step], p[stride]);
}
inline UCHAR Diagonal(const UCHAR* image, SIZE_T stride, ULONG x, ULONG y) {
    const UCHAR* p = image + y * stride + x;
    return AdaptiveEstimate(p[-static_cast<SSIZE_T>(stride) - 1],
                            p[-static_cast<SSIZE_T>(stride) + 1], p[stride - 1], p[stride + 1]);
}

ULONG ConvertAdaptivePlain(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    const SIZE_T s = width;              // source row stride
    const SIZE_T d = SIZE_T{width} * 3;  // destination row stride
    auto out = [&](ULONG x, ULONG y) { return destination + y * d + 3 * SIZE_T{x}; };

    // First pass, from the source: a green-blue row, then a red-green row.
    for (ULONG y = 1; y + 2 < height; y += 2) {
        for (ULONG x = 1; x + 2 < width; x += 2) {  // blue sites
            UCHAR* p = out(x, y);
            p[PIXEL_BLUE] = source[y * s + x];
            p[PIXEL_GREEN] = Plus(source, s, 1, x, y);
            p[PIXEL_RED] = Diagonal(source, s, x, y);
        }
        for (ULONG x = 2; x + 1 < width; x += 2)  // green sites
            out(x, y)[PIXEL_GREEN] = source[y * s + x];
        const ULONG y1 = y + 1;
        for (ULONG x = 1; x + 2 < width; x += 2)  // green sites
            out(x, y1)[PIXEL_GREEN] = source[y1 * s + x];
        for (ULONG x = 2; x + 1 < width; x += 2) {  // red sites
            UCHAR* p = out(x, y1);
            p[PIXEL_BLUE] = Diagonal(source, s, x, y1);
            p[PIXEL_GREEN] = Plus(source, s, 1, x, y1);
            p[PIXEL_RED] = source[y1 * s + x];
        }
    }
    // Second pass, on the destination: blue and red at the green sites from their plus
    // neighbours (which are red and blue sites, or the ring).
    for (ULONG y = 1; y + 2 < height; y += 2) {
        for (ULONG row = 0; row < 2; row++) {
            const ULONG yy = y + row;
            for (ULONG x = row == 0 ? 2 : 1; x + (row == 0 ? 1 : 2) < width; x += 2) {
                UCHAR* p = out(x, yy);
                p[PIXEL_BLUE] = Plus(destination + PIXEL_BLUE, d, 3, x, yy);
                p[PIXEL_RED] = Plus(destination + PIXEL_RED, d, 3, x, yy);
            }
        }
    }
    return 1;
}

}  // namespace

#if HALVEX_SSE2
namespace {

// Sixteen samples of one colour, every other byte of a row: as bytes, and as two halves of
// sixteen-bit lanes for the sums.
struct Sites {
    __m128i bytes;
    __m128i low;
    __m128i high;
};

// p[0], p[2], ..., p[30]; reads p[0] to p[30] and nothing beyond.
HALVEX_FORCE_INLINE Sites LoadSites(const UCHAR* p) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    Sites sites;
    sites.low = _mm_and_si128(Load16(p), lowBytes);
    sites.high = _mm_srli_epi16(Load16(p + 15), 8);
    sites.bytes = _mm_packus_epi16(sites.low, sites.high);
    return sites;
}

HALVEX_FORCE_INLINE Sites SitesOf(const UCHAR* bytes) {
    const __m128i v = Load16(bytes);
    const __m128i zero = _mm_setzero_si128();
    return {v, _mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)};
}

// t / 3, fraction dropped, for t up to 765: t x 0x5556 / 2^16 exceeds t / 3 by less than 0.008,
// and t / 3 is at least a third below the next whole number.
inline __m128i Third(__m128i t) {
    return _mm_mulhi_epu16(t, _mm_set1_epi16(0x5556));
}

// (a + b + c + d - q) / 3 as bytes.
inline __m128i ThirdWithout(__m128i sumLow, __m128i sumHigh, const Sites& q) {
    return _mm_packus_epi16(Third(_mm_sub_epi16(sumLow, q.low)),
                            Third(_mm_sub_epi16(sumHigh, q.high)));
}

inline __m128i HalfOf(__m128i low, __m128i high, int shift) {
    return _mm_packus_epi16(_mm_srli_epi16(low, shift), _mm_srli_epi16(high, shift));
}

inline __m128i AbsoluteDifference(__m128i p, __m128i q) {
    return _mm_or_si128(_mm_subs_epu8(p, q), _mm_subs_epu8(q, p));
}

// AdaptiveEstimate of sixteen neighbourhoods at once.
HALVEX_FORCE_INLINE __m128i Estimate16(const Sites& a, const Sites& b, const Sites& c,
                                       const Sites& d) {
    const __m128i abLow = _mm_add_epi16(a.low, b.low);
    const __m128i abHigh = _mm_add_epi16(a.high, b.high);
    const __m128i cdLow = _mm_add_epi16(c.low, d.low);
    const __m128i cdHigh = _mm_add_epi16(c.high, d.high);
    const __m128i sumLow = _mm_add_epi16(abLow, cdLow);
    const __m128i sumHigh = _mm_add_epi16(abHigh, cdHigh);
    const __m128i p[6] = {ThirdWithout(sumLow, sumHigh, b), ThirdWithout(sumLow, sumHigh, a),
                          ThirdWithout(sumLow, sumHigh, c), ThirdWithout(sumLow, sumHigh, d),
                          HalfOf(abLow, abHigh, 1),         FloorMean(a.bytes, c.bytes)};
    const __m128i q[6] = {
        b.bytes, a.bytes, c.bytes, d.bytes, HalfOf(cdLow, cdHigh, 1), FloorMean(b.bytes, d.bytes)};
    // The first largest difference: a later candidate replaces the one held only when larger.
    __m128i best = AbsoluteDifference(p[0], q[0]);
    __m128i value = p[0];
    for (int k = 1; k < 6; k++) {
        const __m128i larger = _mm_max_epu8(AbsoluteDifference(p[k], q[k]), best);
        value = Select(_mm_cmpeq_epi8(larger, best), value, p[k]);
        best = larger;
    }
    const __m128i even = _mm_cmpeq_epi8(
        _mm_subs_epu8(best, _mm_set1_epi8(static_cast<CHAR>(kEvenThreshold))), _mm_setzero_si128());
    return Select(even, HalfOf(sumLow, sumHigh, 2), value);
}

// Diagonal estimates at sites x, x + 2, ..., x + 2(count - 1) of the row between `up` and
// `down`, into out[0] to out[count - 1]; count is at least 16. Reads columns x - 1 to
// x + 2 count - 1.
VOID DiagonalEstimates(const UCHAR* up, const UCHAR* down, ULONG x, ULONG count, UCHAR* out) {
    for (ULONG k = 0;; k += 16) {
        if (k + 16 > count)
            k = count - 16;  // the last sixteen overlap the ones before
        const ULONG at = x + 2 * k;
        Store16(out + k, Estimate16(LoadSites(up + at - 1), LoadSites(up + at + 1),
                                    LoadSites(down + at - 1), LoadSites(down + at + 1)));
        if (k + 16 >= count)
            return;
    }
}

// One colour of a ring row at x, x + 2, ..., into out[0] to out[count - 1].
VOID GatherRing(const UCHAR* pixels, ULONG x, ULONG count, UCHAR* out) {
    for (ULONG k = 0; k < count; k++) out[k] = pixels[3 * (SIZE_T{x} + 2 * k)];
}

constexpr ULONG kChunkColumns = 32;
constexpr ULONG kChunksPerSegment = 16;
// Cache slots of a segment: sixteen per chunk and one more on either side, rounded up.
constexpr ULONG kSegmentSlots = 16 * kChunksPerSegment + 32;

// Chunk m covers columns x0 to x0 + 31 with x0 = 1 + 32 m; the last chunk ends at column W - 2,
// overlapping the one before when the interior is not a whole number of chunks.
inline ULONG ChunkColumn(ULONG width, ULONG chunk, ULONG chunks) {
    return chunk + 1 == chunks ? width - 1 - kChunkColumns : 1 + kChunkColumns * chunk;
}

// Two rows, y (green-blue) and y + 1 (red-green), of one chunk. Cache slot c holds, for the
// blue caches, blue at the red site 2(lo + c) of rows y - 1 (above) and y + 1 (below); for the
// red caches, red at the blue site 2(lo + c) + 1 of rows y (upper) and y + 2 (lower). Next to
// the ring, the red of row 0 above the first pair and the blue of row H - 1 below the last pair
// come from the ring too, indexed as the blue and the red caches.
struct ChunkRows {
    const UCHAR* source;
    UCHAR* destination;
    SIZE_T width;
    ULONG y;
    const UCHAR* blueAbove;
    const UCHAR* blueBelow;
    const UCHAR* redUpper;
    const UCHAR* redLower;
    const UCHAR* ringRedAbove;   // null but for y = 1
    const UCHAR* ringBlueBelow;  // null but for y = H - 3
};

VOID ConvertChunk(const ChunkRows& rows, ULONG x0, ULONG slot, BOOLEAN keepFollowingPixel) {
    const UCHAR* above = rows.source + (rows.y - 1) * rows.width + x0;
    const UCHAR* row = above + rows.width;
    const UCHAR* next = row + rows.width;
    const UCHAR* below = next + rows.width;
    // Samples around row y: blue at its blue sites x0 + 2j, its green sites to their right and
    // left, the blue site two columns on; green and red of row y - 1 above them.
    const Sites blue = LoadSites(row);
    const Sites green = LoadSites(row + 1);
    const Sites greenLeft = LoadSites(row - 1);
    const Sites blueRight = LoadSites(row + 2);
    const Sites greenAbove = LoadSites(above);
    const Sites redAbove =
        rows.ringRedAbove ? SitesOf(rows.ringRedAbove + slot + 1) : LoadSites(above + 1);
    // Row y + 1: green at x0 + 2j, red at x0 + 2j + 1, and their neighbours; row y + 2 below.
    const Sites green1 = LoadSites(next);
    const Sites red1 = LoadSites(next + 1);
    const Sites red1Left = LoadSites(next - 1);
    const Sites green1Right = LoadSites(next + 2);
    const Sites blue2 = rows.ringBlueBelow ? SitesOf(rows.ringBlueBelow + slot) : LoadSites(below);
    const Sites green2 = LoadSites(below + 1);
    // First-pass values of the neighbours from the caches.
    const Sites blueAboveRight = SitesOf(rows.blueAbove + slot + 1);
    const Sites blueBelowLeft = SitesOf(rows.blueBelow + slot);
    const Sites blueBelowRight = SitesOf(rows.blueBelow + slot + 1);
    const Sites redUpperLeft = SitesOf(rows.redUpper + slot);
    const Sites redUpperRight = SitesOf(rows.redUpper + slot + 1);
    const Sites redLowerLeft = SitesOf(rows.redLower + slot);

    const __m128i greenAtBlue = Estimate16(greenAbove, greenLeft, green, green1);
    const __m128i greenAtRed = Estimate16(green, green1, green1Right, green2);
    const __m128i blueAtGreen = Estimate16(blueAboveRight, blue, blueRight, blueBelowRight);
    const __m128i redAtGreen = Estimate16(redAbove, redUpperLeft, redUpperRight, red1);
    const __m128i blueAtGreen1 = Estimate16(blue, blueBelowLeft, blueBelowRight, blue2);
    const __m128i redAtGreen1 = Estimate16(redUpperLeft, red1Left, red1, redLowerLeft);

    UCHAR* out = rows.destination + (rows.y * rows.width + x0) * 3;
    UCHAR* out1 = out + rows.width * 3;
    // Each row's second store writes two bytes of pixel x0 + 32, which the chunk after it
    // writes in full, unless that pixel is in the ring.
    UCHAR kept[4] = {out[96], out[97], out1[96], out1[97]};
    StoreBgr16(out, _mm_unpacklo_epi8(blue.bytes, blueAtGreen),
               _mm_unpacklo_epi8(greenAtBlue, green.bytes),
               _mm_unpacklo_epi8(redUpperLeft.bytes, redAtGreen));
    StoreBgr16(out + 48, _mm_unpackhi_epi8(blue.bytes, blueAtGreen),
               _mm_unpackhi_epi8(greenAtBlue, green.bytes),
               _mm_unpackhi_epi8(redUpperLeft.bytes, redAtGreen));
    StoreBgr16(out1, _mm_unpacklo_epi8(blueAtGreen1, blueBelowRight.bytes),
               _mm_unpacklo_epi8(green1.bytes, greenAtRed),
               _mm_unpacklo_epi8(redAtGreen1, red1.bytes));
    StoreBgr16(out1 + 48, _mm_unpackhi_epi8(blueAtGreen1, blueBelowRight.bytes),
               _mm_unpackhi_epi8(green1.bytes, greenAtRed),
               _mm_unpackhi_epi8(redAtGreen1, red1.bytes));
    if (keepFollowingPixel) {
        out[96] = kept[0];
        out[97] = kept[1];
        out1[96] = kept[2];
        out1[97] = kept[3];
    }
}

// One segment of up to sixteen chunks, all row pairs, top to bottom.
VOID ConvertSegment(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                    ULONG firstChunk, ULONG endChunk, ULONG chunks) {
    const SIZE_T w = width;
    const ULONG lo = (ChunkColumn(width, firstChunk, chunks) - 1) / 2;
    const ULONG hi = (ChunkColumn(width, endChunk - 1, chunks) + 1) / 2 + 15;
    const ULONG count = hi - lo + 1;
    // Blue at red site 2i needs i >= 1; red at blue site 2i + 1 needs i <= W/2 - 2. The slots
    // left out (next to columns 0 and W - 1) feed only the green sites redone at the end.
    const ULONG blueFirst = lo == 0 ? 1 : 0;
    const ULONG redCount = hi > width / 2 - 2 ? count - 1 : count;

    UCHAR cache[6][kSegmentSlots];
    UCHAR* blueAbove = cache[0];
    UCHAR* blueBelow = cache[1];
    UCHAR* redUpper = cache[2];
    UCHAR* redLower = cache[3];
    UCHAR* ringRedAbove = cache[4];
    UCHAR* ringBlueBelow = cache[5];
    for (ULONG k = 0; k < 4; k++) {
        cache[k][0] = 0;
        cache[k][count - 1] = 0;
    }
    GatherRing(destination + PIXEL_BLUE, 2 * lo, count, blueAbove);
    GatherRing(destination + PIXEL_RED, 2 * lo, count, ringRedAbove);
    GatherRing(destination + (height - 1) * w * 3 + PIXEL_BLUE, 2 * lo + 1, count, ringBlueBelow);
    DiagonalEstimates(source, source + 2 * w, 2 * lo + 1, redCount, redUpper);
    for (ULONG y = 1; y + 2 < height; y += 2) {
        const UCHAR* row = source + y * w;
        DiagonalEstimates(row, row + 2 * w, 2 * (lo + blueFirst), count - blueFirst,
                          blueBelow + blueFirst);
        if (y + 3 < height)
            DiagonalEstimates(row + w, row + 3 * w, 2 * lo + 1, redCount, redLower);
        else
            GatherRing(destination + (height - 1) * w * 3 + PIXEL_RED, 2 * lo + 1, count, redLower);
        const ChunkRows rows = {source,
                                destination,
                                w,
                                y,
                                blueAbove,
                                blueBelow,
                                redUpper,
                                redLower,
                                y == 1 ? ringRedAbove : nullptr,
                                y + 3 < height ? nullptr : ringBlueBelow};
        for (ULONG chunk = firstChunk; chunk < endChunk; chunk++) {
            const ULONG x0 = ChunkColumn(width, chunk, chunks);
            ConvertChunk(rows, x0, (x0 - 1) / 2 - lo, x0 + kChunkColumns + 1 == width);
        }
        UCHAR* swap = blueAbove;
        blueAbove = blueBelow;
        blueBelow = swap;
        swap = redUpper;
        redUpper = redLower;
        redLower = swap;
    }
}

ULONG ConvertAdaptiveFast(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    const ULONG chunks = (width - 2) / kChunkColumns + ((width - 2) % kChunkColumns != 0 ? 1 : 0);
    for (ULONG first = 0; first < chunks; first += kChunksPerSegment) {
        const ULONG end = first + kChunksPerSegment < chunks ? first + kChunksPerSegment : chunks;
        ConvertSegment(width, height, source, destination, first, end, chunks);
    }
    // Blue and red at the green sites whose plus neighbourhood reaches into columns 0 and W - 1.
    const SIZE_T d = SIZE_T{width} * 3;
    for (ULONG y = 1; y + 2 < height; y += 2) {
        for (ULONG colour = PIXEL_BLUE; colour <= PIXEL_RED; colour += PIXEL_RED - PIXEL_BLUE) {
            UCHAR* image = destination + colour;
            image[(y * SIZE_T{width} + width - 2) * 3] = Plus(image, d, 3, width - 2, y);
            image[((y + 1) * SIZE_T{width} + 1) * 3] = Plus(image, d, 3, 1, y + 1);
        }
    }
    return 1;
}

}  // namespace
#endif

ULONG ConvertAdaptive(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination, USHORT) {
#if HALVEX_SSE2
    if (width >= 2 + kChunkColumns && height >= 4 && (width & 1) == 0 && (height & 1) == 0)
        return ConvertAdaptiveFast(width, height, source, destination);
#endif
    return ConvertAdaptivePlain(width, height, source, destination);
}

ULONG ConvertAdaptiveReference(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    return ConvertAdaptivePlain(width, height, source, destination);
}
