// Destruction handed off a library thread. An object that owns library threads (task workers,
// presence threads) must never be destroyed on one of them: the thread would join itself or run
// on in freed memory. When the last user of such an object lets go on a library thread, the
// object's destruction is queued here instead and runs on the destruction thread
// ("qovorlix::Reaper"), started at first use and joined when the library is unloaded (or the
// process exits), after it has run everything queued.
//
// Lock order: the queue lock is a leaf; no destruction runs under it.
#pragma once

#include <functional>

namespace sysapicpp {

// Queues `destroy` to run on the destruction thread. If the thread cannot be started, runs it
// here (the old behaviour; reached only when the system refuses a thread).
void deferDestruction(std::function<void()> destroy) noexcept;

// Waits until every destruction queued so far has run (tests, and hosts that want a clean
// point). Must not be called on the destruction thread.
void drainDeferredDestructions() noexcept;

}  // namespace sysapicpp
