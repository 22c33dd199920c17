#include "platform/runtime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/lock_order.h"
#include "platform/verifier.h"

namespace halvex::platform {
namespace {

struct Item {
    Lane lane;
    std::function<void()> fn;
    const char* label;
    bool droppable;
};
using Key = std::pair<LONGLONG, uint64_t>;  // (due time, posting order)

// g_mutex guards the queue, the id map, g_stopping and every waiter's predicate state.
std::mutex g_mutex;
std::condition_variable g_waiters;  // threads in WaitUntil
std::condition_variable g_lanes;    // real-time lane threads
std::map<Key, Item> g_queue;
std::unordered_map<uint64_t, LONGLONG> g_dueOf;
uint64_t g_nextId = 1;
bool g_stopping = false;
std::atomic<bool> g_running{false};
std::atomic<TimeMode> g_mode{TimeMode::Virtual};
std::atomic<LONGLONG> g_virtualNow{0};
std::chrono::steady_clock::time_point g_realStart;
std::vector<std::thread> g_threads;

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_heldLocks = 0;

std::chrono::steady_clock::time_point ToSteady(LONGLONG time) {
    return g_realStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::nanoseconds(time * 100));
}

// Takes the item with the given key out of the queue. Caller holds g_mutex.
Item Take(std::map<Key, Item>::iterator it) {
    Item item = std::move(it->second);
    g_dueOf.erase(it->first.second);
    g_queue.erase(it);
    return item;
}

void RunItem(Item& item) {
    const KIRQL saved = t_irql;
    const int savedLocks = t_heldLocks;
    t_irql = (item.lane == Lane::Timer || item.lane == Lane::UsbCompletion) ? DISPATCH_LEVEL
                                                                            : PASSIVE_LEVEL;
    item.fn();
    if (t_heldLocks != savedLocks) {
        Verifier::Report("%s returned holding %d spin lock(s)", item.label,
                         t_heldLocks - savedLocks);
    }
    t_irql = saved;
    t_heldLocks = savedLocks;
}

void LaneThread(Lane lane) {
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!g_stopping) {
        auto it = std::find_if(g_queue.begin(), g_queue.end(),
                               [lane](const auto& entry) { return entry.second.lane == lane; });
        if (it == g_queue.end()) {
            g_lanes.wait(lock);
            continue;
        }
        if (it->first.first > Runtime::Now()) {
            g_lanes.wait_until(lock, ToSteady(it->first.first));
            continue;
        }
        Item item = Take(it);
        lock.unlock();
        RunItem(item);
        lock.lock();
    }
}

}  // namespace

void Runtime::Start(TimeMode mode) {
    if (g_running.exchange(true)) {
        Verifier::Report("runtime started twice");
        return;
    }
    detail::ResetLockOrder();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_mode = mode;
    g_stopping = false;
    g_virtualNow = 0;
    g_realStart = std::chrono::steady_clock::now();
    if (mode == TimeMode::Real) {
        for (Lane lane :
             {Lane::Timer, Lane::Worker, Lane::UsbCompletion, Lane::UsbCompletion, Lane::Device}) {
            g_threads.emplace_back(LaneThread, lane);
        }
    }
}

void Runtime::Stop() {
    if (!g_running)
        return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stopping = true;
    }
    g_lanes.notify_all();
    g_waiters.notify_all();
    for (auto& thread : g_threads) thread.join();
    g_threads.clear();
    std::map<Key, Item> left;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        left.swap(g_queue);
        g_dueOf.clear();
    }
    for (auto& [key, item] : left) {
        if (!item.droppable)
            Verifier::Report("%s still queued at teardown", item.label);
    }
    g_running = false;
}

bool Runtime::Running() {
    return g_running;
}
TimeMode Runtime::Mode() {
    return g_mode;
}

LONGLONG Runtime::Now() {
    if (g_mode == TimeMode::Virtual)
        return g_virtualNow.load();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                g_realStart)
               .count() /
           100;
}

uint64_t Runtime::Post(Lane lane, LONGLONG due, std::function<void()> fn, const char* label,
                       bool droppable) {
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        id = g_nextId++;
        g_queue.emplace(Key{due, id}, Item{lane, std::move(fn), label, droppable});
        g_dueOf.emplace(id, due);
    }
    g_lanes.notify_all();
    g_waiters.notify_all();
    return id;
}

bool Runtime::Cancel(uint64_t id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto due = g_dueOf.find(id);
    if (due == g_dueOf.end())
        return false;
    g_queue.erase(Key{due->second, id});
    g_dueOf.erase(due);
    return true;
}

size_t Runtime::Pending() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_queue.size();
}

void Runtime::Advance(LONGLONG delta) {
    if (g_mode == TimeMode::Real) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(delta * 100));
        return;
    }
    const LONGLONG target = g_virtualNow + delta;
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        auto it = g_queue.begin();
        if (it == g_queue.end() || it->first.first > target)
            break;
        g_virtualNow = std::max(g_virtualNow.load(), it->first.first);
        Item item = Take(it);
        lock.unlock();
        RunItem(item);
        lock.lock();
    }
    g_virtualNow = std::max(g_virtualNow.load(), target);
}

void Runtime::RunDue() {
    if (g_mode == TimeMode::Virtual)
        Advance(0);
}

bool Runtime::WaitUntil(const std::function<bool()>& pred, LONGLONG deadline) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (g_mode == TimeMode::Real) {
        if (deadline < 0) {
            g_waiters.wait(lock, [&] { return pred() || g_stopping; });
            return pred();
        }
        return g_waiters.wait_until(lock, ToSteady(deadline), pred);
    }
    for (;;) {
        if (pred())
            return true;
        auto it = g_queue.begin();
        if (it != g_queue.end() && (deadline < 0 || it->first.first <= deadline)) {
            g_virtualNow = std::max(g_virtualNow.load(), it->first.first);
            Item item = Take(it);
            lock.unlock();
            RunItem(item);
            lock.lock();
            continue;
        }
        if (deadline >= 0) {
            g_virtualNow = std::max(g_virtualNow.load(), deadline);
            return pred();
        }
        // Nothing is queued: only another thread can end this wait.
        if (!g_waiters.wait_for(lock, std::chrono::seconds(5),
                                [&] { return pred() || !g_queue.empty() || g_stopping; })) {
            lock.unlock();
            Verifier::Report("a wait without time-out can never end: nothing is queued");
            return false;
        }
        if (g_stopping)
            return pred();
    }
}

void Runtime::Notify(const std::function<void()>& fn) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        fn();
    }
    g_waiters.notify_all();
}

KIRQL CurrentIrql() {
    return t_irql;
}
void SetCurrentIrql(KIRQL irql) {
    t_irql = irql;
}
int HeldSpinLocks() {
    return t_heldLocks;
}

namespace detail {
void AdjustHeldSpinLocks(int delta) {
    t_heldLocks += delta;
}
}  // namespace detail

}  // namespace halvex::platform
