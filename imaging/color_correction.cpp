// Colour correction. All matrix arithmetic is single precision in the order written; the tables
// are formed by running additions, so entry v holds (v + 1) times each element.
#include "imaging/color_correction.h"

#include <math.h>

#include "convert/simd.h"
#include "imaging/lookups_avx512.h"

namespace {

constexpr float kWeightRed = 0.2989f;
constexpr float kWeightGreen = 0.5866f;
constexpr float kWeightBlue = 0.1145f;

enum { R = 0, G = 1, B = 2 };

VOID SetIdentityMatrix(SHORT* matrix) {
    for (ULONG i = 0; i < 12; i++) matrix[i] = 0;
    matrix[0] = 100;   // red from red
    matrix[5] = 100;   // green from green
    matrix[10] = 100;  // blue from blue
}

// The largest contribution the sixteen-bit tables hold: three add up within a SHORT.
constexpr LONG kFits16 = 32767 / 3;

// The frame's tables as sixteen-bit values by output and input channel, for the AVX-512
// routine; FALSE (and the routine not to be used) when an entry does not fit.
BOOLEAN TakeSixteenBitTables(ColorCorrection* correction) {
    for (ULONG k = 0; k < 3; k++) {
        for (ULONG v = 0; v < 256; v++) {
            const ColorCorrection::FrameContribution& c = correction->m_aFrameContribution[k][v];
            const LONG values[3] = {c.toBlue, c.toGreen, c.toRed};
            for (ULONG o = 0; o < 3; o++) {
                if (values[o] < -kFits16 || values[o] > kFits16)
                    return FALSE;
                correction->m_awFrameContribution16[o][k][v] = static_cast<SHORT>(values[o]);
            }
        }
    }
    return TRUE;
}

inline UCHAR Clamp(LONG v) {
    return static_cast<UCHAR>(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

VOID InitColorCorrection(ColorCorrection* correction) {
    KeInitializeSpinLock(&correction->m_Lock);
    correction->m_byteMatrixMode = MATRIX_MODE_IDENTITY;
    SetIdentityMatrix(correction->m_awMatrix);
    correction->m_byteAdjustEnable = 0;
    correction->m_wHue = 0;
    correction->m_wSaturation = 100;
}

VOID ComposeHueMatrix(const ColorCorrection* correction, float* product) {
    const float S = static_cast<float>(correction->m_wSaturation) / 100.0f;
    const float angle = static_cast<float>(correction->m_wHue) / 10.0f;
    const double theta = angle * 3.14159265358979323846 / 180.0;
    const float s = static_cast<float>(sin(theta));
    const float c = static_cast<float>(cos(theta));
    float H[3][3];
    H[R][R] = (c * 0.7011f + s * kWeightRed) * S + kWeightRed;
    H[R][G] = ((s - c) * S + 1.0f) * kWeightGreen;
    H[R][B] = (s * -0.8855f - c * kWeightBlue) * S + kWeightBlue;
    H[B][R] = (s * 0.7011f - c * kWeightRed) * S + kWeightRed;
    H[B][G] = (1.0f - (c + s) * S) * kWeightGreen;
    H[B][B] = (c * 0.8855f - s * kWeightBlue) * S + kWeightBlue;
    H[G][R] = (1.0f - H[R][R]) * kWeightRed / kWeightGreen - H[B][R] * kWeightBlue / kWeightGreen;
    H[G][G] = (1.0f - H[R][G] * kWeightRed / kWeightGreen) - H[B][G] * kWeightBlue / kWeightGreen;
    H[G][B] = (1.0f - H[B][B]) * kWeightBlue / kWeightGreen - H[R][B] * kWeightRed / kWeightGreen;
    float M[3][3];
    for (ULONG i = 0; i < 3; i++)
        for (ULONG j = 0; j < 3; j++)
            M[i][j] = static_cast<float>(correction->m_awMatrix[4 * i + j]) / 100.0f;
    for (ULONG i = 0; i < 3; i++) {
        for (ULONG j = 0; j < 3; j++) {
            float p = H[i][G] * M[G][j] + H[i][R] * M[R][j];
            p = p + H[i][B] * M[B][j];
            product[3 * i + j] = p;
        }
    }
}

VOID BuildColorTables(ColorCorrection* correction) {
    float P[9];
    ComposeHueMatrix(correction, P);
    const float offsetRed = static_cast<float>(correction->m_awMatrix[3]) / 100.0f;
    const float offsetGreen = static_cast<float>(correction->m_awMatrix[7]) / 100.0f;
    const float offsetBlue = static_cast<float>(correction->m_awMatrix[11]) / 100.0f;
    float sum[9];
    for (ULONG k = 0; k < 9; k++) sum[k] = P[k];
    auto at = [](ULONG out, ULONG in) { return 3 * out + in; };
    for (ULONG v = 0; v < 256; v++) {
        ColorContribution& red = correction->m_aContribution[2][v];
        red.toBlue = static_cast<LONG>(sum[at(B, R)] + offsetBlue);
        red.toGreen = static_cast<LONG>(sum[at(G, R)] + offsetGreen);
        red.toRed = static_cast<LONG>(sum[at(R, R)] + offsetRed);
        ColorContribution& green = correction->m_aContribution[1][v];
        green.toBlue = static_cast<LONG>(sum[at(B, G)]);
        green.toGreen = static_cast<LONG>(sum[at(G, G)]);
        green.toRed = static_cast<LONG>(sum[at(R, G)]);
        ColorContribution& blue = correction->m_aContribution[0][v];
        blue.toBlue = static_cast<LONG>(sum[at(B, B)]);
        blue.toGreen = static_cast<LONG>(sum[at(G, B)]);
        blue.toRed = static_cast<LONG>(sum[at(R, B)]);
        for (ULONG k = 0; k < 9; k++) sum[k] = sum[k] + P[k];
    }
}

ULONG SetColorMatrix(ColorCorrection* correction, UCHAR mode, const SHORT* coefficients) {
    if (mode != MATRIX_MODE_IDENTITY && mode != MATRIX_MODE_USER)
        return 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&correction->m_Lock);
    if (mode == MATRIX_MODE_IDENTITY) {
        SetIdentityMatrix(correction->m_awMatrix);
    } else {
        for (ULONG i = 0; i < 12; i++) correction->m_awMatrix[i] = coefficients[i];
    }
    correction->m_byteMatrixMode = mode;
    BuildColorTables(correction);
    KeReleaseSpinLock(&correction->m_Lock, irql);
    return 1;
}

ULONG SetHueSaturation(ColorCorrection* correction, UCHAR enable, SHORT hue, USHORT saturation) {
    if (enable != 0 && enable != 1)
        return 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&correction->m_Lock);
    correction->m_byteAdjustEnable = enable;
    correction->m_wHue = enable == 1 ? hue : 0;
    correction->m_wSaturation = enable == 1 ? saturation : 100;
    BuildColorTables(correction);
    KeReleaseSpinLock(&correction->m_Lock, irql);
    return 1;
}

VOID GetHueSaturation(ColorCorrection* correction, UCHAR* enable, SHORT* hue, USHORT* saturation) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&correction->m_Lock);
    *enable = correction->m_byteAdjustEnable;
    *hue = correction->m_wHue;
    *saturation = correction->m_wSaturation;
    KeReleaseSpinLock(&correction->m_Lock, irql);
}

ULONG ApplyColorCorrection(ColorCorrection* correction, ULONG width, ULONG height, ULONG format,
                           PUCHAR image) {
    if (format != 4 && format != 8)
        return 1;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&correction->m_Lock);
    const BOOLEAN active = correction->m_byteMatrixMode != 0 || correction->m_byteAdjustEnable != 0;
    if (active) {
        for (ULONG k = 0; k < 3; k++) {
            for (ULONG v = 0; v < 256; v++) {
                const ColorContribution& c = correction->m_aContribution[k][v];
                correction->m_aFrameContribution[k][v] = {c.toBlue, c.toGreen, c.toRed, 0};
            }
        }
    }
    KeReleaseSpinLock(&correction->m_Lock, irql);
    if (!active)
        return 1;
    typedef ColorCorrection::FrameContribution FrameContribution;
    const FrameContribution* blueIn = correction->m_aFrameContribution[0];
    const FrameContribution* greenIn = correction->m_aFrameContribution[1];
    const FrameContribution* redIn = correction->m_aFrameContribution[2];
    const SIZE_T pixels = static_cast<SIZE_T>(width) * height;
    const ULONG step = format == 4 ? 3 : 4;
    SIZE_T i = 0;
    XSTATE_SAVE state;
    if (format == 4 && pixels >= 256 && pixels <= 0xFFFFFFFFu && BeginBytePermutes(&state)) {
        if (TakeSixteenBitTables(correction))
            i = ApplyColorCorrectionAvx512(correction->m_awFrameContribution16, image,
                                           static_cast<ULONG>(pixels));
        EndBytePermutes(&state);
    }
#if HALVEX_SSE2
    if (format == 4) {
        // Four pixels at a time: each one's three contributions added as vectors of four LONGs
        // (the fourth 0), limited to 0 to 255 by the two saturating packs, and written back as
        // exactly twelve bytes (the pixels after them are still to be read).
        auto contribution = [](const FrameContribution& c) HALVEX_INLINE_LAMBDA {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&c));
        };
        auto sum = [&](const UCHAR* p) HALVEX_INLINE_LAMBDA {
            return _mm_add_epi32(
                _mm_add_epi32(contribution(blueIn[p[0]]), contribution(greenIn[p[1]])),
                contribution(redIn[p[2]]));
        };
        const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFFll);
        const __m128i high3 = _mm_set1_epi64x(0x0000FFFFFF000000ll);
        const __m128i low8 = _mm_set_epi32(0, 0, -1, -1);
        for (; i + 4 <= pixels; i += 4) {
            PUCHAR p = image + i * 3;
            const __m128i first = _mm_packs_epi32(sum(p), sum(p + 3));
            const __m128i second = _mm_packs_epi32(sum(p + 6), sum(p + 9));
            const __m128i quad = _mm_packus_epi16(first, second);  // four of blue, green, red, 0
            const __m128i six = _mm_or_si128(_mm_and_si128(quad, low3),
                                             _mm_and_si128(_mm_srli_epi64(quad, 8), high3));
            const __m128i twelve =
                _mm_or_si128(_mm_and_si128(six, low8), _mm_slli_si128(_mm_srli_si128(six, 8), 6));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p), twelve);
            const LONG last = _mm_cvtsi128_si32(_mm_srli_si128(twelve, 8));
            RtlCopyMemory(p + 8, &last, 4);
        }
    }
#endif
    for (; i < pixels; i++) {
        PUCHAR p = image + i * step;
        const FrameContribution& b = blueIn[p[0]];
        const FrameContribution& g = greenIn[p[1]];
        const FrameContribution& r = redIn[p[2]];
        p[0] = Clamp(b.toBlue + g.toBlue + r.toBlue);
        p[1] = Clamp(b.toGreen + g.toGreen + r.toGreen);
        p[2] = Clamp(b.toRed + g.toRed + r.toRed);
    }
    return 1;
}
