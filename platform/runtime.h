// Host side: the one time source and the execution contexts behind every timer, work item, USB
// completion and simulated device activity.
//
// Virtual time (tests): nothing sleeps and nothing runs on its own. Work is queued with a due
// time and runs, in due-time order (ties in posting order), when a test advances the clock or
// when a driver thread waits: a wait runs the queued work until its condition holds, moving the
// clock forward to each item's due time. Runs are deterministic.
//
// Real time (the tool, concurrency tests): each lane has its own threads (one timer thread, one
// worker thread, two USB completion threads, one device thread), and waits block.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/nt_types.h"

namespace halvex::platform {

enum class TimeMode { Virtual, Real };

// The context an item runs in. Timer and USB completion items run at DISPATCH_LEVEL.
enum class Lane { Timer, Worker, UsbCompletion, Device };

class Runtime {
  public:
    // Starts the platform in the given mode; the clock starts at 0. Only one runtime at a time.
    static void Start(TimeMode mode);
    // Stops the lanes. Items still queued are dropped and reported to the verifier by label,
    // unless they were posted as droppable.
    static void Stop();
    static bool Running();
    static TimeMode Mode();

    // Current time in 100 ns units since Start.
    static LONGLONG Now();

    // Queues fn on a lane to run at the absolute time due. Returns an id for Cancel.
    static uint64_t Post(Lane lane, LONGLONG due, std::function<void()> fn, const char* label,
                         bool droppable = false);
    // Removes a queued item; false when it already ran or is running.
    static bool Cancel(uint64_t id);
    static size_t Pending();

    // Virtual time: runs every item due within delta and leaves the clock at now + delta.
    // Real time: sleeps for delta.
    static void Advance(LONGLONG delta);
    // Virtual time: runs items until none is due at the current time.
    static void RunDue();

    // Waits until pred() holds or the absolute deadline (-1: none) passes; true when it held.
    // In virtual time this runs queued work meanwhile. pred is evaluated with the runtime's lock
    // held and must only read state that changes under Notify().
    static bool WaitUntil(const std::function<bool()>& pred, LONGLONG deadline);
    // Runs fn (which changes state some waiter's predicate reads) under the runtime's lock and
    // wakes every waiter.
    static void Notify(const std::function<void()>& fn);
};

// Scoped runtime for tests and tools.
class RuntimeScope {
  public:
    explicit RuntimeScope(TimeMode mode) { Runtime::Start(mode); }
    ~RuntimeScope() { Runtime::Stop(); }
    RuntimeScope(const RuntimeScope&) = delete;
    RuntimeScope& operator=(const RuntimeScope&) = delete;
};

// The IRQL of the calling thread, as the platform tracks it.
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);
// Number of spin locks the calling thread holds.
int HeldSpinLocks();

// Hides a processor feature (PF_*) from ExIsProcessorFeaturePresent, or shows it again, so that
// tests run the baseline paths on a machine that has the feature.
void HideProcessorFeature(ULONG feature, bool hidden);

}  // namespace halvex::platform
