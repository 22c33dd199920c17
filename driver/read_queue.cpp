#include "driver/read_queue.h"

namespace {
PHW_STREAM_REQUEST_BLOCK SrbOfEntry(PLIST_ENTRY entry) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    return static_cast<PHW_STREAM_REQUEST_BLOCK>(irp->Tail.Overlay.DriverContext[0]);
}
}  // namespace

VOID CompleteReadCancelled(PHW_STREAM_REQUEST_BLOCK srb) {
    if (srb->CommandData.DataBufferArray != nullptr)
        srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

VOID FlushReadQueue(StreamContext* stream) {
    DeviceContext* device = stream->m_pDeviceContext;
    const ULONG number = stream->m_pStreamObject->StreamNumber;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ReadQueueLock[number]);
    while (!IsListEmpty(&device->m_ReadQueue[number])) {
        PLIST_ENTRY entry = RemoveHeadList(&device->m_ReadQueue[number]);
        device->m_ulReadQueueCount[number]--;
        CompleteReadCancelled(SrbOfEntry(entry));
    }
    KeReleaseSpinLock(&device->m_ReadQueueLock[number], irql);
}

BOOLEAN RemoveQueuedRead(DeviceContext* device, ULONG number, PHW_STREAM_REQUEST_BLOCK srb) {
    BOOLEAN found = FALSE;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ReadQueueLock[number]);
    for (PLIST_ENTRY entry = device->m_ReadQueue[number].Flink;
         entry != &device->m_ReadQueue[number]; entry = entry->Flink) {
        if (SrbOfEntry(entry) == srb) {
            RemoveEntryList(entry);
            device->m_ulReadQueueCount[number]--;
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&device->m_ReadQueueLock[number], irql);
    return found;
}
