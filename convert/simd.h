// SSE2, the x86-64 baseline, for the conversion and processing loops; HALVEX_SSE2 is 0 where it
// is not available and every loop then takes its plain path alone.
#pragma once

#include "platform/platform.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HALVEX_SSE2 1
#else
#define HALVEX_SSE2 0
#endif

#if HALVEX_SSE2
inline __m128i Load16(const UCHAR* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline VOID Store16(UCHAR* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
// (a + b) >> 1 per byte: the rounded-up average less the bit it rounded up.
inline __m128i FloorMean(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}
// a where the mask is set, b elsewhere.
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
// Writes 16 pixels of blue, green and red bytes as 48 bytes of blue, green, red triples.
inline VOID StoreBgr16(UCHAR* out, __m128i b, __m128i g, __m128i r) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bgLow = _mm_unpacklo_epi8(b, g);
    const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rLow = _mm_unpacklo_epi8(r, zero);
    const __m128i rHigh = _mm_unpackhi_epi8(r, zero);
    // Four pixels of blue, green, red, 0 each, then squeezed to twelve bytes.
    const __m128i quads[4] = {_mm_unpacklo_epi16(bgLow, rLow), _mm_unpackhi_epi16(bgLow, rLow),
                              _mm_unpacklo_epi16(bgHigh, rHigh),
                              _mm_unpackhi_epi16(bgHigh, rHigh)};
    const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i high3 = _mm_set1_epi64x(0x0000FFFFFF000000ll);
    const __m128i low8 = _mm_set_epi32(0, 0, -1, -1);
    __m128i twelve[4];
    for (int k = 0; k < 4; k++) {
        const __m128i q = quads[k];
        const __m128i six = _mm_or_si128(_mm_and_si128(q, low3),
                                         _mm_and_si128(_mm_srli_epi64(q, 8), high3));
        twelve[k] = _mm_or_si128(_mm_and_si128(six, low8), _mm_slli_si128(_mm_srli_si128(six, 8), 6));
    }
    Store16(out, _mm_or_si128(twelve[0], _mm_slli_si128(twelve[1], 12)));
    Store16(out + 16, _mm_or_si128(_mm_srli_si128(twelve[1], 4), _mm_slli_si128(twelve[2], 8)));
    Store16(out + 32, _mm_or_si128(_mm_srli_si128(twelve[2], 8), _mm_slli_si128(twelve[3], 4)));
}
#endif
