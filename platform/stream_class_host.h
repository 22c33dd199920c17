// Host side of the stream class: loads a minidriver through its DriverEntry, creates devices
// with zero-filled extensions, issues adapter and stream request blocks from any thread, tracks
// their completion (exactly once), runs stream timers and provides master clocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "platform/runtime.h"

namespace halvex::platform {

class HostDevice;
class HostStream;

// A loaded minidriver: its driver object and the registration it made.
class HostDriver {
  public:
    explicit HostDriver(PDRIVER_INITIALIZE driverEntry);
    ~HostDriver();
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    NTSTATUS EntryStatus() const { return m_entryStatus; }
    bool Registered() const { return m_registered; }
    const HW_INITIALIZATION_DATA& Registration() const { return m_init; }
    PDRIVER_OBJECT Object() { return &m_object; }

    // Called by StreamClassRegisterMinidriver.
    void SetRegistration(const HW_INITIALIZATION_DATA& init);

  private:
    DRIVER_OBJECT m_object{};
    HW_INITIALIZATION_DATA m_init{};
    bool m_registered = false;
    NTSTATUS m_entryStatus = STATUS_UNSUCCESSFUL;
};

// One request block with its per-request extension and its IRP, owned by the host.
class HostSrb {
  public:
    ~HostSrb();
    HostSrb(const HostSrb&) = delete;
    HostSrb& operator=(const HostSrb&) = delete;

    HW_STREAM_REQUEST_BLOCK* operator->() { return &m_srb; }
    HW_STREAM_REQUEST_BLOCK* Get() { return &m_srb; }
    NTSTATUS Status() const { return m_srb.Status; }
    PIRP Irp() { return m_srb.Irp; }

    int Completions() const { return m_completions.load(); }
    bool Done() const { return m_completions.load() > 0; }
    // Position of this SRB's first completion among all completions of the process (from 1).
    long CompletionOrder() const { return m_order.load(); }
    // Waits for completion until the absolute deadline (-1: none); true when completed.
    bool Wait(LONGLONG deadline = -1);

    // Called by the completion notifications.
    void OnComplete();
    void MarkSent() { m_sent = true; }

  private:
    friend class HostDevice;
    HostSrb(SRB_COMMAND command, PVOID deviceExtension, PHW_STREAM_OBJECT stream,
            ULONG extensionSize);

    HW_STREAM_REQUEST_BLOCK m_srb{};
    void* m_extension = nullptr;
    std::atomic<int> m_completions{0};
    std::atomic<long> m_order{0};
    std::atomic<bool> m_sent{false};
};

// A stream object the stream class created for an open request, with its zero-filled extension.
class HostStream {
  public:
    ~HostStream();
    HostStream(const HostStream&) = delete;
    HostStream& operator=(const HostStream&) = delete;

    HW_STREAM_OBJECT* Get() { return &m_object; }
    PVOID Extension() { return m_object.HwStreamExtension; }

  private:
    friend class HostDevice;
    HostStream(ULONG number, PVOID deviceExtension, ULONG extensionSize);
    HW_STREAM_OBJECT m_object{};
};

// One adapter served by the minidriver.
class HostDevice {
  public:
    HostDevice(HostDriver& driver, PDEVICE_OBJECT lowerDevice, PDEVICE_OBJECT realPdo = nullptr);
    ~HostDevice();
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    PVOID Extension() { return m_extension; }
    PDEVICE_OBJECT ClassDeviceObject() { return &m_fdo; }
    PDEVICE_OBJECT LowerDevice() { return m_lower; }

    // A new request block for this device (and stream, for stream requests), zero-filled.
    std::unique_ptr<HostSrb> NewSrb(SRB_COMMAND command, HostStream* stream = nullptr);

    // Adapter requests: hands the SRB to the driver's adapter entry on the calling thread.
    void Send(HostSrb& srb);
    // Sends and waits for completion; returns the SRB's final status.
    NTSTATUS Call(HostSrb& srb);
    NTSTATUS Call(SRB_COMMAND command);
    void Cancel(HostSrb& srb);
    void TimeOut(HostSrb& srb);

    // SRB_INITIALIZE_DEVICE with a port configuration naming the lower device.
    NTSTATUS Initialize(ULONG accessRanges = 0);
    // The StreamDescriptorSize the driver set during the last initialisation.
    ULONG StreamDescriptorSize() const { return m_config.StreamDescriptorSize; }

    // Stream objects and stream requests.
    std::unique_ptr<HostStream> NewStream(ULONG number);
    void SendData(HostStream& stream, HostSrb& srb);
    void SendControl(HostStream& stream, HostSrb& srb);

  private:
    HostDriver& m_driver;
    PDEVICE_OBJECT m_lower;
    PDEVICE_OBJECT m_realPdo;
    DEVICE_OBJECT m_fdo{};
    PVOID m_extension = nullptr;
    PORT_CONFIGURATION_INFORMATION m_config{};
};

// A master clock whose stream time runs from its creation, or from the last Set.
class HostClock {
  public:
    HostClock();
    ~HostClock();
    HANDLE Handle() { return reinterpret_cast<HANDLE>(this); }
    LONGLONG StreamTime() const;
    void Set(LONGLONG streamTime);

  private:
    std::atomic<LONGLONG> m_offset;
};

}  // namespace halvex::platform
