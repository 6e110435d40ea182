#include "qoapal/protons/thread/tThreadController.h"

#include <cstdlib>
#include <cstring>

#include "qoapal/component.h"
#include "qoapal/quarks/thread/thread.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace {
// The controller whose thread is the calling thread (null on threads it did not start).
thread_local const tThreadController* tCurrentController = nullptr;
}  // namespace

tThreadController::~tThreadController() {
  if (tCurrentController == this) {
    // Destroyed by its own body: joining itself is impossible, so the thread ends by itself.
    pthread_detach(pthread_self());
    tCurrentController = nullptr;
  } else if (joinable_) {
    pthread_join(threadId_, nullptr);
  }
  joinable_ = false;
  running_ = false;
  // Only left when the thread never started (the started thread takes its copy first).
  std::free(name_);
  name_ = nullptr;
  pthread_mutex_destroy(&startGate_);
}

void tThreadController::start(iThread* body, tStatus* status) noexcept {
  start(body, 0, kDefaultName, status);
}

void tThreadController::start(iThread* body, int priority, const char* name,
                              tStatus* status) noexcept {
  if (status == nullptr) return;
  if (running_) {
    status->setCode(kAlreadyRunning, kComponentName, kSourceName, kLineAlreadyRunning);
    return;
  }
  // A thread of an earlier run has been joined already: forget it.
  joinable_ = false;
  running_ = false;
  if (status->isFatal()) return;
  if (body == nullptr) {
    status->setCode(nQOAPALS100::tStatus::kInvalidParameter, kComponentName, kSourceName,
                    kLineInvalidBody);
    return;
  }
  body_ = body;
  entryCallback_ = &tThreadController::runEntry;

  std::free(name_);
  name_ = ::strdup(name != nullptr ? name : kDefaultName);
  if (name_ == nullptr) {
    status->setCode(nQOAPALS100::tStatus::kMemoryFull, kComponentName, kSourceName, kLineNameCopy);
    return;
  }
  // The new thread waits at the gate until the controller is complete, so even a body that
  // destroys its own controller finds it fully written.
  pthread_mutex_lock(&startGate_);
  if (!thread::createThread(&threadId_, &tThreadController::entry, this, priority, status)) {
    pthread_mutex_unlock(&startGate_);
    std::free(name_);
    name_ = nullptr;
    return;
  }
  running_ = true;
  joinable_ = true;
  pthread_mutex_unlock(&startGate_);
}

void tThreadController::join() noexcept {
  if (!joinable_ || tCurrentController == this) return;
  pthread_join(threadId_, nullptr);
  // Joined once: a second join must not reach the system with a stale id.
  joinable_ = false;
  running_ = false;
}

void tThreadController::runEntry(tThreadController* controller) {
  pthread_mutex_lock(&controller->startGate_);
  pthread_mutex_unlock(&controller->startGate_);
  tCurrentController = controller;
  char* name = controller->name_;
  controller->name_ = nullptr;
  if (name != nullptr) {
    thread::setCurrentThreadName(name);
    std::free(name);
  }
  iThread* body = controller->body_;
  thread::runBody(body);
  // The controller may be gone now (a body may destroy its own controller).
  tCurrentController = nullptr;
}

bool tThreadController::onControlledThread() noexcept { return tCurrentController != nullptr; }

void* tThreadController::entry(void* controller) {
  auto* self = static_cast<tThreadController*>(controller);
  self->entryCallback_(self);
  return nullptr;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
