// The capture stream: open and close (adapter requests) and the stream's own entries.
#pragma once

#include "driver/device_context.h"

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM. Both run under the adapter busy-queue, where the thread
// may wait.
VOID OpenStream(PHW_STREAM_REQUEST_BLOCK srb);
VOID CloseStream(PHW_STREAM_REQUEST_BLOCK srb);
// Whether a format proposed for a stream is one of its published formats with an image that fits
// its declared size. Only stream 0 exists.
BOOLEAN VerifyFormat(const KSDATAFORMAT* format, ULONG streamNumber);
// SRB_GET_DATA_INTERSECTION.
VOID GetDataIntersection(PHW_STREAM_REQUEST_BLOCK srb);

// The stream's read entry (SRB_READ_DATA) and control entry (everything else).
VOID StreamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID StreamReceiveControlPacket(PHW_STREAM_REQUEST_BLOCK srb);

// Adopts the format the SRB carries (CommandData.OpenFormat, accepted by VerifyFormat) for the
// stream and programs the camera's readout mode. On failure sets the SRB's status and returns
// FALSE with nothing changed.
BOOLEAN SetStreamFormat(PHW_STREAM_REQUEST_BLOCK srb, StreamContext* stream);
