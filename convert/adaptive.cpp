// Method 5: every missing value estimated from four neighbours of its colour with
// AdaptiveEstimate, which prefers the combination of three (or of a pair) that stands out most
// from the rest when the neighbourhood is uneven, and the mean of the four when it is even. The
// mosaic is always read as red, green / green, blue; only the interior is written.
//
// The plain routine below makes the two passes as they are defined; adaptive_kernel.h gives the
// same bytes in one pass, with SSE2 or, where the processor has it, AVX2.
#include "convert/adaptive_kernel.h"
#include "convert/mosaic.h"

namespace {

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
    if (bestDifference > kAdaptiveEvenThreshold)
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

// Blue and red at the green sites whose plus neighbourhood reaches into columns 0 and W - 1, which
// the one-pass routine leaves to its caller.
VOID RedoGreenSitesNextToColumnRing(ULONG width, ULONG height, UCHAR* destination) {
    const SIZE_T d = SIZE_T{width} * 3;
    for (ULONG y = 1; y + 2 < height; y += 2) {
        for (ULONG colour = PIXEL_BLUE; colour <= PIXEL_RED; colour += PIXEL_RED - PIXEL_BLUE) {
            UCHAR* image = destination + colour;
            image[(y * SIZE_T{width} + width - 2) * 3] = Plus(image, d, 3, width - 2, y);
            image[((y + 1) * SIZE_T{width} + 1) * 3] = Plus(image, d, 3, 1, y + 1);
        }
    }
}

// The AVX2 routine, where the processor has AVX2 and the extended state could be saved.
BOOLEAN ConvertAdaptiveWide(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    if (!ConvertAdaptiveAvx2Fits(width, height) ||
        !ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE))
        return FALSE;
    XSTATE_SAVE state;
    if (!NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &state)))
        return FALSE;
    ConvertAdaptiveAvx2(width, height, source, destination);
    KeRestoreExtendedProcessorState(&state);
    return TRUE;
}

}  // namespace
#endif

ULONG ConvertAdaptive(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination, USHORT) {
#if HALVEX_SSE2
    typedef AdaptiveKernel<Sse2Lanes> Sse2Kernel;
    if (ConvertAdaptiveWide(width, height, source, destination)) {
        RedoGreenSitesNextToColumnRing(width, height, destination);
        return 1;
    }
    if (Sse2Kernel::Fits(width, height)) {
        Sse2Kernel::Convert(width, height, source, destination);
        RedoGreenSitesNextToColumnRing(width, height, destination);
        return 1;
    }
#endif
    return ConvertAdaptivePlain(width, height, source, destination);
}

ULONG ConvertAdaptiveReference(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    return ConvertAdaptivePlain(width, height, source, destination);
}
