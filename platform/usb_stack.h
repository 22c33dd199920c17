// Host side of the USB stack: the lower device object that takes URBs in internal device-control
// IRPs and hands them to a USB device model (the simulated camera), completing them at once or,
// in pending mode, later from a USB completion thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace halvex::platform {

struct UsbSetupPacket {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};

struct UsbResult {
    USBD_STATUS usbd;
    ULONG transferred;
};

// One bulk or interrupt transfer handed to the device model. The model finishes it exactly once
// with Finish, from any thread.
class UsbTransfer {
  public:
    virtual ~UsbTransfer() = default;
    virtual UCHAR Endpoint() const = 0;
    virtual UCHAR* Buffer() const = 0;
    virtual ULONG Length() const = 0;
    // Finishes with a USBD status; the IRP's status follows from it.
    virtual void Finish(USBD_STATUS status, ULONG transferred) = 0;
    // Finishes with a USBD status and an IRP status of the model's choice (for example a
    // successful IRP whose URB carries an error).
    virtual void FinishWithIrpStatus(USBD_STATUS status, ULONG transferred, NTSTATUS irpStatus) = 0;
    // Whether the transfer's IRP is being cancelled. A model that is handed a transfer checks it
    // under the same lock as its CancelTransfer, so a cancel that raced the hand-over is not
    // lost.
    virtual bool CancelRequested() const = 0;
};

class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;
    // GET_DESCRIPTOR: writes at most length bytes into buffer.
    virtual UsbResult GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer,
                                    ULONG length) = 0;
    // SET_CONFIGURATION with the configuration value (0: unconfigured).
    virtual USBD_STATUS SetConfiguration(UCHAR value) = 0;
    // A control transfer on the default pipe; data holds setup.wLength bytes.
    virtual UsbResult ControlTransfer(const UsbSetupPacket& setup, UCHAR* data) = 0;
    // A bulk or interrupt transfer; the model calls Finish later (or at once).
    virtual void SubmitTransfer(UsbTransfer* transfer) = 0;
    // Asks the model to finish a submitted transfer soon (it is being cancelled).
    virtual void CancelTransfer(UsbTransfer* transfer) = 0;
};

class UsbStack {
  public:
    explicit UsbStack(UsbDeviceModel& model);
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    // The device object below the driver (stack size 1).
    PDEVICE_OBJECT LowerDevice() { return &m_device; }
    // Every request returns STATUS_PENDING and completes from a USB completion thread.
    void SetForcedPending(bool pending) { m_forcedPending = pending; }
    // The device is gone: every request fails from now on.
    void Unplug() { m_unplugged = true; }
    bool Unplugged() const { return m_unplugged; }
    // Number of URB requests dispatched since creation.
    ULONG Requests() const { return m_requests; }

  private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Process(PURB urb, PIRP irp, bool* pendingTransfer);
    NTSTATUS SelectConfiguration(_URB_SELECT_CONFIGURATION& urb);
    NTSTATUS BulkTransfer(_URB_BULK_OR_INTERRUPT_TRANSFER& urb, PIRP irp);
    void Complete(PIRP irp, NTSTATUS status, bool pending);

    struct Pipe {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
    };
    class Transfer;

    UsbDeviceModel& m_model;
    DRIVER_OBJECT m_driver{};
    DEVICE_OBJECT m_device{};
    std::atomic<bool> m_forcedPending{false};
    std::atomic<bool> m_unplugged{false};
    std::atomic<ULONG> m_requests{0};
    std::mutex m_pipeMutex;  // guards m_pipes
    std::vector<std::unique_ptr<Pipe>> m_pipes;
};

NTSTATUS UsbdToNtStatus(USBD_STATUS status);

}  // namespace halvex::platform
