#include <string>

#include "platform/object_table.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Lane;
using platform::Runtime;
using platform::Verifier;

// A lower driver that completes each IRP with a set status, at once or later.
struct FakeLower {
    static inline NTSTATUS s_status = STATUS_SUCCESS;
    static inline bool s_pend = false;
    static inline PIRP s_held = nullptr;

    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};

    FakeLower() {
        s_status = STATUS_SUCCESS;
        s_pend = false;
        s_held = nullptr;
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &Dispatch;
        device.DriverObject = &driver;
        device.StackSize = 1;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = s_status;
        if (s_pend) {
            IoMarkIrpPending(irp);
            Runtime::Post(
                Lane::UsbCompletion, Runtime::Now() + 50,
                [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }, "fake completion");
            return STATUS_PENDING;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return s_status;
    }
};

class IoTest : public PlatformTest {};

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, CompletionRoutineKeepsADriverAllocatedIrp) {
    FakeLower lower;
    FakeLower::s_status = STATUS_CANCELLED;
    PIRP irp = IoAllocateIrp(lower.device.StackSize + 1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);  // the owner's own location
    NTSTATUS seen = STATUS_PENDING;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_CANCELLED);
    EXPECT_EQ(seen, STATUS_CANCELLED);
    IoReuseIrp(irp, STATUS_SUCCESS);  // idle again: may be reused and freed
    IoFreeIrp(irp);
}

TEST_F(IoTest, SynchronousRequestCompletesThroughEventOnBothPaths) {
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pending" : "at once");
        FakeLower lower;
        FakeLower::s_pend = pend;
        FakeLower::s_status = STATUS_IO_DEVICE_ERROR;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        NTSTATUS status = IoCallDriver(&lower.device, irp);
        if (status == STATUS_PENDING) {
            EXPECT_TRUE(pend);
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            status = iosb.Status;
            EXPECT_EQ(Runtime::Now(), 50);
        }
        EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(platform::Resources::LiveIrps(), 0u);  // the I/O manager freed it
    }
}

VOID RecordCancel(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 42;
}

TEST_F(IoTest, CancelCallsTheCancelRoutineOnce) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));  // no routine: only the flag
    EXPECT_TRUE(irp->Cancel);
    IoSetCancelRoutine(irp, RecordCancel);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(irp->IoStatus.Information, 42u);
    EXPECT_FALSE(IoCancelIrp(irp));  // the routine was taken
    IoFreeIrp(irp);
}

TEST_F(IoTest, CompletingTwiceAndFreeingInFlightAreReported) {
    FakeLower lower;
    FakeLower::s_pend = true;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    NTSTATUS seen;
    IoSetCompletionRoutine(irp, KeepIrp, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_PENDING);
    IoFreeIrp(irp);  // still in flight: reported and kept
    EXPECT_THAT(Verifier::Violations(), ::testing::ElementsAre(::testing::HasSubstr("in flight")));
    Verifier::Clear();
    Runtime::Advance(100);
    EXPECT_EQ(seen, STATUS_SUCCESS);
    IoFreeIrp(irp);

    PIRP second = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(second);
    IoGetNextIrpStackLocation(second)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(second, KeepIrp, &seen, TRUE, TRUE, TRUE);
    FakeLower::s_pend = false;
    IoCallDriver(&lower.device, second);
    IoCompleteRequest(second, IO_NO_INCREMENT);
    EXPECT_THAT(Verifier::Violations(),
                ::testing::ElementsAre(::testing::HasSubstr("completed twice")));
    Verifier::Clear();
    IoFreeIrp(second);
}

VOID CountRun(PDEVICE_OBJECT, PVOID context) {
    ++*static_cast<int*>(context);
}

TEST_F(IoTest, WorkItemRunsOnTheWorkerAndMustNotBeFreedWhileQueued) {
    DEVICE_OBJECT device{};
    PIO_WORKITEM item = IoAllocateWorkItem(&device);
    int runs = 0;
    IoQueueWorkItem(item, CountRun, DelayedWorkQueue, &runs);
    EXPECT_EQ(runs, 0);
    Runtime::RunDue();
    EXPECT_EQ(runs, 1);
    IoQueueWorkItem(item, CountRun, DelayedWorkQueue, &runs);
    IoFreeWorkItem(item);
    EXPECT_THAT(Verifier::Violations(),
                ::testing::ElementsAre(::testing::HasSubstr("still queued")));
    Verifier::Clear();
    Runtime::RunDue();
    EXPECT_EQ(runs, 2);
    IoFreeWorkItem(item);
}

TEST_F(IoTest, EventReferencesByHandleAreCounted) {
    HANDLE handle = platform::EventHandles::Create();
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(platform::Resources::LiveReferences(), 1u);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7777), SYNCHRONIZE,
                                        *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    platform::EventHandles::Close(handle);  // the driver's reference keeps the event alive
    KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
    ObDereferenceObject(object);
    EXPECT_EQ(platform::Resources::LiveReferences(), 0u);
}

TEST_F(IoTest, DebugPrintFormatsWideStringsAndWindowsLongs) {
    const WCHAR name[] = u"settings";
    DbgPrint("Set Reg :%ws %lu %d%%\n", name, 4000000000u, -5);
    EXPECT_THAT(platform::DebugLog::Lines(),
                ::testing::ElementsAre("Set Reg :settings 4000000000 -5%\n"));
}

}  // namespace
}  // namespace halvex::test
