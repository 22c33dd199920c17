#include "platform/lock_order.h"

#include <algorithm>
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

struct ThreadLocks {
    std::vector<const void*> held;
    // Orders this thread has already recorded in the shared graph (held, taken), valid for
    // `generation`; they spare the shared lock on the common path.
    std::set<std::pair<const void*, const void*>> known;
    unsigned long generation = 0;
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
    if (mine.held.empty())
        return;
    std::vector<const void*> fresh;
    for (const void* held : mine.held)
        if (held != lock && mine.known.count({held, lock}) == 0)
            fresh.push_back(held);
    if (fresh.empty())
        return;
    std::lock_guard<std::mutex> guard(g_orderMutex);
    if (mine.generation != g_generation) {
        mine.known.clear();
        mine.generation = g_generation;
    }
    for (const void* held : fresh) {
        if (Reaches(lock, held)) {
            Verifier::Report(
                "lock-order cycle: spin lock %p taken while holding %p, which elsewhere is "
                "taken while holding it",
                lock, held);
            continue;
        }
        g_after[held].insert(lock);
        mine.known.insert({held, lock});
    }
}

void NoteAcquired(const void* lock) {
    t_locks.held.push_back(lock);
}

void NoteReleased(const void* lock) {
    std::vector<const void*>& held = t_locks.held;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend())
        held.erase(std::next(it).base());
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
