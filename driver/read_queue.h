// The per-stream read queue: read SRBs wait here, linked through their IRPs, until a frame is
// delivered into them, they are flushed or they are cancelled.
#pragma once

#include "driver/device_context.h"

// Completes a read SRB as cancelled: DataUsed 0, STATUS_CANCELLED.
VOID CompleteReadCancelled(PHW_STREAM_REQUEST_BLOCK srb);

// Completes every queued read SRB of the stream as cancelled, holding the queue's lock
// throughout.
VOID FlushReadQueue(StreamContext* stream);

// Takes the read SRB out of the queue of stream `number` if it is there; true when it was.
BOOLEAN RemoveQueuedRead(DeviceContext* device, ULONG number, PHW_STREAM_REQUEST_BLOCK srb);
