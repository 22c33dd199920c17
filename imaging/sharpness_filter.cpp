// Sharpness filter. Every luminance it reads is from before the filter: the luminance of two rows
// and the horizontal three-sums of three rows are held in a W x 8 scratch buffer, so the
// neighbour sum is three additions per pixel whatever the height.
#include "imaging/sharpness_filter.h"

#include "convert/simd.h"
#include "imaging/lookup_tables.h"
#include "imaging/lookups_avx512.h"

namespace {

inline UCHAR PixelLuminance(const UCHAR* p, ULONG bytesPerPixel) {
    return bytesPerPixel == 1 ? p[0] : Luminance(p[0], p[1], p[2]);
}

// Luminance of row y into `lum` and the sums of each pixel with its left and right neighbour
// into `sums` (interior columns only).
VOID LoadRow(const UCHAR* image, ULONG width, ULONG y, ULONG bytesPerPixel, BOOLEAN wide,
             PUCHAR lum, PUSHORT sums) {
    const UCHAR* row = image + static_cast<SIZE_T>(y) * width * bytesPerPixel;
    ULONG x = wide ? LuminanceRowAvx512(row, width, lum) : 0;
#if HALVEX_SSE2
    if (bytesPerPixel == 3) {
        for (; x + 16 <= width; x += 16) {
            __m128i b, g, r;
            LoadBgr16(row + 3 * SIZE_T{x}, &b, &g, &r);
            Store16(lum + x, Luminance16(b, g, r));
        }
    }
#endif
    for (; x < width; x++) lum[x] = PixelLuminance(row + x * bytesPerPixel, bytesPerPixel);
    x = wide ? ThreeSumsAvx512(lum, width, sums) : 1;
#if HALVEX_SSE2
    const __m128i zero = _mm_setzero_si128();
    for (; x + 17 <= width; x += 16) {
        const __m128i left = Load16(lum + x - 1), centre = Load16(lum + x),
                      right = Load16(lum + x + 1);
        const __m128i low = _mm_add_epi16(
            _mm_add_epi16(_mm_unpacklo_epi8(left, zero), _mm_unpacklo_epi8(centre, zero)),
            _mm_unpacklo_epi8(right, zero));
        const __m128i high = _mm_add_epi16(
            _mm_add_epi16(_mm_unpackhi_epi8(left, zero), _mm_unpackhi_epi8(centre, zero)),
            _mm_unpackhi_epi8(right, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x + 8), high);
    }
#endif
    for (; x + 1 < width; x++) sums[x] = static_cast<USHORT>(lum[x - 1] + lum[x] + lum[x + 1]);
}

#if HALVEX_SSE2
// Sharpens pixels x to x + 15 of a 24-bit row by the same rule as the pixel loop below; a block
// where no difference passes the threshold is not touched.
HALVEX_FORCE_INLINE VOID Sharpen16(PUCHAR row, ULONG x, const UCHAR* current,
                                   const USHORT* const* sums, __m128i threshold,
                                   const UCHAR* correction) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i centre = Load16(current + x);
    // Eight pixels' difference from the mean of their neighbours: its size, whether it raises
    // the pixel, whether it passes the threshold.
    struct Half {
        __m128i size, raise, pass;
    };
    auto half = [&](__m128i value, const USHORT* s0, const USHORT* s1,
                    const USHORT* s2) HALVEX_INLINE_LAMBDA {
        auto load = [](const USHORT* p) HALVEX_INLINE_LAMBDA {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        const __m128i neighbours =
            _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(load(s0), load(s1)), load(s2)), value);
        const __m128i mean = _mm_srli_epi16(_mm_add_epi16(neighbours, _mm_set1_epi16(4)), 3);
        const __m128i d = _mm_sub_epi16(value, mean);
        const __m128i size = _mm_max_epi16(d, _mm_sub_epi16(zero, d));
        return Half{size, _mm_cmpgt_epi16(d, zero), _mm_cmpgt_epi16(size, threshold)};
    };
    const Half low = half(_mm_unpacklo_epi8(centre, zero), sums[0] + x, sums[1] + x, sums[2] + x);
    const Half high =
        half(_mm_unpackhi_epi8(centre, zero), sums[0] + x + 8, sums[1] + x + 8, sums[2] + x + 8);
    const __m128i passes = _mm_packs_epi16(low.pass, high.pass);
    if (_mm_movemask_epi8(passes) == 0)
        return;
    const __m128i raises = _mm_packs_epi16(low.raise, high.raise);
    const __m128i amount =
        _mm_and_si128(LookUpBytes(correction, _mm_packus_epi16(low.size, high.size)), passes);
    const __m128i add = _mm_and_si128(amount, raises);
    const __m128i subtract = _mm_andnot_si128(raises, amount);
    PUCHAR p = row + 3 * SIZE_T{x};
    __m128i b, g, r;
    LoadBgr16(p, &b, &g, &r);
    StoreBgr16<true>(p, _mm_subs_epu8(_mm_adds_epu8(b, add), subtract),
                     _mm_subs_epu8(_mm_adds_epu8(g, add), subtract),
                     _mm_subs_epu8(_mm_adds_epu8(r, add), subtract));
}
#endif

// The 24-bit, 32-bit and grey variants: they differ only in the bytes per pixel and in how many
// of them carry colour.
ULONG SharpenVariant(SharpnessFilter* filter, ULONG width, ULONG height, ULONG bytesPerPixel,
                     BOOLEAN wide, PUCHAR image, PUCHAR scratch) {
    const ULONG colourBytes = bytesPerPixel == 1 ? 1 : 3;
    const LONG threshold = filter->m_byteFrameThreshold;
    const UCHAR* correction = filter->m_abyteFrameCorrection;
    // Scratch: luminance of the current and next row, then three rows of three-sums.
    PUCHAR lum[2] = {scratch, scratch + width};
    PUSHORT sums[3] = {reinterpret_cast<PUSHORT>(scratch + 2 * SIZE_T{width}),
                       reinterpret_cast<PUSHORT>(scratch + 4 * SIZE_T{width}),
                       reinterpret_cast<PUSHORT>(scratch + 6 * SIZE_T{width})};
    LoadRow(image, width, 0, bytesPerPixel, wide, lum[0], sums[0]);
    LoadRow(image, width, 1, bytesPerPixel, wide, lum[1], sums[1]);
    for (ULONG y = 1; y + 1 < height; y++) {
        // Rows y - 1 and y are in sums[0] and sums[1], row y's luminance in lum[1]; take row
        // y + 1 before row y changes.
        PUCHAR current = lum[1];
        LoadRow(image, width, y + 1, bytesPerPixel, wide, lum[0], sums[2]);
        PUCHAR row = image + static_cast<SIZE_T>(y) * width * bytesPerPixel;
        ULONG x = wide ? SharpenRowAvx512(row, width, current, sums, static_cast<UCHAR>(threshold),
                                          correction)
                       : 1;
#if HALVEX_SSE2
        if (bytesPerPixel == 3) {
            const __m128i limit = _mm_set1_epi16(static_cast<SHORT>(threshold));
            for (; x + 17 <= width; x += 16) Sharpen16(row, x, current, sums, limit, correction);
        }
#endif
        for (; x + 1 < width; x++) {
            const ULONG neighbours = sums[0][x] + sums[1][x] + sums[2][x] - current[x];
            const LONG mean = static_cast<LONG>((neighbours + 4) >> 3);
            const LONG d = static_cast<LONG>(current[x]) - mean;
            PUCHAR p = row + static_cast<SIZE_T>(x) * bytesPerPixel;
            if (d > threshold) {
                const UCHAR c = correction[d];
                for (ULONG i = 0; i < colourBytes; i++)
                    p[i] = p[i] < 255 - c ? static_cast<UCHAR>(p[i] + c) : 255;
            } else if (-d > threshold) {
                const UCHAR c = correction[-d];
                for (ULONG i = 0; i < colourBytes; i++)
                    p[i] = p[i] > c ? static_cast<UCHAR>(p[i] - c) : 0;
            }
        }
        // Move down: row y + 1 becomes the current row.
        PUCHAR spareLum = lum[1];
        lum[1] = lum[0];
        lum[0] = spareLum;
        PUSHORT spareSums = sums[0];
        sums[0] = sums[1];
        sums[1] = sums[2];
        sums[2] = spareSums;
    }
    return 1;
}

}  // namespace

VOID InitSharpnessFilter(SharpnessFilter* filter) {
    KeInitializeSpinLock(&filter->m_Lock);
}

ULONG BuildSharpnessTable(SharpnessFilter* filter) {
    const ULONG step = filter->m_wStrength / 100u;
    const ULONG t = filter->m_byteThreshold;
    for (ULONG i = 0; i <= t; i++) filter->m_abyteCorrection[i] = 0;
    for (ULONG j = 1; j <= 255 - t; j++) {
        const ULONG value = j * step;
        filter->m_abyteCorrection[t + j] = static_cast<UCHAR>(value >= 254 ? 255 : value);
    }
    return 1;
}

VOID SetSharpness(SharpnessFilter* filter, UCHAR enable, USHORT strength, UCHAR threshold) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filter->m_Lock);
    filter->m_byteEnable = enable;
    filter->m_wStrength = strength;
    filter->m_byteThreshold = threshold;
    if (enable != 0)
        BuildSharpnessTable(filter);
    KeReleaseSpinLock(&filter->m_Lock, irql);
}

VOID GetSharpness(SharpnessFilter* filter, UCHAR* enable, USHORT* strength, UCHAR* threshold) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filter->m_Lock);
    *enable = filter->m_byteEnable;
    *strength = filter->m_wStrength;
    *threshold = filter->m_byteThreshold;
    KeReleaseSpinLock(&filter->m_Lock, irql);
}

ULONG SharpenFrame(SharpnessFilter* filter, ULONG width, ULONG height, ULONG format, PUCHAR image) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&filter->m_Lock);
    const BOOLEAN enabled = filter->m_byteEnable == 1;
    if (enabled) {
        filter->m_byteFrameThreshold = filter->m_byteThreshold;
        RtlCopyMemory(filter->m_abyteFrameCorrection, filter->m_abyteCorrection, 256);
    }
    KeReleaseSpinLock(&filter->m_Lock, irql);
    if (!enabled)
        return 1;
    auto* scratch = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(width) * 8, TAG_PROCESSING_RECORD));
    if (scratch == nullptr)
        return 0;
    RtlZeroMemory(scratch, static_cast<SIZE_T>(width) * 8);
    ULONG result = 1;
    // Frames narrower or lower than three pixels have no interior and stay as they are.
    if (width >= 3 && height >= 3) {
        if (format == 4) {
            // 24-bit rows with AVX-512 byte permutes where the processor has them (`wide` is
            // only ever TRUE for 24-bit rows).
            XSTATE_SAVE state;
            const BOOLEAN wide = BeginBytePermutes(&state);
            result = SharpenVariant(filter, width, height, 3, wide, image, scratch);
            if (wide)
                EndBytePermutes(&state);
        } else if (format == 8)
            result = SharpenVariant(filter, width, height, 4, FALSE, image, scratch);
        else if (format == 1)
            result = SharpenVariant(filter, width, height, 1, FALSE, image, scratch);
    }
    ExFreePoolWithTag(scratch, TAG_PROCESSING_RECORD);
    return result;
}
