// What the conversion methods share about a 2x2 colour mosaic: the destination byte of each
// colour, the phase of each arrangement code, and means of two values.
#pragma once

#include "convert/convert_raw_frame.h"

// Destination byte offsets within a pixel.
#define PIXEL_BLUE 0
#define PIXEL_GREEN 1
#define PIXEL_RED 2

// The phase of a mosaic: the colour of the non-green samples of even rows (odd rows hold the
// other), and whether an even row starts with a green sample.
struct MosaicPhase {
    ULONG evenRowColour;  // PIXEL_RED or PIXEL_BLUE
    BOOLEAN greenFirstInEvenRow;
};

// The phase of arrangement code 2 to 5.
constexpr MosaicPhase PhaseOfArrangement(USHORT arrangement) {
    switch (arrangement) {
        case ARRANGEMENT_RGGB:
            return {PIXEL_RED, FALSE};
        case ARRANGEMENT_GRBG:
            return {PIXEL_RED, TRUE};
        case ARRANGEMENT_GBRG:
            return {PIXEL_BLUE, TRUE};
        default:
            return {PIXEL_BLUE, FALSE};
    }
}

// The non-green colour of row y.
constexpr ULONG RowColour(const MosaicPhase& phase, ULONG y) {
    return (y & 1) == 0 ? phase.evenRowColour : PIXEL_RED + PIXEL_BLUE - phase.evenRowColour;
}

// The colour of sample (x, y).
constexpr ULONG SampleColour(const MosaicPhase& phase, ULONG x, ULONG y) {
    const BOOLEAN greenFirst = ((y & 1) == 0) == (phase.greenFirstInEvenRow != FALSE);
    return ((x & 1) == 0) == greenFirst ? PIXEL_GREEN : RowColour(phase, y);
}

inline BOOLEAN IsMosaic(USHORT arrangement) {
    return arrangement >= ARRANGEMENT_RGGB && arrangement <= ARRANGEMENT_BGGR;
}

// The mean of two values, rounded down.
inline UCHAR Mean2(ULONG a, ULONG b) {
    return static_cast<UCHAR>((a + b) >> 1);
}
