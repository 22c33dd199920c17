// What the driver publishes about its one capture stream: the stream header and information,
// the topology, the thirty RGB24 video data ranges and the per-width format lists.
#pragma once

#include "platform/platform.h"

#define FORMATS_PER_WIDTH 6
#define VIDEO_RANGE_COUNT 30

// The six formats of one sensor width, in readout-mode order.
struct FormatList {
    ULONG width;
    const KSDATAFORMAT* const* formats;  // six entries; the three-entry list is the first three
};

// The readout mode byte of each position in a format list.
extern const UCHAR g_ReadoutModes[FORMATS_PER_WIDTH];

extern const KS_DATARANGE_VIDEO g_VideoRanges[VIDEO_RANGE_COUNT];

// The format list of a sensor width, or null.
const FormatList* FindFormatList(ULONG width);

// The one stream information record (stream 0); start-up sets its format list.
HW_STREAM_INFORMATION* StreamInformation();

// SRB_GET_STREAM_INFO: copies the stream header and information into the SRB's descriptor.
VOID GetStreamInfo(PHW_STREAM_REQUEST_BLOCK srb);
