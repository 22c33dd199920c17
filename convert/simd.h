// SSE2, the x86-64 baseline, for the conversion and processing loops; HALVEX_SSE2 is 0 where it
// is not available and every loop then takes its plain path alone.
#pragma once

#include <string.h>

#include "platform/platform.h"

#if (defined(__SSE2__) && defined(__x86_64__)) || defined(_M_X64)
#include <emmintrin.h>
#define HALVEX_SSE2 1
#else
#define HALVEX_SSE2 0
#endif

// Lambdas and helpers in the inner loops must be inlined: a call passes the vectors through
// memory.
#if defined(__GNUC__)
#define HALVEX_INLINE_LAMBDA __attribute__((always_inline))
#define HALVEX_FORCE_INLINE inline __attribute__((always_inline))
#else
#define HALVEX_INLINE_LAMBDA
#define HALVEX_FORCE_INLINE __forceinline
#endif

#if HALVEX_SSE2
// Internal linkage: a file compiled for a wider instruction set gets its own copies, never
// shared with the baseline files.
namespace {

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
// Splits 16 pixels of blue, green, red triples (48 bytes) into their blue, green and red bytes.
// Each round interleaves the bytes of the three vectors' halves the same way; after four rounds
// the bytes are sorted by colour.
HALVEX_FORCE_INLINE VOID LoadBgr16(const UCHAR* in, __m128i* b, __m128i* g, __m128i* r) {
    __m128i v0 = Load16(in), v1 = Load16(in + 16), v2 = Load16(in + 32);
    auto round = [&]() HALVEX_INLINE_LAMBDA {
        const __m128i t0 = _mm_unpacklo_epi8(v0, _mm_unpackhi_epi64(v1, v1));
        const __m128i t1 = _mm_unpacklo_epi8(_mm_unpackhi_epi64(v0, v0), v2);
        const __m128i t2 = _mm_unpacklo_epi8(v1, _mm_unpackhi_epi64(v2, v2));
        v0 = t0;
        v1 = t1;
        v2 = t2;
    };
    round();
    round();
    round();
    round();
    *b = v0;
    *g = v1;
    *r = v2;
}
// table[v] for each byte v of a 64-bit word, from byte K on.
template <int K>
HALVEX_FORCE_INLINE ULONG64 LookUpWord(const UCHAR* table, ULONG64 v, ULONG64 result) {
    if constexpr (K == 8) {
        return result;
    } else {
        return LookUpWord<K + 1>(table, v,
                                 result | ULONG64{table[(v >> (8 * K)) & 0xFF]} << (8 * K));
    }
}
// table[v] for each byte v of a vector. The look-ups run on the general registers, eight bytes
// to a 64-bit word, so that they overlap with the vector work around them.
HALVEX_FORCE_INLINE __m128i LookUpBytes(const UCHAR* table, __m128i v) {
    const ULONG64 low = static_cast<ULONG64>(_mm_cvtsi128_si64(v));
    const ULONG64 high = static_cast<ULONG64>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
    return _mm_unpacklo_epi64(
        _mm_cvtsi64_si128(static_cast<LONG64>(LookUpWord<0>(table, low, 0))),
        _mm_cvtsi64_si128(static_cast<LONG64>(LookUpWord<0>(table, high, 0))));
}
// Writes 16 pixels of blue, green and red bytes as 48 bytes of blue, green, red triples, two
// pixels to an eight-byte store. Each store also writes two bytes past its six; unless `Exact`,
// the last one two bytes past the 48, which the caller must own and write afterwards. With
// `Exact` the last two pixels go out as four bytes and two.
template <bool Exact = false>
HALVEX_FORCE_INLINE VOID StoreBgr16(UCHAR* out, __m128i b, __m128i g, __m128i r) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bgLow = _mm_unpacklo_epi8(b, g);
    const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rLow = _mm_unpacklo_epi8(r, zero);
    const __m128i rHigh = _mm_unpackhi_epi8(r, zero);
    // Four pixels of blue, green, red, 0 each; each half then squeezed to its six bytes.
    const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i high3 = _mm_set1_epi64x(0x0000FFFFFF000000ll);
    auto store = [&](UCHAR* at, __m128i quad, bool last) HALVEX_INLINE_LAMBDA {
        const __m128i six =
            _mm_or_si128(_mm_and_si128(quad, low3), _mm_and_si128(_mm_srli_epi64(quad, 8), high3));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(at), six);
        const __m128i upper = _mm_unpackhi_epi64(six, six);
        if (Exact && last) {
            const int first = _mm_cvtsi128_si32(upper);
            const int rest = _mm_cvtsi128_si32(_mm_srli_epi64(upper, 32));
            memcpy(at + 6, &first, 4);
            at[10] = static_cast<UCHAR>(rest);
            at[11] = static_cast<UCHAR>(rest >> 8);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 6), upper);
        }
    };
    store(out, _mm_unpacklo_epi16(bgLow, rLow), false);
    store(out + 12, _mm_unpackhi_epi16(bgLow, rLow), false);
    store(out + 24, _mm_unpacklo_epi16(bgHigh, rHigh), false);
    store(out + 36, _mm_unpackhi_epi16(bgHigh, rHigh), true);
}
}  // namespace
#endif
