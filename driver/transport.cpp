// Frame capture transport. The transfer completions run in the USB stack's completion context
// (DISPATCH_LEVEL, possibly several processors at once); StartTransport and StopTransport run
// where the thread may wait.
#include "driver/transport.h"

namespace {

// Signals an application event if one is registered.
VOID SignalUserEvent(PKEVENT event) {
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PKEVENT UserEvent0(DeviceContext* device) {
    return static_cast<PKEVENT>(__atomic_load_n(&device->m_pUserEvent0, __ATOMIC_ACQUIRE));
}

NTSTATUS TransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

// Builds the bulk read URB and the IRP's next stack location, numbers the transfer and sends it.
// Turn holder (or StartTransport holding the turn) only.
VOID SubmitTransfer(TransferSlot* slot) {
    TransportContext* transport = slot->m_pTransport;
    _URB_BULK_OR_INTERRUPT_TRANSFER* urb = slot->m_pUrb;
    RtlZeroMemory(urb, sizeof *urb);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = transport->m_pPipe->PipeHandle;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = TRANSFER_BUFFER_SIZE;
    urb->TransferBuffer = slot->m_pBuffer;

    PIRP irp = slot->m_pIrp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, TransferComplete, slot, TRUE, TRUE, TRUE);

    slot->m_ulSequence = transport->m_ulNextSequence++;
    IofCallDriver(transport->m_pLowerDevice, irp);
    // A stop that began while this IRP was between completion and resubmission may have missed
    // it; cancelling again is harmless when it has already completed.
    if (ReadLongAcquire(&transport->m_bStopping))
        IoCancelIrp(irp);
}

// Runs the posted completions in sequence order while this caller holds the assembly turn, and
// gives the turn up once no request for it is left. Sets the retired event, as the very last
// touch of the transport, when the last slot has retired.
VOID RunAssemblyTurn(TransportContext* transport) {
    BOOLEAN allRetired = FALSE;
    do {
        for (;;) {
            const ULONG index = transport->m_ulAssembleSequence % TRANSFER_SLOT_COUNT;
            TransferSlot* slot =
                __atomic_load_n(&transport->m_apCompleted[index], __ATOMIC_ACQUIRE);
            if (slot == nullptr || slot->m_ulSequence != transport->m_ulAssembleSequence)
                break;
            __atomic_store_n(&transport->m_apCompleted[index], nullptr, __ATOMIC_RELAXED);
            transport->m_ulAssembleSequence++;

            PIRP irp = slot->m_pIrp;
            if (!NT_SUCCESS(irp->IoStatus.Status) || ReadLongAcquire(&transport->m_bStopping)) {
                // A failed or cancelled transfer is never retried: the slot retires for good.
                InterlockedDecrement(&transport->m_lOutstanding);
                continue;
            }
            AssembleTransfer(slot->m_pDevice, slot->m_pBuffer, slot->m_pUrb->TransferBufferLength,
                             slot->m_pUrb->Hdr.Status);
            SubmitTransfer(slot);
        }
        allRetired = ReadLongAcquire(&transport->m_lOutstanding) == 0;
    } while (InterlockedDecrement(&transport->m_lTurnRequests) != 0);
    // No completion is left to come once every slot has retired, so nothing else touches the
    // transport after this; StopTransport may free it as soon as the event is set.
    if (allRetired)
        KeSetEvent(&transport->m_RetiredEvent, IO_NO_INCREMENT, FALSE);
}

// Transfer completion routine (USB completion context). The IRP stays with the driver.
NTSTATUS TransferComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* slot = static_cast<TransferSlot*>(context);
    TransportContext* transport = slot->m_pTransport;
    __atomic_store_n(&transport->m_apCompleted[slot->m_ulSequence % TRANSFER_SLOT_COUNT], slot,
                     __ATOMIC_RELEASE);
    if (InterlockedIncrement(&transport->m_lTurnRequests) == 1)
        RunAssemblyTurn(transport);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID FreeSlot(TransferSlot* slot) {
    if (slot->m_pIrp != nullptr)
        IoFreeIrp(slot->m_pIrp);
    if (slot->m_pUrb != nullptr)
        ExFreePoolWithTag(slot->m_pUrb, TAG_BULK_URB);
    if (slot->m_pBuffer != nullptr)
        ExFreePoolWithTag(slot->m_pBuffer, TAG_TRANSFER_BUFFER);
    ExFreePoolWithTag(slot, TAG_TRANSFER_SLOT);
}

// Allocates slot i and sends its first transfer; leaves the position empty when any part of it
// cannot be allocated.
VOID StartSlot(TransportContext* transport, DeviceContext* device, ULONG i) {
    auto* slot = static_cast<TransferSlot*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferSlot), TAG_TRANSFER_SLOT));
    if (slot == nullptr)
        return;
    RtlZeroMemory(slot, sizeof *slot);
    slot->m_pIrp =
        IoAllocateIrp(static_cast<CCHAR>(transport->m_pLowerDevice->StackSize + 1), FALSE);
    if (slot->m_pIrp != nullptr) {
        slot->m_pBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, TRANSFER_BUFFER_SIZE, TAG_TRANSFER_BUFFER));
    }
    if (slot->m_pBuffer != nullptr) {
        slot->m_pUrb = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(ExAllocatePoolWithTag(
            NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BULK_URB));
    }
    if (slot->m_pUrb == nullptr) {
        FreeSlot(slot);
        return;
    }
    slot->m_pTransport = transport;
    slot->m_pDevice = device;
    transport->m_apSlots[i] = slot;
    InterlockedIncrement(&transport->m_lOutstanding);
    SubmitTransfer(slot);
}

}  // namespace

VOID AssembleTransfer(DeviceContext* device, const UCHAR* data, ULONG n, USBD_STATUS usbdStatus) {
    if (!USBD_SUCCESS(usbdStatus))
        return;  // the data is ignored; the transfer goes on
    if (n == 0) {
        SignalUserEvent(UserEvent0(device));
        return;
    }
    // A format change may set the raw size while frames arrive.
    const ULONG pixels = __atomic_load_n(&device->m_ulImageWidth, __ATOMIC_ACQUIRE) *
                         __atomic_load_n(&device->m_ulImageHeight, __ATOMIC_ACQUIRE);
    const ULONG frameSize = FRAME_HEADER_SIZE + pixels;
    const BOOLEAN wholePiece = n == FRAME_HEADER_SIZE || n == TRANSFER_BUFFER_SIZE;
    if (device->m_ulAssembledBytes == 0 && (wholePiece || n == pixels || n == frameSize) &&
        n >= 16) {
        device->m_ulFrameHeaderValue =
            static_cast<ULONG>(data[12]) | static_cast<ULONG>(data[13]) << 8 |
            static_cast<ULONG>(data[14]) << 16 | static_cast<ULONG>(data[15]) << 24;
    }
    if (!wholePiece && device->m_ulAssembledBytes + n != frameSize) {
        device->m_ulAssembledBytes = 0;  // a short piece that does not end the frame
        return;
    }
    // The buffer holds frameSize - 1 + TRANSFER_BUFFER_SIZE bytes for every sensor, but the
    // frame size follows the camera's answers, so the bound is checked, not assumed.
    if (device->m_ulAssembledBytes + n > FRAME_BUFFER_SIZE) {
        device->m_ulAssembledBytes = 0;
        SignalUserEvent(UserEvent0(device));
        return;
    }
    RtlCopyMemory(device->m_pAssemblyBuffer + device->m_ulAssembledBytes, data, n);
    device->m_ulAssembledBytes += n;
    if (device->m_ulAssembledBytes == frameSize) {
        // Hand the frame over unless the frame pump holds the buffer (then it is dropped).
        if (InterlockedCompareExchange(&device->m_bWorkItemPending, WORK_ITEM_HANDOVER,
                                       WORK_ITEM_IDLE) == WORK_ITEM_IDLE) {
            RtlCopyMemory(device->m_pFrameBuffer, device->m_pAssemblyBuffer, frameSize);
            WriteLongRelease(&device->m_bFrameReady, TRUE);
            WriteLongRelease(&device->m_bWorkItemPending, WORK_ITEM_IDLE);
        }
        device->m_ulAssembledBytes = 0;
    } else if (device->m_ulAssembledBytes > frameSize) {
        device->m_ulAssembledBytes = 0;
        SignalUserEvent(UserEvent0(device));
    }
}

NTSTATUS StartTransport(DeviceContext* device) {
    auto* transport = static_cast<TransportContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TransportContext), TAG_TRANSPORT));
    if (transport == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(transport, sizeof *transport);
    transport->m_pLowerDevice = device->m_pPhysicalDeviceObject;
    transport->m_pPipe = &device->m_BulkInPipe;
    KeInitializeEvent(&transport->m_RetiredEvent, NotificationEvent, FALSE);

    __atomic_store_n(&device->m_ulFrameHeaderValue, 0u, __ATOMIC_RELEASE);
    device->m_ulAssembledBytes = 0;
    WriteLongRelease(&device->m_bFrameReady, FALSE);
    WriteLongRelease(&device->m_bWorkItemPending, WORK_ITEM_IDLE);

    // Hold the assembly turn while the slots start, so that completions arriving meanwhile wait
    // for it and every submission stays in sequence order; then run what they posted.
    InterlockedIncrement(&transport->m_lTurnRequests);
    for (ULONG i = 0; i < TRANSFER_SLOT_COUNT; ++i) StartSlot(transport, device, i);
    RunAssemblyTurn(transport);

    device->m_pTransport = transport;
    return STATUS_SUCCESS;
}

VOID StopTransport(TransportContext* transport, DeviceContext* device) {
    InterlockedExchange(&transport->m_bStopping, TRUE);
    // IRPs stay allocated until every slot has retired, so cancelling one that is completing or
    // being resubmitted at this moment is safe.
    for (ULONG i = 0; i < TRANSFER_SLOT_COUNT; ++i) {
        TransferSlot* slot = transport->m_apSlots[i];
        if (slot != nullptr)
            IoCancelIrp(slot->m_pIrp);
    }
    KeWaitForSingleObject(&transport->m_RetiredEvent, Executive, KernelMode, FALSE, nullptr);
    for (ULONG i = 0; i < TRANSFER_SLOT_COUNT; ++i) {
        if (transport->m_apSlots[i] != nullptr) {
            FreeSlot(transport->m_apSlots[i]);
            transport->m_apSlots[i] = nullptr;
        }
    }
    ExFreePoolWithTag(transport, TAG_TRANSPORT);
    device->m_pTransport = nullptr;
}
