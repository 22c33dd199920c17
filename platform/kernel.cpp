// Kernel services: spin locks, events, waits, delays, interrupt time and debug output.
#include <sched.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/debug_log.h"
#include "platform/lock_order.h"
#include "platform/nt_types.h"
#include "platform/runtime.h"
#include "platform/verifier.h"

namespace halvex::platform {
namespace detail {
void AdjustHeldSpinLocks(int delta);
}

namespace {
// A nonzero number per thread, stored in a held spin lock to name its owner.
ULONG_PTR ThreadTag() {
    static std::atomic<ULONG_PTR> next{1};
    thread_local ULONG_PTR tag = next.fetch_add(1);
    return tag;
}

std::mutex g_logMutex;  // guards g_log and g_echo
std::vector<std::string> g_log;
bool g_echo = false;

void CheckMayWait(const char* what, bool zeroTimeout) {
    if (zeroTimeout)
        return;
    if (CurrentIrql() >= DISPATCH_LEVEL) {
        Verifier::Report("%s at DISPATCH_LEVEL", what);
    }
    if (HeldSpinLocks() > 0) {
        Verifier::Report("%s while holding a spin lock", what);
    }
}
}  // namespace

std::vector<std::string> DebugLog::Lines() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}
void DebugLog::Clear() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}
void DebugLog::SetEcho(bool echo) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_echo = echo;
}
void DebugLog::Append(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(text);
    if (g_echo)
        fputs(text.c_str(), stderr);
}

}  // namespace halvex::platform

using namespace halvex::platform;

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    const ULONG_PTR self = ThreadTag();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
        Verifier::Report("spin lock %p acquired again by the thread that holds it", SpinLock);
    }
    detail::CheckLockOrder(SpinLock);
    for (int spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        if (spins > 64)
            sched_yield();
    }
    const KIRQL old = CurrentIrql();
    SetCurrentIrql(DISPATCH_LEVEL);
    detail::AdjustHeldSpinLocks(1);
    detail::NoteAcquired(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (owner != ThreadTag()) {
        Verifier::Report("spin lock %p released by a thread that does not hold it", SpinLock);
        return;
    }
    detail::NoteReleased(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    detail::AdjustHeldSpinLocks(-1);
    SetCurrentIrql(NewIrql);
}

KIRQL KeGetCurrentIrql() {
    return CurrentIrql();
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    RtlZeroMemory(Event, sizeof *Event);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    LONG previous = 0;
    Runtime::Notify(
        [&] { previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL); });
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    auto* event = static_cast<PRKEVENT>(Object);
    const bool zero = Timeout != nullptr && Timeout->QuadPart == 0;
    CheckMayWait("KeWaitForSingleObject", zero);
    LONGLONG deadline = -1;
    if (Timeout != nullptr) {
        deadline = Timeout->QuadPart < 0 ? Runtime::Now() - Timeout->QuadPart : Timeout->QuadPart;
    }
    const bool autoReset = event->Header.Type == SynchronizationEvent;
    bool satisfied = false;
    Runtime::WaitUntil(
        [&] {
            if (autoReset) {
                LONG one = 1;
                satisfied = __atomic_compare_exchange_n(&event->Header.SignalState, &one, 0, false,
                                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
            } else {
                satisfied = __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE) != 0;
            }
            return satisfied;
        },
        deadline);
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    CheckMayWait("KeDelayExecutionThread", false);
    const LONGLONG q = Interval->QuadPart;
    const LONGLONG deadline = q < 0 ? Runtime::Now() - q : q;
    if (Runtime::Mode() == TimeMode::Real) {
        Runtime::Advance(deadline - Runtime::Now());
    } else {
        Runtime::WaitUntil([] { return false; }, deadline);
    }
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(Runtime::Now());
}

namespace {
// HALVEX_HIDE_AVX2=1 and HALVEX_HIDE_AVX512=1 hide those features from the start, so that a
// whole suite runs the narrower paths.
std::atomic<bool>& Hidden(ULONG feature) {
    auto fromEnvironment = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] == '1';
    };
    static std::atomic<bool> avx2{fromEnvironment("HALVEX_HIDE_AVX2")};
    static std::atomic<bool> avx512{fromEnvironment("HALVEX_HIDE_AVX512")};
    return feature == PF_AVX2_INSTRUCTIONS_AVAILABLE ? avx2 : avx512;
}
// Extended-state saves the calling thread has not restored yet.
thread_local int t_ExtendedStateSaves = 0;
}  // namespace

void halvex::platform::HideProcessorFeature(ULONG feature, bool hidden) {
    if (feature == PF_AVX2_INSTRUCTIONS_AVAILABLE || feature == PF_AVX512F_INSTRUCTIONS_AVAILABLE)
        Hidden(feature).store(hidden);
}

BOOLEAN ExIsProcessorFeaturePresent(ULONG ProcessorFeature) {
    if (ProcessorFeature != PF_AVX2_INSTRUCTIONS_AVAILABLE &&
        ProcessorFeature != PF_AVX512F_INSTRUCTIONS_AVAILABLE)
        return FALSE;
    if (Hidden(ProcessorFeature).load())
        return FALSE;
#if defined(__x86_64__) && defined(__GNUC__)
    const bool present = ProcessorFeature == PF_AVX2_INSTRUCTIONS_AVAILABLE
                             ? __builtin_cpu_supports("avx2")
                             : __builtin_cpu_supports("avx512f");
    return present ? TRUE : FALSE;
#else
    return FALSE;
#endif
}

NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    if (CurrentIrql() > DISPATCH_LEVEL)
        Verifier::Report("KeSaveExtendedProcessorState above DISPATCH_LEVEL");
    // User mode: the operating system keeps the registers of each thread; only the pairing is
    // tracked.
    XStateSave->Mask = Mask;
    t_ExtendedStateSaves++;
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    if (t_ExtendedStateSaves == 0) {
        Verifier::Report("KeRestoreExtendedProcessorState(%p) without a save on this thread",
                         XStateSave);
        return;
    }
    t_ExtendedStateSaves--;
}

namespace {
// Appends one printf conversion of the argument list to out.
void FormatOne(std::string& out, const std::string& spec, char conv, const std::string& length,
               va_list& args) {
    char buf[512];
    int n = 0;
    if (conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'X' || conv == 'o' ||
        conv == 'c') {
        if (length == "ll" || length == "I64" || length == "z") {
            std::string s = spec;
            if (length != "ll")
                s.replace(s.size() - 1 - length.size(), length.size(), "ll");
            n = snprintf(buf, sizeof buf, s.c_str(), va_arg(args, long long));
        } else if (length == "l") {
            // Windows long is 32 bits.
            std::string s = spec;
            s.erase(s.size() - 2, 1);
            n = snprintf(buf, sizeof buf, s.c_str(), va_arg(args, int));
        } else {
            n = snprintf(buf, sizeof buf, spec.c_str(), va_arg(args, int));
        }
    } else if (conv == 'f' || conv == 'g' || conv == 'e') {
        n = snprintf(buf, sizeof buf, spec.c_str(), va_arg(args, double));
    } else if (conv == 'p') {
        n = snprintf(buf, sizeof buf, "%p", va_arg(args, void*));
    } else if (conv == 's' && (length == "w" || length == "l")) {
        const WCHAR* w = va_arg(args, const WCHAR*);
        if (w == nullptr) {
            out += "(null)";
            return;
        }
        for (; *w != 0; ++w) {
            const char16_t c = *w;
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return;
    } else if (conv == 's') {
        const char* s = va_arg(args, const char*);
        n = snprintf(buf, sizeof buf, spec.c_str(), s != nullptr ? s : "(null)");
    } else {
        out += spec;
        return;
    }
    if (n > 0)
        out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}
}  // namespace

ULONG DbgPrint(const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string out;
    for (const char* p = Format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string spec = "%";
        const char* q = p + 1;
        while (*q != 0 && strchr("-+ #0", *q) != nullptr) spec += *q++;
        while (*q != 0 && (isdigit(static_cast<unsigned char>(*q)) || *q == '.')) spec += *q++;
        std::string length;
        if (strncmp(q, "I64", 3) == 0) {
            length = "I64";
            q += 3;
        } else if (q[0] == 'l' && q[1] == 'l') {
            length = "ll";
            q += 2;
        } else if (*q == 'l' || *q == 'h' || *q == 'w' || *q == 'z') {
            length = *q++;
        }
        if (*q == 0)
            break;
        const char conv = *q;
        spec += (length == "w" || length == "h") ? "" : length;
        spec += conv;
        FormatOne(out, spec, conv, length == "h" ? "" : length, args);
        p = q;
    }
    va_end(args);
    DebugLog::Append(out);
    return 0;
}
