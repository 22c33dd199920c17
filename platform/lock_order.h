// Host side: the order in which spin locks are taken while others are held. Taking B while A is
// held records A before B; taking A while B is held after that is a lock-order cycle, which can
// deadlock two threads even when no run has yet, and is reported to the verifier.
#pragma once

#include <cstddef>

namespace halvex::platform::detail {

// The calling thread is about to take `lock`: records the order against the locks it holds and
// reports a cycle. Then NoteAcquired once it holds it, NoteReleased when it lets it go.
void CheckLockOrder(const void* lock);
void NoteAcquired(const void* lock);
void NoteReleased(const void* lock);
// Memory from begin to begin + bytes is freed: the locks it held are no longer the same locks.
void ForgetLocks(const void* begin, size_t bytes);
// Forgets every recorded order (a new runtime).
void ResetLockOrder();

}  // namespace halvex::platform::detail
