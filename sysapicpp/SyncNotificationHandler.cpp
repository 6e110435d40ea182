#include "sysapicpp/SyncNotificationHandler.h"

#include <utility>

namespace sysapicpp {

SyncNotificationHandler::SyncNotificationHandler(ImxSysExpert* expert) noexcept : expert_(expert) {}

SyncNotificationHandler::~SyncNotificationHandler() {
  if (sink_ != nullptr) std::exchange(sink_, nullptr)->Release();
}

void SyncNotificationHandler::setSink(IUnknown* sink) {
  if (sink == nullptr) {
    clearSink();
    return;
  }
  CqoCSLock guard(lock_);
  sink->AddRef();  // before releasing the old one: the same sink may be registered again
  IUnknown* old = std::exchange(sink_, sink);
  if (old != nullptr) old->Release();
}

void SyncNotificationHandler::clearSink() {
  CqoCSLock guard(lock_);
  IUnknown* old = std::exchange(sink_, nullptr);
  if (old != nullptr) old->Release();
}

bool SyncNotificationHandler::hasSink() const {
  CqoCSLock guard(lock_);
  return sink_ != nullptr;
}

}  // namespace sysapicpp
