#include "sysapicpp/SyncNotificationHandler.h"

#include <cxxabi.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "qo/dsc/HostText.h"
#include "sysapicpp/enum/CmxSysEnumItemNamesSTL.h"
#include "sysapicpp/interfaces/ImxSysNotificationSink.h"

namespace sysapicpp {

// The sink is the host's object, reached through its function table as the host declares it; it
// is no C++ object of this library, so the sanitizer's C++ type check of virtual calls (vptr)
// cannot apply to calls into it (its references are taken and released by CQOComPtr, which
// leaves the check out too).
#define QO_HOST_OBJECT_CALLS __attribute__((no_sanitize("vptr")))

SyncNotificationHandler::SyncNotificationHandler(ImxSysExpert* expert) noexcept : expert_(expert) {}

SyncNotificationHandler::~SyncNotificationHandler() = default;

void SyncNotificationHandler::setSink(IUnknown* sink) {
  if (sink == nullptr) {
    clearSink();
    return;
  }
  CqoCSLock guard(lock_);
  // The new reference is taken before the old one goes: the same sink may be registered again.
  sink_ = CQOComPtr<IUnknown>::share(sink);
}

void SyncNotificationHandler::clearSink() {
  CqoCSLock guard(lock_);
  sink_.reset();
}

QO_HOST_OBJECT_CALLS void SyncNotificationHandler::notify(std::int32_t kind,
                                                          const std::vector<std::string>& names) {
  CqoCSLock guard(lock_);
  if (!sink_) return;
  // References of the delivery's own, released (enumerator first) on every way out, unwinding
  // included, before the lock.
  const CQOComPtr<IUnknown> sink = sink_;
  CQOComPtr<ImxSysEnumStringList> enumerator;
  try {
    std::vector<std::wstring> wide = qo::dsc::toHostWideList(names);
    if (CmxSysEnumItemNamesSTL::create(std::move(wide), enumerator.out()) >= 0 && enumerator)
      static_cast<ImxSysNotificationSink*>(sink.get())->Notify(expert_, kind, enumerator.get());
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind on
  } catch (...) {
    // The notice is lost.
  }
}

bool SyncNotificationHandler::isListening(std::int32_t, const std::vector<std::string>&) {
  return hasSink();
}

bool SyncNotificationHandler::hasSink() const {
  CqoCSLock guard(lock_);
  return static_cast<bool>(sink_);
}

}  // namespace sysapicpp
