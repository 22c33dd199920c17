// Raw pre-processing. Runs on the delivery work item; modes 1 and 2 work from a W x H copy of
// the incoming frame (tag DkSy) that is freed before they return.
#include "imaging/raw_preprocessor.h"

#include "convert/simd.h"
#include "imaging/lookups_avx512.h"

namespace {

// Sorts a short list in descending order (exchange sort; at most five values).
VOID SortDescending(PUCHAR values, ULONG n) {
    for (ULONG i = 0; i < n; i++) {
        for (ULONG j = i + 1; j < n; j++) {
            if (values[j] > values[i]) {
                const UCHAR t = values[i];
                values[i] = values[j];
                values[j] = t;
            }
        }
    }
}

PUCHAR CopyFrame(const UCHAR* raw, SIZE_T size) {
    auto* copy =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_PROCESSING_RECORD));
    if (copy != nullptr)
        RtlCopyMemory(copy, raw, size);
    return copy;
}

VOID ReleaseReference(RawPreprocessor* pre) {
    if (pre->m_pReference != nullptr)
        ExFreePoolWithTag(pre->m_pReference, TAG_PROCESSING_RECORD);
    pre->m_pReference = nullptr;
    pre->m_ulReferenceValid = 0;
    pre->m_ulReferenceWidth = 0;
    pre->m_ulReferenceHeight = 0;
    pre->m_ulReferenceArrangement = 0;
}

// Appends sample (x + dx, y + dy) of the copy to the list when it lies inside the frame.
inline VOID AddNeighbour(const UCHAR* copy, ULONG width, ULONG height, ULONG x, ULONG y, LONG dx,
                         LONG dy, PUCHAR list, ULONG* n) {
    const LONG nx = static_cast<LONG>(x) + dx;
    const LONG ny = static_cast<LONG>(y) + dy;
    if (nx < 0 || ny < 0 || nx >= static_cast<LONG>(width) || ny >= static_cast<LONG>(height))
        return;
    list[(*n)++] = copy[static_cast<SIZE_T>(ny) * width + nx];
}

const LONG kCross[4][2] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}};
const LONG kDiagonal[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
const LONG kPlus[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

}  // namespace

RawPreprocessor::~RawPreprocessor() {
    ReleaseReference(this);
}

UCHAR ClipToMedian(PUCHAR values, ULONG n) {
    const UCHAR first = values[0];
    SortDescending(values, n);
    const UCHAR median =
        (n & 1) != 0 ? values[n / 2] : static_cast<UCHAR>((values[n / 2 - 1] + values[n / 2]) >> 1);
    return first < median ? first : median;
}

namespace {

// The clipped value of sample (x, y), from the copy of the frame.
inline UCHAR ClipSample(const UCHAR* copy, ULONG width, ULONG height, ULONG x, ULONG y,
                        BOOLEAN greenDiagonal) {
    const LONG(*offsets)[2];
    if (greenDiagonal) {
        offsets = ((x + y) & 1) == 0 ? kCross : kDiagonal;
    } else {
        const BOOLEAN border = x == 0 || y == 0 || x + 1 == width || y + 1 == height;
        offsets = border ? kPlus : kDiagonal;
    }
    UCHAR list[5];
    ULONG n = 0;
    list[n++] = copy[static_cast<SIZE_T>(y) * width + x];
    for (ULONG k = 0; k < 4; k++)
        AddNeighbour(copy, width, height, x, y, offsets[k][0], offsets[k][1], list, &n);
    return ClipToMedian(list, n);
}

#if HALVEX_SSE2
// The median of five, per byte: the least of the two pair minimums and the greatest of the two
// pair maximums cannot be it, and the median of the three left is.
inline __m128i Median5(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e) {
    const __m128i x = _mm_max_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d));
    const __m128i y = _mm_min_epu8(_mm_max_epu8(a, b), _mm_max_epu8(c, d));
    return _mm_max_epu8(_mm_min_epu8(x, y), _mm_min_epu8(_mm_max_epu8(x, y), e));
}

// Sixteen samples of an inner row (two or more from every edge): each is clipped to the median
// of itself and its four neighbours (across two for the crosses, diagonal otherwise).
inline VOID ClipSixteen(const UCHAR* copy, SIZE_T width, ULONG x, UCHAR* out, BOOLEAN greenDiagonal,
                        __m128i crossLanes) {
    const UCHAR* c = copy + x;
    const __m128i centre = Load16(c);
    const __m128i diagonal = Median5(centre, Load16(c - width - 1), Load16(c - width + 1),
                                     Load16(c + width - 1), Load16(c + width + 1));
    __m128i median = diagonal;
    if (greenDiagonal) {
        const __m128i cross = Median5(centre, Load16(c - 2), Load16(c + 2), Load16(c - 2 * width),
                                      Load16(c + 2 * width));
        median = Select(crossLanes, cross, diagonal);
    }
    Store16(out + x, _mm_min_epu8(centre, median));
}
#endif

// Defect clipping from a copy of the frame; sixteen samples at a time where every neighbour is
// inside the frame when `sixteenAtATime`, else one sample at a time throughout.
ULONG ClipDefects(ULONG width, ULONG height, USHORT arrangement, PUCHAR raw,
                  BOOLEAN sixteenAtATime) {
    (VOID) sixteenAtATime;  // without SSE2 every sample is done on its own
    const BOOLEAN greenDiagonal = arrangement == 2 || arrangement == 5;
    if (!greenDiagonal && arrangement != 1)
        return 0;
    PUCHAR copy = CopyFrame(raw, static_cast<SIZE_T>(width) * height);
    if (copy == nullptr)
        return 0;
    XSTATE_SAVE state;
    const BOOLEAN wide = sixteenAtATime && BeginBytePermutes(&state);
    for (ULONG y = 0; y < height; y++) {
        PUCHAR row = raw + static_cast<SIZE_T>(y) * width;
        ULONG x = 0;
#if HALVEX_SSE2
        if (sixteenAtATime && y >= 2 && y + 2 < height && width >= 20) {
            const UCHAR* copyRow = copy + static_cast<SIZE_T>(y) * width;
            for (; x < 2; x++) row[x] = ClipSample(copy, width, height, x, y, greenDiagonal);
            // Lanes whose (x + y) is even take the cross, for steps starting at an even column.
            const __m128i evenLanes = _mm_set1_epi16(0x00FF);
            const __m128i crossEven =
                (y & 1) == 0 ? evenLanes : _mm_xor_si128(evenLanes, _mm_set1_epi8(-1));
            const __m128i crossOdd = _mm_xor_si128(crossEven, _mm_set1_epi8(-1));
            if (wide)
                x = ClipRowAvx512(copyRow, width, y, x, row, greenDiagonal);
            for (; x + 18 <= width; x += 16)
                ClipSixteen(copyRow, width, x, row, greenDiagonal,
                            (x & 1) == 0 ? crossEven : crossOdd);
            // The columns left before the last two: one more step ending at column W-3 (from
            // the copy, so going over samples already written changes nothing).
            if (x + 2 < width) {
                const ULONG last = width - 18;
                ClipSixteen(copyRow, width, last, row, greenDiagonal,
                            (last & 1) == 0 ? crossEven : crossOdd);
            }
            x = width - 2;
        }
#endif
        for (; x < width; x++) row[x] = ClipSample(copy, width, height, x, y, greenDiagonal);
    }
    if (wide)
        EndBytePermutes(&state);
    ExFreePoolWithTag(copy, TAG_PROCESSING_RECORD);
    return 1;
}

}  // namespace

ULONG CorrectDefects(RawPreprocessor*, ULONG width, ULONG height, USHORT arrangement, PUCHAR raw) {
    return ClipDefects(width, height, arrangement, raw, TRUE);
}

ULONG CorrectDefectsPlain(ULONG width, ULONG height, USHORT arrangement, PUCHAR raw) {
    return ClipDefects(width, height, arrangement, raw, FALSE);
}

ULONG CaptureReference(RawPreprocessor* pre, ULONG width, ULONG height, USHORT arrangement,
                       PUCHAR raw) {
    ReleaseReference(pre);
    const SIZE_T size = static_cast<SIZE_T>(width) * height;
    auto* reference =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_PROCESSING_RECORD));
    if (reference == nullptr)
        return 0;
    RtlCopyMemory(reference, raw, size);
    pre->m_pReference = reference;
    pre->m_ulReferenceHeight = height;
    pre->m_ulReferenceValid = REFERENCE_VALID;
    pre->m_ulReferenceWidth = width;
    pre->m_ulReferenceArrangement = arrangement;
    if (height == 1)
        return 1;
    // The darkest value of each cell position over the even-sized region, then subtracted.
    const ULONG rows = height & ~1u;
    const ULONG columns = width & ~1u;
    UCHAR minimum[4] = {255, 255, 255, 255};
    for (ULONG y = 0; y < rows; y++) {
        const UCHAR* row = reference + static_cast<SIZE_T>(y) * width;
        for (ULONG x = 0; x < columns; x++) {
            UCHAR& m = minimum[(x & 1) + 2 * (y & 1)];
            if (row[x] < m)
                m = row[x];
        }
    }
    for (ULONG y = 0; y < rows; y++) {
        PUCHAR row = reference + static_cast<SIZE_T>(y) * width;
        for (ULONG x = 0; x < columns; x++)
            row[x] = static_cast<UCHAR>(row[x] - minimum[(x & 1) + 2 * (y & 1)]);
    }
    return 1;
}

ULONG SubtractReference(RawPreprocessor* pre, ULONG width, ULONG height, USHORT arrangement,
                        PUCHAR raw) {
    if (pre->m_pReference == nullptr || pre->m_ulReferenceValid != REFERENCE_VALID ||
        pre->m_ulReferenceWidth != width || pre->m_ulReferenceHeight != height ||
        pre->m_ulReferenceArrangement != arrangement)
        return 0;
    const SIZE_T size = static_cast<SIZE_T>(width) * height;
    PUCHAR incoming = CopyFrame(raw, size);
    if (incoming == nullptr)
        return 0;
    const UCHAR* reference = pre->m_pReference;
    for (SIZE_T i = 0; i < size; i++)
        raw[i] = raw[i] > reference[i] ? static_cast<UCHAR>(raw[i] - reference[i]) : 0;

    ULONG result = 0;
    if (arrangement == 1 || arrangement == 2) {
        // Saturation repair, row by row, reading neighbours in their present state.
        const ULONG margin = arrangement == 2 ? 2 : 1;
        for (ULONG y = margin; y + margin < height; y++) {
            for (ULONG x = margin; x + margin < width; x++) {
                const SIZE_T at = static_cast<SIZE_T>(y) * width + x;
                if (incoming[at] < 253 || raw[at] >= 253)
                    continue;
                const LONG(*offsets)[2] =
                    arrangement == 2 && ((x + y) & 1) == 0 ? kCross : kDiagonal;
                UCHAR list[5];
                ULONG n = 0;
                list[n++] = raw[at];
                for (ULONG k = 0; k < 4; k++)
                    AddNeighbour(raw, width, height, x, y, offsets[k][0], offsets[k][1], list, &n);
                const UCHAR present = list[0];
                SortDescending(list, n);
                const UCHAR median = list[2];
                raw[at] = present > median ? present : median;
            }
        }
        result = 1;
    }
    ExFreePoolWithTag(incoming, TAG_PROCESSING_RECORD);
    return result;
}
