#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/lock_order.h"
#include "platform/stream_class_host.h"
#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Lane;
using platform::Runtime;
using platform::Verifier;

class RuntimeTest : public PlatformTest {};

TEST_F(RuntimeTest, VirtualTimeRunsItemsInDueOrderThenPostingOrder) {
    std::string order;
    Runtime::Post(
        Lane::Worker, 30, [&] { order += 'd'; }, "d");
    Runtime::Post(
        Lane::Timer, 10, [&] { order += 'a'; }, "a");
    Runtime::Post(
        Lane::Device, 10, [&] { order += 'b'; }, "b");
    Runtime::Post(
        Lane::UsbCompletion, 20, [&] { order += 'c'; }, "c");
    Runtime::Advance(20);
    EXPECT_EQ(order, "abc");
    EXPECT_EQ(Runtime::Now(), 20);
    Runtime::Advance(100);
    EXPECT_EQ(order, "abcd");
    EXPECT_EQ(Runtime::Now(), 120);
}

TEST_F(RuntimeTest, WaitsCostNoRealTimeAndRunQueuedWork) {
    const auto start = std::chrono::steady_clock::now();
    LARGE_INTEGER oneSecond;
    oneSecond.QuadPart = -10000000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &oneSecond), STATUS_SUCCESS);
    EXPECT_EQ(Runtime::Now(), 10000000);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -500;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(Runtime::Now(), 10000500);

    Runtime::Post(
        Lane::UsbCompletion, Runtime::Now() + 200, [&] { KeSetEvent(&event, 0, FALSE); }, "set");
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Runtime::Now(), 10000700);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(RuntimeTest, SpinLockMisuseIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER delay;
    delay.QuadPart = -10;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);  // blocking while holding the lock
    std::thread other([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    other.join();
    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    auto found = Verifier::Violations();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_THAT(found[0], ::testing::HasSubstr("at DISPATCH_LEVEL"));
    EXPECT_THAT(found[1], ::testing::HasSubstr("while holding a spin lock"));
    EXPECT_THAT(found[2], ::testing::HasSubstr("released by a thread that does not hold it"));
    Verifier::Clear();
}

TEST_F(RuntimeTest, LockOrderCycleIsReportedBeforeItDeadlocks) {
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL o = KeAcquireSpinLockRaiseToDpc(outer);
        KIRQL i = KeAcquireSpinLockRaiseToDpc(inner);
        KeReleaseSpinLock(inner, i);
        KeReleaseSpinLock(outer, o);
    };
    nested(&a, &b);
    nested(&a, &b);  // the same order again is fine
    nested(&b, &c);
    EXPECT_THAT(Verifier::Violations(), ::testing::IsEmpty());
    std::thread other([&] { nested(&c, &a); });  // a before b before c, then c before a
    other.join();
    auto found = Verifier::Violations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_THAT(found[0], ::testing::HasSubstr("lock-order cycle"));
    Verifier::Clear();

    // Locks in freed memory are forgotten: a new lock at the same place has no order yet.
    KSPIN_LOCK d;
    KeInitializeSpinLock(&d);
    nested(&a, &d);
    platform::detail::ForgetLocks(&d, sizeof d);
    nested(&d, &a);
    EXPECT_THAT(Verifier::Violations(), ::testing::IsEmpty());
}

struct TimerProbe {
    std::vector<LONGLONG> runs;
};
VOID RecordTick(PVOID context) {
    static_cast<TimerProbe*>(context)->runs.push_back(Runtime::Now());
}

TEST_F(RuntimeTest, StreamTimerRunsOnceAtDispatchAndCanBeRearmedOrDisarmed) {
    HW_STREAM_OBJECT stream{};
    TimerProbe probe;
    StreamClassScheduleTimer(&stream, nullptr, 100000, RecordTick, &probe);
    Runtime::Advance(5000000);
    EXPECT_EQ(probe.runs, std::vector<LONGLONG>{1000000});
    StreamClassScheduleTimer(&stream, nullptr, 100000, RecordTick, &probe);
    StreamClassScheduleTimer(&stream, nullptr, 200000, RecordTick, &probe);  // replaces the first
    Runtime::Advance(5000000);
    EXPECT_EQ(probe.runs, (std::vector<LONGLONG>{1000000, 7000000}));
    StreamClassScheduleTimer(&stream, nullptr, 100000, RecordTick, &probe);
    StreamClassScheduleTimer(&stream, nullptr, 0, nullptr, nullptr);
    Runtime::Advance(5000000);
    EXPECT_EQ(probe.runs.size(), 2u);
}

TEST_F(RuntimeTest, MasterClockRunsWithVirtualTime) {
    platform::HostClock clock;
    clock.Set(1000);
    Runtime::Advance(250);
    HW_TIME_CONTEXT context{};
    context.Function = TIME_GET_STREAM_TIME;
    StreamClassQueryMasterClockSync(clock.Handle(), &context);
    EXPECT_EQ(context.Time, 1250u);
}

}  // namespace
}  // namespace halvex::test
