#include "qoapal/quarks/synchronization/synchronization.h"

#include <cerrno>

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

using namespace synchronization;

// ---------------------------------------------------------------------------------------------
// tFastMutex

tFastMutex::~tFastMutex() { destroy(); }

void tFastMutex::create(tStatus* status) noexcept {
  if (status == nullptr || status->isFatal() || created_) return;
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    status->setCode(nQOAPALS100::tStatus::kEnumerationFailed, kComponentName, kSourceName,
                    kLineMutexCreate);
    return;
  }
  bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0;
  // A system without priority inheritance still gets a working recursive mutex.
  const bool inheritance =
      ok && pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0;
  if (ok) {
    // Initialised in place (a system mutex must not be copied). The static recursive
    // initialiser it replaces needs no destruction.
    ok = pthread_mutex_init(&mutex_, &attributes) == 0;
    if (ok) {
      created_ = true;
      priorityInheritance_ = inheritance;
    } else {
      mutex_ = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    }
  }
  pthread_mutexattr_destroy(&attributes);
  if (!ok)
    status->setCode(nQOAPALS100::tStatus::kEnumerationFailed, kComponentName, kSourceName,
                    kLineMutexCreate);
}

void tFastMutex::lock() noexcept { pthread_mutex_lock(&mutex_); }

bool tFastMutex::tryLock() noexcept { return pthread_mutex_trylock(&mutex_) == 0; }

void tFastMutex::unlock() noexcept { pthread_mutex_unlock(&mutex_); }

void tFastMutex::destroy() noexcept {
  if (!created_) return;
  if (pthread_mutex_destroy(&mutex_) != 0) return;  // still held: keep it
  mutex_ = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  created_ = false;
  priorityInheritance_ = false;
}

// ---------------------------------------------------------------------------------------------
// tEvent

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// now + timeoutMs on `clock`, saturating instead of overflowing.
timespec deadlineAfter(clockid_t clock, std::int64_t timeoutMs) {
  timespec now{};
  clock_gettime(clock, &now);
  constexpr std::int64_t kMaxSeconds = INT64_MAX / 2;
  std::int64_t seconds = timeoutMs / 1000;
  if (seconds > kMaxSeconds - now.tv_sec) seconds = kMaxSeconds - now.tv_sec;
  std::int64_t nanoseconds = now.tv_nsec + (timeoutMs % 1000) * 1'000'000;
  seconds += now.tv_sec;
  if (nanoseconds >= kNanosecondsPerSecond) {
    nanoseconds -= kNanosecondsPerSecond;
    ++seconds;
  }
  timespec deadline{};
  deadline.tv_sec = static_cast<time_t>(seconds);
  deadline.tv_nsec = static_cast<long>(nanoseconds);
  return deadline;
}

}  // namespace

tEvent::~tEvent() { destroy(); }

void tEvent::create(bool autoReset, tStatus* status) noexcept {
  if (status == nullptr || status->isFatal() || eventCreated_) return;
  pthread_condattr_t attributes;
  bool haveAttributes = pthread_condattr_init(&attributes) == 0;
  if (haveAttributes && pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) != 0) {
    pthread_condattr_destroy(&attributes);
    haveAttributes = false;
  }
  const int created = pthread_cond_init(&condition_, haveAttributes ? &attributes : nullptr);
  if (haveAttributes) pthread_condattr_destroy(&attributes);
  if (created != 0) {
    condition_ = PTHREAD_COND_INITIALIZER;
    status->setCode(nQOAPALS100::tStatus::kOsFault, kComponentName, kSourceName, kLineEventCreate);
    return;
  }
  clock_ = haveAttributes ? CLOCK_MONOTONIC : CLOCK_REALTIME;

  mutex_.create(status);
  if (!mutex_.isCreated()) {
    pthread_cond_destroy(&condition_);
    condition_ = PTHREAD_COND_INITIALIZER;
    clock_ = CLOCK_MONOTONIC;
    return;
  }
  mutexCreated_ = true;
  autoReset_ = autoReset;
  signaled_ = false;
  eventCreated_ = true;
}

void tEvent::set() noexcept {
  if (!eventCreated_) return;
  tFastMutexLock hold(mutex_);
  signaled_ = true;
  if (autoReset_)
    pthread_cond_signal(&condition_);
  else
    pthread_cond_broadcast(&condition_);
}

void tEvent::reset() noexcept {
  if (!eventCreated_) return;
  tFastMutexLock hold(mutex_);
  signaled_ = false;
}

bool tEvent::wait() noexcept {
  if (!eventCreated_) return false;
  tFastMutexLock hold(mutex_);
  while (!signaled_) {
    if (pthread_cond_wait(&condition_, &mutex_.mutex_) != 0) break;
  }
  const bool signaled = signaled_;
  if (signaled && autoReset_) signaled_ = false;
  return signaled;
}

bool tEvent::waitFor(std::int64_t timeoutMs) noexcept {
  if (timeoutMs < 0) return wait();
  if (!eventCreated_) return false;
  const timespec deadline = deadlineAfter(clock_, timeoutMs);
  tFastMutexLock hold(mutex_);
  while (!signaled_) {
    const int result = pthread_cond_timedwait(&condition_, &mutex_.mutex_, &deadline);
    if (result == ETIMEDOUT || (result != 0 && result != EINTR)) break;
  }
  const bool signaled = signaled_;
  if (signaled && autoReset_) signaled_ = false;
  return signaled;
}

void tEvent::destroy() noexcept {
  if (!eventCreated_) return;
  eventCreated_ = false;
  mutex_.destroy();
  mutexCreated_ = false;
  pthread_cond_destroy(&condition_);
  condition_ = PTHREAD_COND_INITIALIZER;
  signaled_ = false;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
