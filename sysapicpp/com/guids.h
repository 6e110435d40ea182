// Interface identities of the configuration host and the expert's own class identity.
#pragma once

#include "sysapicpp/com/types.h"

extern const GUID IID_IUnknown;
extern const GUID IID_ImxSysExpertInfo;
extern const GUID IID_ImxSysExpert;
extern const GUID IID_ImxSysExpert2;
extern const GUID IID_ImxSysExpertPlugPlay;
extern const GUID IID_ImxSysExpertDiagnostic;
extern const GUID IID_ImxSysExpertFirmware;
extern const GUID IID_ImxSysPropertyBag;
extern const GUID IID_ImxSysPropertyBag2;
extern const GUID IID_ImxSysPropertyBag3;
extern const GUID IID_ImxSysPropertyBag4;
extern const GUID IID_ImxSysBinaryImage;
extern const GUID IID_ImxSysBinaryImage2;
extern const GUID IID_ImxSysEnumPropertyTag;
extern const GUID IID_ImxSysEnumStringList;

// The expert's class identity, reported by GetExpertGuid.
extern const GUID CLSID_VorlixSysApiExpert;

// True for IUnknown's identity in either byte order of its C000 group: Data1..Data3 zero, Data4
// beginning C0 00 00 00 or 00 C0 00 00 and ending 00 00 00 46.
bool qoIsIUnknownIdentity(const GUID& id) noexcept;
