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
// from source row y), with the conversion method chosen for the method and arrangement code:
// method 0 grey repetition (codes 1 to 5), method 7 plane split (any code), code 10 the packed
// luma/chroma conversion (any other method), methods 1 to 4 and 6 the demosaic of codes 2 to 5,
// method 5 the adaptive demosaic (any code). Returns 1 when the destination was filled; 0 when the
// combination cannot be converted, or the size is odd or below the method's minimum, with
// *status = 6 and the destination untouched. The source holds width x height samples (two bytes
// per pixel for code 10), the destination 3 x width x height bytes.
ULONG ConvertRawFrame(ULONG* status, ULONG width, ULONG height, const UCHAR* source,
                      UCHAR* destination, UCHAR method, USHORT arrangement);

// The method routines. Each returns 1, or 0 (writing nothing) for an arrangement code it does
// not handle; sizes are the dispatcher's to check.

// Method 3, bilinear with green from the horizontal pair; one routine per mosaic phase.
ULONG ConvertBilinearHorizontal2(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal3(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal4(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
ULONG ConvertBilinearHorizontal5(ULONG width, ULONG height, const UCHAR* source,
                                 UCHAR* destination);
// Method 6, bilinear with green from four neighbours away from the edges.
ULONG ConvertBilinearFourNeighbour2(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination);
ULONG ConvertBilinearFourNeighbour3(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination);
ULONG ConvertBilinearFourNeighbour4(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination);
ULONG ConvertBilinearFourNeighbour5(ULONG width, ULONG height, const UCHAR* source,
                                    UCHAR* destination);
// Converts a raw frame as if its rows had first been flipped (ROTATE_FLIP with its arrangement
// code change), without moving them: the same bytes as flipping, then converting. Handles methods
// 3 and 6 on codes 2 to 5 within their sizes and returns 1; returns 0 with the destination
// untouched for anything else, which the caller flips and converts.
ULONG ConvertFlippedRawFrame(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                             UCHAR method, USHORT arrangement);
// Methods 3 and 6 over a frame stored bottom-up, for the arrangement code of the frame as it reads
// top-down. Returns 0 for a code other than 2 to 5.
ULONG ConvertBilinearBottomUp(USHORT arrangement, BOOLEAN fourNeighbourGreen, ULONG width,
                              ULONG height, const UCHAR* source, UCHAR* destination);
// The plain two-sweep routine of methods 3 and 6, which the fast routines must match byte for byte
// (for tests and for builds without SSE2). Returns 0 for a code other than 2 to 5.
ULONG ConvertBilinearReference(USHORT arrangement, BOOLEAN fourNeighbourGreen, ULONG width,
                               ULONG height, const UCHAR* source, UCHAR* destination);
// Method 4, four-tap interpolation with weights -1/8, 5/8, 5/8, -1/8.
ULONG ConvertFourTap(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                     USHORT arrangement);
// Method 5, adaptive; reads every mosaic as code 2 and writes only the interior (columns 1 to
// W-2 of rows 1 to H-2).
ULONG ConvertAdaptive(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                      USHORT arrangement);
// The plain two-pass routine of method 5, which the fast routine must match byte for byte.
ULONG ConvertAdaptiveReference(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);
// The estimate of method 5 from four neighbours: above, left, right, below (or upper left, upper
// right, lower left, lower right).
UCHAR AdaptiveEstimate(UCHAR a, UCHAR b, UCHAR c, UCHAR d);
// Method 1, each sample in its own colour only; method 2, cell replication; method 7, the four
// cell positions as grey quadrants.
ULONG ConvertOwnColour(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                       USHORT arrangement);
ULONG ConvertCellReplication(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                             USHORT arrangement);
ULONG ConvertPlaneSplit(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);
// Arrangement code 10: groups of Y0, U, Y1, V, two pixels each.
ULONG ConvertPackedLumaChroma(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);

// Fills the outer ring (row 0, row H-1, column 0, column W-1) of a destination with what method 3
// gives there for code 2, the layout method 5 reads; method 5 leaves the ring as it was. Does
// nothing unless W and H are even, W at least 2 and H at least 4.
VOID FillRingBilinear(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination);
