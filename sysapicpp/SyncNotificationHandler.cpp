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
// cannot apply to calls into it.
#define QO_HOST_OBJECT_CALLS __attribute__((no_sanitize("vptr")))

SyncNotificationHandler::SyncNotificationHandler(ImxSysExpert* expert) noexcept : expert_(expert) {}

QO_HOST_OBJECT_CALLS SyncNotificationHandler::~SyncNotificationHandler() {
  if (sink_ != nullptr) std::exchange(sink_, nullptr)->Release();
}

QO_HOST_OBJECT_CALLS void SyncNotificationHandler::setSink(IUnknown* sink) {
  if (sink == nullptr) {
    clearSink();
    return;
  }
  CqoCSLock guard(lock_);
  sink->AddRef();  // before releasing the old one: the same sink may be registered again
  IUnknown* old = std::exchange(sink_, sink);
  if (old != nullptr) old->Release();
}

QO_HOST_OBJECT_CALLS void SyncNotificationHandler::clearSink() {
  CqoCSLock guard(lock_);
  IUnknown* old = std::exchange(sink_, nullptr);
  if (old != nullptr) old->Release();
}

QO_HOST_OBJECT_CALLS void SyncNotificationHandler::notify(std::int32_t kind, const std::vector<std::string>& names) {
  CqoCSLock guard(lock_);
  if (sink_ == nullptr) return;
  IUnknown* sink = sink_;
  sink->AddRef();
  ImxSysEnumStringList* enumerator = nullptr;
  try {
    std::vector<std::wstring> wide = qo::dsc::toHostWideList(names);
    if (CmxSysEnumItemNamesSTL::create(std::move(wide), &enumerator) >= 0 && enumerator != nullptr)
      static_cast<ImxSysNotificationSink*>(sink)->Notify(expert_, kind, enumerator);
  } catch (abi::__forced_unwind&) {
    // Thread cancellation must unwind on; release first.
    if (enumerator != nullptr) enumerator->Release();
    sink->Release();
    throw;
  } catch (...) {
    // The notice is lost; the references below are still released.
  }
  if (enumerator != nullptr) enumerator->Release();
  sink->Release();
}

bool SyncNotificationHandler::isListening(std::int32_t, const std::vector<std::string>&) {
  return hasSink();
}

bool SyncNotificationHandler::hasSink() const {
  CqoCSLock guard(lock_);
  return sink_ != nullptr;
}

}  // namespace sysapicpp
