// Methods 1, 2 and 7: conversions without interpolation. Method 1 shows each sample in its own
// colour only, method 2 gives every pixel of a 2x2 cell the cell's red and blue and its row's
// green, method 7 sorts the four positions of the cell into four grey quadrants.
#include "convert/mosaic.h"

ULONG ConvertOwnColour(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                       USHORT arrangement) {
    if (!IsMosaic(arrangement))
        return 0;
    const MosaicPhase phase = PhaseOfArrangement(arrangement);
    for (ULONG y = 0; y < height; y++) {
        const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
        UCHAR* out = destination + static_cast<SIZE_T>(y) * width * 3;
        for (ULONG x = 0; x < width; x++) {
            UCHAR* pixel = out + 3 * static_cast<SIZE_T>(x);
            pixel[PIXEL_BLUE] = 0;
            pixel[PIXEL_GREEN] = 0;
            pixel[PIXEL_RED] = 0;
            pixel[SampleColour(phase, x, y)] = row[x];
        }
    }
    return 1;
}

ULONG ConvertCellReplication(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination,
                             USHORT arrangement) {
    if (!IsMosaic(arrangement))
        return 0;
    const MosaicPhase phase = PhaseOfArrangement(arrangement);
    const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
    for (ULONG y = 0; y + 1 < height; y += 2) {
        const UCHAR* rows[2] = {source + static_cast<SIZE_T>(y) * width,
                                source + static_cast<SIZE_T>(y + 1) * width};
        for (ULONG x = 0; x + 1 < width; x += 2) {
            // The cell's red, blue and the green of each of its rows.
            UCHAR colour[2][3] = {};
            for (ULONG dy = 0; dy < 2; dy++) {
                for (ULONG dx = 0; dx < 2; dx++) {
                    const ULONG c = SampleColour(phase, x + dx, y + dy);
                    const UCHAR v = rows[dy][x + dx];
                    if (c == PIXEL_GREEN) {
                        colour[dy][PIXEL_GREEN] = v;
                    } else {
                        colour[0][c] = v;
                        colour[1][c] = v;
                    }
                }
            }
            for (ULONG dy = 0; dy < 2; dy++) {
                UCHAR* out = destination + (y + dy) * stride + 3 * static_cast<SIZE_T>(x);
                for (ULONG i = 0; i < 6; i++) out[i] = colour[dy][i % 3];
            }
        }
    }
    return 1;
}

ULONG ConvertPlaneSplit(ULONG width, ULONG height, const UCHAR* source, UCHAR* destination) {
    const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
    for (ULONG y = 0; y < height; y++) {
        const ULONG ny = (y & 1) == 0 ? y / 2 : height / 2 + (y - 1) / 2;
        const UCHAR* row = source + static_cast<SIZE_T>(y) * width;
        UCHAR* out = destination + ny * stride;
        for (ULONG x = 0; x < width; x++) {
            const ULONG nx = (x & 1) == 0 ? x / 2 : width / 2 + (x - 1) / 2;
            UCHAR* pixel = out + 3 * static_cast<SIZE_T>(nx);
            pixel[0] = pixel[1] = pixel[2] = row[x];
        }
    }
    return 1;
}
