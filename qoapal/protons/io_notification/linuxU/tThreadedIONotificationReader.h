// tThreadedIONotificationReader: an I/O notification reader that waits on a thread of its own
// and hands every message to a handler.
//
// The thread (started with startThread, named "qo-ionotify" unless told otherwise) repeats:
// wait with no time-out using a fresh tStatus; a wake-up (kind 2) ends the loop; anything else,
// including a failed wait (kind 0 with an error status), goes to the handler, which ignores
// messages whose status holds an error. The handler runs on the reader's thread.
//
// A wait that keeps failing (a broken socket, for example) must not make the thread spin: after
// a failed wait the thread pauses, first for 1 ms and doubling up to 100 ms, before it waits
// again; the first successful wait resets the pause. The pause watches the wake pipe, so a
// wake-up ends the thread at once even while it pauses.
//
// Destruction (and stopThread) wakes the thread and joins it, so the handler is never called
// after the destructor has begun its join and the thread never outlives the reader.
//
// Ending a reader from its own handler: a thread cannot join itself, and freeing the reader
// there would leave the loop running on freed memory and waiting on descriptors that may
// already be someone else's. retire() is the way out: it asks the loop to end, closes the
// descriptors at once and puts the reader on a process-wide list of retired readers. The
// thread returns from the handler, leaves its loop without waiting again and marks itself
// finished; reapRetired() on any other thread then joins and frees it (it only takes finished
// readers, so it never waits for a handler). The list's own teardown, when the library is
// unloaded or the process exits, joins every reader still on it, so no thread of a retired
// reader runs library code after the library is gone.
//
// Threads and locks: the owner starts and stops the thread; the reader's thread only waits and
// calls the handler. No lock is held while the handler runs; the reader takes none itself. The
// retired list's mutex is a leaf: held only to link or unlink readers, never while joining or
// freeing one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "qoapal/protons/io_notification/linuxU/tIONotificationReader.h"
#include "qoapal/protons/thread/tThreadController.h"
#include "qoapal/quarks/thread/iThread.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class tThreadedIONotificationReader : public tIONotificationReader, private iThread {
 public:
  // Called on the reader's thread for every message or failed wait.
  using tHandler = void (*)(void* context, int kind, std::uint64_t cookie,
                            const std::uint8_t* payload, std::uint32_t payloadSize,
                            const tStatus& status);

  static constexpr char kDefaultThreadName[] = "qo-ionotify";
  static constexpr int kFirstPauseMs = 1;
  static constexpr int kLongestPauseMs = 100;

  tThreadedIONotificationReader(std::uint64_t queueDepth, tHandler handler, void* context,
                                tStatus* status) noexcept;
  // Wakes the thread, joins it if it was started, then closes the descriptors.
  ~tThreadedIONotificationReader() override;

  // Starts the waiting thread (tThreadController: -52016 when it already runs, -52008 when the
  // system refuses it). Does nothing when *status holds an error.
  void startThread(const char* name, int priority, tStatus* status) noexcept;
  void startThread(tStatus* status) noexcept;  // kDefaultThreadName, priority 0
  // Wakes the thread and joins it; the reader can be started again afterwards.
  void stopThread() noexcept;

  bool threadStarted() const noexcept { return controller_.isJoinable(); }
  // True on the reader's own thread (that is, inside its handler).
  bool onOwnThread() const noexcept;

  // Ends a reader from its own thread (see above); on any other thread the reader is simply
  // destroyed (woken and joined). A null reader is ignored.
  static void retire(std::unique_ptr<tThreadedIONotificationReader> reader) noexcept;
  // Joins and frees the retired readers whose loop has finished, or, with waitForAll, every
  // retired reader except one running on the calling thread (waiting for its handler to
  // return). Returns how many stay on the list.
  static std::size_t reapRetired(bool waitForAll = false) noexcept;

  // The pause after a wait: 0 after a success; after a failure the previous pause doubled
  // (kFirstPauseMs after none), at most kLongestPauseMs.
  static int nextPauseMs(int previousMs, bool waitFailed) noexcept;

 private:
  void run() override;
  friend struct tRetiredReaders;

  tThreadController controller_;
  tHandler handler_;
  void* context_;
  std::atomic<bool> stopRequested_{false};
  // Set by the thread as the last thing it does with this reader.
  std::atomic<bool> loopFinished_{false};
  tThreadedIONotificationReader* nextRetired_ = nullptr;  // guarded by the retired list's mutex
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
