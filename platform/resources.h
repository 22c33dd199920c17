// Host side: tracking and fault injection for the kernel resources the driver allocates (pool by
// tag, IRPs, work items) and for object references, and the leak report of all of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/nt_types.h"

namespace halvex::platform {

enum class Resource { Pool, Irp, WorkItem };

struct TagUsage {
    ULONG tag;
    size_t count;
    size_t bytes;
};

class Resources {
  public:
    // Live pool allocations, in all and per tag.
    static size_t LivePool();
    static size_t LivePool(ULONG tag);
    static size_t LivePoolBytes(ULONG tag);
    static std::vector<TagUsage> PoolUsage();
    static size_t LiveIrps();
    static size_t LiveWorkItems();
    static size_t LiveReferences();

    // Allocations of a kind attempted since the last ResetCounts().
    static uint64_t Attempts(Resource kind);
    static void ResetCounts();

    // The n-th attempt of a kind from now on (1 = the next) fails; 0 disarms.
    static void FailNth(Resource kind, uint64_t n);
    // Every pool allocation with this tag fails while set.
    static void FailTag(ULONG tag, bool fail);
    static void ClearFaults();

    // A readable list of everything still live ("" when nothing is).
    static std::string LeakReport();

    // Used by the platform's allocators: counts the attempt and says whether it must fail.
    static bool ShouldFail(Resource kind, ULONG tag = 0);
};

std::string TagName(ULONG tag);

}  // namespace halvex::platform
