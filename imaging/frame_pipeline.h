// The frame path: the newest raw frame, processed, turned and converted into a read request's
// buffer.
#pragma once

#include "driver/device_context.h"

// The processing of one raw image of width x height samples (modified in place) into
// 3 x width x height bytes at destination, with the device's current settings.
VOID ProcessRawImage(DeviceContext* device, ULONG width, ULONG height, PUCHAR raw,
                     PUCHAR destination);

// Turns the raw frame in m_pFrameBuffer into the read SRB's buffer and sets DataUsed to the
// format's image size; a buffer smaller than the image size is left untouched, DataUsed too.
// Runs on the delivery work item (PASSIVE_LEVEL), which owns m_pFrameBuffer meanwhile.
VOID ProcessFrame(PHW_STREAM_REQUEST_BLOCK srb);
