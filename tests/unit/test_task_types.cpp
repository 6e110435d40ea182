// Tasks themselves: safeRun swallowing every kind of failure, copies made by clone(), the
// empty task slot, and the work-item list the work queue keeps.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo/dsc/exception.h"
#include "qo/err/Exception.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/tasks/Task.h"
#include "sysapicpp/tasks/tWorkQueue.h"
#include "tests/common/PlatformNames.h"

namespace {

using sysapicpp::FunctorTask;
using sysapicpp::NullTask;
using sysapicpp::Task;
using sysapicpp::TaskSlot;

struct Thrower {
  int* runs;
  int which;
  void operator()() const {
    ++*runs;
    switch (which) {
      case 0:
        throw sysapicpp::FailException(sysapicpp::tRaiseContext{"test", 1, nullptr});
      case 1:
        throw std::runtime_error("failed");
      case 2:
        throw 42;
      case 3:
        throw std::string("anything else");
      case 4:
        throw qoerr::Exception::withError(-52008, {"test", 2, nullptr, "x"});
      case 5:
        throw qo::dsc::exception::InvalidSequence(3, "test");
      default:
        break;
    }
  }
};

TEST(TaskSafeRun, SwallowsEveryKindOfException) {
  for (int which = 0; which <= 5; ++which) {
    int runs = 0;
    FunctorTask<Thrower> task(Thrower{&runs, which});
    EXPECT_NO_THROW(task.safeRun()) << "exception kind " << which;
    EXPECT_EQ(runs, 1) << "exception kind " << which;
  }
}

TEST(TaskSafeRun, RunItselfStillThrows) {
  int runs = 0;
  FunctorTask<Thrower> task(Thrower{&runs, 1});
  EXPECT_THROW(task.run(), std::runtime_error);
}

// A functor whose copies are distinguishable: each copy carries its own value.
struct Recorder {
  std::vector<int>* out;
  int value;
  void operator()() const { out->push_back(value); }
};

TEST(TaskClone, FunctorTaskCopiesTheFunctor) {
  std::vector<int> out;
  FunctorTask<Recorder> original(Recorder{&out, 7});
  std::unique_ptr<Task> copy = original.clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), static_cast<Task*>(&original));
  auto* typed = dynamic_cast<FunctorTask<Recorder>*>(copy.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->functor().value, 7);
  copy->run();
  original.run();
  EXPECT_EQ(out, (std::vector<int>{7, 7}));
  // The copy lives on its own after the original is gone.
  std::unique_ptr<Task> second;
  {
    FunctorTask<Recorder> shortLived(Recorder{&out, 9});
    second = shortLived.clone();
  }
  second->run();
  EXPECT_EQ(out.back(), 9);
}

TEST(TaskClone, NullTaskClonesToANullTaskThatDoesNothing) {
  NullTask task;
  std::unique_ptr<Task> copy = task.clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(dynamic_cast<NullTask*>(copy.get()), nullptr);
  EXPECT_NO_THROW(copy->run());
  EXPECT_NO_THROW(copy->safeRun());
}

TEST(TaskSlotEmpty, AnEmptySlotRunsANullTask) {
  TaskSlot empty;
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_NE(dynamic_cast<NullTask*>(&empty.task()), nullptr);
  EXPECT_NO_THROW(empty.task().safeRun());

  std::vector<int> out;
  TaskSlot full(std::make_unique<FunctorTask<Recorder>>(Recorder{&out, 3}));
  EXPECT_FALSE(full.isEmpty());
  full.task().run();
  EXPECT_EQ(out, std::vector<int>{3});
}

// ---------------------------------------------------------------------------------------------


class CountingItem final : public apal::tWorkItemWrapper {
 public:
  explicit CountingItem(int number) : id(number) {}
  tWorkItemWrapper* execute() noexcept override { return nullptr; }
  int id;
};

TEST(WorkItemList, IsFirstInFirstOutAndRefusesAnItemAlreadyLinked) {
  apal::tWorkItemList list;
  CountingItem a(1), b(2), c(3);
  EXPECT_TRUE(list.isEmpty());
  EXPECT_EQ(list.popFront(), nullptr);
  EXPECT_TRUE(list.append(&a));
  EXPECT_TRUE(list.append(&b));
  EXPECT_FALSE(list.append(&a));  // already linked: stays where it is
  EXPECT_TRUE(list.append(&c));
  EXPECT_TRUE(a.isLinked());
  EXPECT_FALSE(list.append(nullptr));

  std::vector<int> order;
  while (auto* item = list.popFront()) {
    EXPECT_FALSE(item->isLinked());
    order.push_back(static_cast<CountingItem*>(item)->id);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  // Once unlinked, an item can be queued again.
  EXPECT_TRUE(list.append(&b));
  EXPECT_EQ(list.popFront(), &b);
  EXPECT_TRUE(list.isEmpty());
}

}  // namespace
