// Basic types of the configuration host's binary convention: result codes, identities, wide
// characters, and the export attribute of the library's public entry points.
#pragma once

#include <cstdint>
#include <cstddef>

#include "qoapal/component.h"

#define QO_EXPORT extern "C" __attribute__((visibility("default")))

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

// 16-byte interface identity: Data1..Data3 little-endian, Data4 as bytes.
struct _GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using GUID = _GUID;
static_assert(sizeof(GUID) == 16);
static_assert(offsetof(GUID, Data1) == 0 && offsetof(GUID, Data2) == 4 &&
              offsetof(GUID, Data3) == 6 && offsetof(GUID, Data4) == 8);

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// Result codes used across the host interface.
constexpr HRESULT S_OK = 0x00000000;
constexpr HRESULT S_FALSE = 0x00000001;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

static_assert(sizeof(wchar_t) == 4, "host wide strings are 32-bit characters");
