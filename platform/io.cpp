// I/O manager services: IRPs with stack locations and completion, cancellation, synchronous
// device-control requests, work items and references to event objects by handle.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/nt_io.h"
#include "platform/object_table.h"
#include "platform/resources.h"
#include "platform/runtime.h"
#include "platform/verifier.h"

namespace halvex::platform {
namespace {

struct IrpInfo {
    bool threaded;  // built by IoBuildDeviceIoControlRequest: the I/O manager frees it
    bool inFlight;  // passed down and not yet returned to its owner
};

std::mutex g_ioMutex;  // guards g_irps and g_workItems
std::unordered_map<PIRP, IrpInfo> g_irps;

}  // namespace

size_t Resources::LiveIrps() {
    std::lock_guard<std::mutex> lock(g_ioMutex);
    return g_irps.size();
}

}  // namespace halvex::platform

using namespace halvex::platform;

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    bool Queued;
};

namespace halvex::platform {
namespace {
std::unordered_map<PIO_WORKITEM, bool> g_workItems;
}
size_t Resources::LiveWorkItems() {
    std::lock_guard<std::mutex> lock(g_ioMutex);
    return g_workItems.size();
}
}  // namespace halvex::platform

namespace {

void InitializeIrp(PIRP Irp, CCHAR StackSize) {
    std::memset(Irp, 0, sizeof(IRP) + sizeof(IO_STACK_LOCATION) * StackSize);
    Irp->Type = 6;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * StackSize);
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    Irp->Tail.Overlay.CurrentStackLocation = stack + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

IrpInfo* FindIrp(PIRP Irp) {
    auto it = g_irps.find(Irp);
    return it == g_irps.end() ? nullptr : &it->second;
}

void SetInFlight(PIRP Irp, bool inFlight) {
    std::lock_guard<std::mutex> lock(g_ioMutex);
    if (IrpInfo* info = FindIrp(Irp))
        info->inFlight = inFlight;
}

}  // namespace

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (StackSize < 1)
        return nullptr;
    if (Resources::ShouldFail(Resource::Irp))
        return nullptr;
    auto* irp = static_cast<PIRP>(
        std::malloc(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(StackSize)));
    if (irp == nullptr)
        return nullptr;
    InitializeIrp(irp, StackSize);
    std::lock_guard<std::mutex> lock(g_ioMutex);
    g_irps.emplace(irp, IrpInfo{false, false});
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        IrpInfo* info = FindIrp(Irp);
        if (info == nullptr) {
            Verifier::Report("IoFreeIrp of %p: not a live IRP", static_cast<void*>(Irp));
            return;
        }
        if (info->inFlight) {
            // Kept alive so its completion does not touch freed memory.
            Verifier::Report("IRP %p freed while still in flight", static_cast<void*>(Irp));
            return;
        }
        g_irps.erase(Irp);
    }
    std::free(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        IrpInfo* info = FindIrp(Irp);
        if (info == nullptr || info->inFlight) {
            Verifier::Report("IoReuseIrp of %p: not a live idle IRP", static_cast<void*>(Irp));
            return;
        }
    }
    const CCHAR stackSize = Irp->StackCount;
    InitializeIrp(Irp, stackSize);
    Irp->IoStatus.Status = Iostatus;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        FindIrp(irp)->threaded = true;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation <= 1) {
        Verifier::Report("IofCallDriver: IRP %p has no stack location left",
                         static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    SetInFlight(Irp, true);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
    bool threaded = false;
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        IrpInfo* info = FindIrp(Irp);
        if (info == nullptr || !info->inFlight) {
            Verifier::Report("IRP %p completed while not in flight (completed twice?)",
                             static_cast<void*>(Irp));
            return;
        }
        threaded = info->threaded;
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    if (status == STATUS_PENDING || status == STATUS_MORE_PROCESSING_REQUIRED) {
        Verifier::Report("IRP %p completed with status 0x%08X", static_cast<void*>(Irp),
                         static_cast<unsigned>(status));
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(Irp);
        const NTSTATUS st = Irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(st) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(st) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) &&
                              (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            // The routine's owner holds the IRP now; it may reuse, resend or free it.
            SetInFlight(Irp, false);
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            SetInFlight(Irp, true);
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    // Back at the top: the I/O manager finishes a request it built.
    SetInFlight(Irp, false);
    if (!threaded) {
        Verifier::Report(
            "driver-allocated IRP %p completed to the top without "
            "STATUS_MORE_PROCESSING_REQUIRED",
            static_cast<void*>(Irp));
        return;
    }
    if (Irp->UserIosb != nullptr)
        *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    IoFreeIrp(Irp);
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr)
        return FALSE;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    routine(device, Irp);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------------------------
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    if (Resources::ShouldFail(Resource::WorkItem))
        return nullptr;
    auto* item = new _IO_WORKITEM{DeviceObject, false};
    std::lock_guard<std::mutex> lock(g_ioMutex);
    g_workItems.emplace(item, true);
    return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE,
                     PVOID Context) {
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        if (g_workItems.count(IoWorkItem) == 0) {
            Verifier::Report("IoQueueWorkItem of %p: not a live work item",
                             static_cast<void*>(IoWorkItem));
            return;
        }
        if (IoWorkItem->Queued) {
            Verifier::Report("work item %p queued while already queued",
                             static_cast<void*>(IoWorkItem));
            return;
        }
        IoWorkItem->Queued = true;
    }
    Runtime::Post(
        Lane::Worker, Runtime::Now(),
        [IoWorkItem, WorkerRoutine, Context] {
            PDEVICE_OBJECT device;
            {
                std::lock_guard<std::mutex> lock(g_ioMutex);
                IoWorkItem->Queued = false;
                device = IoWorkItem->DeviceObject;
            }
            WorkerRoutine(device, Context);
        },
        "a queued work item");
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    {
        std::lock_guard<std::mutex> lock(g_ioMutex);
        auto it = g_workItems.find(IoWorkItem);
        if (it == g_workItems.end()) {
            Verifier::Report("IoFreeWorkItem of %p: not a live work item",
                             static_cast<void*>(IoWorkItem));
            return;
        }
        if (IoWorkItem->Queued) {
            // Kept alive so the queued run does not touch freed memory.
            Verifier::Report("work item %p freed while still queued",
                             static_cast<void*>(IoWorkItem));
            return;
        }
        g_workItems.erase(it);
    }
    delete IoWorkItem;
}
