// The device expert's own CPU time per host operation, with no driver at all: SystemAPIExpert
// over the in-process fake item factory (tests/common/FakeItemFactory.h), 8 boards whose items
// hold a master bag of sixty tags shaped like a board's (strings, numbers, flags, readings) and
// hand out a copy, as device items do. What is left is the expert's road: cache refresh, name
// lookup, the item's preparation and the bag hand-out.
//   BM_FakeExpert_GetItemNames     refresh and the names of 8 items (nothing changed)
//   BM_FakeExpert_GetPropertyBag   one item's bag copy, released as the host does
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/SystemAPIExpert.h"
#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"
#include "tests/common/FakeItemFactory.h"

namespace {

constexpr int kBoards = 8;

class SilentSink final : public sysapicpp::NotificationHandler {
 public:
  using NotificationHandler::notify;
  void notify(std::int32_t, const std::vector<std::string>&) override {}
  bool isListening(std::int32_t, const std::vector<std::string>&) override { return false; }
};

// An item with a board-sized master bag: 16 strings, 24 signed, 12 unsigned, 6 flags, 2 doubles.
class BagItem final : public qotest::NoOpItem {
 public:
  explicit BagItem(const std::string& name) : NoOpItem(name) {
    std::uint32_t tag = 0x1001000;
    for (int i = 0; i < 16; ++i)
      master_.get()->SetString(tag += 0x1000, L"Vorlix VX230 board text");
    for (int i = 0; i < 24; ++i) master_.get()->SetInt32(tag += 0x1000, i * 7 - 3);
    for (unsigned i = 0; i < 12; ++i) master_.get()->SetUInt32(tag += 0x1000, 0x7B10u + i);
    for (int i = 0; i < 6; ++i) master_.get()->SetBool(tag += 0x1000, (i & 1) != 0);
    for (int i = 0; i < 2; ++i) master_.get()->SetDouble(tag += 0x1000, 45.5 + i);
  }
  ImxSysPropertyBag* getPropertyBag() override { return master_.clone(); }

 private:
  sysapicpp::PropertyBagHandle master_ = sysapicpp::PropertyBagHandle::createDynamic();
};

struct FakeMachine {
  std::shared_ptr<qotest::FakeBoards> boards = std::make_shared<qotest::FakeBoards>();
  SilentSink sink;
  std::unique_ptr<VorlixSysapiExpert::SystemAPIExpert> expert;

  FakeMachine() {
    boards->maker = [](const std::string& name) {
      return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new BagItem(name));
    };
    for (int i = 0; i < kBoards; ++i) boards->plug("KEL" + std::to_string(i));
    expert =
        std::make_unique<VorlixSysapiExpert::SystemAPIExpert>(&sink, qotest::fakeFactories(boards));
    std::vector<std::string> names;
    expert->getItemNames(names);  // the items are made here, before any timing
  }
};

void BM_FakeExpert_GetItemNames(benchmark::State& state) {
  FakeMachine m;
  const int enumerations = m.boards->enumerations.load();
  std::vector<std::string> names;
  for (auto _ : state) {
    names.clear();
    m.expert->getItemNames(names);
    benchmark::DoNotOptimize(names.data());
  }
  if (names.size() != kBoards) state.SkipWithError("the expert lost items");
  state.counters["enumerations"] = m.boards->enumerations.load() - enumerations;
}
BENCHMARK(BM_FakeExpert_GetItemNames);

void BM_FakeExpert_GetPropertyBag(benchmark::State& state) {
  FakeMachine m;
  const std::string name = "KEL3";
  for (auto _ : state) {
    ImxSysPropertyBag* bag = m.expert->getPropertyBag(name);
    if (bag == nullptr) {
      state.SkipWithError("no bag");
      return;
    }
    bag->Release();
  }
}
BENCHMARK(BM_FakeExpert_GetPropertyBag);

}  // namespace
