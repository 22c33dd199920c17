// The conversion dispatcher: selects the routine for a conversion method and an arrangement code.
#include "convert/convert_raw_frame.h"

#include "convert/mosaic.h"
#include "convert/rotate_raw_frame.h"

namespace {

typedef ULONG (*PHASE_ROUTINE)(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);
typedef ULONG (*CODED_ROUTINE)(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                               USHORT arrangement);

// Methods 3 and 6 have one routine per mosaic phase, indexed by arrangement code - 2.
const PHASE_ROUTINE g_BilinearHorizontal[4] = {
    ConvertBilinearHorizontal2,
    ConvertBilinearHorizontal3,
    ConvertBilinearHorizontal4,
    ConvertBilinearHorizontal5,
};
const PHASE_ROUTINE g_BilinearFourNeighbour[4] = {
    ConvertBilinearFourNeighbour2,
    ConvertBilinearFourNeighbour3,
    ConvertBilinearFourNeighbour4,
    ConvertBilinearFourNeighbour5,
};

// The smallest width and height each method works on (both must also be even): the routines
// read the neighbours these sizes guarantee.
const ULONG g_MinimumWidth[8] = {1, 2, 2, 2, 6, 2, 2, 2};
const ULONG g_MinimumHeight[8] = {1, 2, 2, 4, 6, 2, 2, 2};

// Method 0: every sample repeated into blue, green and red.
ULONG ConvertGreyRepetition(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    const SIZE_T samples = static_cast<SIZE_T>(width) * height;
    for (SIZE_T i = 0; i < samples; i++) {
        destination[3 * i] = source[i];
        destination[3 * i + 1] = source[i];
        destination[3 * i + 2] = source[i];
    }
    return 1;
}

BOOLEAN SizeFits(UCHAR method, ULONG width, ULONG height) {
    if (method == 0)
        return TRUE;  // only needs the samples
    return (width & 1) == 0 && (height & 1) == 0 && width >= g_MinimumWidth[method] &&
           height >= g_MinimumHeight[method];
}

ULONG Dispatch(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination, UCHAR method,
               USHORT arrangement) {
    if (method == 0) {
        if (arrangement < ARRANGEMENT_MONOCHROME || arrangement > ARRANGEMENT_BGGR)
            return 0;
        return ConvertGreyRepetition(width, height, source, destination);
    }
    if (method == 7)
        return ConvertPlaneSplit(width, height, source, destination);
    if (arrangement == ARRANGEMENT_PACKED_LUMA_CHROMA)
        return ConvertPackedLumaChroma(width, height, source, destination);
    switch (method) {
        case 1:
            return ConvertOwnColour(width, height, source, destination, arrangement);
        case 2:
            return ConvertCellReplication(width, height, source, destination, arrangement);
        case 4:
            return ConvertFourTap(width, height, source, destination, arrangement);
        case 3:
        case 6:
            if (!IsMosaic(arrangement))
                return 0;
            return (method == 3 ? g_BilinearHorizontal
                                : g_BilinearFourNeighbour)[arrangement - ARRANGEMENT_RGGB](
                width, height, source, destination);
        case 5:
            return ConvertAdaptive(width, height, source, destination, arrangement);
        default:
            return 0;  // methods 8 to 255
    }
}

}  // namespace

ULONG ConvertRawFrame(ULONG* status, ULONG width, ULONG height, const UCHAR* source,
                      UCHAR* destination, UCHAR method, USHORT arrangement) {
    ULONG result = 0;
    // The packed source is read in groups of two pixels whatever the method asks.
    const BOOLEAN packed =
        arrangement == ARRANGEMENT_PACKED_LUMA_CHROMA && method != 0 && method != 7;
    if (packed || (method < 8 && SizeFits(method, width, height)))
        result = Dispatch(width, height, source, destination, method, arrangement);
    if (result == 0)
        *status = CONVERT_STATUS_UNSUPPORTED;
    return result;
}

ULONG ConvertFlippedRawFrame(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                             UCHAR method, USHORT arrangement) {
    if ((method != 3 && method != 6) || !IsMosaic(arrangement) || !SizeFits(method, width, height))
        return 0;
    return ConvertBilinearBottomUp(FlippedArrangement(arrangement), method == 6, width, height,
                                   source, destination);
}
