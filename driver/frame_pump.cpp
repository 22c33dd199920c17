// Frame pump and delivery.
#include "driver/frame_pump.h"

#include "imaging/frame_pipeline.h"

namespace {

// Takes the oldest read SRB of the stream's queue, or null.
PHW_STREAM_REQUEST_BLOCK TakeOldestRead(StreamContext* stream) {
    DeviceContext* device = stream->m_pDeviceContext;
    const ULONG number = stream->m_pStreamObject->StreamNumber;
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ReadQueueLock[number]);
    if (!IsListEmpty(&device->m_ReadQueue[number])) {
        PLIST_ENTRY entry = RemoveHeadList(&device->m_ReadQueue[number]);
        device->m_ulReadQueueCount[number]--;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(irp->Tail.Overlay.DriverContext[0]);
    }
    KeReleaseSpinLock(&device->m_ReadQueueLock[number], irql);
    return srb;
}

// Fills the stream header of a delivered frame.
VOID FillStreamHeader(PHW_STREAM_REQUEST_BLOCK srb, StreamContext* stream, BOOLEAN clock,
                      LONGLONG interval) {
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    auto* frameInfo = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    stream->m_FrameInfo.ExtendedHeaderSize = frameInfo->ExtendedHeaderSize;
    *frameInfo = stream->m_FrameInfo;

    header->OptionsFlags = 0;
    if (InterlockedExchange(&stream->m_bDiscontinuity, FALSE))
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = interval;
    if (clock) {
        header->PresentationTime.Time = ReadAcquire64(&stream->m_CurrentStreamTime);
        header->OptionsFlags |=
            KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    } else {
        header->PresentationTime.Time = 0;
    }
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
}

// One delivery: decides whether a frame is due and gives it to the oldest waiting read.
VOID Deliver(StreamContext* stream) {
    DeviceContext* device = stream->m_pDeviceContext;
    if (ReadStreamState(stream) == KSSTATE_STOP)
        return;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
    const LONGLONG interval = stream->m_AvgTimePerFrame;
    KeReleaseSpinLock(&stream->m_FormatLock, irql);

    HANDLE clock = MasterClockOf(stream);
    if (clock != nullptr) {
        HW_TIME_CONTEXT time;
        RtlZeroMemory(&time, sizeof time);
        time.HwDeviceExtension = device;
        time.HwStreamObject = stream->m_pStreamObject;
        time.Function = TIME_GET_STREAM_TIME;
        StreamClassQueryMasterClockSync(clock, &time);
        const LONGLONG now = static_cast<LONGLONG>(time.Time);
        WriteRelease64(&stream->m_CurrentStreamTime, now);
        if (ReadAcquire64(&stream->m_NextFrameTime) == 0)
            WriteRelease64(&stream->m_NextFrameTime, now + interval);
    }
    if (ReadStreamState(stream) != KSSTATE_RUN)
        return;
    if (clock != nullptr &&
        ReadAcquire64(&stream->m_CurrentStreamTime) < ReadAcquire64(&stream->m_NextFrameTime))
        return;  // not due yet
    if (!ReadLongAcquire(&device->m_bFrameReady))
        return;  // no new frame since the last delivery

    WriteRelease64(&stream->m_FrameInfo.PictureNumber, stream->m_FrameInfo.PictureNumber + 1);
    PHW_STREAM_REQUEST_BLOCK srb = TakeOldestRead(stream);
    if (srb != nullptr) {
        ProcessFrame(srb);
        WriteLongRelease(&device->m_bFrameReady, FALSE);
        FillStreamHeader(srb, stream, clock != nullptr, interval);
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    } else {
        // Nobody waits: the frame counts as dropped and stays ready for a later tick.
        WriteRelease64(&stream->m_FrameInfo.DropCount, stream->m_FrameInfo.DropCount + 1);
        WriteLongRelease(&stream->m_bDiscontinuity, TRUE);
    }
    WriteRelease64(&stream->m_NextFrameTime, ReadAcquire64(&stream->m_NextFrameTime) + interval);
}

}  // namespace

VOID FramePumpTick(PVOID context) {
    auto* stream = static_cast<StreamContext*>(context);
    DeviceContext* device = stream->m_pDeviceContext;
    if (ReadStreamState(stream) == KSSTATE_STOP)
        return;  // the pump ends

    // Take the frame buffer for a delivery unless a delivery holds it or the transport is
    // copying a frame into it at this moment (then this tick queues nothing).
    if (InterlockedCompareExchange(&device->m_bWorkItemPending, WORK_ITEM_PENDING,
                                   WORK_ITEM_IDLE) == WORK_ITEM_IDLE) {
        auto* work = static_cast<WorkItemContext*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkItemContext), TAG_WORK_ITEM));
        PIO_WORKITEM item =
            work != nullptr ? IoAllocateWorkItem(device->m_pWorkItemDeviceObject) : nullptr;
        if (item == nullptr) {
            // Nothing is queued; the flag is given back so the next tick tries again.
            if (work != nullptr)
                ExFreePoolWithTag(work, TAG_WORK_ITEM);
            WriteLongRelease(&device->m_bWorkItemPending, WORK_ITEM_IDLE);
        } else {
            work->m_pWorkItem = item;
            work->m_pStreamContext = stream;
            InterlockedIncrement(&stream->m_lWorkItemsOutstanding);
            IoQueueWorkItem(item, DeliverFrame, DelayedWorkQueue, work);
        }
    }
    StreamClassScheduleTimer(stream->m_pStreamObject, device, FRAME_PUMP_PERIOD_US, FramePumpTick,
                             stream);
}

VOID DeliverFrame(PDEVICE_OBJECT, PVOID context) {
    auto* work = static_cast<WorkItemContext*>(context);
    StreamContext* stream = work->m_pStreamContext;
    DeviceContext* device = stream->m_pDeviceContext;
    Deliver(stream);
    IoFreeWorkItem(work->m_pWorkItem);
    ExFreePoolWithTag(work, TAG_WORK_ITEM);
    WriteLongRelease(&device->m_bWorkItemPending, WORK_ITEM_IDLE);
    // Last touch of the stream: close may release it once no delivery is outstanding.
    if (InterlockedDecrement(&stream->m_lWorkItemsOutstanding) == 0)
        KeSetEvent(&stream->m_WorkItemDone, IO_NO_INCREMENT, FALSE);
}
