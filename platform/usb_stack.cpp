#include "platform/usb_stack.h"

#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/runtime.h"
#include "platform/verifier.h"

namespace halvex::platform {

NTSTATUS UsbdToNtStatus(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return STATUS_IO_DEVICE_ERROR;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return STATUS_INVALID_PARAMETER;
        default:
            return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

namespace {
std::mutex g_stackMutex;  // guards g_stacks and g_transfers
std::map<PDEVICE_OBJECT, UsbStack*> g_stacks;
}  // namespace

// A bulk transfer in progress: the IRP and URB it came with.
class UsbStack::Transfer final : public UsbTransfer {
  public:
    Transfer(UsbStack& stack, PIRP irp, _URB_BULK_OR_INTERRUPT_TRANSFER& urb, UCHAR endpoint)
        : m_stack(stack), m_irp(irp), m_urb(urb), m_endpoint(endpoint) {}
    UCHAR Endpoint() const override { return m_endpoint; }
    UCHAR* Buffer() const override { return static_cast<UCHAR*>(m_urb.TransferBuffer); }
    ULONG Length() const override { return m_urb.TransferBufferLength; }
    void Finish(USBD_STATUS status, ULONG transferred) override {
        FinishWithIrpStatus(status, transferred, UsbdToNtStatus(status));
    }
    void FinishWithIrpStatus(USBD_STATUS status, ULONG transferred, NTSTATUS irpStatus) override;
    bool CancelRequested() const override { return m_cancelRequested.load(); }
    static void Cancel(PDEVICE_OBJECT device, PIRP irp);

    UsbStack& m_stack;
    PIRP m_irp;
    _URB_BULK_OR_INTERRUPT_TRANSFER& m_urb;
    UCHAR m_endpoint;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_cancelRequested{false};
};

namespace {
std::map<PIRP, std::shared_ptr<UsbTransfer>> g_transfers;
}

void UsbStack::Transfer::FinishWithIrpStatus(USBD_STATUS status, ULONG transferred,
                                             NTSTATUS irpStatus) {
    if (m_finished.exchange(true)) {
        Verifier::Report("USB transfer on endpoint 0x%02X finished twice", m_endpoint);
        return;
    }
    IoSetCancelRoutine(m_irp, nullptr);
    if (m_stack.m_unplugged && status == USBD_STATUS_SUCCESS)
        status = USBD_STATUS_DEVICE_GONE;
    m_urb.Hdr.Status = status;
    m_urb.TransferBufferLength = USBD_SUCCESS(status) ? std::min(transferred, Length()) : 0;
    if (m_stack.m_unplugged)
        irpStatus = UsbdToNtStatus(status);
    PIRP irp = m_irp;
    UsbStack& stack = m_stack;
    std::shared_ptr<UsbTransfer> self;
    {
        std::lock_guard<std::mutex> lock(g_stackMutex);
        auto it = g_transfers.find(irp);
        if (it != g_transfers.end()) {
            self = std::move(it->second);
            g_transfers.erase(it);
        }
    }
    stack.Complete(irp, irpStatus, true);
}

void UsbStack::Transfer::Cancel(PDEVICE_OBJECT, PIRP irp) {
    std::shared_ptr<UsbTransfer> transfer;
    {
        std::lock_guard<std::mutex> lock(g_stackMutex);
        auto it = g_transfers.find(irp);
        if (it != g_transfers.end())
            transfer = it->second;
    }
    if (transfer) {
        auto* t = static_cast<Transfer*>(transfer.get());
        t->m_cancelRequested = true;
        t->m_stack.m_model.CancelTransfer(transfer.get());
    }
}

UsbStack::UsbStack(UsbDeviceModel& model) : m_model(model) {
    // HALVEX_USB_FORCED_PENDING=1 starts every stack in forced-pending mode, so that a whole test
    // suite can run with every request completing from the completion thread.
    const char* forced = std::getenv("HALVEX_USB_FORCED_PENDING");
    m_forcedPending = forced != nullptr && std::strcmp(forced, "0") != 0;
    m_driver.Type = 4;
    m_driver.Size = sizeof(DRIVER_OBJECT);
    m_driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &UsbStack::Dispatch;
    m_device.Type = 3;
    m_device.Size = sizeof(DEVICE_OBJECT);
    m_device.DriverObject = &m_driver;
    m_device.StackSize = 1;
    std::lock_guard<std::mutex> lock(g_stackMutex);
    g_stacks[&m_device] = this;
}

UsbStack::~UsbStack() {
    std::lock_guard<std::mutex> lock(g_stackMutex);
    g_stacks.erase(&m_device);
    for (auto& [irp, transfer] : g_transfers) {
        if (&static_cast<Transfer*>(transfer.get())->m_stack == this) {
            Verifier::Report("USB stack removed with a transfer still in progress");
        }
    }
}

void UsbStack::Complete(PIRP irp, NTSTATUS status, bool pending) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    if (!pending) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    Runtime::Post(
        Lane::UsbCompletion, Runtime::Now(), [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); },
        "a USB request completion");
}

NTSTATUS UsbStack::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UsbStack* stack = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_stackMutex);
        auto it = g_stacks.find(device);
        if (it != g_stacks.end())
            stack = it->second;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    bool transferPending = false;
    if (stack == nullptr ||
        location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        status = STATUS_NOT_SUPPORTED;
    } else if (location->Parameters.Others.Argument1 == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        stack->m_requests++;
        status = stack->Process(static_cast<PURB>(location->Parameters.Others.Argument1), irp,
                                &transferPending);
    }
    if (transferPending)
        return STATUS_PENDING;  // marked pending before the model saw it; it may be gone now
    const bool pending = stack != nullptr && stack->m_forcedPending;
    if (pending)
        IoMarkIrpPending(irp);
    if (stack != nullptr) {
        stack->Complete(irp, status, pending);
    } else {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return pending ? STATUS_PENDING : status;
}

NTSTATUS UsbStack::Process(PURB urb, PIRP irp, bool* pendingTransfer) {
    _URB_HEADER& hdr = urb->UrbHeader;
    if (m_unplugged) {
        hdr.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    switch (hdr.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(urb->UrbSelectConfiguration);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            if (hdr.Length < sizeof r ||
                (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr) ||
                r.TransferBufferLength > 0xFFFF) {
                hdr.Status = USBD_STATUS_INVALID_PARAMETER;
                return STATUS_INVALID_PARAMETER;
            }
            UsbResult res = m_model.GetDescriptor(r.DescriptorType, r.Index, r.LanguageId,
                                                  static_cast<UCHAR*>(r.TransferBuffer),
                                                  r.TransferBufferLength);
            hdr.Status = res.usbd;
            r.TransferBufferLength =
                USBD_SUCCESS(res.usbd) ? std::min(res.transferred, r.TransferBufferLength) : 0;
            return UsbdToNtStatus(res.usbd);
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            auto& r = urb->UrbControlVendorClassRequest;
            if (hdr.Length < sizeof r ||
                (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr) ||
                r.TransferBufferLength > 0xFFFF) {
                hdr.Status = USBD_STATUS_INVALID_PARAMETER;
                return STATUS_INVALID_PARAMETER;
            }
            UsbSetupPacket setup;
            setup.bmRequestType =
                static_cast<UCHAR>(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00) |
                                   0x40 | (r.RequestTypeReservedBits & 0x1F));
            setup.bRequest = r.Request;
            setup.wValue = r.Value;
            setup.wIndex = r.Index;
            setup.wLength = static_cast<USHORT>(r.TransferBufferLength);
            UsbResult res = m_model.ControlTransfer(setup, static_cast<UCHAR*>(r.TransferBuffer));
            hdr.Status = res.usbd;
            r.TransferBufferLength =
                USBD_SUCCESS(res.usbd) ? std::min(res.transferred, r.TransferBufferLength) : 0;
            return UsbdToNtStatus(res.usbd);
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            NTSTATUS status = BulkTransfer(urb->UrbBulkOrInterruptTransfer, irp);
            *pendingTransfer = status == STATUS_PENDING;
            return status;
        }
        default:
            hdr.Status = USBD_STATUS_INVALID_URB_FUNCTION;
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS UsbStack::BulkTransfer(_URB_BULK_OR_INTERRUPT_TRANSFER& urb, PIRP irp) {
    Pipe* pipe = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_pipeMutex);
        for (auto& p : m_pipes) {
            if (p.get() == urb.PipeHandle)
                pipe = p.get();
        }
    }
    if (urb.Hdr.Length < sizeof urb || pipe == nullptr ||
        (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
        (urb.TransferBufferLength > 0 && urb.TransferBuffer == nullptr)) {
        urb.Hdr.Status =
            pipe == nullptr ? USBD_STATUS_INVALID_PIPE_HANDLE : USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    // Marked pending before anything can complete it on another thread.
    IoMarkIrpPending(irp);
    auto transfer = std::make_shared<Transfer>(*this, irp, urb, pipe->endpoint);
    {
        std::lock_guard<std::mutex> lock(g_stackMutex);
        g_transfers[irp] = transfer;
    }
    urb.Hdr.Status = USBD_STATUS_PENDING;
    IoSetCancelRoutine(irp, &Transfer::Cancel);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) &&
        IoSetCancelRoutine(irp, nullptr) != nullptr) {
        transfer->Finish(USBD_STATUS_CANCELED, 0);
        return STATUS_PENDING;
    }
    m_model.SubmitTransfer(transfer.get());
    return STATUS_PENDING;
}

NTSTATUS UsbStack::SelectConfiguration(_URB_SELECT_CONFIGURATION& urb) {
    constexpr size_t kFixed = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    if (urb.Hdr.Length < kFixed) {
        urb.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = urb.ConfigurationDescriptor;
    if (config == nullptr) {
        urb.Hdr.Status = m_model.SetConfiguration(0);
        return UsbdToNtStatus(urb.Hdr.Status);
    }
    if (config->bLength < sizeof *config || config->wTotalLength < sizeof *config) {
        urb.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    urb.Hdr.Status = m_model.SetConfiguration(config->bConfigurationValue);
    if (!USBD_SUCCESS(urb.Hdr.Status))
        return UsbdToNtStatus(urb.Hdr.Status);

    std::vector<std::unique_ptr<Pipe>> pipes;
    auto* base = reinterpret_cast<UCHAR*>(&urb);
    size_t offset = kFixed;
    const UCHAR* end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
    while (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urb.Hdr.Length) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || id == nullptr ||
            offset + info->Length > urb.Hdr.Length ||
            info->Length < GET_USBD_INTERFACE_SIZE(id->bNumEndpoints)) {
            urb.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle = info;
        info->NumberOfPipes = id->bNumEndpoints;
        // Endpoint descriptors follow the interface descriptor up to the next interface.
        const UCHAR* p = reinterpret_cast<const UCHAR*>(id) + id->bLength;
        ULONG found = 0;
        while (found < id->bNumEndpoints && p + 2 <= end && p[0] >= 2 && p + p[0] <= end &&
               p[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                auto* ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
                USBD_PIPE_INFORMATION& pi = info->Pipes[found++];
                pi.MaximumPacketSize = ep->wMaxPacketSize;
                pi.EndpointAddress = ep->bEndpointAddress;
                pi.Interval = ep->bInterval;
                pi.PipeType =
                    static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                auto pipe = std::make_unique<Pipe>(Pipe{ep->bEndpointAddress, pi.PipeType});
                pi.PipeHandle = pipe.get();
                pipes.push_back(std::move(pipe));
            }
            p += p[0];
        }
        if (found != id->bNumEndpoints) {
            urb.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        offset += info->Length;
    }
    urb.ConfigurationHandle = this;
    std::lock_guard<std::mutex> lock(m_pipeMutex);
    m_pipes = std::move(pipes);
    urb.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

}  // namespace halvex::platform

// ---------------------------------------------------------------------------------------------
// USBD services
// ---------------------------------------------------------------------------------------------
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    auto* begin = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
    UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;
    auto* p = static_cast<UCHAR*>(StartPosition);
    if (p < begin || p >= end)
        return nullptr;
    while (p + 2 <= end && p[0] >= 2 && p + p[0] <= end) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
            if ((InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || id->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || id->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || id->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || id->bInterfaceProtocol == InterfaceProtocol)) {
                return id;
            }
        }
        p += p[0];
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    }
    if (size > 0xFFFF)
        return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, HalvexPoolTag("USBD")));
    if (urb == nullptr)
        return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const UCHAR endpoints = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(endpoints));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = endpoints;
        for (UCHAR i = 0; i < endpoints; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) +
                                                             info->Length);
    }
    return urb;
}
