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
    KS_FRAME_INFO m_FrameInfo;
    LONG m_bDiscontinuity;
    // Written by state changes, power changes and surprise removal, read by the read entry and
    // the frame pump without a lock: accessed only through ReadStreamState / WriteStreamState.
    KSSTATE m_State;
    KSSTATE m_SavedState;
    HANDLE m_hMasterClock;
    LONGLONG m_NextFrameTime;
    LONGLONG m_CurrentStreamTime;
    LONGLONG m_AvgTimePerFrame;
    LONG m_lVideoControlMode;
};

inline KSSTATE ReadStreamState(const StreamContext* stream) {
    return static_cast<KSSTATE>(
        __atomic_load_n(reinterpret_cast<const volatile int*>(&stream->m_State), __ATOMIC_ACQUIRE));
}

inline VOID WriteStreamState(StreamContext* stream, KSSTATE state) {
    __atomic_store_n(reinterpret_cast<volatile int*>(&stream->m_State), static_cast<int>(state),
                     __ATOMIC_RELEASE);
}
