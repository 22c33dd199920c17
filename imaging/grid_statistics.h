// Zone statistics: the raw frame divided into 4 x 4 zones, with the average of every cell
// position in each zone, and their weighted combination.
#pragma once

#include "imaging/processing_stage.h"

#define ZONE_COUNT 16

// Touched only by the delivery work item (the pipeline and the automatic controls it runs).
class GridStatistics : public ProcessingStage {
  public:
    USHORT m_awColumnSplit[3];  // inner boundaries, hundredths of a percent of W
    USHORT m_awRowSplit[3];
    UCHAR m_abyteAverage[ZONE_COUNT][4];  // zone = 4 x row band + column band; by cell position
    LONG m_bLayoutStale;
    USHORT m_wLayoutArrangement;
    ULONG m_ulLayoutWidth;
    ULONG m_ulLayoutHeight;
    ULONG m_aulColumnEnd[4];
    ULONG m_aulRowEnd[4];
    ULONG m_aulCount[ZONE_COUNT][4];
};

// Sets the start values: quarter splits, layout out of date.
VOID InitGridStatistics(GridStatistics* stats);
// Recomputes the band ends and sample counts when W, H or A changed. Returns 1.
ULONG UpdateZoneLayout(GridStatistics* stats, ULONG width, ULONG height, USHORT arrangement);
// Averages of every zone and cell position of the raw image. Returns 1.
ULONG MeasureZones(GridStatistics* stats, ULONG width, ULONG height, USHORT arrangement,
                   const UCHAR* raw);
// The zones combined with 16 weights: one byte for monochrome, else four in mosaic-channel order
// (red, green in red rows, green in blue rows, blue); an arrangement outside 1 to 5 leaves the
// output as the caller set it. Returns 1.
ULONG GetBrightnessAverage(GridStatistics* stats, const UCHAR* weights, UCHAR* output);
