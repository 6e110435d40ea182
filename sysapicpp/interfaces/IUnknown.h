// The three operations every host interface begins with. Interfaces are abstract classes with
// pure virtual member functions in the host's table order and no virtual destructor, so their
// virtual tables are exactly the host's function tables (x86-64 SysV: the interface pointer is
// the first argument of every entry). The destructor is protected so that no object is ever
// deleted through an interface pointer.
#pragma once

#include "sysapicpp/com/types.h"

class IUnknown {
 public:
  // `iid` is the host's identity reference; a null one is refused with E_POINTER.
  virtual HRESULT QueryInterface(const GUID* iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  IUnknown() = default;
  IUnknown(const IUnknown&) = default;
  IUnknown& operator=(const IUnknown&) = default;
  ~IUnknown() = default;
};
