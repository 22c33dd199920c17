// Rotation and mirroring of a raw frame in place, with its pixel arrangement code following.
#pragma once

#include "platform/platform.h"

// Operation codes.
#define ROTATE_NONE 0
#define ROTATE_MIRROR 1          // every row reversed
#define ROTATE_FLIP 2            // row order reversed
#define ROTATE_HALF_TURN 3       // the whole buffer reversed
#define ROTATE_QUARTER_TURN 4    // (x, y) -> (H-1-y, x)
#define ROTATE_QUARTER_BACK 5    // (x, y) -> (y, W-1-x)
#define ROTATE_ANTI_TRANSPOSE 6  // (x, y) -> (H-1-y, W-1-x)
#define ROTATE_TRANSPOSE 7       // (x, y) -> (y, x)

// Turns the width x height raw image in place by the operation and updates width, height and
// arrangement. Returns 1; 0 only when operations 4 to 7 cannot get their W x H buffer (tag DkSy),
// in which case the image, width, height and arrangement are all left as they were.
ULONG RotateRawFrame(UCHAR operation, ULONG* width, ULONG* height, USHORT* arrangement,
                     UCHAR* image);

// The arrangement code of a frame after ROTATE_FLIP (codes other than 2 to 5 stay as they are).
USHORT FlippedArrangement(USHORT arrangement);

// Exchanges row i with row rows-1-i for every i below rows/2, in place. Returns 1.
ULONG FlipRows(ULONG rowLength, ULONG rows, UCHAR* buffer);
