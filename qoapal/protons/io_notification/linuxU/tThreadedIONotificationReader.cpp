#include "qoapal/protons/io_notification/linuxU/tThreadedIONotificationReader.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

tThreadedIONotificationReader::tThreadedIONotificationReader(std::uint64_t queueDepth,
                                                             tHandler handler, void* context,
                                                             tStatus* status) noexcept
    : tIONotificationReader(queueDepth, status), handler_(handler), context_(context) {}

tThreadedIONotificationReader::~tThreadedIONotificationReader() { stopThread(); }

void tThreadedIONotificationReader::startThread(const char* name, int priority,
                                                tStatus* status) noexcept {
  if (status == nullptr || status->isFatal()) return;
  if (!controller_.isJoinable()) stopRequested_.store(false, std::memory_order_relaxed);
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
    if (pauseMs > 0 && waitForWakeOnly(pauseMs)) break;
  }
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
