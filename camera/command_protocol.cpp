#include "camera/command_protocol.h"

#include "camera/auto_exposure.h"

namespace {

// How each block travels and where its shadow lives.
struct BlockTransfer {
    UCHAR request;
    USHORT length;
    USHORT value;
    USHORT index;
    UCHAR headerByte0;  // written into byte 0 before a write; 0 = no header
};

constexpr BlockTransfer kInfo = {CAMERA_REQUEST_INFO, CAMERA_BLOCK_SIZE, 0, 0, 0};
constexpr BlockTransfer kSettings = {CAMERA_REQUEST_SETTINGS, CAMERA_BLOCK_SIZE, 0, 0, 64};
constexpr BlockTransfer kBlock13 = {CAMERA_REQUEST_BLOCK13, CAMERA_BLOCK13_SIZE, 0, 0, 0};
constexpr BlockTransfer kExposure = {CAMERA_REQUEST_EXPOSURE, CAMERA_BLOCK_SIZE, 0, 0, 64};
// Byte 0 of block 0x22 is 6, not its transfer length.
constexpr BlockTransfer kBlock22 = {CAMERA_REQUEST_BLOCK22, CAMERA_BLOCK22_SIZE, 0, 0, 6};
constexpr BlockTransfer kBlockF0 = {CAMERA_REQUEST_BLOCKF0, CAMERA_BLOCK_SIZE, 0, 0, 0};
constexpr BlockTransfer kBlockF9 = {CAMERA_REQUEST_BLOCKF9, CAMERA_BLOCKF9_SIZE,
                                    CAMERA_BLOCKF9_VALUE, CAMERA_BLOCKF9_INDEX, 0};

NTSTATUS ReadBlock(DeviceContext* device, const BlockTransfer& block, PUCHAR shadow,
                   PUCHAR destination) {
    UCHAR buffer[CAMERA_BLOCKF9_SIZE];
    RtlZeroMemory(buffer, block.length);
    NTSTATUS status = SendVendorRequest(device, VENDOR_REQUEST_READ, block.request, block.value,
                                        block.index, buffer, block.length, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ShadowLock);
    RtlCopyMemory(shadow, buffer, block.length);
    KeReleaseSpinLock(&device->m_ShadowLock, irql);
    if (destination != nullptr) {
        RtlZeroMemory(destination, block.length);
        RtlCopyMemory(destination, buffer, block.length);
    }
    return status;
}

NTSTATUS WriteBlock(DeviceContext* device, const BlockTransfer& block, PUCHAR shadow,
                    PUCHAR source) {
    if (block.headerByte0 != 0) {
        source[0] = block.headerByte0;
        source[1] = block.request;
    }
    NTSTATUS status = SendVendorRequest(device, VENDOR_REQUEST_WRITE, block.request, block.value,
                                        block.index, source, block.length, nullptr);
    if (NT_SUCCESS(status)) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->m_ShadowLock);
        RtlCopyMemory(shadow, source, block.length);
        KeReleaseSpinLock(&device->m_ShadowLock, irql);
    }
    return status;
}

}  // namespace

NTSTATUS SubmitUrbSync(DeviceContext* device, PVOID urb) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             device->m_pPhysicalDeviceObject, nullptr, 0, nullptr,
                                             0, TRUE, &event, &ioStatus);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IoCallDriver(device->m_pPhysicalDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS SendVendorRequest(DeviceContext* device, UCHAR direction, UCHAR request, USHORT value,
                           USHORT index, PVOID buffer, USHORT length, PUSHORT transferred) {
    auto* urb = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TAG_COMMAND));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof *urb);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb->TransferFlags = direction == VENDOR_REQUEST_READ ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb->TransferBufferLength = length;
    urb->TransferBuffer = buffer;
    urb->Request = request;
    urb->Value = value;
    urb->Index = index;

    NTSTATUS status = SubmitUrbSync(device, urb);
    if (NT_SUCCESS(status) && transferred != nullptr) {
        *transferred = static_cast<USHORT>(urb->TransferBufferLength & 0xFFFF);
    }
    ExFreePoolWithTag(urb, TAG_COMMAND);
    return status;
}

NTSTATUS ReadCameraInfo(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kInfo, device->m_CameraInfo, destination);
}
NTSTATUS ReadCameraSettings(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kSettings, device->m_CameraSettings, destination);
}
NTSTATUS ReadBlock13(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kBlock13, device->m_Block13, destination);
}
NTSTATUS ReadExposureBlock(DeviceContext* device, PUCHAR destination) {
    NTSTATUS status = ReadBlock(device, kExposure, device->m_ExposureBlock, destination);
    // The reader sees the driver's live shutter, gain and automatic parameters; the shadow keeps
    // the camera's bytes.
    if (NT_SUCCESS(status) && destination != nullptr && device->m_pAutoExposure != nullptr)
        ExposureRecordToBlock(device->m_pAutoExposure, destination);
    return status;
}
NTSTATUS ReadBlock22(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kBlock22, device->m_Block22, destination);
}
NTSTATUS ReadBlockF0(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kBlockF0, device->m_BlockF0, destination);
}
NTSTATUS ReadBlockF9(DeviceContext* device, PUCHAR destination) {
    return ReadBlock(device, kBlockF9, device->m_BlockF9, destination);
}

NTSTATUS WriteCameraSettings(DeviceContext* device, PUCHAR source) {
    return WriteBlock(device, kSettings, device->m_CameraSettings, source);
}
NTSTATUS WriteBlock13(DeviceContext* device, PUCHAR source) {
    return WriteBlock(device, kBlock13, device->m_Block13, source);
}
NTSTATUS WriteExposureBlock(DeviceContext* device, PUCHAR source) {
    // The block's parameters become the record's whether or not the transfer then succeeds.
    if (device->m_pAutoExposure != nullptr)
        ExposureBlockToRecord(device->m_pAutoExposure, source);
    return WriteBlock(device, kExposure, device->m_ExposureBlock, source);
}
NTSTATUS WriteBlock22(DeviceContext* device, PUCHAR source) {
    return WriteBlock(device, kBlock22, device->m_Block22, source);
}

NTSTATUS ReadRegister(DeviceContext* device, ULONG number, PUSHORT destination) {
    if (number >= CAMERA_REGISTER_COUNT)
        return STATUS_INVALID_PARAMETER;
    UCHAR value[2] = {0, 0};
    NTSTATUS status =
        SendVendorRequest(device, VENDOR_REQUEST_READ, CAMERA_REQUEST_REGISTER,
                          static_cast<USHORT>(0x0080 + number), 0, value, sizeof value, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    device->m_Registers[number] = ReadLe16(value);
    if (destination != nullptr) {
        RtlZeroMemory(destination, sizeof device->m_Registers);
        RtlCopyMemory(destination, device->m_Registers, sizeof device->m_Registers);
    }
    return status;
}

NTSTATUS WriteRegister(DeviceContext* device, const USHORT* source, ULONG number) {
    if (number >= CAMERA_REGISTER_COUNT)
        return STATUS_INVALID_PARAMETER;
    // Register 80 is written with its plain number; every other with the write bit 0x8000.
    const USHORT wValue = number == 80 ? USHORT(80) : static_cast<USHORT>(0x8000 + number);
    UCHAR value[2];
    WriteLe16(value, source[number]);
    NTSTATUS status = SendVendorRequest(device, VENDOR_REQUEST_WRITE, CAMERA_REQUEST_REGISTER,
                                        wValue, 0, value, sizeof value, nullptr);
    if (NT_SUCCESS(status))
        device->m_Registers[number] = source[number];
    return status;
}
