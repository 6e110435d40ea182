// tThreadController: starts and joins one POSIX thread that runs an iThread body, with a name
// and a scheduling class.
//
//  - start(body, priority, name, status): priority <= 0 runs the thread under SCHED_OTHER,
//    priority > 0 under SCHED_RR with that priority; the scheduling attributes are explicit
//    (never inherited from the starting thread). The new thread names itself with `name`
//    (prctl(PR_SET_NAME); the kernel keeps the first 15 bytes) before it calls body->run().
//    start(body, status) is the same with priority 0 and the name "qovorlixatomicsae".
//  - A controller runs one thread at a time: start() while a thread was started and not yet
//    joined sets -52016 (source "tThreadController", line 56) and leaves that thread alone.
//    After join() the controller can start again.
//  - join() waits for the thread once; further calls do nothing.
//
// Destruction: a controller destroyed while its thread is still joinable joins it first, so no
// thread ever outlives its controller (or, through it, a body that lives next to it). Owners
// stop their body before destroying the controller, exactly as before a join(); a body that
// never returns therefore blocks the destructor instead of leaving a thread that would run on
// freed memory. The one case that cannot join, a controller destroyed on its own thread (the
// body destroying its own controller), detaches the thread instead, which then ends by itself.
//
// Thread safety: a controller belongs to one owning thread (start, join and destruction are not
// synchronised with each other); the started thread only reads the body and takes the name.
// Lock order: the controller's start gate is a leaf. start() holds it only while it creates the
// thread and records it; the new thread takes and releases it once before running the body. No
// other lock is taken while it is held, and none is held while the body runs.
//
// Failures go into the caller's tStatus (codes of qoapal/status/tStatus.h); nothing throws.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "qoapal/quarks/thread/iThread.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class tThreadController {
 public:
  static constexpr std::int64_t kAlreadyRunning = -52016;  // a thread is started, not joined
  static constexpr char kSourceName[] = "tThreadController";
  static constexpr unsigned kLineAlreadyRunning = 56;
  static constexpr unsigned kLineInvalidBody = 57;
  static constexpr unsigned kLineNameCopy = 58;
  static constexpr char kDefaultName[] = "qovorlixatomicsae";

  tThreadController() noexcept = default;
  virtual ~tThreadController();
  tThreadController(const tThreadController&) = delete;
  tThreadController& operator=(const tThreadController&) = delete;

  // Does nothing when *status holds an error. A null body sets -52005; a null name uses the
  // default name; a name that cannot be copied sets -52000; the thread primitives report
  // -52008 (source "quarks/thread") when attributes or the thread are refused.
  void start(iThread* body, int priority, const char* name, tStatus* status) noexcept;
  void start(iThread* body, tStatus* status) noexcept;
  // Waits for the started thread to end. Does nothing when no thread is joinable, and when
  // called on the controller's own thread (which could never return).
  void join() noexcept;

  // Started and not joined yet (the thread itself may already have returned).
  bool isRunning() const noexcept { return running_; }
  bool isJoinable() const noexcept { return joinable_; }
  // The thread's id; meaningful while joinable.
  pthread_t threadId() const noexcept { return threadId_; }
  // True on a thread started by some controller, while its body runs: one of the library's own
  // threads (task workers, presence threads), on which nothing that owns such a thread may be
  // destroyed.
  static bool onControlledThread() noexcept;

 private:
  static void* entry(void* controller);
  static void runEntry(tThreadController* controller);

  pthread_t threadId_{};
  iThread* body_ = nullptr;
  void (*entryCallback_)(tThreadController*) = nullptr;
  char* name_ = nullptr;  // owned until the started thread takes it
  bool running_ = false;
  bool joinable_ = false;
  // Held by start() while it creates the thread and records it; the new thread passes through
  // it before anything else.
  pthread_mutex_t startGate_ = PTHREAD_MUTEX_INITIALIZER;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
