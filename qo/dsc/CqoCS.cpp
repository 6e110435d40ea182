#include "qo/dsc/CqoCS.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qo::dsc {

bool realtimeMarkerSet(const char* path) noexcept {
  if (path == nullptr) return false;
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char first = 0;
  ssize_t n;
  do {
    n = ::read(fd, &first, 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == 1 && first == '1';
}

bool systemIsRealtime() noexcept {
  // A function-local static is initialised exactly once, even with concurrent first callers.
  static const bool realtime = realtimeMarkerSet("/sys/kernel/realtime");
  return realtime;
}

}  // namespace qo::dsc

namespace {

bool initRecursive(pthread_mutex_t* m, bool priorityInheritance) noexcept {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
  if (ok && priorityInheritance)
    ok = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0;
  if (ok) ok = pthread_mutex_init(m, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

}  // namespace

CqoCS::CqoCS() : CqoCS(qo::dsc::systemIsRealtime()) {}

CqoCS::CqoCS(bool priorityInheritance) {
  // A system that refuses priority inheritance still gets a working recursive lock.
  if (priorityInheritance && initRecursive(&mutex_, true)) {
    priorityInheritance_ = true;
    return;
  }
  if (!initRecursive(&mutex_, false)) {
    // Recursive initialisation cannot fail on Linux short of a broken libc; keep a usable
    // recursive mutex from the static initialiser in that case.
    pthread_mutex_t fallback = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    mutex_ = fallback;
  }
}

CqoCS::~CqoCS() { pthread_mutex_destroy(&mutex_); }

bool CqoCS::lock(std::int32_t /*timeout*/) noexcept {
  if (pthread_mutex_lock(&mutex_) != 0) return false;  // e.g. recursion depth exhausted
  if (count_ == 0) owner_.store(pthread_self(), std::memory_order_relaxed);
  ++count_;
  return true;
}

bool CqoCS::tryLock() noexcept {
  if (pthread_mutex_trylock(&mutex_) != 0) return false;
  if (count_ == 0) owner_.store(pthread_self(), std::memory_order_relaxed);
  ++count_;
  return true;
}

void CqoCS::unlock() noexcept {
  if (!isHeldByCurrentThread()) return;
  if (--count_ == 0) owner_.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex_);
}

bool CqoCS::isHeldByCurrentThread() const noexcept {
  const pthread_t owner = owner_.load(std::memory_order_relaxed);
  return owner != 0 && pthread_equal(owner, pthread_self());
}

std::int32_t CqoCS::recursionCount() const noexcept { return isHeldByCurrentThread() ? count_ : 0; }
