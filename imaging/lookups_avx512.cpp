// AVX-512 routines: look-ups with byte and word permutes for the luminance curve, the raw tone
// tables, sharpening and colour correction; and defect clipping 64 samples at a time. This file
// alone is compiled for AVX-512 (with its byte and byte-permute extensions); lookup_tables.cpp
// calls it only where the processor has them, with the extended state saved.
#include "imaging/lookups_avx512.h"

#include "imaging/lookup_tables.h"

#if HALVEX_SSE2 && defined(__AVX512BW__) && defined(__AVX512VBMI__)
#include <immintrin.h>

// Loops over arrays of vectors must be unrolled for the vectors to stay in registers.
#define HALVEX_UNROLL_ALL _Pragma("GCC unroll 8")

namespace {

// Byte indices for two-vector permutes (bit 6 picks the second vector).
struct PermuteIndices {
    alignas(64) UCHAR split[3][2][64];  // colour c of 64 pixels: from bytes 0-127, then 128-191
    alignas(64) UCHAR merge[3][2][64];  // output bytes 64k to 64k + 63: blue and green, then red
};

constexpr PermuteIndices MakePermuteIndices() {
    PermuteIndices t{};
    for (ULONG c = 0; c < 3; c++) {
        for (ULONG i = 0; i < 64; i++) {
            const ULONG at = 3 * i + c;
            t.split[c][0][i] = static_cast<UCHAR>(at < 128 ? at : 0);
            t.split[c][1][i] = static_cast<UCHAR>(at < 128 ? i : 64 + (at - 128));
        }
    }
    for (ULONG k = 0; k < 3; k++) {
        for (ULONG j = 0; j < 64; j++) {
            const ULONG pixel = (64 * k + j) / 3, colour = (64 * k + j) % 3;
            t.merge[k][0][j] = static_cast<UCHAR>(colour == 1 ? 64 + pixel : pixel);
            t.merge[k][1][j] = static_cast<UCHAR>(colour == 2 ? 64 + pixel : j);
        }
    }
    return t;
}
constinit const PermuteIndices kIndices = MakePermuteIndices();

inline __m512i Indices(const UCHAR* bytes) {
    return _mm512_load_si512(bytes);
}

// One weight look-up of the luminance, as its multiply-high form, for 32 bytes.
inline __m512i Weigh(__m256i v, const LuminanceWeightForm& form) {
    const __m512i n = _mm512_add_epi16(
        _mm512_mullo_epi16(_mm512_cvtepu8_epi16(v), _mm512_set1_epi16(form.factor)),
        _mm512_set1_epi16(form.offset));
    return _mm512_srli_epi16(_mm512_mulhi_epu16(n, _mm512_set1_epi16(form.multiplier)),
                             static_cast<unsigned>(form.shift));
}

inline __m256i Luminance32(__m256i b, __m256i g, __m256i r) {
    return _mm512_cvtepi16_epi8(
        _mm512_add_epi16(_mm512_add_epi16(Weigh(b, kLuminanceBlue), Weigh(g, kLuminanceGreen)),
                         Weigh(r, kLuminanceRed)));
}

// A 256-byte table in four vectors; a look-up takes the lower or upper half by the top bit.
struct ByteTable {
    __m512i quarter[4];
};

inline ByteTable LoadByteTable(const UCHAR* table) {
    return {{_mm512_loadu_si512(table), _mm512_loadu_si512(table + 64),
             _mm512_loadu_si512(table + 128), _mm512_loadu_si512(table + 192)}};
}

inline __m512i LookUp(const ByteTable& table, __m512i v) {
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v),
                                  _mm512_permutex2var_epi8(table.quarter[0], v, table.quarter[1]),
                                  _mm512_permutex2var_epi8(table.quarter[2], v, table.quarter[3]));
}

// Pixels 0-31 (h = 0) or 32-63 (h = 1) of a vector of 64 bytes.
inline __m256i Half(__m512i v, int h) {
    return h == 0 ? _mm512_castsi512_si256(v) : _mm512_extracti64x4_epi64(v, 1);
}

// The blue, green and red bytes of 64 pixels (192 bytes).
inline VOID Split64(const UCHAR* p, __m512i* colour) {
    const __m512i v0 = _mm512_loadu_si512(p), v1 = _mm512_loadu_si512(p + 64),
                  v2 = _mm512_loadu_si512(p + 128);
    for (ULONG c = 0; c < 3; c++)
        colour[c] = _mm512_permutex2var_epi8(
            _mm512_permutex2var_epi8(v0, Indices(kIndices.split[c][0]), v1),
            Indices(kIndices.split[c][1]), v2);
}

// Writes 64 pixels from their blue, green and red bytes as exactly 192 bytes.
inline VOID Merge64(PUCHAR p, const __m512i* colour) {
    for (ULONG k = 0; k < 3; k++) {
        const __m512i blueGreen =
            _mm512_permutex2var_epi8(colour[0], Indices(kIndices.merge[k][0]), colour[1]);
        _mm512_storeu_si512(p + 64 * k, _mm512_permutex2var_epi8(
                                            blueGreen, Indices(kIndices.merge[k][1]), colour[2]));
    }
}

inline __m512i Luminance64(const __m512i* colour) {
    return _mm512_inserti64x4(
        _mm512_castsi256_si512(
            Luminance32(Half(colour[0], 0), Half(colour[1], 0), Half(colour[2], 0))),
        Luminance32(Half(colour[0], 1), Half(colour[1], 1), Half(colour[2], 1)), 1);
}

}  // namespace

ULONG ApplyLuminanceCurveAvx512(const UCHAR* table, PUCHAR image, ULONG pixels) {
    const ByteTable curveTable = LoadByteTable(table);
    ULONG done = 0;
    for (; done + 64 <= pixels; done += 64) {
        PUCHAR p = image + 3 * SIZE_T{done};
        __m512i colour[3];
        Split64(p, colour);
        const __m512i y = Luminance64(colour);
        const __m512i curve = LookUp(curveTable, y);
        const __m512i rise = _mm512_subs_epu8(curve, y);
        const __m512i fall = _mm512_subs_epu8(y, curve);
        for (ULONG c = 0; c < 3; c++)
            colour[c] = _mm512_subs_epu8(_mm512_adds_epu8(colour[c], rise), fall);
        Merge64(p, colour);
    }
    return done;
}

ULONG ApplyColorCorrectionAvx512(const SHORT (*tables)[3][256], PUCHAR image, ULONG pixels) {
    // Each sixteen-bit table split into a table of its low bytes and one of its high bytes, so
    // that a look-up is two byte permutes of each; interleaving the two results makes the
    // sixteen-bit entries again (pixels 0-7, 16-23, ... in one vector, 8-15, 24-31, ... in the
    // other), and packing two such vectors with unsigned saturation gives the 64 results, limited
    // to 0 to 255, back in pixel order.
    alignas(64) UCHAR low[3][3][256];
    alignas(64) UCHAR high[3][3][256];
    for (ULONG o = 0; o < 3; o++) {
        for (ULONG k = 0; k < 3; k++) {
            for (ULONG t = 0; t < 256; t += 32) {
                const __m512i entries = _mm512_loadu_si512(tables[o][k] + t);
                _mm256_store_si256(reinterpret_cast<__m256i*>(low[o][k] + t),
                                   _mm512_cvtepi16_epi8(entries));
                _mm256_store_si256(reinterpret_cast<__m256i*>(high[o][k] + t),
                                   _mm512_cvtepi16_epi8(_mm512_srli_epi16(entries, 8)));
            }
        }
    }
    ULONG done = 0;
    for (; done + 256 <= pixels; done += 256) {
        PUCHAR p = image + 3 * SIZE_T{done};
        // The colours of 256 pixels as planes; then each output colour as the sum of its three
        // tables' entries, table by table so that a table stays in registers over the 256. The
        // loops over arrays of vectors are unrolled for the vectors to stay in registers.
        alignas(64) UCHAR in[3][256];
        alignas(64) UCHAR out[3][256];
        HALVEX_UNROLL_ALL
        for (ULONG g = 0; g < 4; g++) {
            __m512i colour[3];
            Split64(p + 192 * g, colour);
            for (ULONG c = 0; c < 3; c++) _mm512_store_si512(in[c] + 64 * g, colour[c]);
        }
        for (ULONG o = 0; o < 3; o++) {
            __m512i sum[4][2];
            HALVEX_UNROLL_ALL
            for (ULONG g = 0; g < 4; g++) sum[g][0] = sum[g][1] = _mm512_setzero_si512();
            for (ULONG k = 0; k < 3; k++) {
                const ByteTable lowTable = LoadByteTable(low[o][k]);
                const ByteTable highTable = LoadByteTable(high[o][k]);
                HALVEX_UNROLL_ALL
                for (ULONG g = 0; g < 4; g++) {
                    const __m512i v = _mm512_load_si512(in[k] + 64 * g);
                    const __m512i lowBytes = LookUp(lowTable, v);
                    const __m512i highBytes = LookUp(highTable, v);
                    sum[g][0] =
                        _mm512_add_epi16(sum[g][0], _mm512_unpacklo_epi8(lowBytes, highBytes));
                    sum[g][1] =
                        _mm512_add_epi16(sum[g][1], _mm512_unpackhi_epi8(lowBytes, highBytes));
                }
            }
            HALVEX_UNROLL_ALL
            for (ULONG g = 0; g < 4; g++)
                _mm512_store_si512(out[o] + 64 * g, _mm512_packus_epi16(sum[g][0], sum[g][1]));
        }
        HALVEX_UNROLL_ALL
        for (ULONG g = 0; g < 4; g++) {
            const __m512i colour[3] = {_mm512_load_si512(out[0] + 64 * g),
                                       _mm512_load_si512(out[1] + 64 * g),
                                       _mm512_load_si512(out[2] + 64 * g)};
            Merge64(p + 192 * g, colour);
        }
    }
    return done;
}

ULONG ClipRowAvx512(const UCHAR* copyRow, ULONG width, ULONG y, ULONG x, PUCHAR row,
                    BOOLEAN greenDiagonal) {
    const SIZE_T w = width;
    // The median of five per byte, as in the SSE2 routine.
    auto median5 = [](__m512i a, __m512i b, __m512i c, __m512i d, __m512i e) {
        const __m512i low = _mm512_max_epu8(_mm512_min_epu8(a, b), _mm512_min_epu8(c, d));
        const __m512i high = _mm512_min_epu8(_mm512_max_epu8(a, b), _mm512_max_epu8(c, d));
        return _mm512_max_epu8(_mm512_min_epu8(low, high),
                               _mm512_min_epu8(_mm512_max_epu8(low, high), e));
    };
    auto load = [](const UCHAR* p) { return _mm512_loadu_si512(p); };
    for (; x + 66 <= width; x += 64) {
        const UCHAR* c = copyRow + x;
        const __m512i centre = load(c);
        __m512i median =
            median5(centre, load(c - w - 1), load(c - w + 1), load(c + w - 1), load(c + w + 1));
        if (greenDiagonal) {
            // Lanes whose (x + y) is even take the cross.
            const __mmask64 cross =
                ((x + y) & 1) == 0 ? 0x5555555555555555ull : 0xAAAAAAAAAAAAAAAAull;
            median = _mm512_mask_mov_epi8(
                median, cross,
                median5(centre, load(c - 2), load(c + 2), load(c - 2 * w), load(c + 2 * w)));
        }
        _mm512_storeu_si512(row + x, _mm512_min_epu8(centre, median));
    }
    return x;
}

ULONG LuminanceRowAvx512(const UCHAR* row, ULONG width, PUCHAR luminance) {
    ULONG x = 0;
    for (; x + 64 <= width; x += 64) {
        __m512i colour[3];
        Split64(row + 3 * SIZE_T{x}, colour);
        _mm512_storeu_si512(luminance + x, Luminance64(colour));
    }
    return x;
}

ULONG ThreeSumsAvx512(const UCHAR* luminance, ULONG width, PUSHORT sums) {
    ULONG x = 1;
    auto widen = [](const UCHAR* p) {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    };
    for (; x + 33 <= width; x += 32) {
        const UCHAR* l = luminance + x;
        _mm512_storeu_si512(
            sums + x, _mm512_add_epi16(_mm512_add_epi16(widen(l - 1), widen(l)), widen(l + 1)));
    }
    return x;
}

ULONG SharpenRowAvx512(PUCHAR row, ULONG width, const UCHAR* current, const USHORT* const* sums,
                       UCHAR threshold, const UCHAR* correction) {
    const ByteTable table = LoadByteTable(correction);
    const __m512i limit = _mm512_set1_epi16(threshold);
    const __m512i four = _mm512_set1_epi16(4);
    ULONG x = 1;
    for (; x + 65 <= width; x += 64) {
        // Each half of 32 pixels: the difference of its luminance from the mean of its eight
        // neighbours, its size, whether it raises the pixel and whether it passes the threshold.
        const __m512i centre = _mm512_loadu_si512(current + x);
        __m256i size[2];
        __mmask32 raise[2], pass[2];
        for (int h = 0; h < 2; h++) {
            auto sum = [&](int k) { return _mm512_loadu_si512(sums[k] + x + 32 * h); };
            const __m512i value = _mm512_cvtepu8_epi16(Half(centre, h));
            const __m512i neighbours =
                _mm512_sub_epi16(_mm512_add_epi16(_mm512_add_epi16(sum(0), sum(1)), sum(2)), value);
            const __m512i d =
                _mm512_sub_epi16(value, _mm512_srli_epi16(_mm512_add_epi16(neighbours, four), 3));
            const __m512i magnitude = _mm512_abs_epi16(d);
            size[h] = _mm512_cvtepi16_epi8(magnitude);
            raise[h] = _mm512_cmpgt_epi16_mask(d, _mm512_setzero_si512());
            pass[h] = _mm512_cmpgt_epi16_mask(magnitude, limit);
        }
        const __mmask64 passes = _mm512_kunpackd(pass[1], pass[0]);
        if (passes == 0)
            continue;
        const __mmask64 raises = _mm512_kunpackd(raise[1], raise[0]);
        const __m512i amount = _mm512_maskz_mov_epi8(
            passes, LookUp(table, _mm512_inserti64x4(_mm512_castsi256_si512(size[0]), size[1], 1)));
        const __m512i add = _mm512_maskz_mov_epi8(raises, amount);
        const __m512i subtract = _mm512_maskz_mov_epi8(~raises, amount);
        PUCHAR p = row + 3 * SIZE_T{x};
        __m512i colour[3];
        Split64(p, colour);
        for (ULONG c = 0; c < 3; c++)
            colour[c] = _mm512_subs_epu8(_mm512_adds_epu8(colour[c], add), subtract);
        Merge64(p, colour);
    }
    return x;
}

ULONG ApplyRawTablesAvx512(const UCHAR* const* tables, ULONG width, ULONG height, PUCHAR raw) {
    // Table k for the cell position k: even rows take tables 0 and 1 at even and odd columns,
    // odd rows tables 2 and 3; a last odd row or column has no cell and stays as it is.
    const ULONG columns = (width & ~1u) / 64 * 64;
    const __mmask64 oddColumns = 0xAAAAAAAAAAAAAAAAull;
    const ByteTable table[4] = {LoadByteTable(tables[0]), LoadByteTable(tables[1]),
                                LoadByteTable(tables[2]), LoadByteTable(tables[3])};
    for (ULONG y = 0; y + 1 < height; y += 2) {
        for (ULONG k = 0; k < 2; k++) {
            PUCHAR row = raw + SIZE_T{y + k} * width;
            for (ULONG x = 0; x < columns; x += 64) {
                const __m512i v = _mm512_loadu_si512(row + x);
                _mm512_storeu_si512(row + x,
                                    _mm512_mask_blend_epi8(oddColumns, LookUp(table[2 * k], v),
                                                           LookUp(table[2 * k + 1], v)));
            }
        }
    }
    return columns;
}

#else

ULONG ApplyLuminanceCurveAvx512(const UCHAR*, PUCHAR, ULONG) {
    return 0;
}

ULONG ApplyRawTablesAvx512(const UCHAR* const*, ULONG, ULONG, PUCHAR) {
    return 0;
}

ULONG LuminanceRowAvx512(const UCHAR*, ULONG, PUCHAR) {
    return 0;
}

ULONG ClipRowAvx512(const UCHAR*, ULONG, ULONG, ULONG x, PUCHAR, BOOLEAN) {
    return x;
}

ULONG ThreeSumsAvx512(const UCHAR*, ULONG, PUSHORT) {
    return 1;
}

ULONG ApplyColorCorrectionAvx512(const SHORT (*)[3][256], PUCHAR, ULONG) {
    return 0;
}

ULONG SharpenRowAvx512(PUCHAR, ULONG, const UCHAR*, const USHORT* const*, UCHAR, const UCHAR*) {
    return 1;
}

#endif
