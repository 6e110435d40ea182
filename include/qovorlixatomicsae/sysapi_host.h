// The configuration host's view of the expert, written as a host declares it: plain function
// tables (each entry takes the interface pointer first) and the 16-byte identities. Reference
// hosts and end-to-end tests meet the library only through dlopen/dlsym and these declarations;
// they never include library headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostabi {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);
static_assert(offsetof(Guid, data1) == 0 && offsetof(Guid, data2) == 4 &&
              offsetof(Guid, data3) == 6 && offsetof(Guid, data4) == 8);

inline constexpr HRESULT kS_OK = 0;
inline constexpr HRESULT kE_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT kE_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kE_POINTER = static_cast<HRESULT>(0x80004003u);
// The expert's own results a host acts on.
inline constexpr HRESULT kPartly = 0x00000001;  // answered, some values left out
inline constexpr HRESULT kPropertyAbsent = static_cast<HRESULT>(0x80040371u);
inline constexpr HRESULT kItemNotExist = static_cast<HRESULT>(0x80040375u);
inline constexpr HRESULT kRefreshPending = static_cast<HRESULT>(0x80040377u);
inline constexpr HRESULT kDeviceFailure = static_cast<HRESULT>(0x80040382u);
inline constexpr HRESULT kDeviceGone = static_cast<HRESULT>(0x80040383u);

inline constexpr Guid kIID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIID_ImxSysExpertInfo = {
    0x9C257614, 0x172D, 0x4D5D, {0x81, 0xBB, 0x3D, 0x4F, 0x72, 0xBD, 0x30, 0xA4}};
inline constexpr Guid kIID_ImxSysExpert = {
    0xB259235B, 0x6978, 0x4402, {0x89, 0x10, 0xE1, 0x9E, 0x12, 0x95, 0xF3, 0x26}};
inline constexpr Guid kIID_ImxSysExpert2 = {
    0xCF3357AD, 0x3023, 0x4121, {0xA6, 0x0E, 0x2F, 0xF9, 0xB3, 0xA8, 0x7B, 0xEE}};
inline constexpr Guid kIID_ImxSysExpertPlugPlay = {
    0xC20E7758, 0x0346, 0x431A, {0xA4, 0x11, 0xBF, 0x7C, 0x1E, 0x73, 0x6A, 0x60}};
inline constexpr Guid kIID_ImxSysExpertDiagnostic = {
    0x8862BB0E, 0x7B94, 0x4E93, {0x82, 0xEE, 0xB6, 0xCF, 0x15, 0x8A, 0x65, 0x18}};
inline constexpr Guid kIID_ImxSysExpertFirmware = {
    0x56493845, 0x09CC, 0x471C, {0xBA, 0x01, 0xDA, 0x81, 0x52, 0xFB, 0x95, 0x7C}};

// The expert's six interfaces and IUnknown, with names for printing.
struct NamedIdentity {
  const char* name;
  const Guid* iid;
};
inline constexpr NamedIdentity kExpertIdentities[] = {
    {"IUnknown", &kIID_IUnknown},
    {"ImxSysExpertInfo", &kIID_ImxSysExpertInfo},
    {"ImxSysExpert", &kIID_ImxSysExpert},
    {"ImxSysExpert2", &kIID_ImxSysExpert2},
    {"ImxSysExpertPlugPlay", &kIID_ImxSysExpertPlugPlay},
    {"ImxSysExpertDiagnostic", &kIID_ImxSysExpertDiagnostic},
    {"ImxSysExpertFirmware", &kIID_ImxSysExpertFirmware},
};

// --- Function tables -------------------------------------------------------------------------
#define HOSTABI_IUNKNOWN_ENTRIES(Self)                                 \
  HRESULT (*QueryInterface)(Self * self, const Guid* iid, void** out); \
  ULONG (*AddRef)(Self * self);                                        \
  ULONG (*Release)(Self * self);

struct IUnknown;
struct IUnknownVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(IUnknown)
};
struct IUnknown {
  const IUnknownVtbl* vtbl;
};

#define HOSTABI_EXPERTINFO_ENTRIES(Self)                  \
  HOSTABI_IUNKNOWN_ENTRIES(Self)                          \
  HRESULT (*GetExpertGuid)(Self * self, Guid * guid);     \
  HRESULT (*GetExpertName)(Self * self, wchar_t * *name); \
  HRESULT (*GetExpertVersion)(Self * self, wchar_t * *v); \
  HRESULT (*GetExpertIdentifier)(Self * self, wchar_t * *id);

struct ImxSysExpertInfo;
struct ImxSysExpertInfoVtbl {
  HOSTABI_EXPERTINFO_ENTRIES(ImxSysExpertInfo)
};
struct ImxSysExpertInfo {
  const ImxSysExpertInfoVtbl* vtbl;
};

// ImxSysExpert and ImxSysExpert2 share one table: the ten operations after the identity four.
struct ImxSysExpert2;
struct ImxSysExpert2Vtbl {
  HOSTABI_EXPERTINFO_ENTRIES(ImxSysExpert2)
  HRESULT (*Initialize)(ImxSysExpert2* self);
  HRESULT (*Shutdown)(ImxSysExpert2* self);
  HRESULT (*EnumerateItems)(ImxSysExpert2* self, void* collector);
  HRESULT (*GetItemNames)(ImxSysExpert2* self, void** names);
  HRESULT (*GetPropertyBag)(ImxSysExpert2* self, const wchar_t* itemName, void** bag);
  HRESULT(*GetPropertyBagWithRefresh)
  (ImxSysExpert2* self, const wchar_t* itemName, unsigned count, const unsigned* tags, int flag,
   void** bag);
  HRESULT (*SetOption)(ImxSysExpert2* self, unsigned value);
  HRESULT(*CommitPropertyBag)
  (ImxSysExpert2* self, const wchar_t* itemName, const wchar_t* text, int value, int* changed,
   wchar_t** resultText);
  HRESULT(*ExtendedOperation1)
  (ImxSysExpert2* self, const wchar_t* itemName, void* bag, void** tags, wchar_t** errorText);
  HRESULT(*ExtendedOperation2)
  (ImxSysExpert2* self, const wchar_t* itemName, void* bag, int* result, wchar_t** text);
};
struct ImxSysExpert2 {
  const ImxSysExpert2Vtbl* vtbl;
};

struct ImxSysExpertPlugPlay;
struct ImxSysExpertPlugPlayVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysExpertPlugPlay)
  HRESULT (*SetNotificationSink)(ImxSysExpertPlugPlay* self, void* sink);
};
struct ImxSysExpertPlugPlay {
  const ImxSysExpertPlugPlayVtbl* vtbl;
};

struct ImxSysExpertDiagnostic;
struct ImxSysExpertDiagnosticVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysExpertDiagnostic)
  HRESULT (*DiagnosticOperation1)(ImxSysExpertDiagnostic* self, const wchar_t* itemName, int value);
  HRESULT(*RunDiagnostic)
  (ImxSysExpertDiagnostic* self, const wchar_t* itemName, int mode, wchar_t** resultText);
  HRESULT(*DiagnosticOperation3)
  (ImxSysExpertDiagnostic* self, const wchar_t* itemName, wchar_t** text);
};
struct ImxSysExpertDiagnostic {
  const ImxSysExpertDiagnosticVtbl* vtbl;
};

struct ImxSysExpertFirmware;
struct ImxSysExpertFirmwareVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysExpertFirmware)
  HRESULT(*BeginFirmwareUpdate)
  (ImxSysExpertFirmware* self, const wchar_t* itemName, int flag, int value, wchar_t** text);
  HRESULT(*UpdateFirmware)
  (ImxSysExpertFirmware* self, const wchar_t* itemName, const wchar_t* text1, int flag,
   const wchar_t* text2, void* image);
  HRESULT(*FirmwareOperation3)
  (ImxSysExpertFirmware* self, const wchar_t* itemName, const wchar_t* text1, int flag,
   const wchar_t* text2);
  HRESULT(*FirmwareOperation4)
  (ImxSysExpertFirmware* self, const wchar_t* itemName, const wchar_t* text);
  HRESULT(*GetFirmwareUpdateStatus)
  (ImxSysExpertFirmware* self, const wchar_t* itemName, int* state, int* value, wchar_t** text);
};
struct ImxSysExpertFirmware {
  const ImxSysExpertFirmwareVtbl* vtbl;
};

// --- Property bags, enumerators, binary images ----------------------------------------------
// The four bag identities share one table of 28 operations after IUnknown's three.
inline constexpr Guid kIID_ImxSysPropertyBag = {
    0x3E2F201D, 0xCABE, 0x466F, {0x93, 0xAE, 0x50, 0x22, 0x44, 0xC1, 0x8D, 0xDE}};
inline constexpr Guid kIID_ImxSysPropertyBag2 = {
    0xE275E061, 0x297B, 0x4463, {0xA5, 0xF1, 0x5D, 0x2D, 0x9D, 0x8F, 0x38, 0x98}};
inline constexpr Guid kIID_ImxSysPropertyBag3 = {
    0xB122AAB9, 0x2F03, 0x4E75, {0xA0, 0xD1, 0xA0, 0xF7, 0xC7, 0xDF, 0x28, 0x38}};
inline constexpr Guid kIID_ImxSysPropertyBag4 = {
    0x9F3973B1, 0x2DAD, 0x4ED7, {0x98, 0xE5, 0xDF, 0x0B, 0xDA, 0x39, 0x41, 0x4C}};
inline constexpr Guid kIID_ImxSysBinaryImage = {
    0x28C277A2, 0x23A7, 0x4756, {0x91, 0x2C, 0x39, 0xF9, 0xF5, 0xA5, 0xD5, 0x6F}};
inline constexpr Guid kIID_ImxSysBinaryImage2 = {
    0x53381F13, 0x0F3D, 0x457B, {0xB7, 0x3D, 0xF8, 0x3C, 0xE4, 0xAB, 0x1F, 0x16}};
inline constexpr Guid kIID_ImxSysEnumPropertyTag = {
    0xB21429CD, 0x0DDD, 0x48FA, {0x9D, 0xDD, 0x33, 0xA1, 0xCF, 0xA7, 0x9C, 0xDE}};
inline constexpr Guid kIID_ImxSysEnumStringList = {
    0xFB09815D, 0x7F02, 0x459F, {0x87, 0xB8, 0x78, 0x22, 0x7B, 0xE8, 0x41, 0x26}};

// {u64 fraction of a second, i64 seconds since 1904-01-01 00:00:00 UTC}.
struct TimestampUTC {
  std::uint64_t fraction;
  std::int64_t seconds;
};
static_assert(sizeof(TimestampUTC) == 16);
static_assert(offsetof(TimestampUTC, fraction) == 0 && offsetof(TimestampUTC, seconds) == 8);

struct ImxSysPropertyBag;
struct ImxSysPropertyBagVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysPropertyBag)
  HRESULT (*GetTags)(ImxSysPropertyBag* self, void** tags);
  HRESULT (*HasTag)(ImxSysPropertyBag* self, unsigned tag);
  HRESULT (*GetType)(ImxSysPropertyBag* self, unsigned tag, int* type);
  HRESULT (*RemoveTag)(ImxSysPropertyBag* self, unsigned tag);
  HRESULT (*RemoveAll)(ImxSysPropertyBag* self);
  HRESULT (*SetBool)(ImxSysPropertyBag* self, unsigned tag, int value);
  HRESULT (*SetInt32)(ImxSysPropertyBag* self, unsigned tag, int value);
  HRESULT (*SetUInt32)(ImxSysPropertyBag* self, unsigned tag, unsigned value);
  HRESULT (*SetDouble)(ImxSysPropertyBag* self, unsigned tag, double value);
  HRESULT (*SetGuid)(ImxSysPropertyBag* self, unsigned tag, Guid value);
  HRESULT (*SetString)(ImxSysPropertyBag* self, unsigned tag, const wchar_t* value);
  HRESULT (*Reserved12)(ImxSysPropertyBag* self);
  HRESULT (*GetBool)(ImxSysPropertyBag* self, unsigned tag, int* value);
  HRESULT (*GetInt32)(ImxSysPropertyBag* self, unsigned tag, int* value);
  HRESULT (*GetUInt32)(ImxSysPropertyBag* self, unsigned tag, unsigned* value);
  HRESULT (*GetDouble)(ImxSysPropertyBag* self, unsigned tag, double* value);
  HRESULT (*GetGuid)(ImxSysPropertyBag* self, unsigned tag, Guid* value);
  HRESULT (*GetString)(ImxSysPropertyBag* self, unsigned tag, wchar_t** value);
  HRESULT (*GetTimestampParts)(ImxSysPropertyBag* self, unsigned tag, int* parts);
  HRESULT (*Clone)(ImxSysPropertyBag* self, ImxSysPropertyBag** copy);
  HRESULT (*ClearChanged)(ImxSysPropertyBag* self);
  HRESULT (*GetChangedTags)(ImxSysPropertyBag* self, void** tags);
  HRESULT (*GetTimestamp)(ImxSysPropertyBag* self, unsigned tag, TimestampUTC* value);
  HRESULT (*SetTimestamp)(ImxSysPropertyBag* self, unsigned tag, const TimestampUTC* value);
  HRESULT (*hold)(ImxSysPropertyBag* self);
  HRESULT (*release)(ImxSysPropertyBag* self);
  HRESULT (*ClearChangedTag)(ImxSysPropertyBag* self, unsigned tag, int* anyLeft);
  HRESULT (*MarkChanged)(ImxSysPropertyBag* self, unsigned tag);
};
struct ImxSysPropertyBag {
  const ImxSysPropertyBagVtbl* vtbl;
};

struct ImxSysEnumPropertyTag;
struct ImxSysEnumPropertyTagVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysEnumPropertyTag)
  HRESULT (*Next)(ImxSysEnumPropertyTag* self, unsigned count, unsigned* items, unsigned* fetched);
  HRESULT (*Skip)(ImxSysEnumPropertyTag* self, unsigned count);
  HRESULT (*Reset)(ImxSysEnumPropertyTag* self);
  HRESULT (*Clone)(ImxSysEnumPropertyTag* self, ImxSysEnumPropertyTag** copy);
};
struct ImxSysEnumPropertyTag {
  const ImxSysEnumPropertyTagVtbl* vtbl;
};

struct ImxSysEnumStringList;
struct ImxSysEnumStringListVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysEnumStringList)
  HRESULT (*Next)(ImxSysEnumStringList* self, unsigned count, wchar_t** items, unsigned* fetched);
  HRESULT (*Skip)(ImxSysEnumStringList* self, unsigned count);
  HRESULT (*Reset)(ImxSysEnumStringList* self);
  HRESULT (*Clone)(ImxSysEnumStringList* self, ImxSysEnumStringList** copy);
};
struct ImxSysEnumStringList {
  const ImxSysEnumStringListVtbl* vtbl;
};

struct ImxSysBinaryImage;
struct ImxSysBinaryImageVtbl {
  HOSTABI_IUNKNOWN_ENTRIES(ImxSysBinaryImage)
  HRESULT (*GetSize)(ImxSysBinaryImage* self, unsigned* size);
  HRESULT (*GetData)(ImxSysBinaryImage* self, void** data);
  HRESULT (*GetName)(ImxSysBinaryImage* self, wchar_t** name);
};
struct ImxSysBinaryImage {
  const ImxSysBinaryImageVtbl* vtbl;
};

static_assert(sizeof(ImxSysPropertyBagVtbl) == 31 * sizeof(void*));
static_assert(sizeof(ImxSysEnumPropertyTagVtbl) == 7 * sizeof(void*));
static_assert(sizeof(ImxSysEnumStringListVtbl) == 7 * sizeof(void*));
static_assert(sizeof(ImxSysBinaryImageVtbl) == 6 * sizeof(void*));

#undef HOSTABI_EXPERTINFO_ENTRIES
#undef HOSTABI_IUNKNOWN_ENTRIES

// Table sizes in entries, as the host counts them.
static_assert(sizeof(IUnknownVtbl) == 3 * sizeof(void*));
static_assert(sizeof(ImxSysExpertInfoVtbl) == 7 * sizeof(void*));
static_assert(sizeof(ImxSysExpert2Vtbl) == 17 * sizeof(void*));
static_assert(sizeof(ImxSysExpertPlugPlayVtbl) == 4 * sizeof(void*));
static_assert(sizeof(ImxSysExpertDiagnosticVtbl) == 6 * sizeof(void*));
static_assert(sizeof(ImxSysExpertFirmwareVtbl) == 8 * sizeof(void*));

// Calls through any interface pointer's IUnknown entries.
inline HRESULT queryInterface(void* itf, const Guid& iid, void** out) {
  auto* u = static_cast<IUnknown*>(itf);
  return u->vtbl->QueryInterface(u, &iid, out);
}
inline ULONG addRef(void* itf) {
  auto* u = static_cast<IUnknown*>(itf);
  return u->vtbl->AddRef(u);
}
inline ULONG release(void* itf) {
  auto* u = static_cast<IUnknown*>(itf);
  return u->vtbl->Release(u);
}

// The factory's signature.
using CreateExpertFn = HRESULT (*)(void** expert);
inline constexpr char kFactoryName[] = "createVorlixAtomicSysApiExpert";

}  // namespace hostabi

// --- Expert operations: further result codes and host strings ---------------------------------
#include <cstdlib>
#include <cstring>

namespace hostabi {

inline constexpr HRESULT kS_FALSE = 1;
inline constexpr HRESULT kE_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kE_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT kE_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kE_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// The expert's class identity as GetExpertGuid reports it.
inline constexpr Guid kCLSID_VorlixSysApiExpert = {
    0x22297693, 0x3822, 0x462B, {0xA1, 0xAD, 0x40, 0xAD, 0x0B, 0xCB, 0xC3, 0x31}};

// Host strings made the host's way: one malloc block holding the 32-bit length, the characters
// and a 32-bit zero; the string points at the first character. Null on exhaustion.
inline wchar_t* hostStringAlloc(const wchar_t* text, std::size_t length) {
  if (length > 0x3FFFFFFDu) return nullptr;
  auto* block = static_cast<std::uint32_t*>(std::malloc((length + 2) * 4));
  if (block == nullptr) return nullptr;
  block[0] = static_cast<std::uint32_t>(length);
  if (length != 0) std::memcpy(block + 1, text, length * 4);
  block[length + 1] = 0;
  return reinterpret_cast<wchar_t*>(block + 1);
}
inline void hostStringFree(wchar_t* text) {
  if (text != nullptr) std::free(reinterpret_cast<std::uint32_t*>(text) - 1);
}
inline std::uint32_t hostStringLength(const wchar_t* text) {
  return text == nullptr ? 0 : *(reinterpret_cast<const std::uint32_t*>(text) - 1);
}

}  // namespace hostabi
