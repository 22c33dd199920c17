// The stream class: the services a minidriver calls and the host side that drives it.
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/stream_class_host.h"
#include "platform/verifier.h"

namespace halvex::platform {
namespace {

std::mutex g_scMutex;  // guards the registries below
std::map<PDRIVER_OBJECT, HostDriver*> g_drivers;
std::map<PHW_STREAM_REQUEST_BLOCK, HostSrb*> g_srbs;
struct ArmedTimer {
    uint64_t token;
    uint64_t runtimeId;
};
std::map<PHW_STREAM_OBJECT, ArmedTimer> g_timers;  // armed timer of each stream object
// Stream objects whose timer routine is running, with the thread running it. Changed only under
// Runtime::Notify and read in Runtime::WaitUntil predicates (the runtime's lock guards it).
std::map<PHW_STREAM_OBJECT, std::thread::id> g_runningTimers;
std::map<HANDLE, HostClock*> g_clocks;

WCHAR g_registryPathText[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\halvex";

}  // namespace

namespace detail {
size_t ArmedStreamTimers() {
    std::lock_guard<std::mutex> lock(g_scMutex);
    return g_timers.size();
}
}  // namespace detail

namespace {

HostSrb* FindSrb(PHW_STREAM_REQUEST_BLOCK srb) {
    std::lock_guard<std::mutex> lock(g_scMutex);
    auto it = g_srbs.find(srb);
    return it == g_srbs.end() ? nullptr : it->second;
}

// A host IRP: the container the stream class hands along with an SRB. It has one stack location,
// which is current, as for a request dispatched to the stream class's device.
PIRP NewHostIrp() {
    auto* irp = static_cast<PIRP>(std::calloc(1, sizeof(IRP) + sizeof(IO_STACK_LOCATION)));
    irp->Type = 6;
    irp->StackCount = 1;
    irp->CurrentLocation = 1;
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->RequestorMode = KernelMode;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

void* NewExtension(ULONG size) {
    return std::calloc(1, size == 0 ? 1 : size);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HostDriver
// ---------------------------------------------------------------------------------------------
HostDriver::HostDriver(PDRIVER_INITIALIZE driverEntry) {
    m_object.Type = 4;
    m_object.Size = sizeof(DRIVER_OBJECT);
    {
        std::lock_guard<std::mutex> lock(g_scMutex);
        g_drivers[&m_object] = this;
    }
    UNICODE_STRING path;
    path.Buffer = g_registryPathText;
    path.Length = static_cast<USHORT>(sizeof g_registryPathText - sizeof(WCHAR));
    path.MaximumLength = sizeof g_registryPathText;
    m_entryStatus = driverEntry(&m_object, &path);
}

HostDriver::~HostDriver() {
    std::lock_guard<std::mutex> lock(g_scMutex);
    g_drivers.erase(&m_object);
}

void HostDriver::SetRegistration(const HW_INITIALIZATION_DATA& init) {
    m_init = init;
    m_registered = true;
}

// ---------------------------------------------------------------------------------------------
// HostSrb
// ---------------------------------------------------------------------------------------------
HostSrb::HostSrb(SRB_COMMAND command, PVOID deviceExtension, PHW_STREAM_OBJECT stream,
                 ULONG extensionSize) {
    m_srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    m_srb.Command = command;
    m_srb.HwDeviceExtension = deviceExtension;
    m_srb.StreamObject = stream;
    m_extension = NewExtension(extensionSize);
    m_srb.SRBExtension = m_extension;
    m_srb.Irp = NewHostIrp();
    m_srb.TimeoutOriginal = 15;
    m_srb.TimeoutCounter = 15;
    std::lock_guard<std::mutex> lock(g_scMutex);
    g_srbs[&m_srb] = this;
}

HostSrb::~HostSrb() {
    {
        std::lock_guard<std::mutex> lock(g_scMutex);
        g_srbs.erase(&m_srb);
    }
    if (m_sent && m_completions.load() == 0) {
        Verifier::Report("SRB %p (command 0x%X) was never completed", static_cast<void*>(&m_srb),
                         static_cast<unsigned>(m_srb.Command));
    }
    std::free(m_srb.Irp);
    std::free(m_extension);
}

bool HostSrb::Wait(LONGLONG deadline) {
    return Runtime::WaitUntil([this] { return m_completions.load() > 0; }, deadline);
}

void HostSrb::OnComplete() {
    static std::atomic<long> s_completions{0};
    int count = 0;
    Runtime::Notify([&] {
        count = ++m_completions;
        if (count == 1)
            m_order = ++s_completions;
    });
    if (count > 1) {
        Verifier::Report("SRB %p (command 0x%X) completed %d times", static_cast<void*>(&m_srb),
                         static_cast<unsigned>(m_srb.Command), count);
    }
}

// ---------------------------------------------------------------------------------------------
// HostStream
// ---------------------------------------------------------------------------------------------
HostStream::HostStream(ULONG number, PVOID deviceExtension, ULONG extensionSize) {
    m_object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    m_object.StreamNumber = number;
    m_object.HwDeviceExtension = deviceExtension;
    m_object.HwStreamExtension = NewExtension(extensionSize);
}

HostStream::~HostStream() {
    uint64_t timer = 0;
    {
        std::lock_guard<std::mutex> lock(g_scMutex);
        auto it = g_timers.find(&m_object);
        if (it != g_timers.end()) {
            timer = it->second.runtimeId;
            g_timers.erase(it);
        }
    }
    if (timer != 0 && Runtime::Cancel(timer)) {
        Verifier::Report("stream %u freed with its timer still armed",
                         static_cast<unsigned>(m_object.StreamNumber));
    }
    std::free(m_object.HwStreamExtension);
}

// ---------------------------------------------------------------------------------------------
// HostDevice
// ---------------------------------------------------------------------------------------------
HostDevice::HostDevice(HostDriver& driver, PDEVICE_OBJECT lowerDevice, PDEVICE_OBJECT realPdo)
    : m_driver(driver), m_lower(lowerDevice), m_realPdo(realPdo) {
    m_extension = NewExtension(driver.Registration().DeviceExtensionSize);
    m_fdo.Type = 3;
    m_fdo.Size = sizeof(DEVICE_OBJECT);
    m_fdo.DriverObject = driver.Object();
    m_fdo.DeviceExtension = m_extension;
    m_fdo.StackSize = static_cast<CCHAR>(lowerDevice != nullptr ? lowerDevice->StackSize + 1 : 1);
}

HostDevice::~HostDevice() {
    std::free(m_extension);
}

std::unique_ptr<HostSrb> HostDevice::NewSrb(SRB_COMMAND command, HostStream* stream) {
    return std::unique_ptr<HostSrb>(new HostSrb(command, m_extension,
                                                stream != nullptr ? stream->Get() : nullptr,
                                                m_driver.Registration().PerRequestExtensionSize));
}

void HostDevice::Send(HostSrb& srb) {
    srb.MarkSent();
    m_driver.Registration().HwReceivePacket(srb.Get());
}

NTSTATUS HostDevice::Call(HostSrb& srb) {
    Send(srb);
    srb.Wait();
    return srb.Status();
}

NTSTATUS HostDevice::Call(SRB_COMMAND command) {
    auto srb = NewSrb(command);
    return Call(*srb);
}

void HostDevice::Cancel(HostSrb& srb) {
    m_driver.Registration().HwCancelPacket(srb.Get());
}

void HostDevice::TimeOut(HostSrb& srb) {
    m_driver.Registration().HwRequestTimeoutHandler(srb.Get());
}

NTSTATUS HostDevice::Initialize(ULONG accessRanges) {
    m_config = PORT_CONFIGURATION_INFORMATION{};
    m_config.SizeOfThisPacket = sizeof m_config;
    m_config.HwDeviceExtension = m_extension;
    m_config.ClassDeviceObject = &m_fdo;
    m_config.PhysicalDeviceObject = m_lower;
    m_config.RealPhysicalDeviceObject = m_realPdo;
    m_config.NumberOfAccessRanges = accessRanges;
    auto srb = NewSrb(SRB_INITIALIZE_DEVICE);
    (*srb)->CommandData.ConfigInfo = &m_config;
    return Call(*srb);
}

std::unique_ptr<HostStream> HostDevice::NewStream(ULONG number) {
    return std::unique_ptr<HostStream>(
        new HostStream(number, m_extension, m_driver.Registration().PerStreamExtensionSize));
}

void HostDevice::SendData(HostStream& stream, HostSrb& srb) {
    srb->StreamObject = stream.Get();
    srb.MarkSent();
    if (stream.Get()->ReceiveDataPacket == nullptr) {
        Verifier::Report("stream %u has no data entry",
                         static_cast<unsigned>(stream.Get()->StreamNumber));
        return;
    }
    stream.Get()->ReceiveDataPacket(srb.Get());
}

void HostDevice::SendControl(HostStream& stream, HostSrb& srb) {
    srb->StreamObject = stream.Get();
    srb.MarkSent();
    if (stream.Get()->ReceiveControlPacket == nullptr) {
        Verifier::Report("stream %u has no control entry",
                         static_cast<unsigned>(stream.Get()->StreamNumber));
        return;
    }
    stream.Get()->ReceiveControlPacket(srb.Get());
}

// ---------------------------------------------------------------------------------------------
// HostClock
// ---------------------------------------------------------------------------------------------
HostClock::HostClock() : m_offset(-Runtime::Now()) {
    std::lock_guard<std::mutex> lock(g_scMutex);
    g_clocks[Handle()] = this;
}

HostClock::~HostClock() {
    std::lock_guard<std::mutex> lock(g_scMutex);
    g_clocks.erase(Handle());
}

LONGLONG HostClock::StreamTime() const {
    return Runtime::Now() + m_offset.load();
}
void HostClock::Set(LONGLONG streamTime) {
    m_offset = streamTime - Runtime::Now();
}

}  // namespace halvex::platform

// ---------------------------------------------------------------------------------------------
// Services the minidriver calls
// ---------------------------------------------------------------------------------------------
using namespace halvex::platform;

NTSTATUS StreamClassRegisterMinidriver(PVOID Argument1, PVOID, PHW_INITIALIZATION_DATA init) {
    if (init == nullptr || init->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA) ||
        init->HwReceivePacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HostDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_scMutex);
        auto it = g_drivers.find(static_cast<PDRIVER_OBJECT>(Argument1));
        if (it != g_drivers.end())
            driver = it->second;
    }
    if (driver == nullptr)
        return STATUS_INVALID_PARAMETER;
    driver->SetRegistration(*init);
    return STATUS_SUCCESS;
}

VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, ...) {
    if (NotificationType != DeviceRequestComplete)
        return;
    va_list args;
    va_start(args, HwDeviceExtension);
    auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    HostSrb* host = FindSrb(srb);
    if (host == nullptr) {
        Verifier::Report("completion of an unknown adapter SRB %p", static_cast<void*>(srb));
        return;
    }
    // Open and close stream are adapter requests that name a stream object.
    const bool streamAllowed = srb->Command == SRB_OPEN_STREAM || srb->Command == SRB_CLOSE_STREAM;
    if (srb->HwDeviceExtension != HwDeviceExtension ||
        (srb->StreamObject != nullptr && !streamAllowed)) {
        Verifier::Report("adapter SRB %p completed for another device or as a stream request",
                         static_cast<void*>(srb));
    }
    host->OnComplete();
}

VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, ...) {
    if (NotificationType != StreamRequestComplete)
        return;
    va_list args;
    va_start(args, StreamObject);
    auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    HostSrb* host = FindSrb(srb);
    if (host == nullptr) {
        Verifier::Report("completion of an unknown stream SRB %p", static_cast<void*>(srb));
        return;
    }
    if (srb->StreamObject != StreamObject) {
        Verifier::Report("stream SRB %p completed on another stream", static_cast<void*>(srb));
    }
    host->OnComplete();
}

namespace {

// Disarms the stream object's timer. Returns true when its routine is running on another thread
// (it may arm the timer again before it returns).
bool DisarmTimer(PHW_STREAM_OBJECT StreamObject) {
    std::lock_guard<std::mutex> lock(g_scMutex);
    auto it = g_timers.find(StreamObject);
    if (it != g_timers.end()) {
        Runtime::Cancel(it->second.runtimeId);
        g_timers.erase(it);
    }
    bool running = false;
    Runtime::Notify([&] {
        auto run = g_runningTimers.find(StreamObject);
        running = run != g_runningTimers.end() && run->second != std::this_thread::get_id();
    });
    return running;
}

}  // namespace

VOID StreamClassScheduleTimer(PHW_STREAM_OBJECT StreamObject, PVOID, ULONG NumberOfMicroseconds,
                              PHW_TIMER_ROUTINE TimerRoutine, PVOID Context) {
    if (NumberOfMicroseconds == 0 || TimerRoutine == nullptr) {
        // Disarming also waits for a routine that is running on another thread, and disarms
        // again whatever it armed, so nothing of the timer runs after this returns.
        while (DisarmTimer(StreamObject)) {
            Runtime::WaitUntil([StreamObject] { return g_runningTimers.count(StreamObject) == 0; },
                               -1);
        }
        return;
    }
    static std::atomic<uint64_t> s_tokens{0};
    const uint64_t token = ++s_tokens;
    const LONGLONG due = Runtime::Now() + static_cast<LONGLONG>(NumberOfMicroseconds) * 10;
    std::lock_guard<std::mutex> lock(g_scMutex);
    auto it = g_timers.find(StreamObject);
    if (it != g_timers.end()) {
        Runtime::Cancel(it->second.runtimeId);
        g_timers.erase(it);
    }
    const uint64_t id = Runtime::Post(
        Lane::Timer, due,
        [StreamObject, TimerRoutine, Context, token] {
            {
                // Runs only if this arming is still the stream's timer; the entry is dropped
                // before the routine runs, so the routine may arm the timer again.
                std::lock_guard<std::mutex> inner(g_scMutex);
                auto armed = g_timers.find(StreamObject);
                if (armed == g_timers.end() || armed->second.token != token)
                    return;
                g_timers.erase(armed);
                Runtime::Notify(
                    [StreamObject] { g_runningTimers[StreamObject] = std::this_thread::get_id(); });
            }
            TimerRoutine(Context);
            Runtime::Notify([StreamObject] { g_runningTimers.erase(StreamObject); });
        },
        "a stream timer");
    g_timers[StreamObject] = ArmedTimer{token, id};
}

VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext) {
    HostClock* clock = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_scMutex);
        auto it = g_clocks.find(MasterClockHandle);
        if (it != g_clocks.end())
            clock = it->second;
    }
    TimeContext->SystemTime = static_cast<ULONGLONG>(Runtime::Now());
    if (clock == nullptr) {
        Verifier::Report("master clock query with an unknown handle %p", MasterClockHandle);
        TimeContext->Time = 0;
        return;
    }
    TimeContext->Time = static_cast<ULONGLONG>(clock->StreamTime());
}
