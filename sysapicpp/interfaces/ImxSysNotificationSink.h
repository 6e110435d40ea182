// The host's notification sink, as far as the library uses it: one operation, the first after
// IUnknown's three, called with the expert's primary interface, the notice kind and an item-name
// enumerator. Its identity and any further operations are the host's.
#pragma once

#include <cstdint>

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpert;
class ImxSysEnumStringList;

class ImxSysNotificationSink : public IUnknown {
 public:
  virtual HRESULT Notify(ImxSysExpert* expert, std::int32_t kind, ImxSysEnumStringList* names) = 0;
};
