#include "driver/adapter.h"

#include "camera/property_sets.h"
#include "driver/processing_objects.h"
#include "driver/read_queue.h"
#include "driver/startup.h"
#include "driver/stream.h"
#include "driver/stream_formats.h"

namespace {

// Initialises the adapter request queue on the very first adapter request. Requests may arrive
// on several threads at once, so exactly one initialises and the others wait until it is done.
VOID EnsureRequestQueueReady(DeviceContext* device) {
    if (ReadLongAcquire(&device->m_bRequestQueueReady) == REQUEST_QUEUE_READY)
        return;
    if (InterlockedCompareExchange(&device->m_bRequestQueueReady, REQUEST_QUEUE_INITIALISING,
                                   REQUEST_QUEUE_UNINITIALISED) == REQUEST_QUEUE_UNINITIALISED) {
        InitializeListHead(&device->m_AdapterRequestQueue);
        KeInitializeSpinLock(&device->m_RequestLock);
        device->m_bAdapterBusy = FALSE;
        WriteLongRelease(&device->m_bRequestQueueReady, REQUEST_QUEUE_READY);
        return;
    }
    while (ReadLongAcquire(&device->m_bRequestQueueReady) != REQUEST_QUEUE_READY) {
        // Another thread is initialising; it does so without blocking.
    }
}

VOID CompleteAdapterRequest(PHW_STREAM_REQUEST_BLOCK srb) {
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

// SRB_CHANGE_POWER_STATE: only D0 and D3 are accepted; a D0/D3 change saves or restores the
// open stream's state and nothing else.
VOID ChangePowerState(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    PIRP irp = srb->Irp;
    if (irp == nullptr || irp->CurrentLocation > irp->StackCount ||
        IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_SET_POWER) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
        return;
    }
    const DEVICE_POWER_STATE state = srb->CommandData.DeviceState;
    if (state == device->m_DevicePowerState)
        return;
    StreamContext* stream = StreamInSlot(device, 0);
    if (state == PowerDeviceD0) {
        if (device->m_DevicePowerState == PowerDeviceD3 && stream != nullptr) {
            WriteStreamState(stream, stream->m_SavedState);
        }
    } else if (state == PowerDeviceD3) {
        if (device->m_DevicePowerState == PowerDeviceD0 && stream != nullptr) {
            stream->m_SavedState = ReadStreamState(stream);
        }
    } else {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    device->m_DevicePowerState = state;
}

// SRB_SURPRISE_REMOVAL: acts once, and only with a stream open. The transport is left to retire
// on its own as its transfers fail on the removed device.
VOID SurpriseRemoval(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    StreamContext* stream = StreamInSlot(device, 0);
    if (stream == nullptr || IsSurpriseRemoved(device))
        return;
    WriteStreamState(stream, KSSTATE_STOP);
    WriteLongRelease(&device->m_bSurpriseRemoved, TRUE);
    if (ReadLongAcquire(&device->m_bTransportRunning))
        FlushReadQueue(stream);
}

// SRB_UNINITIALIZE_DEVICE: releases whatever start-up left; the transport is not touched.
VOID UninitializeDevice(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    ReleaseStartupResources(device);
    ReleaseProcessingObjects(device);
    ReleaseUserEvents(device);
}

// The property request's descriptor, or null (with the SRB failed) when it is malformed.
PSTREAM_PROPERTY_DESCRIPTOR PropertyDescriptor(PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->Property == nullptr ||
        descriptor->PropertyInputSize < sizeof(KSPROPERTY)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    return descriptor;
}

// Video-control mode set: stores the mode for the stream index, in the open stream's record or
// in the device default when that stream is not open.
VOID SetVideoControlMode(PHW_STREAM_REQUEST_BLOCK srb, PSTREAM_PROPERTY_DESCRIPTOR descriptor) {
    if (descriptor->PropertyInputSize < sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    auto* request = reinterpret_cast<PKSPROPERTY_VIDEOCONTROL_MODE_S>(descriptor->Property);
    if (request->StreamIndex >= HALVEX_MAX_STREAMS) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (request->Property.Id != KSPROPERTY_VIDEOCONTROL_MODE)
        return;
    if (descriptor->PropertyInfo == nullptr ||
        descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S)) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    const LONG mode = static_cast<PKSPROPERTY_VIDEOCONTROL_MODE_S>(descriptor->PropertyInfo)->Mode;
    DeviceContext* device = DeviceOf(srb);
    StreamContext* stream = StreamInSlot(device, request->StreamIndex);
    if (stream != nullptr) {
        stream->m_lVideoControlMode = mode;
    } else {
        device->m_lDefaultVideoControlMode = mode;
    }
}

// Device property requests are routed by their set.
VOID DeviceProperty(PHW_STREAM_REQUEST_BLOCK srb, BOOLEAN set) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = PropertyDescriptor(srb);
    if (descriptor == nullptr)
        return;
    const GUID& propertySet = descriptor->Property->Set;
    if (IsEqualGUID(propertySet, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
        set ? SetProcAmpProperty(srb) : GetProcAmpProperty(srb);
    } else if (IsEqualGUID(propertySet, PROPSETID_VIDCAP_VIDEODECODER)) {
        // The decoder values are fixed: only get is answered.
        if (set) {
            srb->Status = STATUS_NOT_IMPLEMENTED;
        } else {
            GetVideoDecoderProperty(srb);
        }
    } else if (IsEqualGUID(propertySet, PROPSETID_VIDCAP_VIDEOCONTROL)) {
        set ? SetVideoControlMode(srb, descriptor) : GetVideoControlProperty(srb);
    } else if (IsEqualGUID(propertySet, PROPSETID_VENDOR_CAMERA)) {
        set ? SetVendorProperty(srb) : GetVendorProperty(srb);
    } else {
        srb->Status = STATUS_NOT_IMPLEMENTED;
    }
}

VOID HandleAdapterRequest(PHW_STREAM_REQUEST_BLOCK srb) {
    switch (srb->Command) {
        case SRB_GET_STREAM_INFO:
            GetStreamInfo(srb);
            break;
        case SRB_OPEN_STREAM:
            OpenStream(srb);
            break;
        case SRB_CLOSE_STREAM:
            CloseStream(srb);
            break;
        case SRB_OPEN_DEVICE_INSTANCE:
        case SRB_CLOSE_DEVICE_INSTANCE:
        case SRB_INITIALIZATION_COMPLETE:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
        case SRB_GET_DEVICE_PROPERTY:
            DeviceProperty(srb, FALSE);
            break;
        case SRB_SET_DEVICE_PROPERTY:
            DeviceProperty(srb, TRUE);
            break;
        case SRB_INITIALIZE_DEVICE:
            srb->Status = StartDevice(srb);
            break;
        case SRB_CHANGE_POWER_STATE:
            ChangePowerState(srb);
            break;
        case SRB_UNINITIALIZE_DEVICE:
            UninitializeDevice(srb);
            break;
        case SRB_GET_DATA_INTERSECTION:
            GetDataIntersection(srb);
            break;
        case SRB_SURPRISE_REMOVAL:
            SurpriseRemoval(srb);
            break;
        default:
            // SRB_UNKNOWN_DEVICE_COMMAND, SRB_PAGING_OUT_DRIVER and anything unlisted succeed.
            break;
    }
}

}  // namespace

VOID RunSerialized(DeviceContext* device, PLIST_ENTRY queue, LONG* busy,
                   PHW_STREAM_REQUEST_BLOCK srb, SRB_HANDLER handler, SRB_HANDLER complete) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_RequestLock);
    if (*busy) {
        auto* entry = static_cast<RequestEntry*>(srb->SRBExtension);
        entry->m_pSrb = srb;
        InsertTailList(queue, &entry->m_ListEntry);
        KeReleaseSpinLock(&device->m_RequestLock, irql);
        return;
    }
    *busy = TRUE;
    KeReleaseSpinLock(&device->m_RequestLock, irql);
    for (;;) {
        srb->Status = STATUS_SUCCESS;
        handler(srb);
        complete(srb);  // the SRB belongs to the stream class from here on
        irql = KeAcquireSpinLockRaiseToDpc(&device->m_RequestLock);
        if (IsListEmpty(queue)) {
            *busy = FALSE;
            KeReleaseSpinLock(&device->m_RequestLock, irql);
            return;
        }
        PLIST_ENTRY next = RemoveHeadList(queue);
        KeReleaseSpinLock(&device->m_RequestLock, irql);
        srb = CONTAINING_RECORD(next, RequestEntry, m_ListEntry)->m_pSrb;
    }
}

VOID AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    EnsureRequestQueueReady(device);
    RunSerialized(device, &device->m_AdapterRequestQueue, &device->m_bAdapterBusy, srb,
                  HandleAdapterRequest, CompleteAdapterRequest);
}

VOID AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    if (StreamInSlot(device, 0) == nullptr)
        return;
    if (RemoveQueuedRead(device, 0, srb))
        CompleteReadCancelled(srb);
}

VOID AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->TimeoutCounter = srb->TimeoutOriginal;
}
