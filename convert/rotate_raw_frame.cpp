// Rotation and mirroring of the raw frame. Mirror, flip and half turn exchange bytes pairwise in
// place; the quarter turns and transpositions go through a frame-sized copy.
#include "convert/rotate_raw_frame.h"

#include "convert/convert_raw_frame.h"

#define TAG_ROTATION HalvexPoolTag("DkSy")

namespace {

// New arrangement code by operation 1 to 7 (rows) and old code 2 to 5 (columns).
const USHORT g_RotatedArrangement[7][4] = {
    {3, 2, 5, 4},  // 1 mirror
    {4, 5, 2, 3},  // 2 flip
    {5, 4, 3, 2},  // 3 half turn
    {3, 5, 2, 4},  // 4 quarter turn
    {4, 2, 5, 3},  // 5 quarter turn back
    {5, 3, 4, 2},  // 6 anti-transposition
    {2, 4, 3, 5},  // 7 transposition
};

inline VOID Exchange(UCHAR* a, UCHAR* b) {
    const UCHAR t = *a;
    *a = *b;
    *b = t;
}

VOID MirrorRows(ULONG width, ULONG height, UCHAR* image) {
    for (ULONG y = 0; y < height; y++) {
        UCHAR* row = image + static_cast<SIZE_T>(y) * width;
        for (ULONG x = 0; x < width / 2; x++) Exchange(&row[x], &row[width - 1 - x]);
    }
}

VOID ReverseBuffer(SIZE_T size, UCHAR* image) {
    for (SIZE_T i = 0; i < size / 2; i++) Exchange(&image[i], &image[size - 1 - i]);
}

// Operations 4 to 7 through a copy; false when the copy cannot be allocated.
BOOLEAN TurnThroughCopy(UCHAR operation, ULONG width, ULONG height, UCHAR* image) {
    const SIZE_T size = static_cast<SIZE_T>(width) * height;
    auto* copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_ROTATION));
    if (copy == nullptr)
        return FALSE;
    RtlZeroMemory(copy, size);
    RtlCopyMemory(copy, image, size);
    // The turned image has rows of `height` samples.
    for (ULONG y = 0; y < height; y++) {
        const UCHAR* row = copy + static_cast<SIZE_T>(y) * width;
        for (ULONG i = width; i-- > 0;) {
            const ULONG x = i;
            ULONG nx, ny;
            switch (operation) {
                case ROTATE_QUARTER_TURN:
                    nx = height - 1 - y;
                    ny = x;
                    break;
                case ROTATE_QUARTER_BACK:
                    nx = y;
                    ny = width - 1 - x;
                    break;
                case ROTATE_ANTI_TRANSPOSE:
                    nx = height - 1 - y;
                    ny = width - 1 - x;
                    break;
                default:  // ROTATE_TRANSPOSE
                    nx = y;
                    ny = x;
                    break;
            }
            image[static_cast<SIZE_T>(ny) * height + nx] = row[x];
        }
    }
    ExFreePool(copy);
    return TRUE;
}

}  // namespace

ULONG FlipRows(ULONG rowLength, ULONG rows, UCHAR* buffer) {
    const ULONG words = rowLength / 4;
    for (ULONG i = 0; i < rows / 2; i++) {
        UCHAR* top = buffer + static_cast<SIZE_T>(i) * rowLength;
        UCHAR* bottom = buffer + static_cast<SIZE_T>(rows - 1 - i) * rowLength;
        // Four bytes at a time, then the remaining bytes one by one.
        for (ULONG w = 0; w < words; w++) {
            ULONG a, b;
            RtlCopyMemory(&a, top + 4 * w, 4);
            RtlCopyMemory(&b, bottom + 4 * w, 4);
            RtlCopyMemory(top + 4 * w, &b, 4);
            RtlCopyMemory(bottom + 4 * w, &a, 4);
        }
        for (ULONG x = words * 4; x < rowLength; x++) Exchange(&top[x], &bottom[x]);
    }
    return 1;
}

USHORT FlippedArrangement(USHORT arrangement) {
    if (arrangement < ARRANGEMENT_RGGB || arrangement > ARRANGEMENT_BGGR)
        return arrangement;
    return g_RotatedArrangement[ROTATE_FLIP - 1][arrangement - ARRANGEMENT_RGGB];
}

ULONG RotateRawFrame(UCHAR operation, ULONG* width, ULONG* height, USHORT* arrangement,
                     UCHAR* image) {
    const ULONG w = *width;
    const ULONG h = *height;
    switch (operation) {
        case ROTATE_MIRROR:
            MirrorRows(w, h, image);
            break;
        case ROTATE_FLIP:
            FlipRows(w, h, image);
            break;
        case ROTATE_HALF_TURN:
            ReverseBuffer(static_cast<SIZE_T>(w) * h, image);
            break;
        case ROTATE_QUARTER_TURN:
        case ROTATE_QUARTER_BACK:
        case ROTATE_ANTI_TRANSPOSE:
        case ROTATE_TRANSPOSE:
            if (!TurnThroughCopy(operation, w, h, image))
                return 0;  // width, height and arrangement stay with the untouched image
            *width = h;
            *height = w;
            break;
        default:
            return 1;  // no operation: nothing changes
    }
    if (*arrangement >= ARRANGEMENT_RGGB && *arrangement <= ARRANGEMENT_BGGR)
        *arrangement = g_RotatedArrangement[operation - 1][*arrangement - ARRANGEMENT_RGGB];
    return 1;
}
