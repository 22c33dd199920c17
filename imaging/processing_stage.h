// What the processing records share: allocation from non-paged pool (tag DkSy), zero-filled
// before their start values are set, and ProcessingStage, the base with a virtual destructor of
// the records that are released through it.
#pragma once

#include <new>

#include "platform/platform.h"

#define TAG_PROCESSING_RECORD HalvexPoolTag("DkSy")

// Allocates a zero-filled record of type T from non-paged pool and constructs it; null when the
// pool has no memory.
template <class T>
T* AllocateProcessingRecord() {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), TAG_PROCESSING_RECORD);
    if (memory == nullptr)
        return nullptr;
    RtlZeroMemory(memory, sizeof(T));
    return new (memory) T;
}

// Releases a record without virtual operations.
template <class T>
VOID FreeProcessingRecord(T* record) {
    record->~T();
    ExFreePoolWithTag(record, TAG_PROCESSING_RECORD);
}

class ProcessingStage {
  public:
    virtual ~ProcessingStage() {}
    // Records are released with delete through their virtual destructor; the memory goes back
    // to the pool.
    static void operator delete(void* memory) { ExFreePoolWithTag(memory, TAG_PROCESSING_RECORD); }
};

// The mosaic channel (0 red, 1 green in red rows, 2 green in blue rows, 3 blue) at each cell
// position (x mod 2) + 2 (y mod 2) of arrangement codes 2 to 5; codes outside 2 to 5 use the row
// of code 2.
inline const UCHAR* ChannelOfPosition(USHORT arrangement) {
    static const UCHAR kChannels[4][4] = {
        {0, 1, 2, 3},  // 2
        {1, 0, 3, 2},  // 3
        {2, 3, 0, 1},  // 4
        {3, 2, 1, 0},  // 5
    };
    return kChannels[(arrangement >= 2 && arrangement <= 5) ? arrangement - 2 : 0];
}
