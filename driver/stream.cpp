// The capture stream: open and close, the read entry with its queue, the control entry with its
// busy-queue, the state machine, format changes and the stream properties.
#include "driver/stream.h"

#include "camera/command_protocol.h"
#include "driver/adapter.h"
#include "driver/camera_models.h"
#include "driver/frame_pump.h"
#include "driver/read_queue.h"
#include "driver/transport.h"

namespace {

// One second, relative, in 100 ns units: the pause after a stop.
constexpr LONGLONG kStopWait = -10000000;

StreamContext* StreamOf(PHW_STREAM_REQUEST_BLOCK srb) {
    return static_cast<StreamContext*>(srb->StreamObject->HwStreamExtension);
}

// The open stream a stream SRB is for, or null when its stream is not the one open.
StreamContext* OpenStreamOf(PHW_STREAM_REQUEST_BLOCK srb) {
    const ULONG number = srb->StreamObject->StreamNumber;
    if (number >= HALVEX_MAX_STREAMS)
        return nullptr;
    StreamContext* stream = StreamInSlot(DeviceOf(srb), number);
    return stream == StreamOf(srb) ? stream : nullptr;
}

VOID CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK srb) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

// The published formats of the camera's model, or null.
const CameraModel* ModelOf(DeviceContext* device) {
    return FindCameraModel(ReadShadow16(device, device->m_CameraInfo, CAMERA_INFO_MODEL_CODE));
}

// Position of a format's height in the model's list, or -1 when the model does not offer the
// size. A top-down (negative) height matches nothing. The width must be the sensor width, since
// the raw frame is always sensor width by the chosen height; and the image must be 24-bit and
// fit the declared size, which the read buffers are checked against.
LONG FormatPosition(DeviceContext* device, const KS_VIDEOINFOHEADER* header) {
    const CameraModel* model = ModelOf(device);
    if (model == nullptr)
        return -1;
    const FormatList* list = FindFormatList(model->width);
    const KS_BITMAPINFOHEADER& bmi = header->bmiHeader;
    if (list == nullptr || bmi.biWidth != static_cast<LONG>(model->width) || bmi.biBitCount != 24)
        return -1;
    for (ULONG i = 0; i < model->formatCount; ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(list->formats[i]);
        const LONG height = range->VideoInfoHeader.bmiHeader.biHeight;
        if (bmi.biHeight == height) {
            const ULONGLONG image = static_cast<ULONGLONG>(model->width) * height * 3;
            return bmi.biSizeImage >= image ? static_cast<LONG>(i) : -1;
        }
    }
    return -1;
}

// Waits until no delivery work item of the stream is outstanding. Only called once no tick can
// queue a new one, or where a new one would only find the state it was queued for.
VOID WaitForDeliveries(StreamContext* stream) {
    while (ReadLongAcquire(&stream->m_lWorkItemsOutstanding) != 0) {
        KeWaitForSingleObject(&stream->m_WorkItemDone, Executive, KernelMode, FALSE, nullptr);
    }
}

// Stops the transport if it runs; m_bTransportRunning is cleared either way.
VOID StopTransportIfRunning(DeviceContext* device) {
    EnterTransportGate(device);
    if (InterlockedExchange(&device->m_bTransportRunning, FALSE) && device->m_pTransport != nullptr)
        StopTransport(device->m_pTransport, device);
    LeaveTransportGate(device);
}

VOID SetStreamState(PHW_STREAM_REQUEST_BLOCK srb, StreamContext* stream) {
    DeviceContext* device = stream->m_pDeviceContext;
    const KSSTATE previous = ReadStreamState(stream);
    const KSSTATE state = srb->CommandData.StreamState;
    WriteStreamState(stream, state);
    switch (state) {
        case KSSTATE_STOP: {
            FlushReadQueue(stream);
            StopTransportIfRunning(device);
            LARGE_INTEGER wait;
            wait.QuadPart = kStopWait;
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
            break;
        }
        case KSSTATE_PAUSE:
            if (previous == KSSTATE_STOP || previous == KSSTATE_ACQUIRE) {
                // A delivery queued before the stop may still be finishing; the counters are
                // reset once it has.
                WaitForDeliveries(stream);
                WriteRelease64(&stream->m_FrameInfo.PictureNumber, 0);
                WriteRelease64(&stream->m_FrameInfo.DropCount, 0);
                stream->m_FrameInfo.dwFrameFlags = 0;
                FramePumpTick(stream);
            }
            break;
        case KSSTATE_RUN:
            WriteLongRelease(&stream->m_bDiscontinuity, FALSE);
            WriteRelease64(&stream->m_NextFrameTime, 0);
            EnterTransportGate(device);
            if (!ReadLongAcquire(&device->m_bTransportRunning)) {
                RtlZeroMemory(device->m_pAssemblyBuffer, FRAME_BUFFER_SIZE);
                StartTransport(device);  // without transfers the stream runs without frames
                WriteLongRelease(&device->m_bTransportRunning, TRUE);
            }
            LeaveTransportGate(device);
            break;
        default:
            // KSSTATE_ACQUIRE and any other value are stored and do nothing more.
            break;
    }
}

// The output record of a stream property request for a known set, or null with the SRB failed:
// an id other than the set's one item is not implemented, an output too small for the record
// is refused.
PVOID PropertyOutput(PHW_STREAM_REQUEST_BLOCK srb, ULONG expectedId, ULONG size) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor->Property->Id != expectedId) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
        return nullptr;
    }
    if (descriptor->PropertyInfo == nullptr || descriptor->PropertyOutputSize < size) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        return nullptr;
    }
    return descriptor->PropertyInfo;
}

VOID GetStreamProperty(PHW_STREAM_REQUEST_BLOCK srb, StreamContext* stream) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->Property == nullptr ||
        descriptor->PropertyInputSize < sizeof(KSPROPERTY)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    const GUID& set = descriptor->Property->Set;
    if (IsEqualGUID(set, KSPROPSETID_Connection)) {
        auto* framing = static_cast<PKSALLOCATOR_FRAMING>(PropertyOutput(
            srb, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, sizeof(KSALLOCATOR_FRAMING)));
        if (framing == nullptr)
            return;
        RtlZeroMemory(framing, sizeof *framing);
        framing->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
                                     KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                     KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
        framing->PoolType = PagedPool;
        framing->Frames = 2;
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
        framing->FrameSize = stream->m_pVideoInfoHeader->bmiHeader.biSizeImage;
        KeReleaseSpinLock(&stream->m_FormatLock, irql);
        srb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
    } else if (IsEqualGUID(set, PROPSETID_VIDCAP_DROPPEDFRAMES)) {
        auto* dropped = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(PropertyOutput(
            srb, KSPROPERTY_DROPPEDFRAMES_CURRENT, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)));
        if (dropped == nullptr)
            return;
        dropped->PictureNumber = ReadAcquire64(&stream->m_FrameInfo.PictureNumber);
        dropped->DropCount = ReadAcquire64(&stream->m_FrameInfo.DropCount);
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
        dropped->AverageFrameSize = stream->m_ulFrameSize;
        KeReleaseSpinLock(&stream->m_FormatLock, irql);
        srb->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
    } else {
        srb->Status = STATUS_NOT_IMPLEMENTED;
    }
}

// Handles one control SRB of an open stream, under the stream's busy-queue.
VOID HandleStreamControl(PHW_STREAM_REQUEST_BLOCK srb) {
    StreamContext* stream = OpenStreamOf(srb);
    if (stream == nullptr) {
        srb->Status = STATUS_UNSUCCESSFUL;
        return;
    }
    switch (srb->Command) {
        case SRB_GET_STREAM_STATE: {
            const KSSTATE state = ReadStreamState(stream);
            srb->CommandData.StreamState = state;
            srb->ActualBytesTransferred = sizeof(KSSTATE);
            if (state == KSSTATE_PAUSE)
                srb->Status = STATUS_NO_DATA_DETECTED;
            break;
        }
        case SRB_SET_STREAM_STATE:
            SetStreamState(srb, stream);
            break;
        case SRB_GET_STREAM_PROPERTY:
            GetStreamProperty(srb, stream);
            break;
        case SRB_INDICATE_MASTER_CLOCK:
            WritePointerRelease(&stream->m_hMasterClock, srb->CommandData.MasterClockHandle);
            break;
        case SRB_PROPOSE_DATA_FORMAT:
            srb->Status = STATUS_NO_MATCH;
            break;
        case SRB_SET_DATA_FORMAT:
            if (!VerifyFormat(srb->CommandData.OpenFormat, srb->StreamObject->StreamNumber)) {
                srb->Status = STATUS_NO_MATCH;
            } else {
                SetStreamFormat(srb, stream);
            }
            break;
        default:
            srb->Status = STATUS_NOT_IMPLEMENTED;
            break;
    }
}

}  // namespace

BOOLEAN SetStreamFormat(PHW_STREAM_REQUEST_BLOCK srb, StreamContext* stream) {
    DeviceContext* device = DeviceOf(srb);
    auto* format =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(srb->CommandData.OpenFormat);
    const KS_VIDEOINFOHEADER* header = &format->VideoInfoHeader;
    const LONG position = FormatPosition(device, header);
    if (position < 0) {
        srb->Status = STATUS_NO_MATCH;
        return FALSE;
    }
    const SIZE_T size = 48 + header->bmiHeader.biSize;
    auto* copy =
        static_cast<PKS_VIDEOINFOHEADER>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_FORMAT));
    if (copy == nullptr) {
        srb->Status = STATUS_INSUFFICIENT_RESOURCES;
        return FALSE;
    }
    RtlCopyMemory(copy, header, size);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
    PKS_VIDEOINFOHEADER previous = stream->m_pVideoInfoHeader;
    stream->m_pVideoInfoHeader = copy;
    stream->m_ulFrameSize = copy->bmiHeader.biSizeImage;
    if (copy->AvgTimePerFrame != 0)
        stream->m_AvgTimePerFrame = copy->AvgTimePerFrame;
    KeReleaseSpinLock(&stream->m_FormatLock, irql);

    ReadCameraSettings(device, nullptr);  // a failure keeps the previous shadow
    // The transfer completions read the raw size while the stream may be running.
    __atomic_store_n(&device->m_ulImageWidth, static_cast<ULONG>(copy->bmiHeader.biWidth),
                     __ATOMIC_RELEASE);
    __atomic_store_n(&device->m_ulImageHeight, static_cast<ULONG>(copy->bmiHeader.biHeight),
                     __ATOMIC_RELEASE);
    // The block goes out from a copy: the shadow changes only under its lock, when the camera
    // has taken the block.
    UCHAR settings[CAMERA_BLOCK_SIZE];
    irql = KeAcquireSpinLockRaiseToDpc(&device->m_ShadowLock);
    RtlCopyMemory(settings, device->m_CameraSettings, sizeof settings);
    KeReleaseSpinLock(&device->m_ShadowLock, irql);
    settings[CAMERA_SETTINGS_READOUT_MODE] = g_ReadoutModes[position];
    settings[CAMERA_SETTINGS_READOUT_MODE_HIGH] = 0;
    WriteCameraSettings(device, settings);

    if (previous != nullptr)
        ExFreePoolWithTag(previous, TAG_FORMAT);
    return TRUE;
}

VOID OpenStream(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    if (srb->StreamObject == nullptr || srb->StreamObject->HwStreamExtension == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    StreamContext* stream = StreamOf(srb);
    RtlZeroMemory(stream, sizeof *stream);
    KeInitializeSpinLock(&stream->m_FormatLock);
    KeInitializeEvent(&stream->m_WorkItemDone, SynchronizationEvent, FALSE);

    const ULONG number = srb->StreamObject->StreamNumber;
    if (number != 0 ||
        device->m_ulStreamOpenCount[number] >= StreamInformation()->NumberOfPossibleInstances ||
        !VerifyFormat(srb->CommandData.OpenFormat, number)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (!SetStreamFormat(srb, stream))
        return;

    PHW_STREAM_OBJECT object = srb->StreamObject;
    object->ReceiveDataPacket = StreamReceiveDataPacket;
    object->ReceiveControlPacket = StreamReceiveControlPacket;
    object->Dma = FALSE;
    object->Pio = TRUE;
    object->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
    object->StreamHeaderWorkspace = 0;
    object->HwClockObject.HwClockFunction = nullptr;
    object->HwClockObject.ClockSupportFlags = 0;
    device->m_ulStreamOpenCount[number]++;
    stream->m_pDeviceContext = device;
    stream->m_pStreamObject = object;
    stream->m_lVideoControlMode = device->m_lDefaultVideoControlMode;
    WriteStreamState(stream, KSSTATE_STOP);
    SetStreamInSlot(device, number, stream);
}

VOID CloseStream(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    StreamContext* stream = srb->StreamObject != nullptr ? OpenStreamOf(srb) : nullptr;
    if (stream == nullptr) {
        srb->Status = STATUS_INVALID_PARAMETER;
        return;
    }
    const ULONG number = srb->StreamObject->StreamNumber;
    // The frame pump ends: its timer is disarmed (waiting for a tick that is running) and every
    // delivery it queued finishes before the record goes.
    WriteStreamState(stream, KSSTATE_STOP);
    FlushReadQueue(stream);
    StreamClassScheduleTimer(srb->StreamObject, device, 0, nullptr, nullptr);
    WaitForDeliveries(stream);
    StopTransportIfRunning(device);
    device->m_ulStreamOpenCount[number]--;
    SetStreamInSlot(device, number, nullptr);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stream->m_FormatLock);
    PKS_VIDEOINFOHEADER header = stream->m_pVideoInfoHeader;
    stream->m_pVideoInfoHeader = nullptr;
    KeReleaseSpinLock(&stream->m_FormatLock, irql);
    if (header != nullptr)
        ExFreePoolWithTag(header, TAG_FORMAT);
    WritePointerRelease(&stream->m_hMasterClock, nullptr);
}

VOID StreamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    srb->Status = STATUS_SUCCESS;
    if (srb->Command != SRB_READ_DATA) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
        CompleteStreamRequest(srb);
        return;
    }
    DeviceContext* device = DeviceOf(srb);
    StreamContext* stream = OpenStreamOf(srb);
    if (IsSurpriseRemoved(device) || stream == nullptr) {
        srb->ActualBytesTransferred = 0;
        if (srb->CommandData.DataBufferArray != nullptr)
            srb->CommandData.DataBufferArray->DataUsed = 0;
        srb->Status = IsSurpriseRemoved(device) ? STATUS_DEVICE_REMOVED : STATUS_UNSUCCESSFUL;
        CompleteStreamRequest(srb);
        return;
    }
    // The frame is written through the stream header, its data pointer and the frame information
    // that follows the header; a request without them is refused before it waits.
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    if (header == nullptr || srb->Irp == nullptr ||
        header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) ||
        (header->Data == nullptr && header->FrameExtent != 0)) {
        srb->Status = STATUS_INVALID_PARAMETER;
        CompleteStreamRequest(srb);
        return;
    }
    const ULONG number = srb->StreamObject->StreamNumber;
    PIRP irp = srb->Irp;
    irp->Tail.Overlay.DriverContext[0] = srb;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ReadQueueLock[number]);
    InsertTailList(&device->m_ReadQueue[number], &irp->Tail.Overlay.ListEntry);
    device->m_ulReadQueueCount[number]++;
    KeReleaseSpinLock(&device->m_ReadQueueLock[number], irql);
    if (ReadStreamState(stream) == KSSTATE_STOP) {
        // Stopped: take it out again (unless a flush got it first) and cancel it.
        if (RemoveQueuedRead(device, number, srb))
            CompleteReadCancelled(srb);
    }
}

VOID StreamReceiveControlPacket(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    const ULONG number = srb->StreamObject->StreamNumber;
    if (number >= HALVEX_MAX_STREAMS) {
        srb->Status = STATUS_INVALID_PARAMETER;
        CompleteStreamRequest(srb);
        return;
    }
    RunSerialized(device, &device->m_StreamRequestQueue[number], &device->m_bStreamBusy[number],
                  srb, HandleStreamControl, CompleteStreamRequest);
}
