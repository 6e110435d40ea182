// An item factory for tests: the boards "present" are a name set the test changes at will; items
// are made by a test-supplied maker (NoOpItem by default). Counts its calls; can be told to fail
// the next enumerations. Thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sysapicpp/cache/ItemCache.h"
#include "sysapicpp/cache/ItemFactory.h"
#include "tests/common/NoOpItem.h"

namespace qotest {

// The boards of a simulated test machine, shared by every factory made from it.
struct FakeBoards {
  using tMaker = std::function<sysapicpp::SharedPtrHelper<sysapicpp::Item>(const std::string&)>;

  std::mutex lock;
  std::set<std::string, sysapicpp::ItemNameLess> present;
  tMaker maker = [](const std::string& name) {
    return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new NoOpItem(name));
  };
  std::atomic<int> enumerations{0};
  std::atomic<int> failNextEnumerations{0};
  std::atomic<int> created{0};

  void plug(const std::string& name) {
    std::lock_guard<std::mutex> g(lock);
    present.insert(name);
  }
  void unplug(const std::string& name) {
    std::lock_guard<std::mutex> g(lock);
    present.erase(name);
  }
};

class FakeItemFactory final : public sysapicpp::ItemFactory {
 public:
  explicit FakeItemFactory(std::shared_ptr<FakeBoards> boards) : boards_(std::move(boards)) {}

  void getItemNames(std::vector<std::string>& names) override {
    ++boards_->enumerations;
    if (boards_->failNextEnumerations.load() > 0) {
      --boards_->failNextEnumerations;
      throw std::runtime_error("enumeration library failed");
    }
    std::lock_guard<std::mutex> g(boards_->lock);
    names.insert(names.end(), boards_->present.begin(), boards_->present.end());
  }
  std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> createItems(
      const std::vector<std::string>& names) override {
    std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> items;
    for (const std::string& name : names) {
      items.push_back(boards_->maker(name));
      ++boards_->created;
    }
    return items;
  }

 private:
  std::shared_ptr<FakeBoards> boards_;
};

// A factory maker for SystemAPIExpert over `boards`.
inline std::function<std::unique_ptr<sysapicpp::ItemFactory>()> fakeFactories(
    std::shared_ptr<FakeBoards> boards) {
  return [boards] { return std::make_unique<FakeItemFactory>(boards); };
}

}  // namespace qotest
