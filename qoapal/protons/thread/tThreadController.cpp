#include "qoapal/protons/thread/tThreadController.h"

#include <cstdlib>
#include <cstring>

#include "qoapal/component.h"
#include "qoapal/quarks/thread/thread.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

tThreadController::~tThreadController() {
  if (joinable_) {
    if (pthread_equal(threadId_, pthread_self()))
      pthread_detach(threadId_);  // destroyed by its own body: the thread ends by itself
    else
      pthread_join(threadId_, nullptr);
    joinable_ = false;
    running_ = false;
  }
  // Only left when the thread never started (the started thread takes its copy first).
  std::free(name_);
  name_ = nullptr;
}

void tThreadController::start(iThread* body, tStatus* status) noexcept {
  start(body, 0, kDefaultName, status);
}

void tThreadController::start(iThread* body, int priority, const char* name,
                              tStatus* status) noexcept {
  if (status == nullptr) return;
  if (running_) {
    status->setCode(kAlreadyRunning, kComponentName, kSourceName,
                    kLineAlreadyRunning);
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
    status->setCode(nQOAPALS100::tStatus::kMemoryFull, kComponentName, kSourceName,
                    kLineNameCopy);
    return;
  }
  if (!thread::createThread(&threadId_, &tThreadController::entry, this, priority, status)) {
    std::free(name_);
    name_ = nullptr;
    return;
  }
  running_ = true;
  joinable_ = true;
}

void tThreadController::join() noexcept {
  if (!joinable_) return;
  if (pthread_equal(threadId_, pthread_self())) return;
  pthread_join(threadId_, nullptr);
  // Joined once: a second join must not reach the system with a stale id.
  joinable_ = false;
  running_ = false;
}

void tThreadController::runEntry(tThreadController* controller) {
  char* name = controller->name_;
  controller->name_ = nullptr;
  if (name != nullptr) {
    thread::setCurrentThreadName(name);
    std::free(name);
  }
  thread::runBody(controller->body_);
}

void* tThreadController::entry(void* controller) {
  auto* self = static_cast<tThreadController*>(controller);
  self->entryCallback_(self);
  return nullptr;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
