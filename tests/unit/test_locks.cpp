// The two lock types: CqoCS (recursive, owner-checked, priority-inheritance decision) and
// CQOMutex (owner and in-use flag, mutual exclusion).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "qo/dsc/CQOMutex.h"
#include "qo/dsc/CqoCS.h"
#include "tests/unit/ThreadTestSupport.h"

namespace {

using threadtest::freeForOthers;
using threadtest::onOtherThread;

TEST(CqoCSRecursion, OwnerLocksRepeatedlyAndLastUnlockFrees) {
  CqoCS cs;
  EXPECT_TRUE(cs.lock(-1));
  EXPECT_TRUE(cs.lock(-1));
  EXPECT_TRUE(cs.tryLock());
  EXPECT_EQ(cs.recursionCount(), 3);
  EXPECT_TRUE(cs.isHeldByCurrentThread());
  cs.unlock();
  cs.unlock();
  EXPECT_TRUE(cs.isHeldByCurrentThread());
  EXPECT_FALSE(onOtherThread([&] { return cs.tryLock(); }));
  cs.unlock();
  EXPECT_FALSE(cs.isHeldByCurrentThread());
  EXPECT_EQ(cs.recursionCount(), 0);
  // Free now: another thread can take and release it.
  EXPECT_TRUE(freeForOthers(cs));
}

TEST(CqoCSOwnership, UnlockByAnotherThreadLeavesItLocked) {
  CqoCS cs;
  ASSERT_TRUE(cs.lock(-1));
  const bool stillLockedForOthers = onOtherThread([&] {
    cs.unlock();  // not the owner: does nothing
    cs.unlock();
    return !cs.tryLock();
  });
  EXPECT_TRUE(stillLockedForOthers);
  EXPECT_TRUE(cs.isHeldByCurrentThread());
  EXPECT_EQ(cs.recursionCount(), 1);
  cs.unlock();
  EXPECT_FALSE(cs.isHeldByCurrentThread());
}

TEST(CqoCSOwnership, UnlockOfAFreeLockDoesNothing) {
  CqoCS cs;
  cs.unlock();
  EXPECT_TRUE(cs.tryLock());
  EXPECT_EQ(cs.recursionCount(), 1);
  cs.unlock();
}

TEST(CqoCSOwnership, ScopedLockHoldsForTheScope) {
  CqoCS cs;
  {
    CqoCSLock guard(cs);
    EXPECT_TRUE(cs.isHeldByCurrentThread());
    CqoCSLock nested(cs);
    EXPECT_EQ(cs.recursionCount(), 2);
  }
  EXPECT_FALSE(cs.isHeldByCurrentThread());
}

TEST(CqoCSExclusion, ConcurrentIncrementsAreNotLost) {
  CqoCS cs;
  long counter = 0;
  threadtest::incrementOnThreads("qo-test-cs", [&] {
    CqoCSLock outer(cs);
    CqoCSLock inner(cs);
    ++counter;
  });
  EXPECT_EQ(counter, 4 * 5000);
}

class RealtimeMarker : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qo-realtime-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::remove(file().c_str());
    rmdir(dir_.c_str());
  }
  std::string file() const { return dir_ + "/realtime"; }
  void write(const std::string& content) { std::ofstream(file(), std::ios::binary) << content; }
  std::string dir_;
};

TEST_F(RealtimeMarker, OnlyAFirstByteOfOneMeansRealtime) {
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(file().c_str()));  // missing
  write("1");
  EXPECT_TRUE(qo::dsc::realtimeMarkerSet(file().c_str()));
  write("1\n");
  EXPECT_TRUE(qo::dsc::realtimeMarkerSet(file().c_str()));
  write("10");
  EXPECT_TRUE(qo::dsc::realtimeMarkerSet(file().c_str()));
  write("0\n");
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(file().c_str()));
  write("");
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(file().c_str()));
  write(" 1");
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(file().c_str()));
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(dir_.c_str()));  // a directory cannot be read
  EXPECT_FALSE(qo::dsc::realtimeMarkerSet(nullptr));
}

TEST(CqoCSProtocol, ProcessDecisionFollowsTheSystemFileAndIsStable) {
  const bool expected = qo::dsc::realtimeMarkerSet("/sys/kernel/realtime");
  EXPECT_EQ(qo::dsc::systemIsRealtime(), expected);
  EXPECT_EQ(onOtherThread([] { return qo::dsc::systemIsRealtime(); }), expected);
  CqoCS cs;
  if (!expected) {
    EXPECT_FALSE(cs.usesPriorityInheritance());
  }
}

TEST(CqoCSProtocol, PriorityInheritanceLockIsStillRecursiveAndOwnerChecked) {
  CqoCS plain(false);
  EXPECT_FALSE(plain.usesPriorityInheritance());
  CqoCS pi(true);  // falls back to a plain recursive mutex if the system refuses the protocol
  ASSERT_TRUE(pi.lock(-1));
  ASSERT_TRUE(pi.lock(-1));
  EXPECT_FALSE(onOtherThread([&] {
    pi.unlock();
    return pi.tryLock();
  }));
  pi.unlock();
  pi.unlock();
  EXPECT_TRUE(freeForOthers(pi));
}

TEST(CQOMutexState, LockRecordsOwnerAndFlagUnlockClearsThem) {
  CQOMutex m;
  EXPECT_FALSE(m.inUse());
  EXPECT_FALSE(m.isHeldByCurrentThread());
  m.lock();
  EXPECT_TRUE(m.inUse());
  EXPECT_TRUE(m.isHeldByCurrentThread());
  const bool otherSeesOwner = onOtherThread([&] { return m.isHeldByCurrentThread(); });
  const bool otherSeesInUse = onOtherThread([&] { return m.inUse(); });
  EXPECT_FALSE(otherSeesOwner);
  EXPECT_TRUE(otherSeesInUse);
  m.unlock();
  EXPECT_FALSE(m.inUse());
  EXPECT_FALSE(m.isHeldByCurrentThread());
}

TEST(CQOMutexState, GlobalInstanceExcludesAcrossThreads) {
  static constinit CQOMutex shared;
  long counter = 0;
  threadtest::incrementOnThreads("qo-test-mutex", [&] {
    CQOMutexLock guard(shared);
    ++counter;
  });
  EXPECT_EQ(counter, 4 * 5000);
  EXPECT_FALSE(shared.inUse());
}

}  // namespace
