// Raw-to-RGB conversion: the dispatcher that picks a conversion method for a raw frame's pixel
// arrangement, and the methods built so far.
#pragma once

#include "platform/platform.h"

// Pixel arrangement codes of a raw frame.
#define ARRANGEMENT_MONOCHROME 1
#define ARRANGEMENT_RGGB 2  // red, green / green, blue
#define ARRANGEMENT_GRBG 3  // green, red / blue, green
#define ARRANGEMENT_GBRG 4  // green, blue / red, green
#define ARRANGEMENT_BGGR 5  // blue, green / green, red
#define ARRANGEMENT_PACKED_LUMA_CHROMA 10

// The status a conversion stores in the caller's status word when it cannot convert.
#define CONVERT_STATUS_UNSUPPORTED 6

// Converts a width x height raw frame into width x height pixels of blue, green and red (row y
// from source row y). Returns 1 when the destination was filled; 0 when the method and
// arrangement cannot be converted, with *status = 6 and the destination untouched. Sizes are not
// checked: width and height must be even and at least the method's minimum.
ULONG ConvertRawFrame(ULONG* status, ULONG width, ULONG height, const UCHAR* source,
                      UCHAR* destination, UCHAR method, USHORT arrangement);

// Method 3, one routine per mosaic phase: bilinear, with green at red and blue sites taken from
// the horizontal pair only. Height at least 4.
ULONG ConvertBilinearHorizontal2(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal3(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal4(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal5(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
