// Zone statistics. Runs on the delivery work item only.
#include "imaging/grid_statistics.h"

#include "convert/simd.h"

namespace {

// Band ends of an axis of `size` samples from three splits in hundredths of a percent.
VOID BandEnds(ULONG size, const USHORT* splits, ULONG* ends) {
    for (ULONG k = 0; k < 3; k++) {
        ULONG end = static_cast<ULONG>((static_cast<ULONGLONG>(size) * splits[k]) / 10000);
        ends[k] = end > size ? size : end;
    }
    if (ends[1] < ends[0])
        ends[1] = ends[0];
    if (ends[2] < ends[1])
        ends[2] = ends[1];
    ends[3] = size;
}

// Samples of a band [start, end) with the parity of `start`, and with the other parity.
inline ULONG SameParity(ULONG start, ULONG end) {
    return (end - start + 1) / 2;
}
inline ULONG OtherParity(ULONG start, ULONG end) {
    return (end - start) / 2;
}

}  // namespace

VOID InitGridStatistics(GridStatistics* stats) {
    for (ULONG k = 0; k < 3; k++) {
        stats->m_awColumnSplit[k] = static_cast<USHORT>(2500 * (k + 1));
        stats->m_awRowSplit[k] = static_cast<USHORT>(2500 * (k + 1));
    }
    stats->m_bLayoutStale = 1;
}

ULONG UpdateZoneLayout(GridStatistics* stats, ULONG width, ULONG height, USHORT arrangement) {
    if (stats->m_bLayoutStale == 0 && stats->m_ulLayoutWidth == width &&
        stats->m_ulLayoutHeight == height && stats->m_wLayoutArrangement == arrangement)
        return 1;
    BandEnds(width, stats->m_awColumnSplit, stats->m_aulColumnEnd);
    BandEnds(height, stats->m_awRowSplit, stats->m_aulRowEnd);
    for (ULONG r = 0; r < 4; r++) {
        const ULONG r0 = r == 0 ? 0 : stats->m_aulRowEnd[r - 1];
        const ULONG r1 = stats->m_aulRowEnd[r];
        for (ULONG c = 0; c < 4; c++) {
            const ULONG c0 = c == 0 ? 0 : stats->m_aulColumnEnd[c - 1];
            const ULONG c1 = stats->m_aulColumnEnd[c];
            ULONG* count = stats->m_aulCount[4 * r + c];
            if (arrangement == 1) {
                count[0] = (r1 - r0) * (c1 - c0);
                continue;
            }
            // Rows and columns of each parity, by absolute position.
            ULONG rows[2], columns[2];
            rows[r0 & 1] = SameParity(r0, r1);
            rows[(r0 & 1) ^ 1] = OtherParity(r0, r1);
            columns[c0 & 1] = SameParity(c0, c1);
            columns[(c0 & 1) ^ 1] = OtherParity(c0, c1);
            for (ULONG k = 0; k < 4; k++) count[k] = rows[k >> 1] * columns[k & 1];
        }
    }
    stats->m_bLayoutStale = 0;
    stats->m_ulLayoutWidth = width;
    stats->m_wLayoutArrangement = arrangement;
    stats->m_ulLayoutHeight = height;
    return 1;
}

ULONG MeasureZones(GridStatistics* stats, ULONG width, ULONG height, USHORT arrangement,
                   const UCHAR* raw) {
    UpdateZoneLayout(stats, width, height, arrangement);
    const BOOLEAN monochrome = arrangement == 1;
    ULONG rowStart = 0;
    for (ULONG r = 0; r < 4; r++) {
        ULONGLONG sums[4][4] = {};  // column band, cell position
        const ULONG rowEnd = stats->m_aulRowEnd[r];
        for (ULONG y = rowStart; y < rowEnd; y++) {
            const UCHAR* row = raw + static_cast<SIZE_T>(y) * width;
            const ULONG rowParity = 2 * (y & 1);
            ULONG columnStart = 0;
            for (ULONG c = 0; c < 4; c++) {
                const ULONG columnEnd = stats->m_aulColumnEnd[c];
                ULONG x = columnStart;
#if HALVEX_SSE2
                // Sixteen samples at a time: the sums of the even and of the odd ones.
                if (x + 16 <= columnEnd) {
                    const __m128i evenLanes = _mm_set1_epi16(0x00FF);
                    const __m128i zero = _mm_setzero_si128();
                    __m128i even = zero, odd = zero;
                    for (; x + 16 <= columnEnd; x += 16) {
                        const __m128i v = Load16(row + x);
                        even = _mm_add_epi64(even, _mm_sad_epu8(_mm_and_si128(v, evenLanes), zero));
                        odd = _mm_add_epi64(odd, _mm_sad_epu8(_mm_srli_epi16(v, 8), zero));
                    }
                    const ULONGLONG evenSum =
                        static_cast<ULONGLONG>(_mm_cvtsi128_si64(even)) +
                        static_cast<ULONGLONG>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(even, even)));
                    const ULONGLONG oddSum =
                        static_cast<ULONGLONG>(_mm_cvtsi128_si64(odd)) +
                        static_cast<ULONGLONG>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(odd, odd)));
                    // Lane 0 is column columnStart.
                    const ULONG first = columnStart & 1;
                    if (monochrome) {
                        sums[c][0] += evenSum + oddSum;
                    } else {
                        sums[c][first + rowParity] += evenSum;
                        sums[c][(first ^ 1) + rowParity] += oddSum;
                    }
                }
#endif
                if (monochrome) {
                    for (; x < columnEnd; x++) sums[c][0] += row[x];
                } else {
                    for (; x < columnEnd; x++) sums[c][(x & 1) + rowParity] += row[x];
                }
                columnStart = columnEnd;
            }
        }
        for (ULONG c = 0; c < 4; c++) {
            const ULONG zone = 4 * r + c;
            const ULONG positions = monochrome ? 1 : 4;
            for (ULONG k = 0; k < positions; k++) {
                const ULONG count = stats->m_aulCount[zone][k];
                stats->m_abyteAverage[zone][k] =
                    count == 0 ? 0 : static_cast<UCHAR>(sums[c][k] / count);
            }
        }
        rowStart = rowEnd;
    }
    return 1;
}

ULONG GetBrightnessAverage(GridStatistics* stats, const UCHAR* weights, UCHAR* output) {
    const USHORT arrangement = stats->m_wLayoutArrangement;
    ULONG weightSum = 0;
    ULONG values[4] = {};
    for (ULONG z = 0; z < ZONE_COUNT; z++) {
        weightSum += weights[z];
        for (ULONG k = 0; k < 4; k++) values[k] += stats->m_abyteAverage[z][k] * weights[z];
    }
    if (arrangement == 1) {
        output[0] = weightSum == 0 ? 0 : static_cast<UCHAR>(values[0] / weightSum);
        return 1;
    }
    if (weightSum == 0) {
        for (ULONG k = 0; k < 4; k++) output[k] = 0;
        return 1;
    }
    if (arrangement < 2 || arrangement > 5)
        return 1;  // no channel order for this code
    // Output channel c comes from the position where the code puts it.
    const UCHAR* channelOf = ChannelOfPosition(arrangement);
    for (ULONG k = 0; k < 4; k++) output[channelOf[k]] = static_cast<UCHAR>(values[k] / weightSum);
    return 1;
}
