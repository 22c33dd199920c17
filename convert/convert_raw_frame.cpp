// The conversion dispatcher: selects the routine for a conversion method and an arrangement code.
#include "convert/convert_raw_frame.h"

namespace {

typedef ULONG (*PHASE_ROUTINE)(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);

// Method 3 has one routine per mosaic phase, indexed by arrangement code - 2.
const PHASE_ROUTINE g_BilinearHorizontal[4] = {
    ConvertBilinearHorizontal2,
    ConvertBilinearHorizontal3,
    ConvertBilinearHorizontal4,
    ConvertBilinearHorizontal5,
};

BOOLEAN IsMosaic(USHORT arrangement) {
    return arrangement >= ARRANGEMENT_RGGB && arrangement <= ARRANGEMENT_BGGR;
}

}  // namespace

ULONG ConvertRawFrame(ULONG* status, ULONG width, ULONG height, const UCHAR* source,
                      UCHAR* destination, UCHAR method, USHORT arrangement) {
    ULONG result = 0;
    if (method == 0) {
        // Grey repetition of codes 1 to 5: not available in this build.
        result = 0;
    } else if (method == 7) {
        // Plane split of any code: not available in this build.
        result = 0;
    } else if (arrangement == ARRANGEMENT_PACKED_LUMA_CHROMA) {
        // Packed luma/chroma for every other method: not available in this build.
        result = 0;
    } else if (method == 3) {
        if (IsMosaic(arrangement))
            result = g_BilinearHorizontal[arrangement - ARRANGEMENT_RGGB](width, height, source,
                                                                          destination);
    } else {
        // Methods 1, 2, 4, 5 and 6 are not available in this build; 8 to 255 never are.
        result = 0;
    }
    if (result == 0)
        *status = CONVERT_STATUS_UNSUPPORTED;
    return result;
}
