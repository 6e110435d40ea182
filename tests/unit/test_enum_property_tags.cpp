// The property-tag enumerator: ascending tags, paging with counts beyond the end, Skip, Reset,
// clones sharing the list, null pointers.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/CmxSysEnumPropertyTagsSTL.h"

namespace {

ImxSysEnumPropertyTag* makeTags(std::set<std::uint32_t> tags) {
  ImxSysEnumPropertyTag* e = nullptr;
  EXPECT_EQ(CmxSysEnumPropertyTagsSTL::create(std::move(tags), &e), S_OK);
  return e;
}

TEST(EnumPropertyTagsPaging, TagsAscendAndTheLastPageIsShort) {
  ImxSysEnumPropertyTag* e = makeTags({0x19000000u, 0x1001000u, 0x16002000u, 0x1002000u, 7u});
  unsigned items[8] = {};
  unsigned fetched = 0;
  EXPECT_EQ(e->Next(3, items, &fetched), S_OK);
  ASSERT_EQ(fetched, 3u);
  EXPECT_EQ(std::vector<unsigned>(items, items + 3),
            (std::vector<unsigned>{7u, 0x1001000u, 0x1002000u}));
  EXPECT_EQ(e->Next(8, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::vector<unsigned>(items, items + 2),
            (std::vector<unsigned>{0x16002000u, 0x19000000u}));
  EXPECT_EQ(e->Next(1, items, nullptr), S_FALSE);
  e->Release();
}

TEST(EnumPropertyTagsSkipReset, SkipThenResetThenRead) {
  ImxSysEnumPropertyTag* e = makeTags({1, 2, 3, 4});
  EXPECT_EQ(e->Skip(3), S_OK);
  unsigned tag = 0;
  EXPECT_EQ(e->Next(1, &tag, nullptr), S_OK);
  EXPECT_EQ(tag, 4u);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  EXPECT_EQ(e->Next(1, &tag, nullptr), S_OK);
  EXPECT_EQ(tag, 2u);
  EXPECT_EQ(e->Skip(100), S_FALSE);
  unsigned fetched = 9;
  EXPECT_EQ(e->Next(5, &tag, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  e->Release();
}

TEST(EnumPropertyTagsClone, ClonesShareTheListAndOutliveTheOriginal) {
  ImxSysEnumPropertyTag* e = makeTags({10, 20, 30});
  ASSERT_EQ(e->Skip(1), S_OK);
  ImxSysEnumPropertyTag* c = nullptr;
  ASSERT_EQ(e->Clone(&c), S_OK);
  EXPECT_EQ(static_cast<CmxSysEnumPropertyTagsSTL*>(c)->list(),
            static_cast<CmxSysEnumPropertyTagsSTL*>(e)->list());
  EXPECT_EQ(static_cast<CmxSysEnumPropertyTagsSTL*>(c)->position(), 1u);
  EXPECT_EQ(e->Release(), 0u);
  unsigned items[3] = {};
  unsigned fetched = 0;
  EXPECT_EQ(c->Next(3, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(items[0], 20u);
  EXPECT_EQ(items[1], 30u);
  EXPECT_EQ(c->Reset(), S_OK);
  EXPECT_EQ(c->Next(1, items, nullptr), S_OK);
  EXPECT_EQ(items[0], 10u);
  EXPECT_EQ(c->Release(), 0u);
}

TEST(EnumPropertyTagsBadInput, NullPointers) {
  ImxSysEnumPropertyTag* e = makeTags({1});
  unsigned tag = 0;
  EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(e->Next(3, &tag, nullptr), E_POINTER);
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  void* p = nullptr;
  EXPECT_EQ(e->QueryInterface(&IID_ImxSysEnumPropertyTag, &p), S_OK);
  EXPECT_EQ(p, static_cast<void*>(e));
  e->Release();
  EXPECT_EQ(e->Next(1, &tag, nullptr), S_OK);
  EXPECT_EQ(tag, 1u);
  EXPECT_EQ(e->Release(), 0u);
}

}  // namespace
