// What the property-bag tests share: the library's bag made fresh for each test, and the base
// of the tests' stand-ins for a bag of another implementation (as a host supplies one).
#pragma once

#include <gtest/gtest.h>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"

namespace propbagtest {

constexpr HRESULT kNotPresent = static_cast<HRESULT>(0x80040371u);

// One library bag per test, whose last reference the test leaves for TearDown to release.
class BagTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK); }
  void TearDown() override {
    if (bag != nullptr) {
      EXPECT_EQ(bag->Release(), 0u);
    }
  }
  ImxSysPropertyBag4* bag = nullptr;
};

// A bag of another implementation: it answers IUnknown and the interfaces `answers` accepts,
// counts its references (it lives on the test's stack) and refuses every operation a stand-in
// does not override.
class RefusingBag : public ImxSysPropertyBag4 {
 public:
  int refs = 1;

  HRESULT QueryInterface(const GUID* iid, void** out) override {
    *out = nullptr;
    if (*iid == IID_IUnknown || answers(*iid)) {
      *out = this;
      ++refs;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }

  HRESULT GetTags(ImxSysEnumPropertyTag**) override { return E_NOTIMPL; }
  HRESULT HasTag(unsigned) override { return E_NOTIMPL; }
  HRESULT GetType(unsigned, int*) override { return E_NOTIMPL; }
  HRESULT RemoveTag(unsigned) override { return E_NOTIMPL; }
  HRESULT RemoveAll() override { return E_NOTIMPL; }
  HRESULT SetBool(unsigned, int) override { return E_NOTIMPL; }
  HRESULT SetInt32(unsigned, int) override { return E_NOTIMPL; }
  HRESULT SetUInt32(unsigned, unsigned) override { return E_NOTIMPL; }
  HRESULT SetDouble(unsigned, double) override { return E_NOTIMPL; }
  HRESULT SetGuid(unsigned, GUID) override { return E_NOTIMPL; }
  HRESULT SetString(unsigned, const wchar_t*) override { return E_NOTIMPL; }
  HRESULT Reserved12() override { return E_NOTIMPL; }
  HRESULT GetBool(unsigned, int*) override { return E_NOTIMPL; }
  HRESULT GetInt32(unsigned, int*) override { return E_NOTIMPL; }
  HRESULT GetUInt32(unsigned, unsigned*) override { return E_NOTIMPL; }
  HRESULT GetDouble(unsigned, double*) override { return E_NOTIMPL; }
  HRESULT GetGuid(unsigned, GUID*) override { return E_NOTIMPL; }
  HRESULT GetString(unsigned, wchar_t**) override { return E_NOTIMPL; }
  HRESULT GetTimestampParts(unsigned, int*) override { return E_NOTIMPL; }
  HRESULT Clone(ImxSysPropertyBag**) override { return E_NOTIMPL; }
  HRESULT ClearChanged() override { return E_NOTIMPL; }
  HRESULT GetChangedTags(ImxSysEnumPropertyTag**) override { return E_NOTIMPL; }
  HRESULT GetTimestamp(unsigned, mxSysAttrTimestampUTC*) override { return E_NOTIMPL; }
  HRESULT SetTimestamp(unsigned, const mxSysAttrTimestampUTC*) override { return E_NOTIMPL; }
  HRESULT hold() override { return E_NOTIMPL; }
  HRESULT release() override { return E_NOTIMPL; }
  HRESULT ClearChangedTag(unsigned, int*) override { return E_NOTIMPL; }
  HRESULT MarkChanged(unsigned) override { return E_NOTIMPL; }

 protected:
  virtual bool answers(const GUID& iid) const = 0;
};

}  // namespace propbagtest
