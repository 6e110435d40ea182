// Property bags when memory runs out: every allocation of a chosen thread can be made to fail
// after a given number of successes (this file replaces the global operator new for the test
// program; it passes everything through unless a test arms it). A failing operation reports
// 0x8007000E and leaves the bag as it was; a Clone never hands out a partial copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"

namespace {
// Allocations left before failures start on this thread; negative: never fail.
thread_local long tAllocationsLeft = -1;

void* allocate(std::size_t size) {
  if (tAllocationsLeft == 0) return nullptr;
  if (tAllocationsLeft > 0) --tAllocationsLeft;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000Eu);

// Arms the failure for the scope: `n` more allocations succeed, then all fail.
class FailAfter {
 public:
  explicit FailAfter(long n) { tAllocationsLeft = n; }
  ~FailAfter() { tAllocationsLeft = -1; }
  FailAfter(const FailAfter&) = delete;
  FailAfter& operator=(const FailAfter&) = delete;
};

ImxSysPropertyBag4* filledBag(unsigned tags) {
  ImxSysPropertyBag4* bag = nullptr;
  EXPECT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  for (unsigned i = 0; i < tags; ++i) {
    switch (i % 4) {
      case 0:
        EXPECT_EQ(bag->SetInt32(i, static_cast<int>(i)), S_OK);
        break;
      case 1:
        EXPECT_EQ(bag->SetString(i, L"Baseboard Fan"), S_OK);
        break;
      case 2:
        EXPECT_EQ(bag->SetDouble(i, i * 0.5), S_OK);
        break;
      default: {
        const mxSysAttrTimestampUTC ts{0, 3786825600 + i};
        EXPECT_EQ(bag->SetTimestamp(i, &ts), S_OK);
      }
    }
  }
  return bag;
}

TEST(PropertyBagOutOfMemory, SetterFailsCleanlyAndTheBagStaysUsable) {
  ImxSysPropertyBag4* bag = filledBag(4);
  ASSERT_EQ(bag->ClearChanged(), S_OK);
  for (long n = 0; n < 2; ++n) {
    {
      FailAfter guard(n);
      EXPECT_EQ(bag->SetUInt32(100, 1), kOutOfMemory) << n;
    }
    EXPECT_EQ(bag->HasTag(100), S_FALSE);
    EXPECT_EQ(bag->ClearChanged(), S_FALSE);  // neither value nor changed mark left behind
  }
  {
    // Overwriting needs only the changed mark: with no memory the old value stays.
    FailAfter guard(0);
    EXPECT_EQ(bag->SetInt32(0, 77), kOutOfMemory);
  }
  int v = -1;
  EXPECT_EQ(bag->GetInt32(0, &v), S_OK);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(bag->SetUInt32(100, 1), S_OK);
  bag->Release();
}

TEST(PropertyBagOutOfMemory, TagListsAndMarksReportOutOfMemory) {
  ImxSysPropertyBag4* bag = filledBag(8);
  for (long n = 0; n < 12; ++n) {
    ImxSysEnumPropertyTag* tags = reinterpret_cast<ImxSysEnumPropertyTag*>(0x1);
    HRESULT hr;
    {
      FailAfter guard(n);
      hr = bag->GetTags(&tags);
    }
    if (hr == kOutOfMemory) {
      EXPECT_EQ(tags, nullptr);
      continue;
    }
    ASSERT_EQ(hr, S_OK) << n;
    tags->Release();
    break;
  }
  ASSERT_EQ(bag->ClearChanged(), S_OK);
  {
    FailAfter guard(0);
    EXPECT_EQ(bag->MarkChanged(1), kOutOfMemory);
  }
  EXPECT_EQ(bag->ClearChanged(), S_FALSE);
  bag->Release();
}

TEST(PropertyBagOutOfMemory, CloneIsCompleteOrRefusedNeverPartial) {
  ImxSysPropertyBag4* bag = filledBag(60);
  int failures = 0;
  bool succeeded = false;
  for (long n = 0; n < 2000 && !succeeded; ++n) {
    ImxSysPropertyBag* copy = reinterpret_cast<ImxSysPropertyBag*>(0x1);
    HRESULT hr;
    {
      FailAfter guard(n);
      hr = bag->Clone(&copy);
    }
    if (hr == kOutOfMemory) {
      EXPECT_EQ(copy, nullptr) << n;
      ++failures;
      continue;
    }
    ASSERT_EQ(hr, S_OK) << n;
    succeeded = true;
    auto* c = static_cast<CmxDynamicPropertyBag*>(static_cast<ImxSysPropertyBag4*>(copy));
    EXPECT_EQ(c->tagCount(), 60u);
    copy->Release();
  }
  EXPECT_TRUE(succeeded);
  EXPECT_GT(failures, 60);  // the sweep did reach failures in the middle of the copy
  // The source is untouched by every failed attempt.
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 60u);
  int v = -1;
  EXPECT_EQ(bag->GetInt32(56, &v), S_OK);
  EXPECT_EQ(v, 56);
  bag->Release();
}

}  // namespace
