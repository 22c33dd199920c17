// Sharpness filter. Every luminance it reads is from before the filter: the luminance of two rows
// and the horizontal three-sums of three rows are held in a W x 8 scratch buffer, so the
// neighbour sum is three additions per pixel whatever the height.
#include "imaging/sharpness_filter.h"

#include "imaging/lookup_tables.h"

namespace {

inline UCHAR PixelLuminance(const UCHAR* p, ULONG bytesPerPixel) {
    return bytesPerPixel == 1 ? p[0] : Luminance(p[0], p[1], p[2]);
}

// Luminance of row y into `lum` and the sums of each pixel with its left and right neighbour
// into `sums` (interior columns only).
VOID LoadRow(const UCHAR* image, ULONG width, ULONG y, ULONG bytesPerPixel, PUCHAR lum,
             PUSHORT sums) {
    const UCHAR* row = image + static_cast<SIZE_T>(y) * width * bytesPerPixel;
    for (ULONG x = 0; x < width; x++)
        lum[x] = PixelLuminance(row + x * bytesPerPixel, bytesPerPixel);
    for (ULONG x = 1; x + 1 < width; x++)
        sums[x] = static_cast<USHORT>(lum[x - 1] + lum[x] + lum[x + 1]);
}

// The 24-bit, 32-bit and grey variants: they differ only in the bytes per pixel and in how many
// of them carry colour.
ULONG SharpenVariant(SharpnessFilter* filter, ULONG width, ULONG height, ULONG bytesPerPixel,
                     PUCHAR image, PUCHAR scratch) {
    const ULONG colourBytes = bytesPerPixel == 1 ? 1 : 3;
    const LONG threshold = filter->m_byteFrameThreshold;
    const UCHAR* correction = filter->m_abyteFrameCorrection;
    // Scratch: luminance of the current and next row, then three rows of three-sums.
    PUCHAR lum[2] = {scratch, scratch + width};
    PUSHORT sums[3] = {reinterpret_cast<PUSHORT>(scratch + 2 * SIZE_T{width}),
                       reinterpret_cast<PUSHORT>(scratch + 4 * SIZE_T{width}),
                       reinterpret_cast<PUSHORT>(scratch + 6 * SIZE_T{width})};
    LoadRow(image, width, 0, bytesPerPixel, lum[0], sums[0]);
    LoadRow(image, width, 1, bytesPerPixel, lum[1], sums[1]);
    for (ULONG y = 1; y + 1 < height; y++) {
        // Rows y - 1 and y are in sums[0] and sums[1], row y's luminance in lum[1]; take row
        // y + 1 before row y changes.
        PUCHAR current = lum[1];
        LoadRow(image, width, y + 1, bytesPerPixel, lum[0], sums[2]);
        PUCHAR row = image + static_cast<SIZE_T>(y) * width * bytesPerPixel;
        for (ULONG x = 1; x + 1 < width; x++) {
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
        if (format == 4)
            result = SharpenVariant(filter, width, height, 3, image, scratch);
        else if (format == 8)
            result = SharpenVariant(filter, width, height, 4, image, scratch);
        else if (format == 1)
            result = SharpenVariant(filter, width, height, 1, image, scratch);
    }
    ExFreePoolWithTag(scratch, TAG_PROCESSING_RECORD);
    return result;
}
