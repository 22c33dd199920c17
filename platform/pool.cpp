// Non-paged pool: every block is tracked by tag, carries guard bytes behind its end that are
// checked when it is freed, and can be made to fail on demand.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/lock_order.h"
#include "platform/nt_types.h"
#include "platform/resources.h"
#include "platform/verifier.h"

namespace halvex::platform {
namespace {

constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardFill = 0xFD;
constexpr UCHAR kNewFill = 0xCD;  // pool contents are not cleared; make reliance on zero visible

struct Block {
    size_t size;
    ULONG tag;
};

std::mutex g_poolMutex;  // guards g_blocks
std::unordered_map<void*, Block> g_blocks;

}  // namespace

size_t Resources::LivePool() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    return g_blocks.size();
}

size_t Resources::LivePool(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    size_t n = 0;
    for (auto& [p, b] : g_blocks) n += (b.tag == tag);
    return n;
}

size_t Resources::LivePoolBytes(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    size_t n = 0;
    for (auto& [p, b] : g_blocks) n += (b.tag == tag) ? b.size : 0;
    return n;
}

std::vector<TagUsage> Resources::PoolUsage() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    std::vector<TagUsage> usage;
    for (const auto& entry : g_blocks) {
        const Block& b = entry.second;
        auto it = std::find_if(usage.begin(), usage.end(),
                               [&](const TagUsage& u) { return u.tag == b.tag; });
        if (it == usage.end()) {
            usage.push_back({b.tag, 1, b.size});
        } else {
            it->count++;
            it->bytes += b.size;
        }
    }
    return usage;
}

}  // namespace halvex::platform

using halvex::platform::Resource;
using halvex::platform::Resources;
using halvex::platform::Verifier;

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    using namespace halvex::platform;
    if (Resources::ShouldFail(Resource::Pool, Tag))
        return nullptr;
    if (NumberOfBytes > (SIZE_T(1) << 32))
        return nullptr;
    auto* p = static_cast<UCHAR*>(std::malloc(NumberOfBytes + kGuardBytes));
    if (p == nullptr)
        return nullptr;
    std::memset(p, kNewFill, NumberOfBytes);
    std::memset(p + NumberOfBytes, kGuardFill, kGuardBytes);
    std::lock_guard<std::mutex> lock(g_poolMutex);
    g_blocks.emplace(p, Block{NumberOfBytes, Tag});
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    using namespace halvex::platform;
    Block block;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        auto it = g_blocks.find(P);
        if (it == g_blocks.end()) {
            Verifier::Report(
                "ExFreePool of %p: not a live pool block (double free or wrong "
                "pointer)",
                P);
            return;
        }
        block = it->second;
        g_blocks.erase(it);
    }
    if (Tag != 0 && Tag != block.tag) {
        Verifier::Report("pool block %p freed with tag %s, allocated with %s", P,
                         TagName(Tag).c_str(), TagName(block.tag).c_str());
    }
    const UCHAR* guard = static_cast<UCHAR*>(P) + block.size;
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardFill) {
            Verifier::Report("write past the end of pool block %p (%zu bytes, tag %s)", P,
                             block.size, TagName(block.tag).c_str());
            break;
        }
    }
    detail::ForgetLocks(P, block.size);
    std::free(P);
}

VOID ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}
