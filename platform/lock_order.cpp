#include "platform/lock_order.h"

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/verifier.h"

namespace halvex::platform::detail {
namespace {

std::mutex g_orderMutex;  // guards g_after and g_generation
// For each lock, the locks taken while it was held.
std::map<const void*, std::set<const void*>> g_after;
// Bumped whenever orders are forgotten, so that threads drop what they cached.
unsigned long g_generation = 0;

// Each thread's held locks and the orders it has already recorded in the shared graph (valid for
// `generation`; they spare the shared lock on the common path). Plain arrays, so that a thread's
// record needs no destructor: locks are still taken while static objects are destroyed at exit.
struct ThreadLocks {
    static constexpr int kHeld = 32;
    static constexpr int kKnown = 64;
    const void* held[kHeld];
    int heldCount;
    const void* knownBefore[kKnown];
    const void* knownAfter[kKnown];
    int knownNext;
    unsigned long generation;

    bool Known(const void* before, const void* after) const {
        for (int i = 0; i < kKnown; i++)
            if (knownBefore[i] == before && knownAfter[i] == after)
                return true;
        return false;
    }
    void Remember(const void* before, const void* after) {
        knownBefore[knownNext] = before;
        knownAfter[knownNext] = after;
        knownNext = (knownNext + 1) % kKnown;
    }
    void Forget() {
        for (int i = 0; i < kKnown; i++) knownBefore[i] = knownAfter[i] = nullptr;
    }
};
thread_local ThreadLocks t_locks;

// Whether `to` can be reached from `from` by recorded orders. Called with g_orderMutex held.
bool Reaches(const void* from, const void* to) {
    std::vector<const void*> pending{from};
    std::set<const void*> seen{from};
    while (!pending.empty()) {
        const void* at = pending.back();
        pending.pop_back();
        if (at == to)
            return true;
        auto it = g_after.find(at);
        if (it == g_after.end())
            continue;
        for (const void* next : it->second)
            if (seen.insert(next).second)
                pending.push_back(next);
    }
    return false;
}

}  // namespace

void CheckLockOrder(const void* lock) {
    ThreadLocks& mine = t_locks;
    const void* fresh[ThreadLocks::kHeld];
    int freshCount = 0;
    for (int i = 0; i < mine.heldCount; i++)
        if (mine.held[i] != lock && !mine.Known(mine.held[i], lock))
            fresh[freshCount++] = mine.held[i];
    if (freshCount == 0)
        return;
    std::lock_guard<std::mutex> guard(g_orderMutex);
    if (mine.generation != g_generation) {
        mine.Forget();
        mine.generation = g_generation;
    }
    for (int i = 0; i < freshCount; i++) {
        const void* held = fresh[i];
        if (Reaches(lock, held)) {
            Verifier::Report(
                "lock-order cycle: spin lock %p taken while holding %p, which elsewhere is "
                "taken while holding it",
                lock, held);
            continue;
        }
        g_after[held].insert(lock);
        mine.Remember(held, lock);
    }
}

void NoteAcquired(const void* lock) {
    ThreadLocks& mine = t_locks;
    if (mine.heldCount < ThreadLocks::kHeld)
        mine.held[mine.heldCount++] = lock;
}

void NoteReleased(const void* lock) {
    ThreadLocks& mine = t_locks;
    for (int i = mine.heldCount - 1; i >= 0; i--) {
        if (mine.held[i] == lock) {
            for (int j = i; j + 1 < mine.heldCount; j++) mine.held[j] = mine.held[j + 1];
            mine.heldCount--;
            return;
        }
    }
}

void ForgetLocks(const void* begin, size_t bytes) {
    const auto* first = static_cast<const char*>(begin);
    const auto* last = first + bytes;
    auto inside = [&](const void* p) {
        const auto* c = static_cast<const char*>(p);
        return c >= first && c < last;
    };
    std::lock_guard<std::mutex> guard(g_orderMutex);
    bool changed = false;
    for (auto it = g_after.begin(); it != g_after.end();) {
        if (inside(it->first)) {
            it = g_after.erase(it);
            changed = true;
            continue;
        }
        changed |= std::erase_if(it->second, inside) != 0;
        ++it;
    }
    if (changed)
        ++g_generation;
}

void ResetLockOrder() {
    std::lock_guard<std::mutex> guard(g_orderMutex);
    g_after.clear();
    ++g_generation;
}

}  // namespace halvex::platform::detail
