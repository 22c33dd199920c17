// The capture stream: open and close (adapter requests) and the stream's own entries.
#pragma once

#include "driver/device_context.h"

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM.
VOID OpenStream(PHW_STREAM_REQUEST_BLOCK srb);
VOID CloseStream(PHW_STREAM_REQUEST_BLOCK srb);
// Whether a format proposed for a stream is one of its published formats with an image that fits
// its declared size. Only stream 0 exists.
BOOLEAN VerifyFormat(const KSDATAFORMAT* format, ULONG streamNumber);
// SRB_GET_DATA_INTERSECTION.
VOID GetDataIntersection(PHW_STREAM_REQUEST_BLOCK srb);
