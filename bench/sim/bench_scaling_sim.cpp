// How the configuration face's cost grows with the number of boards, inside a simulated machine
// that holds only the boards plugged here (run under bench/sim/empty-machine.json; with other
// boards present the benchmarks refuse to measure):
//
//   build-bench/sim/qosim run --boards bench/sim/empty-machine.json --
//       build-bench/bench/qo_sim_bench --benchmark_filter=Scaling   (one line)
//
// For 1, 8, 32 and 128 boards (each at its own PCI address, plugged through the control socket),
// over the library's own item factory and cache (what the expert's GetItemNames runs):
//   - creation: the first refresh of a fresh cache, which creates one item per board;
//   - presence pass: one pass of the presence notifier after one more board was plugged (fresh
//     enumeration, comparison with the cache's names, the new board's item made);
//   - unchanged: refresh and names of a filled cache when nothing changed, beside the copy of
//     the same names that any answer needs.
// Counters: median per call, per board, and the board count, for the report's growth figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/sim/BenchBoards.h"
#include "bench/sim/BenchFailure.h"
#include "QosimClient.h"
#include "qo/err/Exception.h"
#include "source/DevicePresenceNotifier.h"
#include "source/tItemFactory.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/cache/ItemCache.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace presence = VorlixSysapiExpert::DevicePresenceNotifier;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A host that listens to nothing: the pass still makes its four notices.
class SilentSink final : public sysapicpp::NotificationHandler {
 public:
  using NotificationHandler::notify;
  void notify(std::int32_t, const std::vector<std::string>&) override {}
  bool isListening(std::int32_t, const std::vector<std::string>&) override { return false; }
};

// `count` boards plugged for one benchmark; empty error when the machine held no other board.
struct PluggedBoards {
  qosim::BoardSet boards;
  std::string error;

  explicit PluggedBoards(std::size_t count) {
    auto present = boards.client().listDevices();
    if (!present.ok()) {
      error = present.error;
      return;
    }
    if (!present.value.empty()) {
      error = "the machine already holds boards; run under bench/sim/empty-machine.json";
      return;
    }
    for (std::size_t i = 0; i < count; ++i) qobench::benchBoard(boards.add());
    if (const qosim::Status st = boards.plug(); !st.ok()) error = st.error;
  }
};

// Item names of a cache after its refresh, as GetItemNames answers them.
std::size_t namesOf(sysapicpp::ItemCache& cache) {
  std::vector<std::string> names;
  cache.refresh();
  cache.getItemNames(names);
  return names.size();
}

void reportGrowth(benchmark::State& state, const std::vector<double>& samples, std::size_t boards) {
  const double m = median(samples);
  state.counters["boards"] = static_cast<double>(boards);
  state.counters["median_us"] = m;
  state.counters["per_board_us"] = m / static_cast<double>(boards);
}

std::string what(const std::exception& e) { return e.what(); }

void BM_Scaling_ItemCreation(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  PluggedBoards machine(count);
  if (!machine.error.empty()) return qobench::skip(state, machine.error);
  std::vector<double> samples;
  try {
    for (auto _ : state) {
      state.PauseTiming();
      auto factory = std::make_unique<VorlixSysapiExpert::tItemFactory>();
      auto cache = std::make_unique<sysapicpp::ItemCache>(factory.get());
      state.ResumeTiming();
      const Clock::time_point t0 = Clock::now();
      const std::size_t made = namesOf(*cache);
      const Clock::time_point t1 = Clock::now();
      if (made != count) return qobench::skip(state, std::to_string(made) + " items made");
      samples.push_back(micros(t1 - t0));
      state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
      state.PauseTiming();
      cache.reset();
      factory.reset();
      state.ResumeTiming();
    }
  } catch (const std::exception& e) {
    return qobench::skip(state, "item creation failed: " + what(e));
  }
  reportGrowth(state, samples, count);
}
BENCHMARK(BM_Scaling_ItemCreation)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Arg(128)
    ->Iterations(12)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// One timed pass that finds one board more than the cache holds; the board is then unplugged
// and an untimed pass takes its item out again, so every timed pass sees `count` + 1 boards.
void BM_Scaling_PresencePass(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  PluggedBoards machine(count);
  if (!machine.error.empty()) return qobench::skip(state, machine.error);
  qosim::Client& client = machine.boards.client();
  std::vector<double> samples;
  try {
    VorlixSysapiExpert::tItemFactory cacheFactory;
    sysapicpp::ItemCache cache(&cacheFactory);
    SilentSink sink;
    presence::Op pass{std::make_unique<VorlixSysapiExpert::tItemFactory>(), &cache, &sink};
    if (namesOf(cache) != count) return qobench::skip(state, "the cache misses boards");
    for (auto _ : state) {
      qosim::BoardDesc extra;
      extra.device = qosim::uniqueDeviceName();
      qobench::benchBoard(extra);
      if (!client.plug(extra).ok()) return qobench::skip(state, "cannot plug " + extra.device);
      const Clock::time_point t0 = Clock::now();
      pass();
      const Clock::time_point t1 = Clock::now();
      const std::size_t seen = namesOf(cache);
      if (!client.unplug(extra.device).ok()) return qobench::skip(state, "cannot unplug");
      if (seen != count + 1) return qobench::skip(state, "the pass missed the plugged board");
      pass();
      samples.push_back(micros(t1 - t0));
      state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (namesOf(cache) != count) return qobench::skip(state, "the pass kept an unplugged board");
  } catch (const std::exception& e) {
    return qobench::skip(state, "presence pass failed: " + what(e));
  }
  reportGrowth(state, samples, count);
}
BENCHMARK(BM_Scaling_PresencePass)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Arg(128)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Batches of 64 calls, each batch timed beside 64 copies of the same names into a fresh
// vector: the copy every GetItemNames answer needs. The overhead (library minus copy) should not
// grow with the boards.
void BM_Scaling_GetItemNamesUnchanged(benchmark::State& state) {
  constexpr int kBatch = 64;
  const auto count = static_cast<std::size_t>(state.range(0));
  PluggedBoards machine(count);
  if (!machine.error.empty()) return qobench::skip(state, machine.error);
  std::vector<double> library, copies;
  try {
    VorlixSysapiExpert::tItemFactory factory;
    sysapicpp::ItemCache cache(&factory);
    if (namesOf(cache) != count) return qobench::skip(state, "the cache misses boards");
    std::vector<std::string> reference;
    cache.getItemNames(reference);
    for (auto _ : state) {
      std::size_t seen = 0;
      const Clock::time_point t0 = Clock::now();
      for (int i = 0; i < kBatch; ++i) seen += namesOf(cache);
      const Clock::time_point t1 = Clock::now();
      for (int i = 0; i < kBatch; ++i) {
        std::vector<std::string> names(reference);
        benchmark::DoNotOptimize(names.data());
      }
      const Clock::time_point t2 = Clock::now();
      if (seen != count * kBatch) return qobench::skip(state, "an unchanged cache changed");
      library.push_back(micros(t1 - t0) / kBatch);
      copies.push_back(micros(t2 - t1) / kBatch);
      state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / kBatch);
    }
  } catch (const std::exception& e) {
    return qobench::skip(state, "GetItemNames failed: " + what(e));
  }
  reportGrowth(state, library, count);
  state.counters["names_copy_us"] = median(copies);
  state.counters["overhead_us"] = median(library) - median(copies);
}
BENCHMARK(BM_Scaling_GetItemNamesUnchanged)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Arg(128)
    ->Iterations(2000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
