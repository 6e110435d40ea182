// The item-name enumerator: paging through Next, Skip past the end, Reset, Clone sharing the
// list (which outlives the original), null pointers, a missing list, and strings that cannot be
// copied.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/CmxSysEnumItemNamesSTL.h"

namespace {

ImxSysEnumStringList* makeNames(std::vector<std::wstring> names) {
  ImxSysEnumStringList* e = nullptr;
  EXPECT_EQ(CmxSysEnumItemNamesSTL::create(std::move(names), &e), S_OK);
  return e;
}

std::vector<std::wstring> take(wchar_t** items, unsigned n) {
  std::vector<std::wstring> out;
  for (unsigned i = 0; i < n; ++i) {
    out.emplace_back(items[i], CqoBStr::length(items[i]));
    CqoBStr::free(items[i]);
    items[i] = nullptr;
  }
  return out;
}

TEST(EnumItemNamesPaging, NextTwoThenNextTwoOfThree) {
  ImxSysEnumStringList* e = makeNames({L"KEL0", L"KEL1", L"KEL10"});
  wchar_t* items[4] = {};
  unsigned fetched = 99;
  EXPECT_EQ(e->Next(2, items, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(take(items, 2), (std::vector<std::wstring>{L"KEL0", L"KEL1"}));
  EXPECT_EQ(e->Next(2, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(take(items, 1), (std::vector<std::wstring>{L"KEL10"}));
  EXPECT_EQ(e->Next(2, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Release(), 0u);
}

TEST(EnumItemNamesPaging, CountOneNeedsNoFetchedAndCountZeroSucceeds) {
  ImxSysEnumStringList* e = makeNames({L"A"});
  wchar_t* item = nullptr;
  unsigned fetched = 99;
  EXPECT_EQ(e->Next(0, &item, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(e->Next(1, &item, nullptr), S_OK);
  EXPECT_EQ(take(&item, 1), std::vector<std::wstring>{L"A"});
  EXPECT_EQ(e->Next(1, &item, nullptr), S_FALSE);
  e->Release();
}

TEST(EnumItemNamesPaging, EmptyListEndsAtOnce) {
  ImxSysEnumStringList* e = makeNames({});
  wchar_t* item = nullptr;
  unsigned fetched = 5;
  EXPECT_EQ(e->Next(1, &item, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Skip(0), S_OK);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  e->Release();
}

TEST(EnumItemNamesSkipReset, SkipStopsAtTheEndAndResetRestarts) {
  ImxSysEnumStringList* e = makeNames({L"a", L"b", L"c"});
  EXPECT_EQ(e->Skip(2), S_OK);
  wchar_t* item = nullptr;
  ASSERT_EQ(e->Next(1, &item, nullptr), S_OK);
  EXPECT_EQ(take(&item, 1), std::vector<std::wstring>{L"c"});
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(3), S_OK);  // exactly to the end is not past it
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(4), S_FALSE);
  unsigned fetched = 9;
  EXPECT_EQ(e->Next(1, &item, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);
  EXPECT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, &item, nullptr), S_OK);
  EXPECT_EQ(take(&item, 1), std::vector<std::wstring>{L"a"});
  e->Release();
}

TEST(EnumItemNamesClone, CloneContinuesFromTheSamePositionIndependently) {
  ImxSysEnumStringList* e = makeNames({L"a", L"b", L"c"});
  ASSERT_EQ(e->Skip(1), S_OK);
  ImxSysEnumStringList* c = nullptr;
  ASSERT_EQ(e->Clone(&c), S_OK);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, e);
  wchar_t* items[3] = {};
  unsigned fetched = 0;
  EXPECT_EQ(c->Next(3, items, &fetched), S_FALSE);
  EXPECT_EQ(take(items, fetched), (std::vector<std::wstring>{L"b", L"c"}));
  // The original did not move.
  EXPECT_EQ(e->Next(1, items, nullptr), S_OK);
  EXPECT_EQ(take(items, 1), std::vector<std::wstring>{L"b"});
  EXPECT_EQ(c->Release(), 0u);
  EXPECT_EQ(e->Release(), 0u);
}

TEST(EnumItemNamesClone, CloneKeepsTheListAliveAfterTheOriginalIsReleased) {
  ImxSysEnumStringList* e = makeNames({L"KEL0", L"KEL1"});
  ImxSysEnumStringList* c = nullptr;
  ASSERT_EQ(e->Clone(&c), S_OK);
  ImxSysEnumStringList* cc = nullptr;
  ASSERT_EQ(c->Clone(&cc), S_OK);
  EXPECT_EQ(e->Release(), 0u);
  EXPECT_EQ(c->Release(), 0u);
  wchar_t* items[2] = {};
  unsigned fetched = 0;
  ASSERT_EQ(cc->Next(2, items, &fetched), S_OK);  // AddressSanitizer would catch a freed list
  EXPECT_EQ(take(items, 2), (std::vector<std::wstring>{L"KEL0", L"KEL1"}));
  EXPECT_EQ(cc->Release(), 0u);
}

TEST(EnumItemNamesClone, CloneAnswersTheEnumeratorIdentity) {
  ImxSysEnumStringList* e = makeNames({L"x"});
  ImxSysEnumStringList* c = nullptr;
  ASSERT_EQ(e->Clone(&c), S_OK);
  void* p = nullptr;
  EXPECT_EQ(c->QueryInterface(&IID_ImxSysEnumStringList, &p), S_OK);
  EXPECT_EQ(p, static_cast<void*>(c));
  EXPECT_EQ(c->Release(), 1u);  // the QueryInterface reference; the one from Clone remains
  EXPECT_EQ(c->QueryInterface(&IID_ImxSysEnumPropertyTag, &p), E_NOINTERFACE);
  EXPECT_EQ(c->Release(), 0u);
  e->Release();
}

TEST(EnumItemNamesBadInput, NullPointersAndMissingList) {
  ImxSysEnumStringList* e = makeNames({L"a", L"b"});
  wchar_t* items[2] = {};
  EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(e->Next(2, items, nullptr), E_POINTER);
  EXPECT_EQ(e->Next(0, items, nullptr), E_POINTER);
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  // Nothing moved.
  ASSERT_EQ(e->Next(1, items, nullptr), S_OK);
  EXPECT_EQ(take(items, 1), std::vector<std::wstring>{L"a"});
  e->Release();

  // An enumerator without a list.
  ImxSysEnumStringList* empty = nullptr;
  ASSERT_EQ(CmxSysEnumItemNamesSTL::createShared(nullptr, &empty), S_OK);
  unsigned fetched = 7;
  EXPECT_EQ(empty->Next(1, items, &fetched), E_FAIL);
  EXPECT_EQ(empty->Skip(1), E_FAIL);
  EXPECT_EQ(empty->Reset(), E_FAIL);
  ImxSysEnumStringList* c = reinterpret_cast<ImxSysEnumStringList*>(0x1);
  EXPECT_EQ(empty->Clone(&c), E_FAIL);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(empty->Release(), 0u);
  EXPECT_EQ(CmxSysEnumItemNamesSTL::create({}, nullptr), E_POINTER);
}

TEST(EnumItemNamesStrings, NamesAreHandedOutExactlyIncludingOddCharacters) {
  const std::wstring odd{static_cast<wchar_t>(0xD800), L'K', static_cast<wchar_t>(0x110000)};
  ImxSysEnumStringList* e = makeNames({odd, L""});
  wchar_t* items[2] = {};
  unsigned fetched = 0;
  ASSERT_EQ(e->Next(2, items, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(CqoBStr::length(items[1]), 0u);
  EXPECT_EQ(take(items, 2), (std::vector<std::wstring>{odd, L""}));
  e->Release();
}

// A copy policy that fails at the third element, to check the enumerator's clean-up.
int gDestroyed = 0;
struct FailThirdCopy {
  static bool copy(wchar_t*& destination, const std::wstring& source) noexcept {
    if (source == L"fail") {
      destination = nullptr;
      return false;
    }
    destination = CqoBStr::alloc(source.c_str());
    return destination != nullptr;
  }
  static void destroy(wchar_t*& item) noexcept {
    ++gDestroyed;
    CqoBStr::free(item);
    item = nullptr;
  }
};
class FailingNames : public sysapicpp::IQOEnumOnSTLImpl<FailingNames, ImxSysEnumStringList,
                                                        IID_ImxSysEnumStringList, wchar_t*,
                                                        FailThirdCopy, std::vector<std::wstring>> {
};

TEST(EnumItemNamesStrings, FailedCopyFreesThisCallsStringsAndDoesNotMove) {
  ImxSysEnumStringList* e = nullptr;
  ASSERT_EQ(FailingNames::create({L"a", L"b", L"fail", L"d"}, &e), S_OK);
  wchar_t* items[4] = {};
  unsigned fetched = 9;
  gDestroyed = 0;
  EXPECT_EQ(e->Next(4, items, &fetched), E_OUTOFMEMORY);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(gDestroyed, 2);
  EXPECT_EQ(items[0], nullptr);
  EXPECT_EQ(items[1], nullptr);
  // The position did not move: the two names before the failure can still be read.
  ASSERT_EQ(e->Next(2, items, &fetched), S_OK);
  EXPECT_EQ(take(items, 2), (std::vector<std::wstring>{L"a", L"b"}));
  e->Release();
}

}  // namespace
