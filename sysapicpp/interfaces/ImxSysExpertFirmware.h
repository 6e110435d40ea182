#pragma once

#include "sysapicpp/interfaces/HostForward.h"
#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpertFirmware : public IUnknown {
 public:
  virtual HRESULT BeginFirmwareUpdate(const wchar_t* itemName, int flag, int value,
                                      wchar_t** text) = 0;
  virtual HRESULT UpdateFirmware(const wchar_t* itemName, const wchar_t* text1, int flag,
                                 const wchar_t* text2, ImxSysBinaryImage* image) = 0;
  virtual HRESULT FirmwareOperation3(const wchar_t* itemName, const wchar_t* text1, int flag,
                                     const wchar_t* text2) = 0;
  virtual HRESULT FirmwareOperation4(const wchar_t* itemName, const wchar_t* text) = 0;
  virtual HRESULT GetFirmwareUpdateStatus(const wchar_t* itemName, int* state, int* value,
                                          wchar_t** text) = 0;

 protected:
  ~ImxSysExpertFirmware() = default;
};
