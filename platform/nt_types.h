// Basic Windows kernel types, status codes, lists, and the kernel records and services the
// driver uses, laid out as on Windows x64 (LLP64: ULONG and LONG are 32 bits).
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Scalar types
// ---------------------------------------------------------------------------------------------
typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char* PCHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t INT;
typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef int64_t LONG64;
typedef uint64_t ULONG_PTR;
typedef int64_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef const WCHAR* PCWSTR;
typedef PVOID HANDLE;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG ACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;
typedef LONGLONG REFERENCE_TIME;

#define TRUE 1
#define FALSE 0

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 32-bit long");
static_assert(sizeof(PVOID) == 8, "x64 pointers");

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID& REFGUID;
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCHAR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16);

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;
typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE;

// ---------------------------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------------------------
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_DATA_DETECTED ((NTSTATUS)0x80000022L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)

// ---------------------------------------------------------------------------------------------
// Doubly linked lists
// ---------------------------------------------------------------------------------------------
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY Head) {
    Head->Flink = Head->Blink = Head;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* Head) {
    return Head->Flink == Head;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Next = Entry->Flink;
    PLIST_ENTRY Prev = Entry->Blink;
    Prev->Flink = Next;
    Next->Blink = Prev;
    return Next == Prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY Head) {
    PLIST_ENTRY Entry = Head->Flink;
    RemoveEntryList(Entry);
    return Entry;
}
inline VOID InsertTailList(PLIST_ENTRY Head, PLIST_ENTRY Entry) {
    PLIST_ENTRY Last = Head->Blink;
    Entry->Flink = Head;
    Entry->Blink = Last;
    Last->Flink = Entry;
    Head->Blink = Entry;
}

#define CONTAINING_RECORD(address, type, field) ((type*)((char*)(address)-offsetof(type, field)))

// ---------------------------------------------------------------------------------------------
// IRQL, processor mode, pool
// ---------------------------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode 1

typedef enum _POOL_TYPE : int { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

// Builds a pool tag whose four bytes read as the given characters in memory dumps.
constexpr ULONG HalvexPoolTag(const char (&t)[5]) {
    return (ULONG)(UCHAR)t[0] | ((ULONG)(UCHAR)t[1] << 8) | ((ULONG)(UCHAR)t[2] << 16) |
           ((ULONG)(UCHAR)t[3] << 24);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePool(PVOID P);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// A length of 0 touches nothing, whatever the pointers (the C library calls they map to would
// not allow a null pointer even then).
inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    if (Length != 0)
        __builtin_memset(Destination, 0, Length);
}
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    if (Length != 0)
        __builtin_memcpy(Destination, Source, Length);
}
inline VOID RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    if (Length != 0)
        __builtin_memmove(Destination, Source, Length);
}
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
    if (Length != 0)
        __builtin_memset(Destination, Fill, Length);
}

// ---------------------------------------------------------------------------------------------
// Dispatcher objects, spin locks, waits, interlocked operations
// ---------------------------------------------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24);

typedef enum _EVENT_TYPE : int { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24);

typedef enum _KWAIT_REASON : int { Executive = 0 } KWAIT_REASON;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL KeGetCurrentIrql();

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
// Interrupt time: 100 ns units since the platform started (virtual or real).
ULONGLONG KeQueryInterruptTime();

// Processor features, and the extended register state a driver saves before it uses the AVX
// registers and restores afterwards.
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
#define PF_AVX512F_INSTRUCTIONS_AVAILABLE 41
#define XSTATE_MASK_AVX (1ull << 2)
#define XSTATE_MASK_AVX512 (7ull << 5)
typedef struct _XSTATE_SAVE {
    ULONG64 Mask;
    ULONG64 Reserved[7];
} XSTATE_SAVE, *PXSTATE_SAVE;
BOOLEAN ExIsProcessorFeaturePresent(ULONG ProcessorFeature);
NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave);
VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave);

inline LONG InterlockedIncrement(volatile LONG* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedOr(volatile LONG* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Plain atomic reads and writes of shared flags (the kernel's ReadNoFence / WriteNoFence family,
// with acquire and release ordering).
inline LONG ReadLongAcquire(const volatile LONG* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline VOID WriteLongRelease(volatile LONG* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline LONG64 ReadAcquire64(const volatile LONG64* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline VOID WriteRelease64(volatile LONG64* Destination, LONG64 Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline UCHAR ReadUCharAcquire(const volatile UCHAR* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline VOID WriteUCharRelease(volatile UCHAR* Destination, UCHAR Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// Debug output: printf-style; %ws prints a NUL-terminated WCHAR string.
ULONG DbgPrint(const char* Format, ...);
