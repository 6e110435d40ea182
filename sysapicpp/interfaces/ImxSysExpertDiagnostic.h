#pragma once

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysExpertDiagnostic : public IUnknown {
 public:
  virtual HRESULT DiagnosticOperation1(const wchar_t* itemName, int value) = 0;
  virtual HRESULT RunDiagnostic(const wchar_t* itemName, int mode, wchar_t** resultText) = 0;
  virtual HRESULT DiagnosticOperation3(const wchar_t* itemName, wchar_t** text) = 0;

 protected:
  ~ImxSysExpertDiagnostic() = default;
};
