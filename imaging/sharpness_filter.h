// Sharpening of the output image: a pixel that stands out from the mean luminance of its eight
// neighbours by more than a threshold is pushed further away by a correction from a table.
#pragma once

#include "imaging/processing_stage.h"

// m_Lock guards the settings and the table; the delivery work item copies them at the start of a
// frame.
struct SharpnessFilter {
    KSPIN_LOCK m_Lock;
    UCHAR m_byteEnable;  // runs only when exactly 1
    USHORT m_wStrength;
    UCHAR m_byteThreshold;
    UCHAR m_abyteCorrection[256];
    // The delivery work item's copy.
    UCHAR m_byteFrameThreshold;
    UCHAR m_abyteFrameCorrection[256];
};

VOID InitSharpnessFilter(SharpnessFilter* filter);
// Stores enable, strength and threshold, rebuilding the table when the filter stays enabled.
VOID SetSharpness(SharpnessFilter* filter, UCHAR enable, USHORT strength, UCHAR threshold);
// The current enable, strength and threshold.
VOID GetSharpness(SharpnessFilter* filter, UCHAR* enable, USHORT* strength, UCHAR* threshold);
// Rebuilds the correction table from the strength and threshold. Caller holds m_Lock. Returns 1.
ULONG BuildSharpnessTable(SharpnessFilter* filter);
// Sharpens the output image (format 1 grey, 4 24-bit, 8 32-bit) in place. Returns 1, or 0 when
// its W x 8 scratch buffer (tag DkSy) is not available.
ULONG SharpenFrame(SharpnessFilter* filter, ULONG width, ULONG height, ULONG format, PUCHAR image);
