// The expert object's notification handler: it owns the host's registered notification sink and
// delivers notices to it on the calling thread.
//
// Lock order: the handler's lock is taken before any host call made under it (AddRef/Release of
// the sink, the sink's Notify); a host that calls back into the handler on the same thread
// re-enters the recursive lock. Registration, clearing and delivery all take the lock, so a sink
// is never released while a delivery to it is in progress.
#pragma once

#include "qo/dsc/CqoCS.h"
#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpert;

namespace sysapicpp {

class SyncNotificationHandler final : public NotificationHandler {
 public:
  // `expert` is the expert object's primary interface; it is not referenced (the handler lives
  // inside that object).
  explicit SyncNotificationHandler(ImxSysExpert* expert) noexcept;
  ~SyncNotificationHandler() override;

  SyncNotificationHandler(const SyncNotificationHandler&) = delete;
  SyncNotificationHandler& operator=(const SyncNotificationHandler&) = delete;

  // Registers `sink` (non-null), adding a reference to it; a previously registered sink is
  // released. Taken under the lock, so a sink in use by another thread is never released under it.
  void setSink(IUnknown* sink);
  // Releases the registered sink, if any, and forgets it.
  void clearSink();
  bool hasSink() const;

  using NotificationHandler::notify;
  // Delivers to the registered sink (none: nothing happens): the names become an item-name
  // enumerator handed to the sink's Notify with the expert's primary interface and the kind.
  // The sink's result is ignored; an exception thrown on the way is swallowed (the notice is
  // lost, the sink reference and the lock are still released).
  void notify(std::int32_t kind, const std::vector<std::string>& names) override;
  // True when a sink is registered; the arguments are not looked at.
  bool isListening(std::int32_t kind, const std::vector<std::string>& names) override;
  ImxSysExpert* expert() const noexcept { return expert_; }

 private:
  mutable CqoCS lock_;
  CQOComPtr<IUnknown> sink_;  // held while registered
  ImxSysExpert* expert_;
};

}  // namespace sysapicpp
