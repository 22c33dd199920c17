// The one-pass form of method 5, written once for any vector width. `Lanes` gives the vector
// type, the number N of estimates a vector holds, and the operations on it; adaptive.cpp
// instantiates it for SSE2 and adaptive_avx2.cpp for AVX2.
//
// The plain routine makes the two passes as they are defined: the first from the source, the
// second from the blue and red values the first wrote into the destination. This routine gives
// the same bytes in one pass, N estimates at a time: the blue and red values that the second pass
// reads at red and blue sites are kept in small per-row caches, and the ring values it reads next
// to rows 0 and H-1 are gathered from the destination into the same caches. The green sites next
// to columns 0 and W-1, whose second-pass neighbours include the ring, are left to the caller,
// which redoes them one at a time from the destination.
//
// Everything here has internal linkage: each file that includes it compiles its own copy for
// its own instruction set.
#pragma once

#include "convert/mosaic.h"
#include "convert/simd.h"

// A difference of candidate and reference above this marks an uneven neighbourhood.
constexpr UCHAR kAdaptiveEvenThreshold = 15;

// The vector routines divide a sum of three samples by 3 as (t x 0x5556) >> 16.
constexpr bool ThirdByMultiplyIsExact() {
    for (ULONG t = 0; t <= 3 * 255; t++)
        if (((t * 0x5556u) >> 16) != t / 3)
            return false;
    return true;
}
static_assert(ThirdByMultiplyIsExact());

#if HALVEX_SSE2
namespace {

template <class Lanes>
struct AdaptiveKernel {
    typedef typename Lanes::Vector Vector;
    typedef typename Lanes::Sites Sites;
    static constexpr ULONG N = Lanes::kCount;
    static constexpr ULONG kChunkColumns = 2 * N;
    // Chunks of a segment: 512 columns.
    static constexpr ULONG kChunksPerSegment = 512 / kChunkColumns;
    // Cache slots of a segment: N per chunk and one more on either side, rounded up.
    static constexpr ULONG kSegmentSlots = N * kChunksPerSegment + 2 * N;

    // p[0], p[2], ..., p[2N - 2]; reads nothing beyond.
    static HALVEX_FORCE_INLINE Sites Load(const UCHAR* p) {
        Sites sites;
        sites.low = Lanes::And(Lanes::Load(p), Lanes::Splat16(0x00FF));
        sites.high = Lanes::ShiftRight16(Lanes::Load(p + N - 1), 8);
        sites.bytes = Lanes::Pack(sites.low, sites.high);
        return sites;
    }

    // t / 3, fraction dropped, for t up to 765: t x 0x5556 / 2^16 exceeds t / 3 by less than
    // 0.008, and t / 3 is at least a third below the next whole number.
    static HALVEX_FORCE_INLINE Vector Third(Vector t) {
        return Lanes::MulHigh16(t, Lanes::Splat16(0x5556));
    }
    // (a + b + c + d - q) / 3 as bytes.
    static HALVEX_FORCE_INLINE Vector ThirdWithout(Vector sumLow, Vector sumHigh, const Sites& q) {
        return Lanes::Pack(Third(Lanes::Sub16(sumLow, q.low)),
                           Third(Lanes::Sub16(sumHigh, q.high)));
    }
    static HALVEX_FORCE_INLINE Vector Shifted(Vector low, Vector high, int shift) {
        return Lanes::Pack(Lanes::ShiftRight16(low, shift), Lanes::ShiftRight16(high, shift));
    }
    // (a + b) >> 1 per byte: the rounded-up average less the bit it rounded up.
    static HALVEX_FORCE_INLINE Vector FloorMean(Vector a, Vector b) {
        return Lanes::Sub8(Lanes::Average8(a, b), Lanes::And(Lanes::Xor(a, b), Lanes::Splat8(1)));
    }
    static HALVEX_FORCE_INLINE Vector AbsoluteDifference(Vector p, Vector q) {
        return Lanes::Or(Lanes::SubSaturate8(p, q), Lanes::SubSaturate8(q, p));
    }

    // AdaptiveEstimate of N neighbourhoods at once.
    static HALVEX_FORCE_INLINE Vector Estimate(const Sites& a, const Sites& b, const Sites& c,
                                               const Sites& d) {
        const Vector abLow = Lanes::Add16(a.low, b.low);
        const Vector abHigh = Lanes::Add16(a.high, b.high);
        const Vector cdLow = Lanes::Add16(c.low, d.low);
        const Vector cdHigh = Lanes::Add16(c.high, d.high);
        const Vector sumLow = Lanes::Add16(abLow, cdLow);
        const Vector sumHigh = Lanes::Add16(abHigh, cdHigh);
        const Vector p[6] = {ThirdWithout(sumLow, sumHigh, b), ThirdWithout(sumLow, sumHigh, a),
                             ThirdWithout(sumLow, sumHigh, c), ThirdWithout(sumLow, sumHigh, d),
                             Shifted(abLow, abHigh, 1),        FloorMean(a.bytes, c.bytes)};
        const Vector q[6] = {b.bytes,
                             a.bytes,
                             c.bytes,
                             d.bytes,
                             Shifted(cdLow, cdHigh, 1),
                             FloorMean(b.bytes, d.bytes)};
        // The first largest difference: a later candidate replaces the one held only when
        // larger.
        Vector best = AbsoluteDifference(p[0], q[0]);
        Vector value = p[0];
        for (int k = 1; k < 6; k++) {
            const Vector larger = Lanes::Max8(AbsoluteDifference(p[k], q[k]), best);
            value = Lanes::Choose(Lanes::Equal8(larger, best), value, p[k]);
            best = larger;
        }
        const Vector even = Lanes::Equal8(
            Lanes::SubSaturate8(best, Lanes::Splat8(kAdaptiveEvenThreshold)), Lanes::Zero());
        return Lanes::Choose(even, Shifted(sumLow, sumHigh, 2), value);
    }

    // Diagonal estimates at sites x, x + 2, ..., x + 2(count - 1) of the row between `up` and
    // `down`, into out[0] to out[count - 1]; count is at least N. Reads columns x - 1 to
    // x + 2 count - 1.
    static VOID DiagonalEstimates(const UCHAR* up, const UCHAR* down, ULONG x, ULONG count,
                                  UCHAR* out) {
        for (ULONG k = 0;; k += N) {
            if (k + N > count)
                k = count - N;  // the last N overlap the ones before
            const ULONG at = x + 2 * k;
            Lanes::ToCache(out + k, Estimate(Load(up + at - 1), Load(up + at + 1),
                                             Load(down + at - 1), Load(down + at + 1)));
            if (k + N >= count)
                return;
        }
    }

    // One colour of a ring row at x, x + 2, ..., into out[0] to out[count - 1].
    static VOID GatherRing(const UCHAR* pixels, ULONG x, ULONG count, UCHAR* out) {
        for (ULONG k = 0; k < count; k++) out[k] = pixels[3 * (SIZE_T{x} + 2 * k)];
    }

    // Chunk m covers columns x0 to x0 + 2N - 1 with x0 = 1 + 2N m; the last chunk ends at
    // column W - 2, overlapping the one before when the interior is not a whole number of
    // chunks.
    static ULONG ChunkColumn(ULONG width, ULONG chunk, ULONG chunks) {
        return chunk + 1 == chunks ? width - 1 - kChunkColumns : 1 + kChunkColumns * chunk;
    }

    // Two rows, y (green-blue) and y + 1 (red-green), of one chunk. Cache slot c holds, for the
    // blue caches, blue at the red site 2(lo + c) of rows y - 1 (above) and y + 1 (below); for
    // the red caches, red at the blue site 2(lo + c) + 1 of rows y (upper) and y + 2 (lower).
    // Next to the ring, the red of row 0 above the first pair and the blue of row H - 1 below the
    // last pair come from the ring too, indexed as the blue and the red caches.
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

    static HALVEX_FORCE_INLINE VOID ConvertChunk(const ChunkRows& rows, ULONG x0, ULONG slot,
                                                 BOOLEAN keepFollowingPixel) {
        const UCHAR* above = rows.source + (rows.y - 1) * rows.width + x0;
        const UCHAR* row = above + rows.width;
        const UCHAR* next = row + rows.width;
        const UCHAR* below = next + rows.width;
        // Samples around row y: blue at its blue sites x0 + 2j, its green sites to their right
        // and left, the blue site two columns on; green and red of row y - 1 above them.
        const Sites blue = Load(row);
        const Sites green = Load(row + 1);
        const Sites greenLeft = Load(row - 1);
        const Sites blueRight = Load(row + 2);
        const Sites greenAbove = Load(above);
        const Sites redAbove =
            rows.ringRedAbove ? Lanes::FromCache(rows.ringRedAbove + slot + 1) : Load(above + 1);
        // Row y + 1: green at x0 + 2j, red at x0 + 2j + 1, and their neighbours; row y + 2 below.
        const Sites green1 = Load(next);
        const Sites red1 = Load(next + 1);
        const Sites red1Left = Load(next - 1);
        const Sites green1Right = Load(next + 2);
        const Sites blue2 =
            rows.ringBlueBelow ? Lanes::FromCache(rows.ringBlueBelow + slot) : Load(below);
        const Sites green2 = Load(below + 1);
        // First-pass values of the neighbours from the caches.
        const Sites blueAboveRight = Lanes::FromCache(rows.blueAbove + slot + 1);
        const Sites blueBelowLeft = Lanes::FromCache(rows.blueBelow + slot);
        const Sites blueBelowRight = Lanes::FromCache(rows.blueBelow + slot + 1);
        const Sites redUpperLeft = Lanes::FromCache(rows.redUpper + slot);
        const Sites redUpperRight = Lanes::FromCache(rows.redUpper + slot + 1);
        const Sites redLowerLeft = Lanes::FromCache(rows.redLower + slot);

        const Vector greenAtBlue = Estimate(greenAbove, greenLeft, green, green1);
        const Vector greenAtRed = Estimate(green, green1, green1Right, green2);
        const Vector blueAtGreen = Estimate(blueAboveRight, blue, blueRight, blueBelowRight);
        const Vector redAtGreen = Estimate(redAbove, redUpperLeft, redUpperRight, red1);
        const Vector blueAtGreen1 = Estimate(blue, blueBelowLeft, blueBelowRight, blue2);
        const Vector redAtGreen1 = Estimate(redUpperLeft, red1Left, red1, redLowerLeft);

        UCHAR* out = rows.destination + (rows.y * rows.width + x0) * 3;
        UCHAR* out1 = out + rows.width * 3;
        // Each row's last store writes two bytes of pixel x0 + 2N, which the chunk after it
        // writes in full, unless that pixel is in the ring.
        const SIZE_T following = 3 * SIZE_T{kChunkColumns};
        const UCHAR kept[4] = {out[following], out[following + 1], out1[following],
                               out1[following + 1]};
        Lanes::StorePixels(out, blue.bytes, blueAtGreen, greenAtBlue, green.bytes,
                           redUpperLeft.bytes, redAtGreen);
        Lanes::StorePixels(out1, blueAtGreen1, blueBelowRight.bytes, green1.bytes, greenAtRed,
                           redAtGreen1, red1.bytes);
        if (keepFollowingPixel) {
            out[following] = kept[0];
            out[following + 1] = kept[1];
            out1[following] = kept[2];
            out1[following + 1] = kept[3];
        }
    }

    // One segment of chunks, all row pairs, top to bottom.
    static VOID ConvertSegment(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                               ULONG firstChunk, ULONG endChunk, ULONG chunks) {
        const SIZE_T w = width;
        const ULONG lo = (ChunkColumn(width, firstChunk, chunks) - 1) / 2;
        const ULONG hi = (ChunkColumn(width, endChunk - 1, chunks) + 1) / 2 + N - 1;
        const ULONG count = hi - lo + 1;
        // Blue at red site 2i needs i >= 1; red at blue site 2i + 1 needs i <= W/2 - 2. The
        // slots left out (next to columns 0 and W - 1) feed only the green sites the caller
        // redoes.
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
        GatherRing(destination + (height - 1) * w * 3 + PIXEL_BLUE, 2 * lo + 1, count,
                   ringBlueBelow);
        DiagonalEstimates(source, source + 2 * w, 2 * lo + 1, redCount, redUpper);
        for (ULONG y = 1; y + 2 < height; y += 2) {
            const UCHAR* row = source + y * w;
            DiagonalEstimates(row, row + 2 * w, 2 * (lo + blueFirst), count - blueFirst,
                              blueBelow + blueFirst);
            if (y + 3 < height)
                DiagonalEstimates(row + w, row + 3 * w, 2 * lo + 1, redCount, redLower);
            else
                GatherRing(destination + (height - 1) * w * 3 + PIXEL_RED, 2 * lo + 1, count,
                           redLower);
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

    // Whether the frame is wide and high enough, and even in both, for this routine.
    static BOOLEAN Fits(ULONG width, ULONG height) {
        return width >= 2 + kChunkColumns && height >= 4 && (width & 1) == 0 && (height & 1) == 0;
    }

    // Every interior pixel but blue and red at the green sites in column 1 of the red-green rows
    // and in column W - 2 of the green-blue rows.
    static VOID Convert(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
        const ULONG chunks =
            (width - 2) / kChunkColumns + ((width - 2) % kChunkColumns != 0 ? 1 : 0);
        for (ULONG first = 0; first < chunks; first += kChunksPerSegment) {
            const ULONG end =
                first + kChunksPerSegment < chunks ? first + kChunksPerSegment : chunks;
            ConvertSegment(width, height, source, destination, first, end, chunks);
        }
    }
};

// SSE2: sixteen estimates to a vector.
struct Sse2Lanes {
    typedef __m128i Vector;
    static constexpr ULONG kCount = 16;
    // Sixteen samples of one colour, every other byte of a row: as bytes, and as two halves of
    // sixteen-bit lanes for the sums.
    struct Sites {
        Vector bytes;
        Vector low;
        Vector high;
    };
    static HALVEX_FORCE_INLINE Vector Load(const UCHAR* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static HALVEX_FORCE_INLINE Vector Zero() { return _mm_setzero_si128(); }
    static HALVEX_FORCE_INLINE Vector Splat8(UCHAR v) {
        return _mm_set1_epi8(static_cast<CHAR>(v));
    }
    static HALVEX_FORCE_INLINE Vector Splat16(SHORT v) { return _mm_set1_epi16(v); }
    static HALVEX_FORCE_INLINE Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
    static HALVEX_FORCE_INLINE Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
    static HALVEX_FORCE_INLINE Vector Xor(Vector a, Vector b) { return _mm_xor_si128(a, b); }
    static HALVEX_FORCE_INLINE Vector Add16(Vector a, Vector b) { return _mm_add_epi16(a, b); }
    static HALVEX_FORCE_INLINE Vector Sub16(Vector a, Vector b) { return _mm_sub_epi16(a, b); }
    static HALVEX_FORCE_INLINE Vector MulHigh16(Vector a, Vector b) {
        return _mm_mulhi_epu16(a, b);
    }
    static HALVEX_FORCE_INLINE Vector ShiftRight16(Vector a, int n) { return _mm_srli_epi16(a, n); }
    static HALVEX_FORCE_INLINE Vector Sub8(Vector a, Vector b) { return _mm_sub_epi8(a, b); }
    static HALVEX_FORCE_INLINE Vector SubSaturate8(Vector a, Vector b) {
        return _mm_subs_epu8(a, b);
    }
    static HALVEX_FORCE_INLINE Vector Average8(Vector a, Vector b) { return _mm_avg_epu8(a, b); }
    static HALVEX_FORCE_INLINE Vector Max8(Vector a, Vector b) { return _mm_max_epu8(a, b); }
    static HALVEX_FORCE_INLINE Vector Equal8(Vector a, Vector b) { return _mm_cmpeq_epi8(a, b); }
    // a where the mask is set, b elsewhere.
    static HALVEX_FORCE_INLINE Vector Choose(Vector mask, Vector a, Vector b) {
        return Select(mask, a, b);
    }
    // The bytes of two vectors of sixteen-bit lanes, limited to 0 to 255, in order.
    static HALVEX_FORCE_INLINE Vector Pack(Vector low, Vector high) {
        return _mm_packus_epi16(low, high);
    }
    static HALVEX_FORCE_INLINE Sites FromCache(const UCHAR* p) {
        const Vector v = Load(p);
        return {v, _mm_unpacklo_epi8(v, Zero()), _mm_unpackhi_epi8(v, Zero())};
    }
    static HALVEX_FORCE_INLINE VOID ToCache(UCHAR* p, Vector v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    // 32 pixels: the even ones from the `even` vectors, the odd ones from the `odd` vectors.
    // Writes two bytes past the 96.
    static HALVEX_FORCE_INLINE VOID StorePixels(UCHAR* out, Vector evenBlue, Vector oddBlue,
                                                Vector evenGreen, Vector oddGreen, Vector evenRed,
                                                Vector oddRed) {
        StoreBgr16(out, _mm_unpacklo_epi8(evenBlue, oddBlue),
                   _mm_unpacklo_epi8(evenGreen, oddGreen), _mm_unpacklo_epi8(evenRed, oddRed));
        StoreBgr16(out + 48, _mm_unpackhi_epi8(evenBlue, oddBlue),
                   _mm_unpackhi_epi8(evenGreen, oddGreen), _mm_unpackhi_epi8(evenRed, oddRed));
    }
};

}  // namespace
#endif

// The AVX2 instantiation, in a file of its own compiled for AVX2: whether a frame fits it, and
// the routine, to be called only where the processor has AVX2 and with the extended state saved.
BOOLEAN ConvertAdaptiveAvx2Fits(ULONG width, ULONG height);
VOID ConvertAdaptiveAvx2(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);
