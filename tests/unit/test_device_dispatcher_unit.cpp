// The device notification dispatcher's parts that need no simulated machine: name filtering
// (sorted names, exact matches, the designated any-interface entry by identity), refused name
// lists, a status in error, and cancelling. Node events in /dev/qo are tested in tests/sim.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/PlatformNames.h"

using apal::tNotificationDispatcher;
using apal::tStatus;

TEST(DispatcherNameFilter, SortedListMatchesExactNamesOnly) {
  const char* names[] = {qodrv::routing::kInterfaceName, qodrv::vorlixtarrow::kInterfaceName, "b",
                         "a", "zz"};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 5, &status);
  ASSERT_EQ(status.code, 0) << status.file << ":" << status.line;
  EXPECT_FALSE(dispatcher.acceptsAll());
  for (const char* name : names) EXPECT_TRUE(dispatcher.accepts(name)) << name;
  EXPECT_FALSE(dispatcher.accepts("routing"));
  EXPECT_FALSE(dispatcher.accepts("routing_routing2"));
  EXPECT_FALSE(dispatcher.accepts("c"));
  EXPECT_FALSE(dispatcher.accepts(""));
  EXPECT_FALSE(dispatcher.accepts(nullptr));
}

TEST(DispatcherNameFilter, NamesAreCopied) {
  char name[sizeof qodrv::routing::kInterfaceName];
  std::memcpy(name, qodrv::routing::kInterfaceName, sizeof name);
  const char* names[] = {name};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  name[0] = 'X';
  EXPECT_TRUE(dispatcher.accepts(qodrv::routing::kInterfaceName));
  EXPECT_FALSE(dispatcher.accepts(name));
}

TEST(DispatcherNameFilter, DesignatedEntryAcceptsAllByIdentity) {
  const char* names[] = {qodrv::routing::kInterfaceName, apal::kAnyInterface, "ignored_after"};
  tStatus status;
  tNotificationDispatcher all(names, 3, &status);
  EXPECT_TRUE(all.acceptsAll());
  EXPECT_TRUE(all.accepts("anything"));
  EXPECT_TRUE(all.accepts(nullptr));  // a node without interface part

  // Another empty string is just a name: it accepts an empty interface part only.
  static const char otherEmpty[1] = "";
  const char* plain[] = {otherEmpty};
  tNotificationDispatcher one(plain, 1, &status);
  EXPECT_FALSE(one.acceptsAll());
  EXPECT_TRUE(one.accepts(""));
  EXPECT_FALSE(one.accepts("anything"));
  EXPECT_FALSE(one.accepts(nullptr));
  EXPECT_EQ(status.code, 0);
}

TEST(DispatcherNameFilter, EmptyListAcceptsNothing) {
  tStatus status;
  tNotificationDispatcher dispatcher(nullptr, 0, &status);
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(dispatcher.accepts(qodrv::routing::kInterfaceName));
}

TEST(DispatcherConstruction, RefusesNullNames) {
  tStatus nullList;
  tNotificationDispatcher a(nullptr, 2, &nullList);
  EXPECT_EQ(nullList.code, Codes::kInvalidParameter);
  EXPECT_STREQ(nullList.file, "qoapal/protons/device_notification/linux/tNotificationDispatcher");

  const char* names[] = {"a", nullptr};
  tStatus nullEntry;
  tNotificationDispatcher b(names, 2, &nullEntry);
  EXPECT_EQ(nullEntry.code, Codes::kInvalidParameter);
  bool changed = true;
  b.wait(&changed, &nullEntry);  // built stopped: returns at once
  EXPECT_FALSE(changed);
}

TEST(DispatcherConstruction, StatusInErrorBuildsAStoppedDispatcher) {
  tStatus status;
  status.setCode(Codes::kTimedOut, "c", "earlier", 2);
  const char* names[] = {qodrv::routing::kInterfaceName};
  tNotificationDispatcher dispatcher(names, 1, &status);
  EXPECT_FALSE(dispatcher.watchesNodeDirectory());
  bool changed = true;
  dispatcher.wait(&changed, &status);
  EXPECT_FALSE(changed);
  dispatcher.cancel();  // already stopped: writes nothing
  EXPECT_EQ(dispatcher.pendingCancelBytes(), 0u);
  EXPECT_EQ(status.code, Codes::kTimedOut);
  EXPECT_STREQ(status.file, "earlier");
}

TEST(DispatcherCancel, CancelBeforeWaitReturnsAtOnceAndSecondCancelWritesNothing) {
  const char* names[] = {qodrv::vorlixtarrow::kInterfaceName};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  ASSERT_EQ(status.code, 0);
  dispatcher.cancel();
  EXPECT_EQ(dispatcher.pendingCancelBytes(), 1u);
  dispatcher.cancel();
  EXPECT_EQ(dispatcher.pendingCancelBytes(), 1u);
  bool changed = true;
  dispatcher.wait(&changed, &status);
  EXPECT_FALSE(changed);
  dispatcher.wait(&changed, &status);  // every later wait too
  EXPECT_FALSE(changed);
  EXPECT_EQ(status.code, 0);
}

TEST(DispatcherCancel, CancelFromAnotherThreadEndsABlockedWait) {
  const char* names[] = {"qo_unit_interface_nobody_creates"};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  ASSERT_EQ(status.code, 0);
  auto waited = std::async(std::launch::async, [&] {
    bool changed = true;
    tStatus waitStatus;
    dispatcher.wait(&changed, &waitStatus);
    return !changed && waitStatus.code == 0;
  });
  // The wait blocks: nothing is reported for this name.
  EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  dispatcher.cancel();
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(waited.get());
}

TEST(DispatcherWait, StatusInErrorReturnsAtOnce) {
  const char* names[] = {qodrv::vorlixtarrow::kInterfaceName};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  tStatus failed;
  failed.setCode(Codes::kIoError, "c", "earlier", 1);
  bool changed = true;
  dispatcher.wait(&changed, &failed);
  EXPECT_FALSE(changed);
  EXPECT_EQ(failed.code, Codes::kIoError);
  EXPECT_EQ(dispatcher.pendingCancelBytes(), 0u);
}
