// The expert's primary interface chain: ImxSysExpertInfo : IUnknown, ImxSysExpert :
// ImxSysExpertInfo, ImxSysExpert2 : ImxSysExpert. The host reaches all ten operations after the
// four identity operations through the primary table, so they are declared once, flattened, in
// ImxSysExpert; ImxSysExpert2 adds no entries.
#pragma once

#include "sysapicpp/interfaces/HostForward.h"
#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpertInfo : public IUnknown {
 public:
  virtual HRESULT GetExpertGuid(GUID* guid) = 0;
  virtual HRESULT GetExpertName(wchar_t** name) = 0;
  virtual HRESULT GetExpertVersion(wchar_t** version) = 0;
  virtual HRESULT GetExpertIdentifier(wchar_t** identifier) = 0;

 protected:
  ~ImxSysExpertInfo() = default;
};

class ImxSysExpert : public ImxSysExpertInfo {
 public:
  virtual HRESULT Initialize() = 0;
  virtual HRESULT Shutdown() = 0;
  // `collector` is the host's item collector; only its sixth table entry is called.
  virtual HRESULT EnumerateItems(IUnknown* collector) = 0;
  virtual HRESULT GetItemNames(ImxSysEnumStringList** names) = 0;
  virtual HRESULT GetPropertyBag(const wchar_t* itemName, ImxSysPropertyBag** bag) = 0;
  virtual HRESULT GetPropertyBagWithRefresh(const wchar_t* itemName, unsigned count,
                                            const unsigned* tags, int flag,
                                            ImxSysPropertyBag** bag) = 0;
  virtual HRESULT SetOption(unsigned value) = 0;
  virtual HRESULT CommitPropertyBag(const wchar_t* itemName, const wchar_t* text, int value,
                                    int* changed, wchar_t** resultText) = 0;
  virtual HRESULT ExtendedOperation1(const wchar_t* itemName, IUnknown* bag,
                                     ImxSysEnumPropertyTag** tags, wchar_t** errorText) = 0;
  // The last argument is the host's text out-parameter; this expert does not use it.
  virtual HRESULT ExtendedOperation2(const wchar_t* itemName, IUnknown* bag, int* result,
                                     wchar_t** text) = 0;

 protected:
  ~ImxSysExpert() = default;
};

class ImxSysExpert2 : public ImxSysExpert {
 protected:
  ~ImxSysExpert2() = default;
};
