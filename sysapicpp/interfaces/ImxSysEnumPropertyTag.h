// The host's enumerator of 32-bit property tags. Same operations as ImxSysEnumStringList, over
// unsigned 32-bit tags.
#pragma once

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysEnumPropertyTag : public IUnknown {
 public:
  virtual HRESULT Next(unsigned count, unsigned* items, unsigned* fetched) = 0;
  virtual HRESULT Skip(unsigned count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ImxSysEnumPropertyTag** copy) = 0;

 protected:
  ~ImxSysEnumPropertyTag() = default;
};

static_assert(sizeof(ImxSysEnumPropertyTag) == sizeof(void*));
static_assert(sizeof(unsigned) == 4);
