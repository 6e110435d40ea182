// Property bag values: setters and getters of the seven types, type and presence rules, null
// out-pointers, host strings kept exactly as given, timestamp parts, removal, identities and
// reference counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "qo/dsc/Utf8.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "tests/unit/PropertyBagTesting.h"

namespace {

using sysapicpp::kPropertyNotPresent;
using sysapicpp::kPropertyTypeMismatch;

using propbagtest::kNotPresent;
constexpr HRESULT kWrongType = static_cast<HRESULT>(0x80040370u);
static_assert(kNotPresent == kPropertyNotPresent && kWrongType == kPropertyTypeMismatch);

using propbagtest::BagTest;

const GUID kGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

// ---- Each type round-trips with its own code -------------------------------------------------
using PropertyBagSetGet = BagTest;

TEST_F(PropertyBagSetGet, EveryTypeRoundTripsAndReportsItsCode) {
  const mxSysAttrTimestampUTC ts{0x8000000000000000ull, 3786825600};
  ASSERT_EQ(bag->SetBool(1, 1), S_OK);
  ASSERT_EQ(bag->SetInt32(2, -123456), S_OK);
  ASSERT_EQ(bag->SetUInt32(3, 0xFFFFFFF0u), S_OK);
  ASSERT_EQ(bag->SetDouble(4, -2.5e300), S_OK);
  ASSERT_EQ(bag->SetGuid(5, kGuid), S_OK);
  ASSERT_EQ(bag->SetString(6, L"KEL0"), S_OK);
  ASSERT_EQ(bag->SetTimestamp(7, &ts), S_OK);

  for (unsigned tag = 1; tag <= 7; ++tag) {
    int type = 0;
    EXPECT_EQ(bag->GetType(tag, &type), S_OK);
    EXPECT_EQ(type, static_cast<int>(tag)) << "tag " << tag;
    EXPECT_EQ(bag->HasTag(tag), S_OK);
  }
  int b = 0, i = 0;
  unsigned u = 0;
  double d = 0;
  GUID g{};
  wchar_t* s = nullptr;
  mxSysAttrTimestampUTC t{0, 0};
  EXPECT_EQ(bag->GetBool(1, &b), S_OK);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(bag->GetInt32(2, &i), S_OK);
  EXPECT_EQ(i, -123456);
  EXPECT_EQ(bag->GetUInt32(3, &u), S_OK);
  EXPECT_EQ(u, 0xFFFFFFF0u);
  EXPECT_EQ(bag->GetDouble(4, &d), S_OK);
  EXPECT_EQ(d, -2.5e300);
  EXPECT_EQ(bag->GetGuid(5, &g), S_OK);
  EXPECT_TRUE(g == kGuid);
  EXPECT_EQ(bag->GetString(6, &s), S_OK);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, L"KEL0");
  EXPECT_EQ(CqoBStr::length(s), 4u);
  CqoBStr::free(s);
  EXPECT_EQ(bag->GetTimestamp(7, &t), S_OK);
  EXPECT_EQ(t.fraction, ts.fraction);
  EXPECT_EQ(t.seconds, ts.seconds);
}

TEST_F(PropertyBagSetGet, NonZeroBoolReadsAsOne) {
  ASSERT_EQ(bag->SetBool(10, 7), S_OK);
  int v = 42;
  EXPECT_EQ(bag->GetBool(10, &v), S_OK);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(bag->SetBool(10, std::numeric_limits<int>::min()), S_OK);
  EXPECT_EQ(bag->GetBool(10, &v), S_OK);
  EXPECT_EQ(v, 1);
  ASSERT_EQ(bag->SetBool(10, 0), S_OK);
  EXPECT_EQ(bag->GetBool(10, &v), S_OK);
  EXPECT_EQ(v, 0);
}

TEST_F(PropertyBagSetGet, SameTypeOverwritesInPlace) {
  ASSERT_EQ(bag->SetString(1, L"first"), S_OK);
  ASSERT_EQ(bag->SetString(1, L"second value"), S_OK);
  wchar_t* s = nullptr;
  ASSERT_EQ(bag->GetString(1, &s), S_OK);
  EXPECT_STREQ(s, L"second value");
  CqoBStr::free(s);
  ASSERT_EQ(bag->SetDouble(2, 1.0), S_OK);
  ASSERT_EQ(bag->SetDouble(2, std::nan("")), S_OK);
  double d = 0;
  ASSERT_EQ(bag->GetDouble(2, &d), S_OK);
  EXPECT_TRUE(std::isnan(d));
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 2u);
}

TEST_F(PropertyBagSetGet, StringGetterReturnsAFreshCopyEachTime) {
  ASSERT_EQ(bag->SetString(1, L"abc"), S_OK);
  wchar_t* a = nullptr;
  wchar_t* b = nullptr;
  ASSERT_EQ(bag->GetString(1, &a), S_OK);
  ASSERT_EQ(bag->GetString(1, &b), S_OK);
  EXPECT_NE(a, b);
  a[0] = L'X';  // the caller's copy is its own
  CqoBStr::free(a);
  EXPECT_STREQ(b, L"abc");
  CqoBStr::free(b);
}

TEST_F(PropertyBagSetGet, ReservedEntryIsNotImplemented) {
  EXPECT_EQ(bag->Reserved12(), E_NOTIMPL);
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 0u);
}

// ---- Absent tags and other types ------------------------------------------------------------
using PropertyBagTypeRules = BagTest;

TEST_F(PropertyBagTypeRules, SetterOfAnotherTypeIsRefusedAndKeepsTheValue) {
  ASSERT_EQ(bag->SetInt32(5, 5), S_OK);
  EXPECT_EQ(bag->SetUInt32(5, 5), kWrongType);
  EXPECT_EQ(bag->SetBool(5, 1), kWrongType);
  EXPECT_EQ(bag->SetString(5, L"5"), kWrongType);
  const mxSysAttrTimestampUTC ts{0, 5};
  EXPECT_EQ(bag->SetTimestamp(5, &ts), kWrongType);
  int type = 0;
  ASSERT_EQ(bag->GetType(5, &type), S_OK);
  EXPECT_EQ(type, 2);
  int v = 0;
  EXPECT_EQ(bag->GetInt32(5, &v), S_OK);
  EXPECT_EQ(v, 5);
}

TEST_F(PropertyBagTypeRules, AbsentTagGivesNotPresentAndZeroes) {
  int b = 99, i = 99, type = 99;
  unsigned u = 99;
  double d = 99;
  GUID g = kGuid;
  wchar_t* s = reinterpret_cast<wchar_t*>(0x1);
  mxSysAttrTimestampUTC t{9, 9};
  EXPECT_EQ(bag->GetBool(1, &b), kNotPresent);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(bag->GetInt32(1, &i), kNotPresent);
  EXPECT_EQ(i, 0);
  EXPECT_EQ(bag->GetUInt32(1, &u), kNotPresent);
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(bag->GetDouble(1, &d), kNotPresent);
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(bag->GetGuid(1, &g), kNotPresent);
  EXPECT_TRUE(g == GUID{});
  EXPECT_EQ(bag->GetString(1, &s), kNotPresent);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(bag->GetTimestamp(1, &t), kNotPresent);
  EXPECT_EQ(t.fraction, 0u);
  EXPECT_EQ(t.seconds, 0);
  EXPECT_EQ(bag->GetType(1, &type), kNotPresent);
  EXPECT_EQ(bag->HasTag(1), S_FALSE);
}

TEST_F(PropertyBagTypeRules, GetterOfAnotherTypeGivesWrongTypeAndZero) {
  ASSERT_EQ(bag->SetDouble(3, 1.5), S_OK);
  ASSERT_EQ(bag->SetString(4, L"text"), S_OK);
  int i = 99;
  EXPECT_EQ(bag->GetInt32(3, &i), kWrongType);
  EXPECT_EQ(i, 0);
  wchar_t* s = reinterpret_cast<wchar_t*>(0x1);
  EXPECT_EQ(bag->GetString(3, &s), kWrongType);
  EXPECT_EQ(s, nullptr);
  double d = 99;
  EXPECT_EQ(bag->GetDouble(4, &d), kWrongType);
  EXPECT_EQ(d, 0.0);
  mxSysAttrTimestampUTC t{1, 1};
  EXPECT_EQ(bag->GetTimestamp(4, &t), kWrongType);
  EXPECT_EQ(t.seconds, 0);
  int parts[6] = {7, 7, 7, 7, 7, 7};
  EXPECT_EQ(bag->GetTimestampParts(4, parts), kWrongType);
  for (int p : parts) EXPECT_EQ(p, -1);
}

// ---- Null pointers ----------------------------------------------------------------------------
using PropertyBagNullPointers = BagTest;

TEST_F(PropertyBagNullPointers, EveryOutPointerIsChecked) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  EXPECT_EQ(bag->GetTags(nullptr), E_POINTER);
  EXPECT_EQ(bag->GetChangedTags(nullptr), E_POINTER);
  EXPECT_EQ(bag->GetType(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetBool(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetInt32(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetUInt32(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetDouble(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetGuid(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetString(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetTimestampParts(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->GetTimestamp(1, nullptr), E_POINTER);
  EXPECT_EQ(bag->SetTimestamp(2, nullptr), E_POINTER);
  EXPECT_EQ(bag->Clone(nullptr), E_POINTER);
  EXPECT_EQ(bag->QueryInterface(&IID_ImxSysPropertyBag, nullptr), E_POINTER);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(bag->QueryInterface(nullptr, &p), E_POINTER);
  EXPECT_EQ(p, nullptr);
  // Nothing was added or lost, and the bag still works.
  EXPECT_EQ(bag->HasTag(2), S_FALSE);
  int v = 0;
  EXPECT_EQ(bag->GetInt32(1, &v), S_OK);
  EXPECT_EQ(v, 1);
}

TEST_F(PropertyBagNullPointers, AnyLeftIsOptional) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  EXPECT_EQ(bag->ClearChangedTag(1, nullptr), S_OK);
  EXPECT_EQ(bag->ClearChangedTag(1, nullptr), S_FALSE);
}

// ---- Host strings -------------------------------------------------------------------------------
using PropertyBagStrings = BagTest;

TEST_F(PropertyBagStrings, NullStringIsStoredAndReadBackAsNull) {
  ASSERT_EQ(bag->SetString(1, nullptr), S_OK);
  int type = 0;
  ASSERT_EQ(bag->GetType(1, &type), S_OK);
  EXPECT_EQ(type, 6);
  wchar_t* s = reinterpret_cast<wchar_t*>(0x1);
  EXPECT_EQ(bag->GetString(1, &s), S_OK);
  EXPECT_EQ(s, nullptr);
  // Null and empty differ.
  ASSERT_EQ(bag->SetString(1, L""), S_OK);
  ASSERT_EQ(bag->GetString(1, &s), S_OK);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CqoBStr::length(s), 0u);
  CqoBStr::free(s);
}

TEST_F(PropertyBagStrings, BagKeepsItsOwnCopyOfTheCallersText) {
  wchar_t text[] = L"board";
  ASSERT_EQ(bag->SetString(1, text), S_OK);
  text[0] = L'X';
  wchar_t* s = nullptr;
  ASSERT_EQ(bag->GetString(1, &s), S_OK);
  EXPECT_STREQ(s, L"board");
  CqoBStr::free(s);
}

TEST_F(PropertyBagStrings, MalformedWideCharactersAreKeptExactly) {
  // Lone surrogates, a value above 0x10FFFF and the largest 32-bit value: the bag stores wide
  // text as given; only a later conversion to UTF-8 interprets it.
  const wchar_t odd[] = {static_cast<wchar_t>(0xD800),
                         L'a',
                         static_cast<wchar_t>(0xDFFF),
                         static_cast<wchar_t>(0x110000),
                         static_cast<wchar_t>(0x7FFFFFFF),
                         static_cast<wchar_t>(0xFFFFFFFFu),
                         0};
  ASSERT_EQ(bag->SetString(9, odd), S_OK);
  wchar_t* s = nullptr;
  ASSERT_EQ(bag->GetString(9, &s), S_OK);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(CqoBStr::length(s), 6u);
  EXPECT_EQ(std::memcmp(s, odd, sizeof(odd)), 0);  // including the terminating NUL
  // The library's own conversion of such a text is defined and does not fail.
  const std::string utf8 = qo::dsc::wideToUtf8(s);
  EXPECT_EQ(utf8.back(), '?');  // 0xFFFFFFFF is written as "?"
  CqoBStr::free(s);
}

// ---- Timestamp parts ---------------------------------------------------------------------------
using PropertyBagTimestampParts = BagTest;

TEST_F(PropertyBagTimestampParts, ZeroTimestampLeavesMinusOne) {
  const mxSysAttrTimestampUTC zero{0, 0};
  ASSERT_EQ(bag->SetTimestamp(1, &zero), S_OK);
  int parts[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bag->GetTimestampParts(1, parts), S_OK);
  for (int p : parts) EXPECT_EQ(p, -1);
}

TEST_F(PropertyBagTimestampParts, PartsAreTheLocalCalendarTime) {
  // 2024-02-29 13:14:15 UTC, plus a fraction that is dropped.
  const std::time_t posix = 1709212455;
  const mxSysAttrTimestampUTC ts{0xF000000000000000ull,
                                 static_cast<std::int64_t>(posix) + 2082844800};
  ASSERT_EQ(bag->SetTimestamp(1, &ts), S_OK);
  int parts[6] = {};
  ASSERT_EQ(bag->GetTimestampParts(1, parts), S_OK);
  std::tm expected{};
  ASSERT_NE(localtime_r(&posix, &expected), nullptr);
  EXPECT_EQ(parts[0], expected.tm_year + 1900);
  EXPECT_EQ(parts[1], expected.tm_mon + 1);
  EXPECT_EQ(parts[2], expected.tm_mday);
  EXPECT_EQ(parts[3], expected.tm_hour);
  EXPECT_EQ(parts[4], expected.tm_min);
  EXPECT_EQ(parts[5], 15);
}

TEST_F(PropertyBagTimestampParts, UnrepresentableTimeFailsWithPartsLeftAtMinusOne) {
  const mxSysAttrTimestampUTC far{0, std::numeric_limits<std::int64_t>::max()};
  ASSERT_EQ(bag->SetTimestamp(1, &far), S_OK);
  int parts[6] = {};
  EXPECT_EQ(bag->GetTimestampParts(1, parts), E_FAIL);
  for (int p : parts) EXPECT_EQ(p, -1);
  mxSysAttrTimestampUTC back{0, 0};
  EXPECT_EQ(bag->GetTimestamp(1, &back), S_OK);  // the value itself is intact
  EXPECT_EQ(back.seconds, far.seconds);
}

TEST_F(PropertyBagTimestampParts, AbsentTagLeavesMinusOne) {
  int parts[6] = {};
  EXPECT_EQ(bag->GetTimestampParts(1, parts), kNotPresent);
  for (int p : parts) EXPECT_EQ(p, -1);
}

// ---- Removal -----------------------------------------------------------------------------------
using PropertyBagRemove = BagTest;

TEST_F(PropertyBagRemove, RemoveTagForgetsValueAndChangedMark) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  ASSERT_EQ(bag->SetInt32(2, 2), S_OK);
  EXPECT_EQ(bag->RemoveTag(1), S_OK);
  EXPECT_EQ(bag->HasTag(1), S_FALSE);
  EXPECT_EQ(bag->RemoveTag(1), kNotPresent);
  EXPECT_EQ(bag->MarkChanged(1), kNotPresent);
  // Only tag 2 is still marked changed.
  int anyLeft = -1;
  EXPECT_EQ(bag->ClearChangedTag(2, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 0);
  // The removed tag can come back with another type.
  EXPECT_EQ(bag->SetString(1, L"x"), S_OK);
}

TEST_F(PropertyBagRemove, RemoveAllEmptiesValuesAndChangedTags) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  ASSERT_EQ(bag->SetString(2, L"two"), S_OK);
  EXPECT_EQ(bag->RemoveAll(), S_OK);
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 0u);
  EXPECT_EQ(bag->ClearChanged(), S_FALSE);
  EXPECT_EQ(bag->RemoveAll(), S_OK);
}

// ---- Identities and reference counts -----------------------------------------------------------
using PropertyBagIdentity = BagTest;

TEST_F(PropertyBagIdentity, AllFourIdentitiesAndIUnknownAnswerTheSamePointer) {
  const GUID* ids[] = {&IID_ImxSysPropertyBag, &IID_ImxSysPropertyBag2, &IID_ImxSysPropertyBag3,
                       &IID_ImxSysPropertyBag4, &IID_IUnknown};
  for (const GUID* id : ids) {
    void* p = nullptr;
    ASSERT_EQ(bag->QueryInterface(id, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(bag));
    EXPECT_EQ(static_cast<IUnknown*>(p)->Release(), 1u);
  }
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(bag->QueryInterface(&IID_ImxSysBinaryImage, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  GUID nearly = IID_ImxSysPropertyBag4;
  nearly.Data4[7] ^= 1;
  EXPECT_EQ(bag->QueryInterface(&nearly, &p), E_NOINTERFACE);
}

TEST(PropertyBagReferenceCount, CreatedWithOneReferenceAndDestroyedByTheLastRelease) {
  ImxSysPropertyBag4* bag = nullptr;
  ASSERT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  auto* object = static_cast<CmxDynamicPropertyBag*>(bag);
  EXPECT_EQ(object->refCount(), 1);
  EXPECT_EQ(bag->AddRef(), 2u);
  EXPECT_EQ(bag->Release(), 1u);
  EXPECT_EQ(bag->SetInt32(1, 1), S_OK);  // still usable
  EXPECT_EQ(bag->Release(), 0u);         // destroyed (AddressSanitizer checks the rest)
}

TEST(PropertyBagReferenceCount, CreateRefusesNullOut) {
  EXPECT_EQ(CmxDynamicPropertyBag::create(static_cast<ImxSysPropertyBag4**>(nullptr)), E_POINTER);
}

}  // namespace
