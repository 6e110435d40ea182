#include "qoapal/protons/io_notification/linuxU/tThreadedIONotificationReader.h"

#include <pthread.h>

#include <mutex>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

// The process-wide list of retired readers (a singly linked list through nextRetired_, so
// retiring never allocates). Its destructor runs when the library is unloaded or the process
// exits and joins whatever is still on the list.
struct tRetiredReaders {
  std::mutex mutex;
  tThreadedIONotificationReader* head = nullptr;

  ~tRetiredReaders() { tThreadedIONotificationReader::reapRetired(true); }

  // Unlinks the readers that may be freed now (see reapRetired) and returns them as a list.
  tThreadedIONotificationReader* takeReapable(bool waitForAll, std::size_t& remaining) {
    std::lock_guard<std::mutex> lock(mutex);
    tThreadedIONotificationReader* taken = nullptr;
    tThreadedIONotificationReader** link = &head;
    remaining = 0;
    while (*link != nullptr) {
      tThreadedIONotificationReader* reader = *link;
      const bool finished = reader->loopFinished_.load(std::memory_order_acquire);
      if (finished || (waitForAll && !reader->onOwnThread())) {
        *link = reader->nextRetired_;
        reader->nextRetired_ = taken;
        taken = reader;
      } else {
        link = &reader->nextRetired_;
        ++remaining;
      }
    }
    return taken;
  }
};

namespace {
tRetiredReaders gRetiredReaders;
}  // namespace

tThreadedIONotificationReader::tThreadedIONotificationReader(std::uint64_t queueDepth,
                                                             tHandler handler, void* context,
                                                             tStatus* status) noexcept
    : tIONotificationReader(queueDepth, status), handler_(handler), context_(context) {}

tThreadedIONotificationReader::~tThreadedIONotificationReader() { stopThread(); }

void tThreadedIONotificationReader::startThread(const char* name, int priority,
                                                tStatus* status) noexcept {
  if (status == nullptr || status->isFatal()) return;
  if (!controller_.isJoinable()) {
    stopRequested_.store(false, std::memory_order_relaxed);
    loopFinished_.store(false, std::memory_order_relaxed);
  }
  controller_.start(this, priority, name != nullptr ? name : kDefaultThreadName, status);
}

void tThreadedIONotificationReader::startThread(tStatus* status) noexcept {
  startThread(kDefaultThreadName, 0, status);
}

void tThreadedIONotificationReader::stopThread() noexcept {
  if (!controller_.isJoinable()) return;
  stopRequested_.store(true, std::memory_order_release);
  tStatus status;
  wake(&status);  // a full pipe already holds wake-ups; the stop request covers the rest
  controller_.join();
  // A wake-up the thread did not consume must not end a later run at once.
  drainWakeups();
  stopRequested_.store(false, std::memory_order_relaxed);
}

bool tThreadedIONotificationReader::onOwnThread() const noexcept {
  return controller_.isJoinable() && pthread_equal(controller_.threadId(), pthread_self()) != 0;
}

void tThreadedIONotificationReader::retire(
    std::unique_ptr<tThreadedIONotificationReader> reader) noexcept {
  if (!reader) return;
  if (!reader->onOwnThread()) {
    reader.reset();  // an ordinary destruction: woken and joined here
    return;
  }
  // The loop checks the request before it waits again, so no wait runs on the closed
  // descriptors, and nothing can still be waiting on them: this is the waiting thread.
  reader->stopRequested_.store(true, std::memory_order_release);
  reader->closeDescriptors();
  std::lock_guard<std::mutex> lock(gRetiredReaders.mutex);
  reader->nextRetired_ = gRetiredReaders.head;
  gRetiredReaders.head = reader.release();
}

std::size_t tThreadedIONotificationReader::reapRetired(bool waitForAll) noexcept {
  std::size_t remaining = 0;
  tThreadedIONotificationReader* reader = gRetiredReaders.takeReapable(waitForAll, remaining);
  while (reader != nullptr) {
    tThreadedIONotificationReader* next = reader->nextRetired_;
    delete reader;  // joins the thread (outside the list's lock)
    reader = next;
  }
  return remaining;
}

int tThreadedIONotificationReader::nextPauseMs(int previousMs, bool waitFailed) noexcept {
  if (!waitFailed) return 0;
  if (previousMs <= 0) return kFirstPauseMs;
  return previousMs >= kLongestPauseMs / 2 ? kLongestPauseMs : previousMs * 2;
}

void tThreadedIONotificationReader::run() {
  int pauseMs = 0;
  while (!stopRequested_.load(std::memory_order_acquire)) {
    tStatus status;
    int kind = kKindData;
    std::uint8_t payload[kPayloadCapacity] = {};
    std::uint32_t payloadSize = 0;
    const std::uint64_t cookie = wait(&kind, payload, &payloadSize, &status, -1);
    if (status.isNotFatal() && kind == kKindWake) break;
    if (handler_ != nullptr) handler_(context_, kind, cookie, payload, payloadSize, status);
    // A failed wait usually fails again at once: pause, still listening for a wake-up.
    pauseMs = nextPauseMs(pauseMs, status.isFatal());
    if (stopRequested_.load(std::memory_order_acquire)) break;  // retired by the handler
    if (pauseMs > 0 && waitForWakeOnly(pauseMs)) break;
  }
  // The last touch of this reader: a retired reader may be freed from here on.
  loopFinished_.store(true, std::memory_order_release);
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
