// Item cache: the first-refresh rule, the order removal -> invalidation -> creation, reported
// names as keys, byte-order names, notice kinds, lookups and their errors, failures during a
// refresh, re-entry from the factory, and concurrent refreshes and lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sysapicpp/HResultException.h"
#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/ItemCache.h"
#include "sysapicpp/cache/ItemFactory.h"
#include "sysapicpp/cache/SharedPtrHelper.h"
#include "tests/common/NoOpItem.h"

namespace {

using sysapicpp::Item;
using sysapicpp::ItemCache;
using sysapicpp::ItemFactory;
using sysapicpp::SharedPtrHelper;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

std::atomic<int> gItemsAlive{0};

// An item that counts invalidations and reports a name (possibly not the one requested).
class FakeItem final : public qotest::NoOpItem {
 public:
  explicit FakeItem(std::string name, int serial) : NoOpItem(std::move(name)), serial_(serial) {
    ++gItemsAlive;
  }
  ~FakeItem() override { --gItemsAlive; }

  int invalidations() const { return invalidations_.load(); }
  int serial() const { return serial_; }
  void invalidate() override { ++invalidations_; }

 private:
  int serial_;
  std::atomic<int> invalidations_{0};
};

FakeItem* fake(const SharedPtrHelper<Item>& item) { return static_cast<FakeItem*>(item.get()); }

// A factory over a list of present names; every created item gets a new serial number.
class FakeFactory final : public ItemFactory {
 public:
  explicit FakeFactory(Names present = {}) : present_(std::move(present)) {}

  void getItemNames(Names& names) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++nameCalls_;
    names.insert(names.end(), present_.begin(), present_.end());
  }
  std::vector<SharedPtrHelper<Item>> createItems(const Names& names) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++createCalls_;
      createRequests_.push_back(names);
      hook = onCreate_;
    }
    if (hook) hook();
    std::vector<SharedPtrHelper<Item>> items;
    for (const std::string& name : names) {
      std::string reported;
      int serial;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failOn_ == name) throw std::runtime_error("cannot make " + name);
        auto renamed = renames_.find(name);
        reported = renamed != renames_.end() ? renamed->second : name;
        serial = ++serial_;
      }
      items.emplace_back(new FakeItem(reported, serial));
    }
    return items;
  }

  void setPresent(Names present) {
    std::lock_guard<std::mutex> lock(mutex_);
    present_ = std::move(present);
  }
  void rename(const std::string& requested, const std::string& reported) {
    std::lock_guard<std::mutex> lock(mutex_);
    renames_[requested] = reported;
  }
  void failOn(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    failOn_ = name;
  }
  void onCreate(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onCreate_ = std::move(hook);
  }
  int nameCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nameCalls_;
  }
  int createCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return createCalls_;
  }
  std::vector<Names> createRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return createRequests_;
  }

 private:
  std::mutex mutex_;
  Names present_;
  std::map<std::string, std::string> renames_;
  std::string failOn_;
  std::function<void()> onCreate_;
  int nameCalls_ = 0;
  int createCalls_ = 0;
  int serial_ = 0;
  std::vector<Names> createRequests_;
};

Names namesOf(ItemCache& cache) {
  Names names;
  cache.getItemNames(names);
  return names;
}

HRESULT codeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const sysapicpp::HResultException& e) {
    return e.code();
  }
  return 0;
}

// fn must raise an E with `code`, raised at `line` of the item cache.
template <class E>
void expectRaisedAt(const std::function<void()>& fn, HRESULT code, int line) {
  try {
    fn();
    ADD_FAILURE() << "nothing raised; expected line " << line;
  } catch (const E& e) {
    EXPECT_EQ(e.code(), code);
    EXPECT_EQ(std::string(e.details()), R"({"file":"sysapicpp/cache/ItemCache","line":)" +
                                            std::to_string(line) +
                                            R"(,"component":"qovorlixatomicsae"})");
  }
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheFirstRefresh, BuildsTheMapFromTheFactorysFullList) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  EXPECT_TRUE(cache.isEmpty());
  EXPECT_FALSE(cache.isPopulated());
  cache.refresh();
  EXPECT_TRUE(cache.isPopulated());
  EXPECT_EQ(namesOf(cache), (Names{"KEL0", "KEL1"}));
  EXPECT_EQ(factory.nameCalls(), 1);
  EXPECT_EQ(factory.createRequests(), (std::vector<Names>{{"KEL0", "KEL1"}}));
}

TEST(ItemCacheFirstRefresh, IgnoresNoticesQueuedBeforeIt) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  cache.notifyItemChange(2, "KEL0");  // remove: discarded
  cache.notifyItemChange(3, "KEL1");  // invalidate: discarded
  cache.notifyItemChange(1, "KEL9");  // create: replaced by the full list
  cache.refresh();
  EXPECT_EQ(namesOf(cache), (Names{"KEL0", "KEL1"}));
  EXPECT_EQ(fake(cache.getItem("KEL1"))->invalidations(), 0);
  EXPECT_EQ(factory.createRequests(), (std::vector<Names>{{"KEL0", "KEL1"}}));
}

TEST(ItemCacheFirstRefresh, EnumeratesOnlyOnceAndAnEmptyBatchCallsNothing) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  factory.setPresent({"KEL0", "KEL1"});
  cache.refresh();
  cache.refresh();
  EXPECT_EQ(factory.nameCalls(), 1);
  EXPECT_EQ(factory.createCalls(), 1);
  EXPECT_EQ(namesOf(cache), Names{"KEL0"});  // new boards arrive only through notices
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 0);
}

TEST(ItemCacheFirstRefresh, AnEmptyMachineGivesAnEmptyPopulatedCache) {
  FakeFactory factory;
  ItemCache cache(&factory);
  cache.refresh();
  EXPECT_TRUE(cache.isEmpty());
  EXPECT_TRUE(cache.isPopulated());
  EXPECT_EQ(factory.createCalls(), 0);  // nothing to create, factory not asked
  EXPECT_TRUE(cache.getAllItems().empty());
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCachePendingOrder, RemovedAndAddedInOneBatchGivesANewUninvalidatedItem) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  SharedPtrHelper<Item> old = cache.getItem("KEL0");
  // Queued in the reverse of the order they are applied.
  cache.notifyItemChange(1, "KEL0");
  cache.notifyItemChange(3, "KEL0");
  cache.notifyItemChange(2, "KEL0");
  cache.refresh();
  SharedPtrHelper<Item> now = cache.getItem("KEL0");
  EXPECT_NE(now.get(), old.get());
  EXPECT_EQ(fake(old)->invalidations(), 0);  // removed before the invalidation was applied
  EXPECT_EQ(fake(now)->invalidations(), 0);  // created after it
  EXPECT_EQ(old.useCount(), 1u);             // the cache let go of the old item
}

TEST(ItemCachePendingOrder, InvalidationReachesExistingItemsButNotItemsCreatedInTheSameBatch) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  cache.notifyItemsChange(1, {"KEL1"});
  cache.notifyItemsChange(3, {"KEL1", "KEL0", "KEL0"});
  cache.refresh();
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 2);
  EXPECT_EQ(fake(cache.getItem("KEL1"))->invalidations(), 0);
}

TEST(ItemCachePendingOrder, RemovalOfAMissingNameIsHarmless) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  cache.notifyItemChange(2, "KEL7");
  cache.notifyItemChange(3, "KEL8");
  EXPECT_NO_THROW(cache.refresh());
  EXPECT_EQ(namesOf(cache), Names{"KEL0"});
}

TEST(ItemCachePendingOrder, ListsAreAppliedOnceAndCreatedInQueueOrder) {
  const int aliveBefore = gItemsAlive.load();
  FakeFactory factory;
  ItemCache cache(&factory);
  cache.refresh();
  cache.addItemToCreate("KEL5");
  cache.addItemsToCreate({"KEL3", "KEL4"});
  cache.addItemsToCreate({});
  cache.refresh();
  cache.refresh();
  EXPECT_EQ(factory.createRequests(), (std::vector<Names>{{"KEL5", "KEL3", "KEL4"}}));
  cache.addItemsToRemove({"KEL3", "KEL5"});
  cache.addItemToRemove("KEL4");
  cache.refresh();
  EXPECT_TRUE(cache.isEmpty());
  EXPECT_EQ(gItemsAlive.load(), aliveBefore);
}

TEST(ItemCachePendingOrder, AddItemToInvalidateOperationsQueueForTheNextRefresh) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  cache.refresh();
  cache.addItemToInvalidate("KEL0");
  cache.addItemsToInvalidate({"KEL1", "KEL0"});
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 0);  // not before refresh
  cache.refresh();
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 2);
  EXPECT_EQ(fake(cache.getItem("KEL1"))->invalidations(), 1);
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheNotices, AnAddedItemAppearsOnlyAfterTheNextRefresh) {
  FakeFactory factory;
  ItemCache cache(&factory);
  cache.refresh();
  cache.notifyItemsChange(1, {"KEL1"});
  EXPECT_EQ(codeOf([&] { cache.getItem("KEL1"); }), static_cast<HRESULT>(0x80040375u));
  EXPECT_FALSE(cache.hasItem("KEL1"));
  cache.refresh();
  EXPECT_TRUE(cache.hasItem("KEL1"));
  EXPECT_EQ(cache.getItem("KEL1")->getName(), "KEL1");
}

TEST(ItemCacheNotices, ACreateNoticeForAPresentNameKeepsTheExistingItem) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  SharedPtrHelper<Item> before = cache.getItem("KEL0");
  const int aliveBefore = gItemsAlive.load();
  cache.notifyItemChange(1, "KEL0");
  cache.refresh();
  EXPECT_EQ(cache.getItem("KEL0").get(), before.get());
  EXPECT_EQ(factory.createCalls(), 2);         // the item was made ...
  EXPECT_EQ(gItemsAlive.load(), aliveBefore);  // ... and dropped again
}

TEST(ItemCacheNotices, KindFourIsRejectedAndQueuesNothing) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  const auto unexpected = static_cast<HRESULT>(0x8000FFFFu);
  expectRaisedAt<sysapicpp::UnexpectedException>([&] { cache.notifyItemChange(4, "KEL9"); },
                                                 unexpected, 134);
  expectRaisedAt<sysapicpp::UnexpectedException>([&] { cache.notifyItemsChange(4, {"KEL9"}); },
                                                 unexpected, 152);
  cache.refresh();
  EXPECT_EQ(factory.createCalls(), 1);
  EXPECT_FALSE(cache.hasItem("KEL9"));
}

TEST(ItemCacheNotices, OtherKindsAreSilentlyIgnored) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  for (std::int32_t kind : {0, 5, -1, 1000}) {
    EXPECT_NO_THROW(cache.notifyItemChange(kind, "KEL0"));
    EXPECT_NO_THROW(cache.notifyItemsChange(kind, {"KEL0", "KEL3"}));
  }
  cache.refresh();
  EXPECT_EQ(factory.createCalls(), 1);
  EXPECT_EQ(namesOf(cache), Names{"KEL0"});
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 0);
}

TEST(ItemCacheNotices, KindsOneToThreeRouteToCreateRemoveAndInvalidate) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  cache.refresh();
  cache.notifyItemsChange(1, {"KEL2"});
  cache.notifyItemsChange(2, {"KEL1"});
  cache.notifyItemsChange(3, {"KEL0"});
  cache.refresh();
  EXPECT_EQ(namesOf(cache), (Names{"KEL0", "KEL2"}));
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 1);
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheNames, AnItemIsStoredUnderTheNameItReports) {
  FakeFactory factory;
  factory.rename("KEL3", "KEL7");
  ItemCache cache(&factory);
  cache.refresh();
  cache.notifyItemChange(1, "KEL3");
  cache.refresh();
  EXPECT_TRUE(cache.hasItem("KEL7"));
  EXPECT_FALSE(cache.hasItem("KEL3"));
  EXPECT_EQ(namesOf(cache), Names{"KEL7"});
}

TEST(ItemCacheNames, NamesComeInByteOrder) {
  FakeFactory factory({"KEL2", "KEL10", "KEL1", "KEL\xC3\xA9", "KELZ", "KE", "KEL"});
  ItemCache cache(&factory);
  cache.refresh();
  // Bytes compare as unsigned (0xC3 after 'Z'); a prefix comes before longer names.
  EXPECT_EQ(namesOf(cache), (Names{"KE", "KEL", "KEL1", "KEL10", "KEL2", "KELZ", "KEL\xC3\xA9"}));
  std::vector<std::string> viaItems;
  for (const auto& item : cache.getAllItems()) viaItems.push_back(item->getName());
  EXPECT_EQ(viaItems, namesOf(cache));
}

TEST(ItemCacheNames, NameOrderIsBytewiseUnsigned) {
  sysapicpp::ItemNameLess less;
  EXPECT_TRUE(less("KEL10", "KEL2"));
  EXPECT_FALSE(less("KEL2", "KEL10"));
  EXPECT_TRUE(less("KEL", "KEL0"));
  EXPECT_FALSE(less("KEL0", "KEL0"));
  EXPECT_TRUE(less("KEL\x7F", "KEL\x80"));
  EXPECT_TRUE(less(std::string("A\0B", 3), std::string("A\0C", 3)));
  EXPECT_TRUE(less("", "A"));
}

TEST(ItemCacheNames, GetItemNamesAppends) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  Names names{"existing"};
  cache.getItemNames(names);
  EXPECT_EQ(names, (Names{"existing", "KEL0"}));
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheLookup, AMissingItemRaisesItemNotExistWithItsContext) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  cache.refresh();
  expectRaisedAt<sysapicpp::ItemNotExistException>([&] { cache.getItem("KEL1"); },
                                                   static_cast<HRESULT>(0x80040375u), 47);
  EXPECT_EQ(namesOf(cache), Names{"KEL0"});
}

TEST(ItemCacheLookup, HandlesCarryTheirOwnReferences) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  cache.refresh();
  SharedPtrHelper<Item> a = cache.getItem("KEL0");
  EXPECT_EQ(a.useCount(), 2u);  // the map's and ours
  {
    std::vector<SharedPtrHelper<Item>> all = cache.getAllItems();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].get(), a.get());
    EXPECT_EQ(a.useCount(), 3u);
  }
  EXPECT_EQ(a.useCount(), 2u);
  // Removed from the cache, the item lives on for the holder of a handle.
  cache.notifyItemChange(2, "KEL0");
  cache.refresh();
  EXPECT_FALSE(cache.hasItem("KEL0"));
  EXPECT_EQ(a.useCount(), 1u);
  EXPECT_EQ(a->getName(), "KEL0");
}

TEST(ItemCacheLookup, DestructionReleasesEveryItem) {
  const int before = gItemsAlive.load();
  {
    FakeFactory factory({"KEL0", "KEL1", "KEL2"});
    ItemCache cache(&factory);
    cache.refresh();
    EXPECT_EQ(gItemsAlive.load(), before + 3);
    cache.notifyItemChange(1, "KEL3");  // pending lists are released too
  }
  EXPECT_EQ(gItemsAlive.load(), before);
}

TEST(ItemCacheLookup, ANullFactoryIsRefused) {
  EXPECT_EQ(codeOf([] { ItemCache cache(nullptr); }), static_cast<HRESULT>(0x80070057u));
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheFailures, AFactoryFailureLosesTheBatchButKeepsDoneStepsAndThePopulatedState) {
  FakeFactory factory({"KEL0", "KEL1"});
  ItemCache cache(&factory);
  cache.refresh();
  factory.failOn("KEL5");
  cache.notifyItemsChange(2, {"KEL1"});
  cache.notifyItemsChange(3, {"KEL0"});
  cache.notifyItemsChange(1, {"KEL5"});
  EXPECT_THROW(cache.refresh(), std::runtime_error);
  EXPECT_FALSE(cache.hasItem("KEL1"));                         // removal done
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 1);  // invalidation done
  factory.failOn("");
  cache.refresh();  // the batch was lost
  EXPECT_FALSE(cache.hasItem("KEL5"));
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 1);
}

TEST(ItemCacheFailures, AFailedFirstRefreshStillCountsAsPopulated) {
  FakeFactory factory({"KEL0"});
  factory.failOn("KEL0");
  ItemCache cache(&factory);
  EXPECT_THROW(cache.refresh(), std::runtime_error);
  EXPECT_TRUE(cache.isPopulated());
  factory.failOn("");
  cache.refresh();
  EXPECT_EQ(factory.nameCalls(), 1);
  EXPECT_TRUE(cache.isEmpty());
}

TEST(ItemCacheFailures, BothLocksAreReleasedWhenRefreshThrows) {
  FakeFactory factory({"KEL0"});
  factory.failOn("KEL0");
  ItemCache cache(&factory);
  EXPECT_THROW(cache.refresh(), std::runtime_error);
  auto other = std::async(std::launch::async, [&] {
    cache.addItemToCreate("KEL1");
    return cache.isEmpty();
  });
  ASSERT_EQ(other.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(other.get());
}

// ---------------------------------------------------------------------------------------------

TEST(ItemCacheReentry, AFactoryMayCallBackIntoTheCacheOnTheSameThread) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  bool sawItem = true;
  factory.onCreate([&] {
    sawItem = cache.hasItem("KEL0");  // map lock, recursively
    cache.addItemToCreate("KEL1");    // lists lock while the map lock is held
  });
  cache.refresh();
  EXPECT_FALSE(sawItem);
  EXPECT_FALSE(cache.hasItem("KEL1"));  // queued during the refresh: waits for the next one
  factory.onCreate(nullptr);
  cache.refresh();
  EXPECT_TRUE(cache.hasItem("KEL1"));
}

TEST(ItemCacheConcurrency, NoticesCanBeQueuedWhileARefreshIsRunning) {
  FakeFactory factory({"KEL0"});
  ItemCache cache(&factory);
  std::mutex mutex;
  std::condition_variable cv;
  bool inFactory = false;
  bool release = false;
  factory.onCreate([&] {
    std::unique_lock<std::mutex> lock(mutex);
    inFactory = true;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return release; });
  });
  std::thread refresher([&] { cache.refresh(); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return inFactory; }));
  }
  // The refresh holds the map lock; queueing must not wait for it.
  auto queued = std::async(std::launch::async, [&] {
    cache.notifyItemChange(1, "KEL4");
    cache.notifyItemsChange(2, {"KEL0"});
  });
  EXPECT_EQ(queued.wait_for(20s), std::future_status::ready);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
    cv.notify_all();
  }
  refresher.join();
  queued.get();
  factory.onCreate(nullptr);
  EXPECT_EQ(namesOf(cache), Names{"KEL0"});
  cache.refresh();
  EXPECT_EQ(namesOf(cache), Names{"KEL4"});
}

TEST(ItemCacheConcurrency, RefreshesLookupsAndNoticesFromManyThreads) {
  FakeFactory factory({"KEL0", "KEL1", "KEL2"});
  ItemCache cache(&factory);
  cache.refresh();  // notices queued before the first refresh would be discarded
  std::atomic<bool> stop{false};
  std::atomic<int> lookups{0};
  std::vector<std::thread> threads;
  // Notifier: toggles KEL5 in and out, invalidates KEL0.
  threads.emplace_back([&] {
    for (int i = 0; i < 300; ++i) {
      cache.notifyItemChange(i % 2 == 0 ? 1 : 2, "KEL5");
      cache.notifyItemsChange(3, {"KEL0"});
    }
  });
  // Refreshers.
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int n = 0; n < 50 || !stop.load(); ++n) cache.refresh();
    });
  }
  // Readers.
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int n = 0; n < 50 || !stop.load(); ++n) {
        SharedPtrHelper<Item> item = cache.getItem("KEL1");
        if (item->getName() == "KEL1") ++lookups;
        for (const auto& each : cache.getAllItems()) (void)each->getName();
        Names names;
        cache.getItemNames(names);
        (void)cache.hasItem("KEL5");
      }
    });
  }
  threads[0].join();
  stop = true;
  for (std::size_t i = 1; i < threads.size(); ++i) threads[i].join();
  cache.refresh();
  // Every invalidation notice reached KEL0 exactly once; KEL5 came and went without disturbing
  // the others (its final state depends on how notices fell into batches: remove it).
  cache.notifyItemChange(2, "KEL5");
  cache.refresh();
  EXPECT_EQ(namesOf(cache), (Names{"KEL0", "KEL1", "KEL2"}));
  EXPECT_EQ(fake(cache.getItem("KEL0"))->invalidations(), 300);
  EXPECT_GE(lookups.load(), 100);
}

}  // namespace
