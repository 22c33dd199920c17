// The frame pump: a 100 ms stream timer that queues one delivery work item at a time, and the
// work item that delivers the newest raw frame into the oldest waiting read request.
#pragma once

#include "driver/device_context.h"

// Timer period in microseconds.
#define FRAME_PUMP_PERIOD_US 100000

// One queued delivery (tag llll), released by the work item when it finishes.
struct WorkItemContext {
    PIO_WORKITEM m_pWorkItem;
    StreamContext* m_pStreamContext;
};

// The timer routine (stream-class timer context; the stream's first tick is run directly by the
// state change to pause). Ends without rescheduling once the stream is stopped.
VOID FramePumpTick(PVOID context);

// The work-item routine (system worker thread, PASSIVE_LEVEL).
VOID DeliverFrame(PDEVICE_OBJECT deviceObject, PVOID context);
