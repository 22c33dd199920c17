// The capture stream: open and close (adapter requests) and the stream's own entries.
#pragma once

#include "driver/device_context.h"

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM.
VOID OpenStream(PHW_STREAM_REQUEST_BLOCK srb);
VOID CloseStream(PHW_STREAM_REQUEST_BLOCK srb);
// SRB_GET_DATA_INTERSECTION.
VOID GetDataIntersection(PHW_STREAM_REQUEST_BLOCK srb);
