// The plug-and-play thread pair: a notification thread that waits on a device notification
// dispatcher, and a worker thread that runs an operation once per reported change.
//
//   tPnPThreadTemplate<Dispatcher, Name, Op>
//     Dispatcher  built on the notification thread's stack as Dispatcher(const Name* names,
//                 std::size_t count, tStatus*); offers wait(bool* changed, tStatus*) and
//                 cancel() (callable from any thread). Production: tNotificationDispatcher.
//     Op          the operation: `void operator()()`, one full pass. It must not trust the event
//                 itself (events carry no payload here); it compares and applies state.
//
// The worker keeps a pending count (atomic) and an auto-reset wake-up event. Each dispatcher
// event adds 1 to the count and sets the event; the worker runs one pass per pending unit, so
// events arriving during a pass add passes instead of being lost. An exception leaving a pass
// abandons that pass only (it is counted in failedPasses()); the next event runs a fresh pass.
// The node event and the enumeration's view of the board are published separately, so a pass
// right after an event may still see the old board set. Once the passes of an event are done, the
// worker runs confirming passes after quiet times of kSettleMs (20 ms, then 200 ms more; a new
// event starts over); a change the first pass could not see yet is reported then instead of
// being lost until the next event. A confirming pass that finds nothing sends empty notices.
//
// A dispatcher whose wait fails (its status holds an error) is not the end of hotplug detection:
// the failure is traced once per outage, and after a back-off (kRebuildFirstMs doubling up to
// kRebuildMaxMs; shutdown cuts it short) a new dispatcher is built; once one is built, one pass
// runs, for the changes made while none watched. Only the first dispatcher's construction
// failure ends the thread (construction reports it).
//
// Construction starts the worker, then the notification thread (only while the status is
// good), waits until the notification thread has built its dispatcher and takes over the
// dispatcher's construction status. status() then tells whether the pair runs.
// Shutdown (shutdown() or the destructor), in this order: under the guard mutex mark the pair
// stopping and cancel the published dispatcher, end a back-off, join the notification thread; set
// the worker's stop flag, add 1 to the pending count, set its event and join it; destroy the events
// and the guard mutex. Must not be called on either of the pair's own threads (a thread cannot join
// itself).
//
// Lock order: the guard mutex is a leaf (held only to publish, clear or cancel the dispatcher
// pointer and to read or set the stopping flag; cancel writes one byte to a pipe). The pass runs
// with no lock of this pair held.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"
#include "qoapal/protons/thread/tThreadController.h"
#include "qoapal/quarks/synchronization/synchronization.h"
#include "qoapal/quarks/thread/iThread.h"
#include "qoapal/trace/qosdbg.h"
#include "qoapal/component.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr char kPnPSourceName[] = "qoapal/protons/device_notification/tPnPThread";
inline constexpr char kPnPWorkerThreadName[] = "nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tPnPWorker";
inline constexpr char kPnPThreadName[] = "nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tPnPThread";

namespace detail {

template <class Op>
class tPnPWorker final : public iThread {
 public:
  explicit tPnPWorker(Op* op) noexcept : op_(op) {}
  ~tPnPWorker() override { stop(); }
  tPnPWorker(const tPnPWorker&) = delete;
  tPnPWorker& operator=(const tPnPWorker&) = delete;

  void createEvent(tStatus* status) noexcept { event_.create(true, status); }
  void start(tStatus* status) noexcept { thread_.start(this, 0, kPnPWorkerThreadName, status); }
  // One more pass wanted.
  void post() noexcept {
    pending_.fetch_add(1, std::memory_order_acq_rel);
    event_.set();
  }
  // Stops and joins the worker (a pass in progress ends first); idempotent.
  void stop() noexcept {
    if (thread_.isJoinable()) {
      stop_.store(true, std::memory_order_release);
      post();
      thread_.join();
    }
    event_.destroy();
  }

  std::uint64_t completedPasses() const noexcept { return passes_.load(std::memory_order_acquire); }
  std::uint64_t failedPasses() const noexcept { return failed_.load(std::memory_order_acquire); }

  void run() override {
    if (!event_.isCreated()) return;   // nothing could ever wake us
    std::size_t recheck = kNoRecheck;  // index into kSettleMs of the next confirming pass
    for (;;) {
      if (recheck != kNoRecheck) {
        if (!event_.waitFor(kSettleMs[recheck])) {
          // Quiet since the last pass: look once more, for publications that lagged the node
          // event (a board's node can appear before the enumeration lists it, and vanish
          // before it stops listing it).
          recheck = recheck + 1 < std::size(kSettleMs) ? recheck + 1 : kNoRecheck;
          if (stop_.load(std::memory_order_acquire)) return;
          runPass();
          continue;
        }
      } else {
        event_.wait();
      }
      if (pending_.load(std::memory_order_acquire) == 0) continue;
      if (stop_.load(std::memory_order_acquire)) return;
      for (;;) {
        runPass();
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) break;
        if (stop_.load(std::memory_order_acquire)) return;
      }
      recheck = 0;
    }
  }

  // Quiet times after the passes of an event before each confirming pass: a short one for
  // publications a moment behind the node, a long one for slow ones.
  static constexpr std::int64_t kSettleMs[] = {20, 200};
  static constexpr std::size_t kNoRecheck = ~std::size_t{0};

 private:
  void runPass() {
    try {
      (*op_)();
      passes_.fetch_add(1, std::memory_order_acq_rel);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // This pass is abandoned; the cache and the host stay as they were and the next event
      // compares afresh.
      failed_.fetch_add(1, std::memory_order_acq_rel);
    }
  }

  Op* op_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int32_t> pending_{0};
  tEvent event_;
  std::atomic<std::uint64_t> passes_{0};
  std::atomic<std::uint64_t> failed_{0};
  tThreadController thread_;
};

}  // namespace detail

template <class Dispatcher, class Name, class Op>
class tPnPThreadTemplate : public iThread {
 public:
  tPnPThreadTemplate(Op* op, const Name* const* names, std::size_t count) noexcept : worker_(op) {
    try {
      names_.assign(names, names + count);
    } catch (const std::bad_alloc&) {
      status_.setCode(nQOAPALS100::tStatus::kMemoryFull, kComponentName, kPnPSourceName, __LINE__);
    }
    started_.create(true, &status_);
    rebuild_.create(false, &status_);
    guard_.create(&status_);
    worker_.createEvent(&status_);
    worker_.start(&status_);
    thread_.start(this, 0, kPnPThreadName, &status_);
    if (thread_.isJoinable()) {
      started_.wait();
      status_.mergeFrom(threadStatus_);
    }
  }
  ~tPnPThreadTemplate() override { shutdown(); }
  tPnPThreadTemplate(const tPnPThreadTemplate&) = delete;
  tPnPThreadTemplate& operator=(const tPnPThreadTemplate&) = delete;

  // Stops and joins both threads (see above); idempotent.
  void shutdown() noexcept {
    if (thread_.isJoinable()) {
      guard_.lock();
      stopping_ = true;
      if (dispatcher_ != nullptr) dispatcher_->cancel();
      guard_.unlock();
      rebuild_.set();
      thread_.join();
    }
    worker_.stop();
    started_.destroy();
    rebuild_.destroy();
    guard_.destroy();
  }

  const tStatus& status() const noexcept { return status_; }
  const detail::tPnPWorker<Op>& worker() const noexcept { return worker_; }
  // Events the dispatcher reported (each became a pass request).
  std::uint64_t reportedEvents() const noexcept { return events_.load(std::memory_order_acquire); }

  // Back-off before a failed dispatcher is built again: doubling from the first to the last.
  static constexpr std::int64_t kRebuildFirstMs = 100;
  static constexpr std::int64_t kRebuildMaxMs = 3200;

  void run() override {
    std::int64_t backoffMs = kRebuildFirstMs;
    bool traced = false;
    for (bool first = true;; first = false) {
      tStatus local;
      bool delivered = false;
      if (watch(first, local, delivered)) return;  // cancelled, or the first build failed
      if (delivered) {
        backoffMs = kRebuildFirstMs;
        traced = false;
      }
      if (!traced) {
        // Once per outage: the rebuilds that follow are not traced again.
        printLine({kPnPSourceName, __LINE__, "\n"},
                  "device notifications failed (%lld); rebuilding the dispatcher",
                  static_cast<long long>(local.code));
        traced = true;
      }
      if (rebuild_.waitFor(backoffMs)) return;  // shutdown during the back-off
      backoffMs = backoffMs * 2 > kRebuildMaxMs ? kRebuildMaxMs : backoffMs * 2;
    }
  }

 private:
  // One dispatcher's life on the notification thread. True when the thread is to end
  // (cancelled, or the very first dispatcher could not be built: construction reports it); false
  // when the dispatcher failed and is to be rebuilt. `delivered`: it reported an event.
  bool watch(bool first, tStatus& local, bool& delivered) {
    Dispatcher dispatcher(names_.data(), names_.size(), &local);
    guard_.lock();
    dispatcher_ = &dispatcher;
    if (stopping_) dispatcher.cancel();  // shutdown came between two dispatchers
    guard_.unlock();
    if (first) {
      threadStatus_.mergeFrom(local);
      started_.set();
    } else if (!local.isFatal()) {
      // Changes during the outage went unseen: one pass compares afresh.
      worker_.post();
    }
    bool end = first && local.isFatal();
    while (!end) {
      bool changed = false;
      dispatcher.wait(&changed, &local);
      if (local.isFatal()) break;  // failed: to be rebuilt
      if (!changed) {
        end = true;  // cancelled
        break;
      }
      delivered = true;
      events_.fetch_add(1, std::memory_order_acq_rel);
      worker_.post();
    }
    guard_.lock();
    dispatcher_ = nullptr;
    guard_.unlock();
    return end;
  }

  tStatus status_;
  std::vector<const Name*> names_;
  Dispatcher* dispatcher_ = nullptr;  // guarded by guard_
  bool stopping_ = false;             // guarded by guard_
  tEvent rebuild_;                    // manual reset; set by shutdown to end a back-off
  tEvent started_;
  tFastMutex guard_;
  tThreadController thread_;
  detail::tPnPWorker<Op> worker_;
  tStatus threadStatus_;  // written by the notification thread before it sets started_
  std::atomic<std::uint64_t> events_{0};
};

template <class Op>
class tPnPThread final : public tPnPThreadTemplate<tNotificationDispatcher, char, Op> {
 public:
  using tPnPThreadTemplate<tNotificationDispatcher, char, Op>::tPnPThreadTemplate;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
