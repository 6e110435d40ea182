// The expert object's notification handler: it owns the host's registered notification sink.
// Delivery of notices to the sink is added with the notification framework; for now the handler
// holds and drops the sink.
//
// Lock order: the handler's lock is taken before any host call made under it (AddRef/Release of
// the sink); a host that calls back into the handler on the same thread re-enters the recursive
// lock.
#pragma once

#include "qo/dsc/CqoCS.h"
#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpert;

namespace sysapicpp {

class SyncNotificationHandler {
 public:
  // `expert` is the expert object's primary interface; it is not referenced (the handler lives
  // inside that object).
  explicit SyncNotificationHandler(ImxSysExpert* expert) noexcept;
  ~SyncNotificationHandler();

  SyncNotificationHandler(const SyncNotificationHandler&) = delete;
  SyncNotificationHandler& operator=(const SyncNotificationHandler&) = delete;

  // Registers `sink` (non-null), adding a reference to it; a previously registered sink is
  // released. Taken under the lock, so a sink in use by another thread is never released under it.
  void setSink(IUnknown* sink);
  // Releases the registered sink, if any, and forgets it.
  void clearSink();
  bool hasSink() const;
  ImxSysExpert* expert() const noexcept { return expert_; }

 private:
  mutable CqoCS lock_;
  IUnknown* sink_ = nullptr;  // one reference held while registered
  ImxSysExpert* expert_;
};

}  // namespace sysapicpp
