// Item handles (SharedPtrHelper): counting, last release deletes, sharing across base and
// derived handles, and copies released from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sysapicpp/cache/SharedPtrHelper.h"

namespace {

using sysapicpp::SharedPtrHelper;

struct Base {
  virtual ~Base() = default;
  virtual int value() const { return 1; }
};

struct Counted : Base {
  explicit Counted(std::atomic<int>* deathCount) : deaths(deathCount) {}
  ~Counted() override { ++*deaths; }
  int value() const override { return 2; }
  std::atomic<int>* deaths;
};

TEST(SharedPtrHelperCount, CopiesShareOneObjectAndTheLastReleaseDeletesIt) {
  std::atomic<int> deaths{0};
  SharedPtrHelper<Counted> a(new Counted(&deaths));
  EXPECT_EQ(a.useCount(), 1u);
  {
    SharedPtrHelper<Counted> b = a;
    SharedPtrHelper<Counted> c;
    c = b;
    EXPECT_EQ(a.useCount(), 3u);
    EXPECT_EQ(c.get(), a.get());
    EXPECT_TRUE(c == a);
  }
  EXPECT_EQ(a.useCount(), 1u);
  EXPECT_EQ(deaths.load(), 0);
  a.reset();
  EXPECT_EQ(deaths.load(), 1);
  EXPECT_FALSE(a);
  EXPECT_EQ(a.useCount(), 0u);
}

TEST(SharedPtrHelperCount, MovingTransfersTheReferenceWithoutCounting) {
  std::atomic<int> deaths{0};
  SharedPtrHelper<Counted> a(new Counted(&deaths));
  SharedPtrHelper<Counted> b(std::move(a));
  EXPECT_FALSE(a);  // NOLINT: moved-from handles are empty
  EXPECT_EQ(b.useCount(), 1u);
  SharedPtrHelper<Counted> c;
  c = std::move(b);
  EXPECT_EQ(c.useCount(), 1u);
  SharedPtrHelper<Counted>& alias = c;
  c = alias;  // self-assignment keeps the object
  EXPECT_EQ(c.useCount(), 1u);
  EXPECT_EQ(deaths.load(), 0);
  c = SharedPtrHelper<Counted>();
  EXPECT_EQ(deaths.load(), 1);
}

TEST(SharedPtrHelperCount, ABaseHandleSharesTheCountAndDeletesThroughTheCreatedType) {
  std::atomic<int> deaths{0};
  SharedPtrHelper<Base> base;
  {
    SharedPtrHelper<Counted> derived(new Counted(&deaths));
    base = derived;
    EXPECT_EQ(derived.useCount(), 2u);
    EXPECT_EQ(base->value(), 2);
  }
  EXPECT_EQ(deaths.load(), 0);
  EXPECT_EQ(base.useCount(), 1u);
  base.reset();
  EXPECT_EQ(deaths.load(), 1);
}

TEST(SharedPtrHelperCount, EmptyHandlesAreHarmless) {
  SharedPtrHelper<Base> empty;
  SharedPtrHelper<Base> fromNull(static_cast<Base*>(nullptr));
  SharedPtrHelper<Base> copy = empty;
  EXPECT_FALSE(empty);
  EXPECT_FALSE(fromNull);
  EXPECT_EQ(copy.useCount(), 0u);
  EXPECT_EQ(copy.get(), nullptr);
  auto made = sysapicpp::makeSharedPtrHelper<Base>();
  EXPECT_EQ(made->value(), 1);
  EXPECT_EQ(made.useCount(), 1u);
}

TEST(SharedPtrHelperThreads, CopiesReleasedOnManyThreadsDeleteExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> deaths{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    {
      SharedPtrHelper<Counted> shared(new Counted(&deaths));
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = shared, &go]() mutable {
          while (!go.load()) std::this_thread::yield();
          for (int i = 0; i < 500; ++i) {
            SharedPtrHelper<Counted> more = copy;
            SharedPtrHelper<Base> asBase = more;
            if (asBase->value() != 2) std::abort();
          }
          copy.reset();
        });
      }
    }  // the creating handle goes first; the threads hold the rest
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(deaths.load(), 1) << "round " << round;
  }
}

}  // namespace
