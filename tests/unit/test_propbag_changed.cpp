// Property bag tag lists, changed-tag tracking and hold/release of the bag lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/interfaces/ImxSysEnumPropertyTag.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "tests/unit/PropertyBagTesting.h"

namespace {

using propbagtest::BagTest;
using propbagtest::kNotPresent;

// Reads an enumerator to its end and releases it.
std::vector<unsigned> readAll(ImxSysEnumPropertyTag* tags) {
  std::vector<unsigned> out;
  if (tags == nullptr) return out;
  unsigned buffer[3];
  unsigned fetched = 0;
  HRESULT hr;
  do {
    hr = tags->Next(3, buffer, &fetched);
    EXPECT_GE(hr, 0);
    out.insert(out.end(), buffer, buffer + fetched);
  } while (hr == S_OK);
  tags->Release();
  return out;
}

std::vector<unsigned> changedTags(ImxSysPropertyBag4* bag) {
  ImxSysEnumPropertyTag* tags = reinterpret_cast<ImxSysEnumPropertyTag*>(0x1);
  const HRESULT hr = bag->GetChangedTags(&tags);
  EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
  if (hr == S_FALSE) {
    EXPECT_EQ(tags, nullptr);
    return {};
  }
  return readAll(tags);
}

// ---- GetTags ---------------------------------------------------------------------------------
using PropertyBagTagLists = BagTest;

TEST_F(PropertyBagTagLists, EmptyBagGivesFalseAndNoEnumerator) {
  ImxSysEnumPropertyTag* tags = reinterpret_cast<ImxSysEnumPropertyTag*>(0x1);
  EXPECT_EQ(bag->GetTags(&tags), S_FALSE);
  EXPECT_EQ(tags, nullptr);
  EXPECT_EQ(bag->GetChangedTags(&tags), S_FALSE);
  EXPECT_EQ(tags, nullptr);
}

TEST_F(PropertyBagTagLists, TagsComeInAscendingOrderAsASnapshot) {
  for (unsigned tag : {0x19000000u, 0x1002000u, 0xFFFFFFFFu, 0u, 0x16002000u})
    ASSERT_EQ(bag->SetUInt32(tag, tag), S_OK);
  ImxSysEnumPropertyTag* tags = nullptr;
  ASSERT_EQ(bag->GetTags(&tags), S_OK);
  ASSERT_NE(tags, nullptr);
  // Later changes do not reach an enumerator already handed out.
  ASSERT_EQ(bag->RemoveAll(), S_OK);
  EXPECT_EQ(readAll(tags),
            (std::vector<unsigned>{0u, 0x1002000u, 0x16002000u, 0x19000000u, 0xFFFFFFFFu}));
}

// ---- Changed tags ----------------------------------------------------------------------------
using PropertyBagChangedTags = BagTest;

TEST_F(PropertyBagChangedTags, EverySuccessfulSetterMarksItsTag) {
  ASSERT_EQ(bag->SetInt32(3, 1), S_OK);
  ASSERT_EQ(bag->SetString(1, L"a"), S_OK);
  EXPECT_EQ(changedTags(bag), (std::vector<unsigned>{1, 3}));
  ASSERT_EQ(bag->ClearChanged(), S_OK);
  EXPECT_EQ(bag->ClearChanged(), S_FALSE);
  // Overwriting with the same type marks again; a refused setter does not.
  ASSERT_EQ(bag->SetInt32(3, 2), S_OK);
  EXPECT_NE(bag->SetDouble(1, 1.0), S_OK);
  EXPECT_EQ(changedTags(bag), (std::vector<unsigned>{3}));
}

TEST_F(PropertyBagChangedTags, ClearChangedTagReportsWhatRemains) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  ASSERT_EQ(bag->SetInt32(2, 2), S_OK);
  int anyLeft = -1;
  EXPECT_EQ(bag->ClearChangedTag(1, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 1);
  EXPECT_EQ(bag->ClearChangedTag(1, &anyLeft), S_FALSE);
  EXPECT_EQ(anyLeft, 1);
  EXPECT_EQ(bag->ClearChangedTag(2, &anyLeft), S_OK);
  EXPECT_EQ(anyLeft, 0);
  EXPECT_EQ(bag->ClearChangedTag(77, &anyLeft), kNotPresent);
  EXPECT_EQ(anyLeft, 0);
}

TEST_F(PropertyBagChangedTags, MarkChangedNeedsThePresentTag) {
  ASSERT_EQ(bag->SetInt32(1, 1), S_OK);
  ASSERT_EQ(bag->ClearChanged(), S_OK);
  EXPECT_EQ(bag->MarkChanged(2), kNotPresent);
  EXPECT_EQ(changedTags(bag), std::vector<unsigned>{});
  EXPECT_EQ(bag->MarkChanged(1), S_OK);
  EXPECT_EQ(bag->MarkChanged(1), S_OK);
  EXPECT_EQ(changedTags(bag), (std::vector<unsigned>{1}));
}

// ---- hold / release ------------------------------------------------------------------------
using PropertyBagHold = BagTest;

TEST_F(PropertyBagHold, ReleaseWithoutHoldFails) {
  EXPECT_EQ(bag->release(), E_FAIL);
  EXPECT_EQ(bag->SetInt32(1, 1), S_OK);  // the lock was not lost
}

TEST_F(PropertyBagHold, HoldsNestAndReleaseMatchesThem) {
  auto* object = static_cast<CmxDynamicPropertyBag*>(bag);
  EXPECT_EQ(bag->hold(), S_OK);
  EXPECT_EQ(bag->hold(), S_OK);
  EXPECT_EQ(object->holdDepth(), 2);
  EXPECT_EQ(bag->SetInt32(1, 1), S_OK);  // the holder's own calls go through
  EXPECT_EQ(bag->release(), S_OK);
  EXPECT_EQ(bag->release(), S_OK);
  EXPECT_EQ(bag->release(), E_FAIL);
  EXPECT_EQ(object->holdDepth(), 0);
}

TEST_F(PropertyBagHold, OtherThreadsWaitWhileTheBagIsHeld) {
  ASSERT_EQ(bag->hold(), S_OK);
  std::atomic<bool> done{false};
  std::atomic<HRESULT> otherRelease{S_OK};
  std::thread other([&] {
    // A release from a thread that did not hold waits for the lock, then finds nothing held.
    otherRelease = bag->release();
    bag->SetInt32(2, 2);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(bag->HasTag(2), S_FALSE);
  EXPECT_EQ(bag->release(), S_OK);
  other.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(otherRelease.load(), E_FAIL);
  EXPECT_EQ(bag->HasTag(2), S_OK);
}

TEST(PropertyBagHoldLifetime, BagReleasedWhileHeldIsDestroyedCleanly) {
  ImxSysPropertyBag4* bag = nullptr;
  ASSERT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  ASSERT_EQ(bag->hold(), S_OK);
  ASSERT_EQ(bag->hold(), S_OK);
  EXPECT_EQ(bag->Release(), 0u);  // the lock is given back before it is destroyed
}

TEST(PropertyBagConcurrency, ParallelSettersOnOneBagLoseNothing) {
  ImxSysPropertyBag4* bag = nullptr;
  ASSERT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  constexpr unsigned kPerThread = 500;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([bag, t] {
      for (unsigned i = 0; i < kPerThread; ++i) {
        bag->SetUInt32(t * kPerThread + i, i);
        unsigned v = 0;
        bag->GetUInt32(t * kPerThread + i, &v);
        ImxSysPropertyBag* copy = nullptr;
        if (i % 100 == 0 && bag->Clone(&copy) == S_OK) copy->Release();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(static_cast<CmxDynamicPropertyBag*>(bag)->tagCount(), 4 * kPerThread);
  EXPECT_EQ(changedTags(bag).size(), 4 * kPerThread);
  EXPECT_EQ(bag->Release(), 0u);
}

}  // namespace
