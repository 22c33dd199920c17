// The adapter's entries: every adapter request block, cancellation and time-out, and the
// busy-queue that serialises adapter and stream control requests.
#pragma once

#include "driver/device_context.h"

VOID AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb);

typedef VOID (*SRB_HANDLER)(PHW_STREAM_REQUEST_BLOCK srb);

// Runs srb through a busy-queue guarded by m_RequestLock: if the queue is busy the SRB is
// appended and this call returns at once; otherwise this call processes it (Status set to
// STATUS_SUCCESS, then handler, then complete) and goes on with every SRB queued meanwhile, in
// arrival order, until the queue is empty.
VOID RunSerialized(DeviceContext* device, PLIST_ENTRY queue, LONG* busy,
                   PHW_STREAM_REQUEST_BLOCK srb, SRB_HANDLER handler, SRB_HANDLER complete);
