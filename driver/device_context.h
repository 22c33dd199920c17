// DeviceContext: the per-adapter record (the stream class's device extension), zero-filled when
// the stream class creates it; RequestEntry: the per-request extension that chains waiting SRBs.
#pragma once

#include "driver/stream_context.h"
#include "platform/platform.h"

// Stream numbers index the six-entry arrays; the driver publishes stream 0 only.
#define HALVEX_MAX_STREAMS 6

// Camera block sizes and the register file (see the command protocol).
#define CAMERA_BLOCK_SIZE 64
#define CAMERA_BLOCK13_SIZE 6
#define CAMERA_BLOCK22_SIZE 10
#define CAMERA_BLOCKF9_SIZE 256
#define CAMERA_REGISTER_COUNT 108

// The settings snapshot record.
#define SETTINGS_SNAPSHOT_SIZE 1557

// Both raw frame buffers hold 6 MiB.
#define FRAME_BUFFER_SIZE 0x600000

struct SharpnessFilter;
struct LookupTables;
class WhiteBalance;
struct AutoExposure;
class RawPreprocessor;
class GridStatistics;
struct ColorCorrection;
struct TransportContext;

// The per-request extension: a link in a busy-queue and the SRB that owns it.
struct RequestEntry {
    LIST_ENTRY m_ListEntry;
    PHW_STREAM_REQUEST_BLOCK m_pSrb;
};

// Values of m_bRequestQueueReady.
#define REQUEST_QUEUE_UNINITIALISED 0
#define REQUEST_QUEUE_INITIALISING 1
#define REQUEST_QUEUE_READY 2

struct DeviceContext {
    // --- Request serialisation ---
    volatile LONG m_bRequestQueueReady;  // one of REQUEST_QUEUE_*
    // Guards m_AdapterRequestQueue, m_bAdapterBusy, every m_StreamRequestQueue and m_bStreamBusy.
    KSPIN_LOCK m_RequestLock;
    LIST_ENTRY m_AdapterRequestQueue;
    LONG m_bAdapterBusy;

    // --- Streams (indexed by stream number) ---
    StreamContext* m_pStreamContext[HALVEX_MAX_STREAMS];
    ULONG m_ulStreamOpenCount[HALVEX_MAX_STREAMS];
    LIST_ENTRY m_ReadQueue[HALVEX_MAX_STREAMS];
    // Entry n guards m_ReadQueue[n] and m_ulReadQueueCount[n].
    KSPIN_LOCK m_ReadQueueLock[HALVEX_MAX_STREAMS];
    ULONG m_ulReadQueueCount[HALVEX_MAX_STREAMS];
    LIST_ENTRY m_StreamRequestQueue[HALVEX_MAX_STREAMS];
    LONG m_bStreamBusy[HALVEX_MAX_STREAMS];

    // --- Device ---
    PDEVICE_OBJECT m_pPhysicalDeviceObject;
    PDEVICE_OBJECT m_pWorkItemDeviceObject;
    LONG m_bSurpriseRemoved;  // set once, never cleared; read without a lock (atomic access)
    DEVICE_POWER_STATE m_DevicePowerState;
    PUSB_CONFIGURATION_DESCRIPTOR m_pConfigurationDescriptor;  // owned (tag usbb)
    USBD_PIPE_INFORMATION m_BulkInPipe;
    ULONG m_ulImageWidth;
    ULONG m_ulImageHeight;
    LONG m_lDefaultVideoControlMode;
    ULONG m_ulVideoDecoderStandard;
    ULONG m_ulVideoDecoderOutputEnable;
    ULONG m_ulVideoDecoderVcrTiming;
    // Flags of the last proc-amp set of brightness, contrast and gamma, reported back by get.
    // Property requests run one at a time through the adapter busy-queue.
    ULONG m_dwBrightnessFlags;
    ULONG m_dwContrastFlags;
    ULONG m_dwGammaFlags;

    // --- Camera shadows: the last value exchanged with the camera ---
    // Guards the shadow blocks below while the command protocol copies into them and while
    // another context reads a field of one (the pipeline reads the arrangement code, the
    // automatic exposure the time base). Never held across a camera command.
    KSPIN_LOCK m_ShadowLock;
    UCHAR m_CameraInfo[CAMERA_BLOCK_SIZE];
    UCHAR m_CameraSettings[CAMERA_BLOCK_SIZE];
    UCHAR m_Block13[CAMERA_BLOCK13_SIZE];
    UCHAR m_ExposureBlock[CAMERA_BLOCK_SIZE];
    UCHAR m_Block22[CAMERA_BLOCK22_SIZE];
    UCHAR m_BlockF0[CAMERA_BLOCK_SIZE];
    UCHAR m_BlockF9[CAMERA_BLOCKF9_SIZE];
    USHORT m_Registers[CAMERA_REGISTER_COUNT];

    // --- Processing objects, in allocation order ---
    SharpnessFilter* m_pSharpnessFilter;
    LookupTables* m_pLookupTables;
    WhiteBalance* m_pWhiteBalance;
    AutoExposure* m_pAutoExposure;
    RawPreprocessor* m_pRawPreprocessor;
    GridStatistics* m_pGridStatistics;
    ColorCorrection* m_pColorCorrection;

    // --- Pipeline settings (written by property requests, read by the delivery work item:
    // accessed through the functions below) ---
    USHORT m_wRotationMode;
    UCHAR m_byteConversionMethod;

    // --- Settings snapshot ---
    UCHAR m_SettingsBlock[SETTINGS_SNAPSHOT_SIZE];

    // Held (a synchronisation event used as a gate) by whoever starts or stops the transport at
    // PASSIVE_LEVEL: stream state changes, close and the capture restart of register 48.
    KEVENT m_TransportGate;

    // --- Application events (registered through the vendor property set) ---
    PKEVENT m_pUserEvent0;  // set by the transport on a zero-length or overlong transfer
    PKEVENT m_pUserEvent1;

    // --- Frame capture ---
    PUCHAR m_pAssemblyBuffer;  // owned, FRAME_BUFFER_SIZE (tag eeee)
    PUCHAR m_pFrameBuffer;     // owned, FRAME_BUFFER_SIZE (tag eeee)
    TransportContext* m_pTransport;
    // Written by state changes, close and capture restarts, read by surprise removal: atomic.
    LONG m_bTransportRunning;
    // Assembly state: touched only by the one transfer completion that holds the transport's
    // assembly turn (see the transport), one at a time in data order.
    ULONG m_ulFrameHeaderValue;
    ULONG m_ulAssembledBytes;
    // Frame hand-over between the transport and the frame pump, both accessed atomically.
    // m_bWorkItemPending is one of WORK_ITEM_*: the frame pump owns m_pFrameBuffer while it is
    // WORK_ITEM_PENDING, the transport while it is WORK_ITEM_HANDOVER (copying a new frame in),
    // and either may take it from WORK_ITEM_IDLE with a compare-exchange, so the flag test and
    // the copy are one step. m_bFrameReady is set by the transport and cleared by the pump, each
    // while it owns the buffer.
    LONG m_bFrameReady;
    LONG m_bWorkItemPending;
};

// Owners of m_pFrameBuffer (values of m_bWorkItemPending).
#define WORK_ITEM_IDLE 0
#define WORK_ITEM_PENDING 1
#define WORK_ITEM_HANDOVER 2

inline UCHAR ConversionMethod(const DeviceContext* device) {
    return __atomic_load_n(&device->m_byteConversionMethod, __ATOMIC_ACQUIRE);
}
inline VOID SetConversionMethod(DeviceContext* device, UCHAR method) {
    __atomic_store_n(&device->m_byteConversionMethod, method, __ATOMIC_RELEASE);
}
inline USHORT RotationMode(const DeviceContext* device) {
    return __atomic_load_n(&device->m_wRotationMode, __ATOMIC_ACQUIRE);
}
inline VOID SetRotationMode(DeviceContext* device, USHORT mode) {
    __atomic_store_n(&device->m_wRotationMode, mode, __ATOMIC_RELEASE);
}

// The transport gate (see m_TransportGate).
inline VOID EnterTransportGate(DeviceContext* device) {
    KeWaitForSingleObject(&device->m_TransportGate, Executive, KernelMode, FALSE, nullptr);
}
inline VOID LeaveTransportGate(DeviceContext* device) {
    KeSetEvent(&device->m_TransportGate, IO_NO_INCREMENT, FALSE);
}

// A 16-bit little-endian field of a camera shadow block, read under m_ShadowLock.
inline USHORT ReadShadow16(DeviceContext* device, const UCHAR* shadow, ULONG offset) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ShadowLock);
    const USHORT value = static_cast<USHORT>(shadow[offset] | shadow[offset + 1] << 8);
    KeReleaseSpinLock(&device->m_ShadowLock, irql);
    return value;
}

inline DeviceContext* DeviceOf(PHW_STREAM_REQUEST_BLOCK srb) {
    return static_cast<DeviceContext*>(srb->HwDeviceExtension);
}

inline BOOLEAN IsSurpriseRemoved(DeviceContext* device) {
    return ReadLongAcquire(&device->m_bSurpriseRemoved) != 0;
}

// The open stream of a stream number, or null. Slots change under the adapter busy-queue and are
// read from other contexts, so they are accessed atomically.
inline StreamContext* StreamInSlot(DeviceContext* device, ULONG number) {
    return __atomic_load_n(&device->m_pStreamContext[number], __ATOMIC_ACQUIRE);
}
inline VOID SetStreamInSlot(DeviceContext* device, ULONG number, StreamContext* stream) {
    __atomic_store_n(&device->m_pStreamContext[number], stream, __ATOMIC_RELEASE);
}

// Pool tags.
#define TAG_FRAME_BUFFER HalvexPoolTag("eeee")
#define TAG_PROCESSING HalvexPoolTag("DkSy")
#define TAG_USB_CONFIG HalvexPoolTag("usbb")
#define TAG_COMMAND HalvexPoolTag("jjjj")
#define TAG_FORMAT HalvexPoolTag("kkkk")
#define TAG_WORK_ITEM HalvexPoolTag("llll")
#define TAG_TRANSPORT HalvexPoolTag("mmmm")
#define TAG_TRANSFER_SLOT HalvexPoolTag("nnnn")
#define TAG_TRANSFER_BUFFER HalvexPoolTag("oooo")
#define TAG_BULK_URB HalvexPoolTag("pppp")
#define TAG_SNAPSHOT HalvexPoolTag("HLVX")
