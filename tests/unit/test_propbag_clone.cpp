// Property bag copies: Clone of the library's bag (equal contents, independent, no changed
// tags), and the generic copy from a bag of another implementation (the host's), including
// timestamps rebuilt from parts, unknown types and failing source calls.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/CmxSysEnumPropertyTagsSTL.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "tests/unit/PropertyBagTesting.h"

namespace {

using propbagtest::kNotPresent;

const GUID kGuid = {0xCAFEF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

ImxSysPropertyBag4* newBag() {
  ImxSysPropertyBag4* bag = nullptr;
  EXPECT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  return bag;
}

ImxSysPropertyBag4* asBag4(ImxSysPropertyBag* bag) {
  void* p = nullptr;
  EXPECT_EQ(bag->QueryInterface(&IID_ImxSysPropertyBag4, &p), S_OK);
  bag->Release();
  return static_cast<ImxSysPropertyBag4*>(p);
}

std::wstring stringOf(ImxSysPropertyBag4* bag, unsigned tag) {
  wchar_t* s = nullptr;
  EXPECT_EQ(bag->GetString(tag, &s), S_OK);
  std::wstring out = s != nullptr ? s : L"<null>";
  CqoBStr::free(s);
  return out;
}

// Fills a bag with one value of every type plus a null string.
void fillAllTypes(ImxSysPropertyBag4* bag) {
  const mxSysAttrTimestampUTC ts{123, 3786825600};
  ASSERT_EQ(bag->SetBool(0x1001000, 1), S_OK);
  ASSERT_EQ(bag->SetInt32(0x102A000, 0x40000000), S_OK);
  ASSERT_EQ(bag->SetUInt32(0x1005000, 0x7A32), S_OK);
  ASSERT_EQ(bag->SetDouble(0x102E000, 47.25), S_OK);
  ASSERT_EQ(bag->SetGuid(0x1040000, kGuid), S_OK);
  ASSERT_EQ(bag->SetString(0x101D000, L"KEL3"), S_OK);
  ASSERT_EQ(bag->SetString(0x1004000, nullptr), S_OK);
  ASSERT_EQ(bag->SetTimestamp(0x1015000, &ts), S_OK);
}

void expectAllTypes(ImxSysPropertyBag4* bag) {
  int b = 0, i = 0;
  unsigned u = 0;
  double d = 0;
  GUID g{};
  mxSysAttrTimestampUTC t{0, 0};
  EXPECT_EQ(bag->GetBool(0x1001000, &b), S_OK);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(bag->GetInt32(0x102A000, &i), S_OK);
  EXPECT_EQ(i, 0x40000000);
  EXPECT_EQ(bag->GetUInt32(0x1005000, &u), S_OK);
  EXPECT_EQ(u, 0x7A32u);
  EXPECT_EQ(bag->GetDouble(0x102E000, &d), S_OK);
  EXPECT_EQ(d, 47.25);
  EXPECT_EQ(bag->GetGuid(0x1040000, &g), S_OK);
  EXPECT_TRUE(g == kGuid);
  EXPECT_EQ(stringOf(bag, 0x101D000), L"KEL3");
  EXPECT_EQ(stringOf(bag, 0x1004000), L"<null>");
  EXPECT_EQ(bag->GetTimestamp(0x1015000, &t), S_OK);
  EXPECT_EQ(t.fraction, 123u);
  EXPECT_EQ(t.seconds, 3786825600);
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 8u);
}

// ---- Clone -------------------------------------------------------------------------------------
TEST(PropertyBagClone, CopyHasEveryTagTypeAndValue) {
  ImxSysPropertyBag4* bag = newBag();
  fillAllTypes(bag);
  ImxSysPropertyBag* copy = nullptr;
  ASSERT_EQ(bag->Clone(&copy), S_OK);
  ASSERT_NE(copy, nullptr);
  ImxSysPropertyBag4* copy4 = asBag4(copy);
  EXPECT_NE(copy4, bag);
  expectAllTypes(copy4);
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(copy4)->refCount(), 1);
  EXPECT_EQ(copy4->Release(), 0u);
  EXPECT_EQ(bag->Release(), 0u);
}

TEST(PropertyBagClone, CopyHasNoChangedTagsAndSourceKeepsItsOwn) {
  ImxSysPropertyBag4* bag = newBag();
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  ImxSysPropertyBag* copy = nullptr;
  ASSERT_EQ(bag->Clone(&copy), S_OK);
  ImxSysPropertyBag4* copy4 = asBag4(copy);
  EXPECT_EQ(copy4->ClearChanged(), S_FALSE);
  EXPECT_EQ(bag->ClearChanged(), S_OK);
  copy4->Release();
  bag->Release();
}

TEST(PropertyBagClone, CopyAndSourceAreIndependent) {
  ImxSysPropertyBag4* bag = newBag();
  ASSERT_EQ(bag->SetString(1, L"before"), S_OK);
  ASSERT_EQ(bag->SetInt32(2, 2), S_OK);
  ImxSysPropertyBag* copy = nullptr;
  ASSERT_EQ(bag->Clone(&copy), S_OK);
  ImxSysPropertyBag4* copy4 = asBag4(copy);
  ASSERT_EQ(bag->SetString(1, L"after"), S_OK);
  ASSERT_EQ(bag->RemoveTag(2), S_OK);
  ASSERT_EQ(copy4->SetInt32(3, 3), S_OK);
  EXPECT_EQ(stringOf(copy4, 1), L"before");
  EXPECT_EQ(copy4->HasTag(2), S_OK);
  EXPECT_EQ(bag->HasTag(3), S_FALSE);
  // The source can go first; the copy lives on.
  EXPECT_EQ(bag->Release(), 0u);
  EXPECT_EQ(stringOf(copy4, 1), L"before");
  EXPECT_EQ(copy4->Release(), 0u);
}

TEST(PropertyBagClone, EmptyBagClonesToEmptyBag) {
  ImxSysPropertyBag4* bag = newBag();
  ImxSysPropertyBag* copy = nullptr;
  ASSERT_EQ(bag->Clone(&copy), S_OK);
  ImxSysPropertyBag4* copy4 = asBag4(copy);
  ImxSysEnumPropertyTag* tags = nullptr;
  EXPECT_EQ(copy4->GetTags(&tags), S_FALSE);
  copy4->Release();
  bag->Release();
}

// Strings are copied as whole blocks of their stored length, characters uninterpreted; and the
// copy's string is its own: overwriting it in the copy leaves the master's as it was.
TEST(PropertyBagClone, StringsArriveExactlyAndTheCopysStringIsItsOwn) {
  const struct {
    const char* name;
    std::wstring text;
  } rows[] = {
      {"empty", std::wstring()},
      {"lone surrogate", std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"},
      {"beyond 0x10FFFF", std::wstring(1, static_cast<wchar_t>(0x110000)) + L"KEL0"},
      {"long", std::wstring(5000, L'q')},
  };
  constexpr unsigned kTag = 0x101F000;
  for (const auto& row : rows) {
    ImxSysPropertyBag4* bag = newBag();
    ASSERT_EQ(bag->SetString(kTag, row.text.c_str()), S_OK) << row.name;
    ImxSysPropertyBag* copy = nullptr;
    ASSERT_EQ(bag->Clone(&copy), S_OK) << row.name;
    ImxSysPropertyBag4* copy4 = asBag4(copy);
    wchar_t* copied = nullptr;
    ASSERT_EQ(copy4->GetString(kTag, &copied), S_OK) << row.name;
    ASSERT_NE(copied, nullptr) << row.name;
    EXPECT_EQ(std::wstring(copied, CqoBStr::length(copied)), row.text) << row.name;
    CqoBStr::free(copied);

    ASSERT_EQ(copy4->SetString(kTag, L"changed in the copy"), S_OK) << row.name;
    EXPECT_EQ(stringOf(copy4, kTag), L"changed in the copy") << row.name;
    wchar_t* kept = nullptr;
    ASSERT_EQ(bag->GetString(kTag, &kept), S_OK) << row.name;
    EXPECT_EQ(std::wstring(kept, CqoBStr::length(kept)), row.text) << row.name;
    CqoBStr::free(kept);
    copy4->Release();
    bag->Release();
  }
}

// ---- Copy from another implementation ---------------------------------------------------------
// A bag of another implementation, as a host might supply. Answers ImxSysPropertyBag and, when
// `answersBag2`, ImxSysPropertyBag2 (with changed tags and GetTimestamp).
class ForeignBag final : public propbagtest::RefusingBag {
 public:
  struct Value {
    int type;
    std::int64_t number;  // bool / int / unsigned / timestamp seconds
    double real;
    std::wstring text;
  };

  bool answersBag2 = false;
  std::map<unsigned, Value> values;
  std::set<std::uint32_t> changed;
  unsigned failTag = 0;  // a getter of this tag fails with failCode
  HRESULT failCode = S_OK;
  int timestampCalls = 0;

  HRESULT GetTags(ImxSysEnumPropertyTag** tags) override {
    std::set<std::uint32_t> all;
    for (const auto& [tag, v] : values) all.insert(tag);
    if (all.empty()) {
      *tags = nullptr;
      return S_FALSE;
    }
    return CmxSysEnumPropertyTagsSTL::create(std::move(all), tags);
  }
  HRESULT GetChangedTags(ImxSysEnumPropertyTag** tags) override {
    std::set<std::uint32_t> copy = changed;
    if (copy.empty()) {
      *tags = nullptr;
      return S_FALSE;
    }
    return CmxSysEnumPropertyTagsSTL::create(std::move(copy), tags);
  }
  HRESULT GetType(unsigned tag, int* type) override {
    auto it = values.find(tag);
    if (it == values.end()) return kNotPresent;
    *type = it->second.type;
    return S_OK;
  }
  HRESULT GetBool(unsigned tag, int* v) override {
    return get(tag, [&](const Value& x) { *v = static_cast<int>(x.number); });
  }
  HRESULT GetInt32(unsigned tag, int* v) override {
    return get(tag, [&](const Value& x) { *v = static_cast<int>(x.number); });
  }
  HRESULT GetUInt32(unsigned tag, unsigned* v) override {
    return get(tag, [&](const Value& x) { *v = static_cast<unsigned>(x.number); });
  }
  HRESULT GetDouble(unsigned tag, double* v) override {
    return get(tag, [&](const Value& x) { *v = x.real; });
  }
  HRESULT GetGuid(unsigned tag, GUID* v) override {
    return get(tag, [&](const Value&) { *v = kGuid; });
  }
  HRESULT GetString(unsigned tag, wchar_t** v) override {
    return get(tag, [&](const Value& x) { *v = CqoBStr::alloc(x.text.c_str()); });
  }
  HRESULT GetTimestamp(unsigned tag, mxSysAttrTimestampUTC* v) override {
    ++timestampCalls;
    return get(tag, [&](const Value& x) { *v = mxSysAttrTimestampUTC{7, x.number}; });
  }
  HRESULT GetTimestampParts(unsigned tag, int parts[6]) override {
    for (int i = 0; i < 6; ++i) parts[i] = -1;
    return get(tag, [&](const Value& x) {
      if (x.number == 0) return;
      const std::time_t posix = static_cast<std::time_t>(x.number - 2082844800);
      std::tm t{};
      localtime_r(&posix, &t);
      const int p[6] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
      std::memcpy(parts, p, sizeof(p));
    });
  }

 private:
  bool answers(const GUID& iid) const override {
    return iid == IID_ImxSysPropertyBag || (answersBag2 && iid == IID_ImxSysPropertyBag2);
  }

  template <class F>
  HRESULT get(unsigned tag, F&& write) {
    if (tag == failTag && failCode < 0) return failCode;
    auto it = values.find(tag);
    if (it == values.end()) return kNotPresent;
    write(it->second);
    return S_OK;
  }
};

ForeignBag sampleForeign() {
  ForeignBag f;
  f.values[1] = {1, 1, 0, L""};
  f.values[2] = {2, -9, 0, L""};
  f.values[3] = {3, 0xFFFFFFFF, 0, L""};
  f.values[4] = {4, 0, 0.125, L""};
  f.values[5] = {5, 0, 0, L""};
  f.values[6] = {6, 0, 0, L"from host"};
  f.values[7] = {7, 3786825600, 0, L""};  // 2024-01-01 00:00:00 UTC
  f.values[8] = {7, 0, 0, L""};           // zero timestamp
  return f;
}

TEST(PropertyBagCopyFrom, Bag2SourceGivesValuesTimestampsAndChangedTags) {
  ForeignBag f = sampleForeign();
  f.answersBag2 = true;
  f.changed = {2, 6, 99};  // 99 is not a tag of the bag: it cannot be marked changed
  ImxSysPropertyBag4* bag = newBag();
  ASSERT_EQ(bag->SetInt32(500, 1), S_OK);  // replaced by the copy
  auto* dest = static_cast<CmxDynamicPropertyBag*>(bag);
  ASSERT_EQ(dest->copyFrom(&f), S_OK);
  EXPECT_EQ(bag->HasTag(500), S_FALSE);
  EXPECT_EQ(dest->tagCount(), 8u);
  int v = 0;
  EXPECT_EQ(bag->GetInt32(2, &v), S_OK);
  EXPECT_EQ(v, -9);
  unsigned u = 0;
  EXPECT_EQ(bag->GetUInt32(3, &u), S_OK);
  EXPECT_EQ(u, 0xFFFFFFFFu);
  EXPECT_EQ(stringOf(bag, 6), L"from host");
  mxSysAttrTimestampUTC t{0, 0};
  EXPECT_EQ(bag->GetTimestamp(7, &t), S_OK);
  EXPECT_EQ(t.fraction, 7u);  // read with GetTimestamp: the fraction survives
  EXPECT_EQ(t.seconds, 3786825600);
  EXPECT_EQ(f.timestampCalls, 2);
  int anyLeft = -1;
  EXPECT_EQ(bag->ClearChangedTag(2, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 1);
  EXPECT_EQ(bag->ClearChangedTag(6, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 0);
  EXPECT_EQ(f.refs, 1);  // every reference the copy took was given back
  bag->Release();
}

TEST(PropertyBagCopyFrom, PlainBagSourceRebuildsTimestampsFromParts) {
  ForeignBag f = sampleForeign();
  f.changed = {2};  // not reachable without ImxSysPropertyBag2
  ImxSysPropertyBag4* bag = newBag();
  ASSERT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->copyFrom(&f), S_OK);
  EXPECT_EQ(f.timestampCalls, 0);
  mxSysAttrTimestampUTC t{1, 1};
  EXPECT_EQ(bag->GetTimestamp(7, &t), S_OK);
  EXPECT_EQ(t.fraction, 0u);
  EXPECT_EQ(t.seconds, 3786825600);
  EXPECT_EQ(bag->GetTimestamp(8, &t), S_OK);  // year -1: a zero timestamp
  EXPECT_EQ(t.seconds, 0);
  EXPECT_EQ(bag->ClearChanged(), S_FALSE);
  EXPECT_EQ(f.refs, 1);
  bag->Release();
}

TEST(PropertyBagCopyFrom, UnknownTypeCodeFails) {
  ForeignBag f = sampleForeign();
  f.values[4].type = 8;
  ImxSysPropertyBag4* bag = newBag();
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->copyFrom(&f), E_FAIL);
  EXPECT_EQ(f.refs, 1);
  bag->Release();
}

TEST(PropertyBagCopyFrom, FailingSourceCallGivesItsResult) {
  ForeignBag f = sampleForeign();
  f.failTag = 6;
  f.failCode = static_cast<HRESULT>(0x8007001Fu);
  ImxSysPropertyBag4* bag = newBag();
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->copyFrom(&f), f.failCode);
  EXPECT_EQ(f.refs, 1);
  bag->Release();
}

TEST(PropertyBagCopyFrom, NullSourceAndSelfCopy) {
  ImxSysPropertyBag4* bag = newBag();
  auto* dest = static_cast<CmxDynamicPropertyBag*>(bag);
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  EXPECT_EQ(dest->copyFrom(nullptr), E_POINTER);
  EXPECT_EQ(bag->HasTag(1), S_OK);
  EXPECT_EQ(dest->copyFrom(bag), S_OK);  // copying a bag into itself changes nothing
  EXPECT_EQ(bag->HasTag(1), S_OK);
  EXPECT_EQ(bag->ClearChanged(), S_OK);
  bag->Release();
}

TEST(PropertyBagCopyFrom, OwnBagToOwnBagKeepsChangedTags) {
  ImxSysPropertyBag4* source = newBag();
  fillAllTypes(source);
  ASSERT_EQ(source->ClearChanged(), S_OK);
  ASSERT_EQ(source->MarkChanged(0x101D000), S_OK);
  ImxSysPropertyBag4* bag = newBag();
  ASSERT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->copyFrom(source), S_OK);
  expectAllTypes(bag);
  int anyLeft = -1;
  EXPECT_EQ(bag->ClearChangedTag(0x101D000, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 0);
  source->Release();
  bag->Release();
}

}  // namespace
