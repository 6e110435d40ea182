// The host's enumerator of wide strings (item names). Operations after IUnknown's three:
//   Next(count, items, fetched)  copies up to `count` strings from the current position as new
//                                host strings the caller frees; S_OK when `count` were copied,
//                                S_FALSE when the end came first
//   Skip(count)                  advances; S_FALSE when that passes the end
//   Reset()                      back to the first string
//   Clone(copy)                  a new enumerator over the same list at the same position
#pragma once

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysEnumStringList : public IUnknown {
 public:
  virtual HRESULT Next(unsigned count, wchar_t** items, unsigned* fetched) = 0;
  virtual HRESULT Skip(unsigned count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(ImxSysEnumStringList** copy) = 0;

 protected:
  ~ImxSysEnumStringList() = default;
};

static_assert(sizeof(ImxSysEnumStringList) == sizeof(void*));
