#include "driver/startup.h"

#include "camera/command_protocol.h"
#include "driver/camera_models.h"
#include "driver/processing_objects.h"

namespace {

// Every pipe of the first interface is given this maximum transfer size before selection.
constexpr ULONG kPipeMaximumTransferSize = 4096;

PVOID AllocateUsb(SIZE_T size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, TAG_USB_CONFIG);
}

VOID FreeIfPresent(PVOID p, ULONG tag) {
    if (p != nullptr)
        ExFreePoolWithTag(p, tag);
}

// Reads descriptor (type, index 0, language 0) into buffer with a GET_DESCRIPTOR URB. On success
// *received holds the byte count the device returned.
NTSTATUS ReadDescriptor(DeviceContext* device, _URB_CONTROL_DESCRIPTOR_REQUEST* urb, UCHAR type,
                        PVOID buffer, ULONG length, PULONG received) {
    RtlZeroMemory(urb, sizeof *urb);
    RtlZeroMemory(buffer, length);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->DescriptorType = type;
    urb->Index = 0;
    urb->LanguageId = 0;
    urb->TransferBuffer = buffer;
    urb->TransferBufferLength = length;
    NTSTATUS status = SubmitUrbSync(device, urb);
    *received = urb->TransferBufferLength < length ? urb->TransferBufferLength : length;
    return status;
}

// Reads the configuration descriptor, selects configuration 0 with alternate setting 0 of every
// interface, and keeps the bulk IN pipe of the first interface. On success the full descriptor
// is left in m_pConfigurationDescriptor; everything else it allocates is released.
NTSTATUS SelectConfiguration(DeviceContext* device) {
    NTSTATUS status;
    ULONG received = 0;
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    PUSBD_INTERFACE_LIST_ENTRY interfaces = nullptr;
    PURB select = nullptr;
    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(
        AllocateUsb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    auto* deviceDescriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateUsb(sizeof(USB_DEVICE_DESCRIPTOR)));
    auto* header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        AllocateUsb(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (urb == nullptr || deviceDescriptor == nullptr || header == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }

    // The device descriptor is read but not used.
    status = ReadDescriptor(device, urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor,
                            sizeof(USB_DEVICE_DESCRIPTOR), &received);
    if (!NT_SUCCESS(status))
        goto Done;

    status = ReadDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                            sizeof(USB_CONFIGURATION_DESCRIPTOR), &received);
    if (!NT_SUCCESS(status))
        goto Done;
    // A descriptor too short to hold its own header cannot be parsed.
    if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        header->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }
    {
        const ULONG total = header->wTotalLength;
        config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateUsb(total));
        if (config == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Done;
        }
        status = ReadDescriptor(device, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total,
                                &received);
        if (!NT_SUCCESS(status))
            goto Done;
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_UNSUCCESSFUL;
            goto Done;
        }
        // The copy is parsed only as far as bytes arrived into it, whatever length it claims.
        config->wTotalLength = static_cast<USHORT>(received);
    }

    interfaces = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocateUsb(sizeof(USBD_INTERFACE_LIST_ENTRY) * (config->bNumInterfaces + 1)));
    if (interfaces == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    {
        ULONG found = 0;
        for (LONG number = 0; number < config->bNumInterfaces; ++number) {
            PUSB_INTERFACE_DESCRIPTOR id =
                USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
            if (id != nullptr) {
                interfaces[found].InterfaceDescriptor = id;
                interfaces[found].Interface = nullptr;
                ++found;
            }
        }
        interfaces[found].InterfaceDescriptor = nullptr;
        interfaces[found].Interface = nullptr;
    }

    select = USBD_CreateConfigurationRequestEx(config, interfaces);
    if (select == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    {
        PUSBD_INTERFACE_INFORMATION first = interfaces[0].Interface;
        if (first != nullptr) {
            for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
                first->Pipes[i].MaximumTransferSize = kPipeMaximumTransferSize;
            }
        }
        status = SubmitUrbSync(device, select);
        if (!NT_SUCCESS(status))
            goto Done;
        if (first != nullptr) {
            for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
                const USBD_PIPE_INFORMATION& pipe = first->Pipes[i];
                if (pipe.PipeType == UsbdPipeTypeBulk &&
                    (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) {
                    device->m_BulkInPipe = pipe;  // the last one wins
                }
            }
        }
    }
    device->m_pConfigurationDescriptor = config;
    config = nullptr;

Done:
    FreeIfPresent(select, 0);
    FreeIfPresent(interfaces, TAG_USB_CONFIG);
    FreeIfPresent(config, TAG_USB_CONFIG);
    FreeIfPresent(header, TAG_USB_CONFIG);
    FreeIfPresent(deviceDescriptor, TAG_USB_CONFIG);
    FreeIfPresent(urb, TAG_USB_CONFIG);
    return status;
}

// Ends a failed start-up: releases what it allocated so the device stays unstarted.
NTSTATUS FailStartup(DeviceContext* device, NTSTATUS status) {
    ReleaseProcessingObjects(device);
    ReleaseStartupResources(device);
    return status;
}

}  // namespace

VOID ReleaseStartupResources(DeviceContext* device) {
    if (device->m_pConfigurationDescriptor != nullptr) {
        ExFreePoolWithTag(device->m_pConfigurationDescriptor, TAG_USB_CONFIG);
        device->m_pConfigurationDescriptor = nullptr;
    }
    if (device->m_pAssemblyBuffer != nullptr) {
        ExFreePoolWithTag(device->m_pAssemblyBuffer, TAG_FRAME_BUFFER);
        device->m_pAssemblyBuffer = nullptr;
    }
    if (device->m_pFrameBuffer != nullptr) {
        ExFreePoolWithTag(device->m_pFrameBuffer, TAG_FRAME_BUFFER);
        device->m_pFrameBuffer = nullptr;
    }
}

NTSTATUS StartDevice(PHW_STREAM_REQUEST_BLOCK srb) {
    DeviceContext* device = DeviceOf(srb);
    PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
    if (config == nullptr || config->PhysicalDeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A device that is already started keeps what it has.
    if (device->m_pFrameBuffer != nullptr || device->m_pAssemblyBuffer != nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (config->NumberOfAccessRanges != 0)
        return STATUS_NO_SUCH_DEVICE;
    KeInitializeSpinLock(&device->m_ShadowLock);

    device->m_pAssemblyBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, FRAME_BUFFER_SIZE, TAG_FRAME_BUFFER));
    if (device->m_pAssemblyBuffer == nullptr)
        return FailStartup(device, STATUS_UNSUCCESSFUL);
    device->m_pFrameBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, FRAME_BUFFER_SIZE, TAG_FRAME_BUFFER));
    if (device->m_pFrameBuffer == nullptr)
        return FailStartup(device, STATUS_UNSUCCESSFUL);

    device->m_pPhysicalDeviceObject = config->PhysicalDeviceObject;
    device->m_pWorkItemDeviceObject = config->RealPhysicalDeviceObject != nullptr
                                          ? config->RealPhysicalDeviceObject
                                          : config->PhysicalDeviceObject;

    for (ULONG i = 0; i < HALVEX_MAX_STREAMS; ++i) SetStreamInSlot(device, i, nullptr);
    WriteLongRelease(&device->m_bSurpriseRemoved, FALSE);
    device->m_DevicePowerState = PowerDeviceD0;
    WriteLongRelease(&device->m_bTransportRunning, FALSE);
    KeInitializeEvent(&device->m_TransportGate, SynchronizationEvent, TRUE);
    device->m_ulVideoDecoderStandard = KS_AnalogVideo_NTSC_M;
    device->m_ulVideoDecoderOutputEnable = 0;
    device->m_ulVideoDecoderVcrTiming = 0;

    config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);

    for (ULONG i = 0; i < HALVEX_MAX_STREAMS; ++i) {
        InitializeListHead(&device->m_ReadQueue[i]);
        KeInitializeSpinLock(&device->m_ReadQueueLock[i]);
        device->m_ulReadQueueCount[i] = 0;
        InitializeListHead(&device->m_StreamRequestQueue[i]);
    }

    NTSTATUS status = SelectConfiguration(device);
    if (!NT_SUCCESS(status))
        return FailStartup(device, status);

    status = ReadCameraInfo(device, nullptr);
    if (!NT_SUCCESS(status))
        return FailStartup(device, status);

    const CameraModel* model =
        FindCameraModel(ReadLe16(&device->m_CameraInfo[CAMERA_INFO_MODEL_CODE]));
    if (model == nullptr) {
        device->m_ulImageWidth = 0;
        device->m_ulImageHeight = 0;
        return FailStartup(device, STATUS_NO_SUCH_DEVICE);
    }
    device->m_ulImageWidth = model->width;
    device->m_ulImageHeight = model->height;
    HW_STREAM_INFORMATION* info = StreamInformation();
    info->NumberOfFormatArrayEntries = model->formatCount;
    info->StreamFormatsArray = FindFormatList(model->width)->formats;

    status = ReadCameraSettings(device, nullptr);
    if (!NT_SUCCESS(status))
        return FailStartup(device, status);

    status = CreateProcessingObjects(device);
    if (!NT_SUCCESS(status))
        return FailStartup(device, status);

    SetRotationMode(device, 0);
    SetConversionMethod(device, 3);
    return STATUS_SUCCESS;
}
