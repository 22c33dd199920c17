// Method 5's one-pass routine with AVX2: 32 estimates to a vector. This file alone is compiled
// for AVX2; adaptive.cpp calls it only where the processor has AVX2, with the extended state
// saved.
#include "convert/adaptive_kernel.h"

#if HALVEX_SSE2 && defined(__AVX2__)
#include <immintrin.h>

namespace {

// The 256-bit packing works within each 128-bit half, so bytes packed from two vectors of
// sixteen-bit lanes (estimates 0-15 and 16-31) come out as 0-7, 16-23, 8-15, 24-31. Every byte
// vector here is in that order; only the caches hold bytes in the order of the row, and the
// conversions to and from them exchange the middle eight-byte quarters.
struct Avx2Lanes {
    typedef __m256i Vector;
    static constexpr ULONG kCount = 32;
    // 32 samples of one colour, every other byte of a row: as bytes, and as two halves of
    // sixteen-bit lanes for the sums.
    struct Sites {
        Vector bytes;
        Vector low;
        Vector high;
    };
    static HALVEX_FORCE_INLINE Vector Load(const UCHAR* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static HALVEX_FORCE_INLINE Vector Zero() { return _mm256_setzero_si256(); }
    static HALVEX_FORCE_INLINE Vector Splat8(UCHAR v) {
        return _mm256_set1_epi8(static_cast<CHAR>(v));
    }
    static HALVEX_FORCE_INLINE Vector Splat16(SHORT v) { return _mm256_set1_epi16(v); }
    static HALVEX_FORCE_INLINE Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
    static HALVEX_FORCE_INLINE Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
    static HALVEX_FORCE_INLINE Vector Xor(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
    static HALVEX_FORCE_INLINE Vector Add16(Vector a, Vector b) { return _mm256_add_epi16(a, b); }
    static HALVEX_FORCE_INLINE Vector Sub16(Vector a, Vector b) { return _mm256_sub_epi16(a, b); }
    static HALVEX_FORCE_INLINE Vector MulHigh16(Vector a, Vector b) {
        return _mm256_mulhi_epu16(a, b);
    }
    static HALVEX_FORCE_INLINE Vector ShiftRight16(Vector a, int n) {
        return _mm256_srli_epi16(a, n);
    }
    static HALVEX_FORCE_INLINE Vector Sub8(Vector a, Vector b) { return _mm256_sub_epi8(a, b); }
    static HALVEX_FORCE_INLINE Vector SubSaturate8(Vector a, Vector b) {
        return _mm256_subs_epu8(a, b);
    }
    static HALVEX_FORCE_INLINE Vector Average8(Vector a, Vector b) { return _mm256_avg_epu8(a, b); }
    static HALVEX_FORCE_INLINE Vector Max8(Vector a, Vector b) { return _mm256_max_epu8(a, b); }
    static HALVEX_FORCE_INLINE Vector Equal8(Vector a, Vector b) { return _mm256_cmpeq_epi8(a, b); }
    static HALVEX_FORCE_INLINE Vector Choose(Vector mask, Vector a, Vector b) {
        return _mm256_blendv_epi8(b, a, mask);
    }
    static HALVEX_FORCE_INLINE Vector Pack(Vector low, Vector high) {
        return _mm256_packus_epi16(low, high);
    }
    static HALVEX_FORCE_INLINE Sites FromCache(const UCHAR* p) {
        const Vector v = Load(p);
        return {_mm256_permute4x64_epi64(v, 0xD8), _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)),
                _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1))};
    }
    static HALVEX_FORCE_INLINE VOID ToCache(UCHAR* p, Vector v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute4x64_epi64(v, 0xD8));
    }
    // 64 pixels: the even ones from the `even` vectors, the odd ones from the `odd` vectors.
    // Interleaving within the halves puts the pixels in row order: 0-15, 16-31 from the low
    // bytes and 32-47, 48-63 from the high. Writes two bytes past the 192.
    static HALVEX_FORCE_INLINE VOID StorePixels(UCHAR* out, Vector evenBlue, Vector oddBlue,
                                                Vector evenGreen, Vector oddGreen, Vector evenRed,
                                                Vector oddRed) {
        const Vector blue[2] = {_mm256_unpacklo_epi8(evenBlue, oddBlue),
                                _mm256_unpackhi_epi8(evenBlue, oddBlue)};
        const Vector green[2] = {_mm256_unpacklo_epi8(evenGreen, oddGreen),
                                 _mm256_unpackhi_epi8(evenGreen, oddGreen)};
        const Vector red[2] = {_mm256_unpacklo_epi8(evenRed, oddRed),
                               _mm256_unpackhi_epi8(evenRed, oddRed)};
        for (int k = 0; k < 2; k++) {
            StoreBgr16(out + 96 * k, _mm256_castsi256_si128(blue[k]),
                       _mm256_castsi256_si128(green[k]), _mm256_castsi256_si128(red[k]));
            StoreBgr16(out + 96 * k + 48, _mm256_extracti128_si256(blue[k], 1),
                       _mm256_extracti128_si256(green[k], 1), _mm256_extracti128_si256(red[k], 1));
        }
    }
};

typedef AdaptiveKernel<Avx2Lanes> Avx2Kernel;

}  // namespace

BOOLEAN ConvertAdaptiveAvx2Fits(ULONG width, ULONG height) {
    return Avx2Kernel::Fits(width, height);
}

VOID ConvertAdaptiveAvx2(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    Avx2Kernel::Convert(width, height, source, destination);
}

#else

BOOLEAN ConvertAdaptiveAvx2Fits(ULONG, ULONG) {
    return FALSE;
}

VOID ConvertAdaptiveAvx2(ULONG, ULONG, const UCHAR*, UCHAR*) {}

#endif
