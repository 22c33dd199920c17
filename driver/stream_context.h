// StreamContext: the per-stream record (the stream class's stream extension), zero-filled at open.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

struct StreamContext {
    DeviceContext* m_pDeviceContext;
    PHW_STREAM_OBJECT m_pStreamObject;
    // Guards m_pVideoInfoHeader, m_ulFrameSize and m_AvgTimePerFrame while they are replaced.
    KSPIN_LOCK m_FormatLock;
    PKS_VIDEOINFOHEADER m_pVideoInfoHeader;  // owned copy of the current format (tag kkkk)
    ULONG m_ulFrameSize;
    // PictureNumber and DropCount are written by the delivery work item (and reset at pause from
    // stop, once no delivery is outstanding) and read by the dropped-frames property: atomic.
    KS_FRAME_INFO m_FrameInfo;
    LONG m_bDiscontinuity;  // atomic: cleared by run while the work item may use it
    // Written by state changes, power changes and surprise removal, read by the read entry and
    // the frame pump without a lock: accessed only through ReadStreamState / WriteStreamState.
    KSSTATE m_State;
    KSSTATE m_SavedState;
    HANDLE m_hMasterClock;
    // Written by the work item and by run (m_NextFrameTime); accessed atomically.
    LONGLONG m_NextFrameTime;
    LONGLONG m_CurrentStreamTime;
    LONGLONG m_AvgTimePerFrame;
    LONG m_lVideoControlMode;
    // Delivery work items queued for this stream and not yet finished (atomic); close waits on
    // m_WorkItemDone (auto-reset, set by the work item that brings the count to 0) until none is
    // left, so the record and its format copy outlive every delivery.
    LONG m_lWorkItemsOutstanding;
    KEVENT m_WorkItemDone;
};

// The state is read by the read entry after it has queued a request and written by stop and close
// before they flush the queue, so both sides are sequentially consistent.
inline KSSTATE ReadStreamState(const StreamContext* stream) {
    return static_cast<KSSTATE>(
        __atomic_load_n(reinterpret_cast<const volatile int*>(&stream->m_State), __ATOMIC_SEQ_CST));
}

inline VOID WriteStreamState(StreamContext* stream, KSSTATE state) {
    __atomic_store_n(reinterpret_cast<volatile int*>(&stream->m_State), static_cast<int>(state),
                     __ATOMIC_SEQ_CST);
}

// The master clock handle is set by control requests and read by the delivery work item.
inline HANDLE MasterClockOf(StreamContext* stream) {
    return ReadPointerAcquire(&stream->m_hMasterClock);
}
