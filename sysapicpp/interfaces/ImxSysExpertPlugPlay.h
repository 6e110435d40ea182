#pragma once

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpertPlugPlay : public IUnknown {
 public:
  // A non-null sink is registered for item notices; null unregisters the current one.
  virtual HRESULT SetNotificationSink(IUnknown* sink) = 0;

 protected:
  ~ImxSysExpertPlugPlay() = default;
};
